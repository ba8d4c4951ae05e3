#include "playback/AudioRenderer.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

// How often pending notifications reach the main thread while playing: often
// enough that the slider follows the sound smoothly.
constexpr int kNotifyIntervalMs = 20;

void silence(float *output, std::size_t frames)
{
    std::memset(output, 0, frames * 2 * sizeof(float));
}

} // namespace

AudioRenderer::AudioRenderer(QObject *parent)
    : QObject(parent)
{
    m_notifyTimer.setInterval(kNotifyIntervalMs);
    connect(&m_notifyTimer, &QTimer::timeout, this, &AudioRenderer::deliverNotifications);
}

AudioRenderer::~AudioRenderer()
{
    closeDevice();
}

SdlAudio::DeviceId AudioRenderer::openDevice()
{
    if (m_channels <= 0)
        return 0;
    return SdlAudio::openOutput(m_sfinfo.samplerate, &AudioRenderer::sdlCallback, this);
}

void AudioRenderer::closeDevice()
{
    m_notifyTimer.stop();
    // Joins SDL's audio thread: no callback runs after this, and everything
    // the callback wrote is visible here.
    SdlAudio::closeOutput(m_device);
    m_device = 0;
    m_running = false;
}

void AudioRenderer::set_sndfile(SNDFILE *sndfile, const SF_INFO *sfinfo)
{
    // Set-up state is plain data read by the audio thread, so no output may
    // run while it changes.
    closeDevice();

    m_sndfile = sndfile;
    m_sfinfo = sfinfo ? *sfinfo : SF_INFO{};
    const int ch = m_sfinfo.channels;
    m_channels = m_sndfile && ch > 0 && ch <= kBufferItems ? ch : 0;
    m_ring.setCapacity(m_channels > 0 ? std::size_t(kBufferItems / ch) * std::size_t(ch) : 0);

    // The buffer starts where the handle stands (the start of a freshly
    // opened file).
    qint64 start = 0;
    if (m_channels > 0) {
        start = std::max<qint64>(0, sf_seek(m_sndfile, 0, SEEK_CUR));
        start = std::min<qint64>(start, std::max<qint64>(0, m_sfinfo.frames));
    }
    resetRing(start);
    m_playable.store(m_channels > 0 ? std::max<qint64>(0, m_sfinfo.frames) : 0,
                     std::memory_order_release);

    // Tell the user now if this file cannot be played here, but hold no
    // device: some drivers give out only one at a time. A handle of the
    // same rate (the file again after a save) was checked already; the
    // check costs as long as closing a device, tens of milliseconds.
    if (m_channels <= 0 || m_sfinfo.samplerate != m_checkedRate) {
        const SdlAudio::DeviceId probe = openDevice();
        m_outputFailed = probe == 0;
        if (m_outputFailed)
            std::puts("Unable to find a usable audio output unit component");
        SdlAudio::closeOutput(probe);
        m_checkedRate = m_channels > 0 ? m_sfinfo.samplerate : 0;
    }

    // Filled even without a device, so positions and seeks behave the same.
    if (m_channels > 0)
        fill();
    else
        m_exhausted = true;
}

int AudioRenderer::play()
{
    if (!m_device) {
        // The device opens paused, so the callback cannot run before the
        // set-up state below is complete.
        m_device = openDevice();
        m_outputFailed = m_device == 0;
        if (m_outputFailed) {
            std::puts("Unable to find a usable audio output unit component");
            const int status = -1;
            std::printf("AudioOutputUnitStart returned %d\n", status);
            return status;
        }
    }
    SdlAudio::setPaused(m_device, false);
    m_running = true;
    m_notifyTimer.start();
    return 0;
}

int AudioRenderer::pause()
{
    if (!m_device) {
        if (!m_outputFailed)
            return 0; // not playing: nothing to stop
        const int status = -1;
        std::printf("AudioOutputUnitStop returned %d\n", status);
        return status;
    }
    // Pausing first waits for a running callback; closing then ends SDL's
    // thread. The position stays where the callback left it.
    SdlAudio::setPaused(m_device, true);
    closeDevice();
    return 0;
}

