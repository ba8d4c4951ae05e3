// Playback costs, each next to a baseline measured in the same run:
//  - the render procedure per frame, against a plain memcpy of the bytes it
//    writes;
//  - a buffer refill per item, against a memcpy of the same bytes;
//  - underruns while a 192 kHz 8-channel file plays through SDL's dummy
//    driver and the main thread is kept busy (the goal is 0).
// Usage: bench_playback [--seconds N] [--busy-ms M]
#include "playback/AudioRenderer.h"

#include <sndfile.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

// Keeps the renderer's "rebuffering." lines out of the report.
class QuietStdout
{
public:
    QuietStdout()
    {
        std::fflush(stdout);
        m_saved = dup(STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~QuietStdout()
    {
        std::fflush(stdout);
        dup2(m_saved, STDOUT_FILENO);
        close(m_saved);
    }

private:
    int m_saved = -1;
};

bool writeTestFile(const QString &path, int channels, int rate, sf_count_t frames)
{
    SF_INFO info{};
    info.channels = channels;
    info.samplerate = rate;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE *f = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!f) {
        std::fprintf(stderr, "cannot write %s: %s\n", qPrintable(path), sf_strerror(nullptr));
        return false;
    }
    std::vector<float> block(size_t(channels) * 8192);
    for (sf_count_t done = 0; done < frames;) {
        const sf_count_t n = std::min<sf_count_t>(8192, frames - done);
        for (sf_count_t i = 0; i < n; ++i)
            for (int c = 0; c < channels; ++c)
                block[size_t(i * channels + c)] =
                    float(0.4 * std::sin(2.0 * M_PI * 110.0 * (c + 1) * double(done + i) / rate));
        sf_writef_float(f, block.data(), n);
        done += n;
    }
    return sf_close(f) == 0;
}

struct Handle
{
    SNDFILE *sndfile = nullptr;
    SF_INFO info{};
    explicit Handle(const QString &path) { sndfile = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info); }
    ~Handle()
    {
        if (sndfile)
            sf_close(sndfile);
    }
};

volatile float g_sink; // keeps the baseline copies from being optimised away

void benchCopyCosts(const QTemporaryDir &dir, int channels, int left, int right)
{
    const int rate = 48000;
    const sf_count_t frames = 3 * sf_count_t(AudioRenderer::kBufferItems / channels);
    const QString path = dir.filePath(QStringLiteral("copy-%1.wav").arg(channels));
    if (!writeTestFile(path, channels, rate, frames))
        return;
    Handle file(path);
    if (!file.sndfile)
        return;
    auto r = std::make_unique<AudioRenderer>();
    const int callFrames = 2048;
    std::vector<float> out(2 * size_t(callFrames));
    qint64 renderNs = 0, refillNs = 0, renderedFrames = 0, refilledItems = 0, refills = 0, calls = 0;
    {
        QuietStdout quiet;
        r->set_sndfile(file.sndfile, &file.info);
        r->setLeftOutputMapping(left);
        r->setRightOutputMapping(right);
        QElapsedTimer t;
        for (int pass = 0; pass < 20; ++pass) {
            r->seek(0);
            while (r->currentPosition() + callFrames < frames) {
                t.start();
                AudioRenderer::sf_coreaudio_render_proc(r.get(), out.data(), callFrames);
                renderNs += t.nsecsElapsed();
                renderedFrames += callFrames;
                ++calls;
                const int used = r->current_buffer_start();
                t.start();
                r->update_buffer();
                const qint64 ns = t.nsecsElapsed();
                if (r->current_buffer_start() < used) {
                    refillNs += ns;
                    refilledItems += used;
                    ++refills;
                }
            }
        }
    }
    g_sink = out[1];

    // Baselines: the same bytes moved by memcpy, from a source as large as
    // the renderer's buffer so that caches play the same part.
    std::vector<float> src(AudioRenderer::kBufferItems, 0.25f);
    std::vector<float> dst(AudioRenderer::kBufferItems);
    const size_t callItems = 2 * size_t(callFrames);
    QElapsedTimer t;
    t.start();
    size_t at = 0;
    for (qint64 i = 0; i < calls; ++i) {
        std::memcpy(out.data(), src.data() + at, callItems * sizeof(float));
        at = (at + callItems) % (src.size() - callItems);
        g_sink = out[i % callItems];
    }
    const qint64 copyCallNs = std::max<qint64>(1, t.nsecsElapsed());
    t.start();
    qint64 remaining = refilledItems;
    while (remaining > 0) {
        const qint64 n = std::min<qint64>(remaining, qint64(src.size()));
        std::memcpy(dst.data(), src.data(), size_t(n) * sizeof(float));
        g_sink = dst[size_t(n - 1)];
        remaining -= n;
    }
    const qint64 copyRefillNs = std::max<qint64>(1, t.nsecsElapsed());

    std::printf("%d channels, left=%d right=%d, %d-frame calls:\n", channels, left, right, callFrames);
    std::printf("  render:  %.2f ns/frame, memcpy of the output bytes %.2f ns/frame, ratio %.2f\n",
                double(renderNs) / double(renderedFrames), double(copyCallNs) / double(renderedFrames),
                double(renderNs) / double(copyCallNs));
    if (refills > 0)
        std::printf("  refill:  %lld refills, %.2f ns/item (%.2f ms each), memcpy %.2f ns/item, ratio %.2f\n",
                    static_cast<long long>(refills), double(refillNs) / double(refilledItems),
                    double(refillNs) / double(refills) / 1e6, double(copyRefillNs) / double(refilledItems),
                    double(refillNs) / double(copyRefillNs));
}

