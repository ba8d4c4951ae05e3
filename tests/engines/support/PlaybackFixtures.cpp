#include "PlaybackFixtures.h"

#include "Fixtures.h"

#include <QFile>

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace playbackfixtures {

double testSample(sf_count_t frame, int channel)
{
    quint64 h = quint64(frame) * 0x9E3779B97F4A7C15ull + quint64(channel) * 0xC2B2AE3D27D4EB4Full;
    h ^= h >> 29;
    // At most 0.49 of full scale: PCM_16 stores k / 32768 exactly as k.
    return double(h % 16000 + 1) / 32768.0;
}

std::vector<float> readFloats(const QString &path)
{
    SF_INFO info{};
    std::vector<float> items;
    SNDFILE *f = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!f)
        return items;
    items.resize(size_t(info.frames) * size_t(info.channels));
    items.resize(size_t(sf_readf_float(f, items.data(), info.frames)) * size_t(info.channels));
    sf_close(f);
    return items;
}

std::vector<float> readRaw(const QString &path)
{
    QFile in(path);
    const QByteArray bytes = in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
    std::vector<float> out(size_t(bytes.size()) / sizeof(float));
    std::memcpy(out.data(), bytes.constData(), out.size() * sizeof(float));
    return out;
}

OpenFile::OpenFile(const QString &path)
{
    handle = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
}

OpenFile::~OpenFile()
{
    if (handle)
        sf_close(handle);
}

StdoutCapture::StdoutCapture()
{
    m_file.open();
    std::fflush(stdout);
    m_saved = dup(STDOUT_FILENO);
    dup2(m_file.handle(), STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture()
{
    restore();
}

QString StdoutCapture::text()
{
    restore();
    m_file.seek(0);
    return QString::fromLocal8Bit(m_file.readAll());
}

void StdoutCapture::restore()
{
    if (m_saved < 0)
        return;
    std::fflush(stdout);
    dup2(m_saved, STDOUT_FILENO);
    close(m_saved);
    m_saved = -1;
}

bool Player::open(const QTemporaryDir &dir, const QString &name, int channels, sf_count_t frames, int rate,
                  const QString &rawPath, const char *msPerBuffer)
{
    raw = rawPath;
    delay = msPerBuffer;
    fixtures::Spec spec;
    spec.channels = channels;
    spec.frames = frames;
    spec.samplerate = rate;
    path = dir.filePath(name);
    if (!fixtures::write(path, spec, testSample))
        return false;
    ref = readFloats(path);
    file = std::make_unique<OpenFile>(path);
    if (!file->handle)
        return false;
    r = std::make_unique<AudioRenderer>();
    logSignals();
    // The output opened to try it out writes nowhere.
    qputenv("SDL_DISKAUDIOFILE", "/dev/null");
    StdoutCapture capture;
    r->set_sndfile(file->handle, &file->info);
    setupOutput = capture.text();
    return true;
}

int Player::play()
{
    // The disk driver reads these when a device opens.
    if (!raw.isEmpty()) {
        qputenv("SDL_DISKAUDIOFILE", QFile::encodeName(raw));
        qputenv("SDL_DISKAUDIODELAY", delay);
    }
    const int status = r->play();
    qputenv("SDL_DISKAUDIOFILE", "/dev/null");
    qunsetenv("SDL_DISKAUDIODELAY");
    return status;
}

void Player::logSignals()
{
    QObject::connect(r.get(), &AudioRenderer::filePositionChanged, r.get(), [this] { events << "pos"; });
    QObject::connect(r.get(), &AudioRenderer::eof, r.get(), [this] { events << "eof"; });
}

int Player::count(const char *what) const
{
    return int(events.count(QLatin1String(what)));
}

void renderInto(AudioRenderer *r, std::vector<float> &out, int frames)
{
    const size_t at = out.size();
    out.resize(at + 2 * size_t(frames));
    AudioRenderer::sf_coreaudio_render_proc(r, out.data() + at, frames);
}

QString playToEnd(Player &p, std::vector<float> &out, int framesPerCall, int maxCalls)
{
    StdoutCapture capture;
    for (int i = 0; i < maxCalls && p.count("eof") == 0; ++i) {
        renderInto(p.r.get(), out, framesPerCall);
        p.r->update_buffer();
        p.r->deliverNotifications();
    }
    return capture.text();
}

QString compareMapped(const std::vector<float> &out, size_t outFrame, const std::vector<float> &ref,
                      int channels, int left, int right, size_t fromFrame, size_t count)
{
    if (out.size() < 2 * (outFrame + count))
        return QStringLiteral("output has %1 frames, need %2").arg(out.size() / 2).arg(outFrame + count);
    if (ref.size() < size_t(channels) * (fromFrame + count))
        return QStringLiteral("reference too short");
    for (size_t i = 0; i < count; ++i) {
        const float *o = &out[2 * (outFrame + i)];
        const float *f = &ref[size_t(channels) * (fromFrame + i)];
        if (o[0] != f[left] || o[1] != f[right])
            return QStringLiteral("frame %1 (file frame %2): got %3/%4, want %5/%6")
                .arg(outFrame + i).arg(fromFrame + i).arg(o[0]).arg(o[1]).arg(f[left]).arg(f[right]);
    }
    return QString();
}

bool silentFrom(const std::vector<float> &out, size_t frame)
{
    for (size_t i = 2 * frame; i < out.size(); ++i)
        if (out[i] != 0.0f)
            return false;
    return true;
}

} // namespace playbackfixtures