void AudioRenderer::resetRing(qint64 frame)
{
    // Only called while the consumer is not running, so the consumer's side
    // of the ring and the position may be written here.
    m_ring.clear();
    m_position.store(frame, std::memory_order_release);
    m_fillBase = 0;
    m_writeFrame = frame;
    m_exhausted = false;
    m_eofLatched.store(false, std::memory_order_relaxed);
    // Whatever was pending described the old position.
    m_positionPending.store(false, std::memory_order_relaxed);
    m_eofPending.store(false, std::memory_order_relaxed);
}

void AudioRenderer::lowerPlayable(qint64 frame)
{
    // Only the main thread writes it, and only ever lowers it: a file that
    // delivers fewer frames than it reported ends where its data ends.
    if (frame < m_playable.load(std::memory_order_relaxed))
        m_playable.store(frame, std::memory_order_release);
}

void AudioRenderer::fill()
{
    if (!m_sndfile || m_channels <= 0 || m_exhausted)
        return;
    for (;;) {
        // The capacity and every index are multiples of the channel count,
        // so each span is a whole number of frames.
        const auto span = m_ring.writeSpan();
        if (span.size == 0)
            break;
        sf_count_t got = sf_read_float(m_sndfile, span.data, sf_count_t(span.size));
        if (got < 0)
            got = 0;
        // A truncated file can end inside a frame: drop the partial frame.
        got -= got % m_channels;
        m_ring.commit(std::size_t(got));
        m_writeFrame += got / m_channels;
        if (std::size_t(got) < span.size) {
            m_exhausted = true;
            lowerPlayable(m_writeFrame);
            break;
        }
    }
}

void AudioRenderer::update_buffer()
{
    if (!m_sndfile || m_channels <= 0)
        return;
    const std::uint64_t r = m_ring.refreshReleased();
    const std::uint64_t used = r - m_fillBase;
    if (used * 2 <= m_ring.capacity() || m_exhausted)
        return;
    std::puts("rebuffering.");
    fill();
    m_fillBase = r;
}

void AudioRenderer::seek(qint64 frame)
{
    const qint64 p = std::clamp<qint64>(frame, 0, std::max<qint64>(0, m_sfinfo.frames));
    // Stopping the device waits for a running callback to return and keeps
    // it from running again until resumed; the ring can then be reset.
    const bool resume = m_running && m_device;
    if (resume)
        SdlAudio::setPaused(m_device, true);

    resetRing(p);
    if (!m_sndfile || m_channels <= 0) {
        m_exhausted = true;
    } else if (sf_seek(m_sndfile, p, SEEK_SET) < 0) {
        // Nothing can be read from here: end playback at this frame.
        m_exhausted = true;
        lowerPlayable(p);
    } else {
        fill();
    }

    if (resume)
        SdlAudio::setPaused(m_device, false);
}

qint64 AudioRenderer::currentPosition() const
{
    return m_position.load(std::memory_order_acquire);
}

void AudioRenderer::setLeftOutputMapping(int channel)
{
    m_leftMapping.store(channel, std::memory_order_relaxed);
}

void AudioRenderer::setRightOutputMapping(int channel)
{
    m_rightMapping.store(channel, std::memory_order_relaxed);
}

int AudioRenderer::read_buffered(float **out, int count)
{
    if (!out)
        return 0;
    *out = m_ring.storage();
    const int ch = m_channels;
    if (ch <= 0 || count < ch)
        return 0;
    const qint64 pos = m_position.load(std::memory_order_relaxed);
    const qint64 end = m_playable.load(std::memory_order_acquire);
    if (pos >= end)
        return 0;

    const auto span = m_ring.readSpan();
    std::uint64_t frames = std::uint64_t(count / ch);
    frames = std::min(frames, std::uint64_t(span.size) / std::uint64_t(ch));
    frames = std::min(frames, std::uint64_t(end - pos));
    if (frames == 0)
        return 0;

    *out = span.data;
    // Reserved, not yet released to the producer: the render procedure
    // releases them once copied.
    m_ring.take(std::size_t(frames) * std::size_t(ch));
    m_position.store(pos + qint64(frames), std::memory_order_release);
    return int(frames) * ch;
}

