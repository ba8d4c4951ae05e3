// Times measureLoudness() against ffmpeg's ebur128 filter with true peak, and
// against a single libebur128 state with its own true peak, over the same
// file in one run.
//
// Usage: bench_loudness [--mb N]
//   --mb N  size of the generated 24-bit stereo 48 kHz WAV in MB of 10^6
//           bytes (default 518: 30 minutes). It is written into a temporary
//           folder first, so all three read it from the page cache.
// Goal: measureLoudness within 0.5x of ffmpeg's time.
#include "analysis/LoudnessScan.h"

#include <ebur128.h>
#include <sndfile.h>

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double timed(const std::function<void()> &run)
{
    const Clock::time_point start = Clock::now();
    run();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Low-passed noise whose level steps every 7 s, so gating and range have
// something to do and the true peak differs from the sample peak.
bool generate(const QString &path, sf_count_t frames)
{
    SF_INFO info{0, 48000, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_24, 0, 0};
    SNDFILE *f = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!f)
        return false;
    std::vector<float> block(2 * 48000);
    unsigned seed = 12345;
    float lp[2] = {0, 0};
    for (sf_count_t done = 0; done < frames;) {
        const sf_count_t n = std::min<sf_count_t>(48000, frames - done);
        const float gain = 0.4f * std::pow(0.5f, float((done / (7 * 48000)) % 5));
        for (sf_count_t i = 0; i < 2 * n; ++i) {
            seed = seed * 1664525u + 1013904223u;
            float &y = lp[i % 2];
            y += 0.3f * (float(int32_t(seed)) / 2147483648.0f - y);
            block[size_t(i)] = std::clamp(gain * 3.0f * y, -1.0f, 1.0f);
        }
        if (sf_writef_float(f, block.data(), n) != n) {
            sf_close(f);
            return false;
        }
        done += n;
    }
    return sf_close(f) == 0;
}

// The plain way: one state, libebur128's true peak, one thread.
LoudnessResult singleState(const QString &path)
{
    LoudnessResult r;
    SF_INFO info{};
    SNDFILE *f = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    ebur128_state *st = ebur128_init(unsigned(info.channels), static_cast<unsigned long>(info.samplerate),
                                     EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_TRUE_PEAK);
    std::vector<float> buffer(size_t(65536 * info.channels));
    for (sf_count_t got; (got = sf_readf_float(f, buffer.data(), 65536)) > 0;)
        ebur128_add_frames_float(st, buffer.data(), size_t(got));
    double peak = 0;
    for (unsigned c = 0; c < unsigned(info.channels); ++c) {
        double p = 0;
        ebur128_true_peak(st, c, &p);
        peak = std::max(peak, p);
    }
    ebur128_loudness_global(st, &r.integrated);
    ebur128_loudness_range(st, &r.range);
    r.truePeak = 20 * std::log10(peak);
    ebur128_destroy(&st);
    sf_close(f);
    return r;
}

void print(const char *name, double seconds, const QString &values)
{
    std::printf("%-34s %7.2f s   %s\n", name, seconds, qPrintable(values));
}

QString values(const LoudnessResult &r)
{
    return loudnessText(r.integrated) + "  " + loudnessRangeText(r.range) + "  " + truePeakText(r.truePeak);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    double mb = 518;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--mb") == 0)
            mb = std::atof(argv[i + 1]);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bench.wav"));
    const sf_count_t frames = sf_count_t(mb * 1e6 / 6);
    std::printf("writing %.0f MB (%.1f min of 24-bit stereo 48 kHz)...\n", mb, double(frames) / 48000 / 60);
    if (!dir.isValid() || !generate(path, frames)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return 1;
    }

    LoudnessResult mine;
    const double ours = timed([&] { mine = measureLoudness(path); });
    print("measureLoudness", ours, values(mine));

    const QString ffmpeg = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
    double theirs = 0;
    if (!ffmpeg.isEmpty()) {
        QProcess process;
        theirs = timed([&] {
            process.start(ffmpeg, {"-nostats", "-hide_banner", "-i", path, "-af", "ebur128=peak=true", "-f", "null", "-"});
            process.waitForFinished(-1);
        });
        const QString out = QString::fromUtf8(process.readAllStandardError()).section("Summary:", -1).simplified();
        print("ffmpeg ebur128=peak=true", theirs, out);
    }

    LoudnessResult plain;
    const double single = timed([&] { plain = singleState(path); });
    print("libebur128, one state, true peak", single, values(plain));

    if (theirs > 0)
        std::printf("ratio measureLoudness / ffmpeg:     %.2fx (goal <= 0.50x)\n", ours / theirs);
    std::printf("ratio measureLoudness / libebur128: %.2fx\n", ours / single);
    return 0;
}
