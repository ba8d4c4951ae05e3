#include "document/Transport.h"

#include "document/ConversionChoices.h"
#include "filelogic/HandleCloser.h"
#include "container/SoundFileOpen.h"
#include "playback/AudioRenderer.h"

#include <algorithm>

Transport::Transport(QObject *parent) : QObject(parent)
{
    m_timer.setInterval(100);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        if (m_renderer)
            m_renderer->update_buffer();
    });
}

Transport::~Transport()
{
    close();
}

void Transport::setFile(SoundHandle handle, const QString &path, const SF_INFO &info)
{
    stop();
    SoundHandle old = std::exchange(m_handle, std::move(handle));
    m_path = path;
    m_info = info;
    m_sliderScale = SliderScale::forFrames(m_info.frames);
    const int listed = std::min(std::max(m_info.channels, 0), kListedChannels);
    m_leftChannel = 0;
    m_rightChannel = listed > 1 ? 1 : 0;
    connectRenderer();
    // The renderer has let go of it: the old handle may be the replaced
    // file's last, and closing it frees that file, which nobody waits for.
    HandleCloser::closeLater(std::move(old));
    m_position = 0;
    emit positionChanged(0);
}

void Transport::connectRenderer()
{
    // A refill after a save keeps its renderer: it has tried the output at
    // this rate already, and trying again costs as much as the save's copy.
    if (!m_renderer) {
        m_renderer = new AudioRenderer(this);
        connect(m_renderer, &AudioRenderer::filePositionChanged, this, &Transport::filePositionChanged);
        connect(m_renderer, &AudioRenderer::eof, this, &Transport::eof);
    }
    m_renderer->set_sndfile(m_handle.get(), &m_info);
    m_renderer->setLeftOutputMapping(m_leftChannel);
    m_renderer->setRightOutputMapping(m_rightChannel);
}

void Transport::close()
{
    // The renderer goes first: releasing it stops the audio output, so no
    // callback can run while the file underneath it is closed.
    m_timer.stop();
    delete m_renderer;
    m_renderer = nullptr;
    m_playing = false;
    m_handle.close();
}

void Transport::togglePlay()
{
    m_playing = !m_playing;
    if (m_playing) {
        if (m_renderer)
            m_renderer->play();
        m_timer.start();
    } else {
        if (m_renderer)
            m_renderer->pause();
        m_timer.stop();
    }
    emit playingChanged(m_playing);
}

void Transport::stop()
{
    if (m_playing)
        togglePlay();
}

void Transport::rewindUnseekable()
{
    // Back to the start the only way such a file allows: open it again.
    SoundHandle reopened = reopenSoundFile(m_path, m_info, false);
    if (!reopened)
        return;
    const bool wasPlaying = m_playing;
    stop();
    delete m_renderer;
    m_renderer = nullptr;
    m_handle = std::move(reopened);
    connectRenderer();
    if (wasPlaying)
        togglePlay();
}

void Transport::setPosition(qint64 frame)
{
    m_position = std::clamp<qint64>(frame, 0, std::max<qint64>(m_info.frames, 0));
    emit positionChanged(m_position);
}

void Transport::seekToFrame(qint64 frame)
{
    setPosition(frame);
    if (!m_renderer)
        return;
    if (m_info.seekable)
        m_renderer->seek(m_position);
    else if (m_position == 0)
        rewindUnseekable();
}

void Transport::setOutputChannel(bool left, int channel)
{
    if (channel < 0)
        return;
    (left ? m_leftChannel : m_rightChannel) = channel;
    if (!m_renderer)
        return;
    if (left)
        m_renderer->setLeftOutputMapping(channel);
    else
        m_renderer->setRightOutputMapping(channel);
}

void Transport::filePositionChanged()
{
    if (m_renderer)
        setPosition(m_renderer->currentPosition());
}

void Transport::eof()
{
    // The renderer may report an end that a stop already overtook.
    stop();
    seekToFrame(0);
}