void benchUnderruns(const QTemporaryDir &dir, int seconds, int busyMs)
{
    const int rate = 192000, channels = 8;
    const QString path = dir.filePath(QStringLiteral("play.wav"));
    std::printf("\nwriting %d s of %d Hz %d-channel audio...\n", seconds, rate, channels);
    std::fflush(stdout);
    if (!writeTestFile(path, channels, rate, sf_count_t(seconds) * rate))
        return;
    Handle file(path);
    if (!file.sndfile)
        return;

    auto r = std::make_unique<AudioRenderer>();
    int refills = 0;
    qint64 worstLateMs = 0;
    bool ended = false;
    QElapsedTimer wall;
    {
        QuietStdout quiet;
        r->set_sndfile(file.sndfile, &file.info);
        r->setRightOutputMapping(1);

        // The document's playback timer: a top-up every 0.1 s.
        QTimer refillTimer;
        refillTimer.setInterval(100);
        QElapsedTimer sinceTick;
        QObject::connect(&refillTimer, &QTimer::timeout, r.get(), [&] {
            if (sinceTick.isValid())
                worstLateMs = std::max(worstLateMs, sinceTick.elapsed() - 100);
            sinceTick.start();
            const int used = r->current_buffer_start();
            r->update_buffer();
            if (r->current_buffer_start() < used)
                ++refills;
        });
        // Other work on the main thread, in blocks of busyMs.
        QTimer busy;
        busy.setInterval(0);
        QObject::connect(&busy, &QTimer::timeout, r.get(), [busyMs] {
            QElapsedTimer spin;
            spin.start();
            while (spin.elapsed() < busyMs) {
            }
        });
        QObject::connect(r.get(), &AudioRenderer::eof, r.get(), [&] {
            ended = true;
            QCoreApplication::quit();
        });
        QTimer::singleShot((seconds + 10) * 1000, qApp, &QCoreApplication::quit);

        refillTimer.start();
        busy.start();
        wall.start();
        if (r->play() == 0)
            QCoreApplication::exec();
        r->pause();
    }
    const qint64 frames = r->currentPosition();
    std::printf("%d Hz, %d channels through SDL's dummy driver, main thread busy in %d ms blocks:\n", rate,
                channels, busyMs);
    std::printf("  played %.2f s of %d s in %.2f s wall, %s\n", double(frames) / rate, seconds,
                double(wall.elapsed()) / 1000.0, ended ? "reached the end" : "did NOT reach the end");
    std::printf("  refills %d, worst refill-timer lateness %lld ms\n", refills,
                static_cast<long long>(worstLateMs));
    std::printf("  underruns %llu (goal 0)\n", static_cast<unsigned long long>(r->underrunCount()));
}

} // namespace

int main(int argc, char **argv)
{
    // The dummy driver pulls at real-time pace without sound hardware.
    qputenv("SDL_AUDIODRIVER", "dummy");
    QCoreApplication app(argc, argv);
    int seconds = 20, busyMs = 30;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        bool ok = true;
        if (args[i] == QLatin1String("--seconds") && i + 1 < args.size())
            seconds = args[++i].toInt(&ok);
        else if (args[i] == QLatin1String("--busy-ms") && i + 1 < args.size())
            busyMs = args[++i].toInt(&ok);
        else
            ok = false;
        if (!ok || seconds <= 0 || busyMs < 0) {
            std::fprintf(stderr, "usage: %s [--seconds N] [--busy-ms M]\n", argv[0]);
            return 2;
        }
    }
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    benchCopyCosts(dir, 2, 0, 1);
    benchCopyCosts(dir, 8, 7, 3);
    benchUnderruns(dir, seconds, busyMs);
    return 0;
}