void AudioRenderer::copyFrames(float *output, const float *items, int frames, int left, int right) const
{
    const int ch = m_channels;
    for (int i = 0; i < frames; ++i) {
        output[0] = items[left];
        output[1] = items[right];
        output += 2;
        items += ch;
    }
}

int AudioRenderer::sf_coreaudio_render_proc(void *context, float *output, int frames)
{
    if (!output || frames <= 0)
        return 0;
    auto *self = static_cast<AudioRenderer *>(context);
    if (!self)
        silence(output, std::size_t(frames));
    else
        self->render(output, frames);
    return 0;
}

void AudioRenderer::render(float *output, int frames)
{
    const int ch = m_channels;
    const int last = std::max(0, ch - 1);
    const int left = std::clamp(m_leftMapping.load(std::memory_order_relaxed), 0, last);
    const int right = std::clamp(m_rightMapping.load(std::memory_order_relaxed), 0, last);
    // Keeps an item count of one request inside an int.
    const int maxFramesPerRead = ch > 0 ? INT_MAX / ch : 0;

    // Each call is served in two halves, with a position notification after
    // each; an odd count puts the extra frame into the second half.
    const int halves[2] = {frames / 2, frames - frames / 2};
    int done = 0;
    for (const int half : halves) {
        if (half == 0)
            continue;
        int served = 0;
        while (served < half && ch > 0) {
            float *items = nullptr;
            const int want = std::min(half - served, maxFramesPerRead);
            const int got = read_buffered(&items, want * ch);
            if (got <= 0)
                break;
            copyFrames(output + 2 * std::size_t(done + served), items, got / ch, left, right);
            // Only now, with the items copied, may the producer overwrite them.
            m_ring.release();
            served += got / ch;
        }
        silence(output + 2 * std::size_t(done + served), std::size_t(half - served));
        done += half;

        m_positionPending.store(true, std::memory_order_release);
        if (m_position.load(std::memory_order_relaxed) >= m_playable.load(std::memory_order_acquire)) {
            // End of the file: report it once (until the next seek) and keep
            // the rest of this call silent.
            if (!m_eofLatched.exchange(true, std::memory_order_relaxed))
                m_eofPending.store(true, std::memory_order_release);
            silence(output + 2 * std::size_t(done), std::size_t(frames - done));
            return;
        }
        if (served < half)
            m_underruns.fetch_add(1, std::memory_order_relaxed);
    }
}

void AudioRenderer::sdlCallback(void *userdata, quint8 *stream, int len)
{
    if (!stream || len <= 0)
        return;
    const int frames = len / int(2 * sizeof(float));
    sf_coreaudio_render_proc(userdata, reinterpret_cast<float *>(stream), frames);
    // SDL always asks for whole frames; anything else stays silent.
    const int tail = len - frames * int(2 * sizeof(float));
    if (tail > 0)
        std::memset(stream + (len - tail), 0, std::size_t(tail));
}

void AudioRenderer::deliverNotifications()
{
    // EOF first: the audio thread raises the position flag before the EOF
    // flag, so having seen EOF the position flag is seen too, and the
    // position signal can go out before the EOF signal.
    const bool atEnd = m_eofPending.exchange(false, std::memory_order_acq_rel);
    const bool moved = m_positionPending.exchange(false, std::memory_order_acq_rel);
    if (moved || atEnd)
        emit filePositionChanged();
    if (atEnd)
        emit eof();
}

int AudioRenderer::current_buffer_start() const
{
    return int(m_ring.released() - m_fillBase);
}

quint64 AudioRenderer::underrunCount() const
{
    return m_underruns.load(std::memory_order_relaxed);
}
