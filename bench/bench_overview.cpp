// Times the waveform overview (start to every bucket published) against the
// peak scan over the same file, in the same run: both read every sample
// once, so the overview should cost about what the scan does.
//
// Usage: bench_overview [--mb N] [--runs N] [FILE]
//   FILE     the 24-bit stereo WAV to read; written there first when missing.
//            Without it a file is written into a temporary folder and removed.
//   --mb N   size of a generated file in MiB (default 518).
//   --runs N runs of each (default 2); the best is kept, so the page cache
//            is warm. The two take turns, so load from other processes hits
//            both alike.
// Goal: the overview within 1.5x of the scan. Run it from an optimised build.
#include "analysis/PeakScan.h"
#include "analysis/WaveformOverview.h"

#include <sndfile.h>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

namespace {

double timed(const std::function<void()> &run)
{
    const auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A 24-bit stereo WAV of about `mib` MiB: noise whose level steps every 10 s.
bool generate(const QString &path, long mib)
{
    const sf_count_t frames = sf_count_t(mib) * 1024 * 1024 / 6;
    SF_INFO info{};
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
    info.channels = 2;
    info.samplerate = 48000;
    SNDFILE *f = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!f) {
        std::fprintf(stderr, "cannot write %s: %s\n", qPrintable(path), sf_strerror(nullptr));
        return false;
    }
    std::vector<int> block(65536);
    unsigned seed = 12345;
    bool ok = true;
    for (sf_count_t done = 0; ok && done < frames;) {
        const sf_count_t n = std::min<sf_count_t>(32768, frames - done);
        const int shift = int((done / 480000) % 8);
        for (sf_count_t i = 0; i < n * 2; ++i) {
            seed = seed * 1664525u + 1013904223u;
            block[size_t(i)] = int(seed) >> shift;
        }
        ok = sf_write_int(f, block.data(), n * 2) == n * 2;
        done += n;
    }
    return sf_close(f) == 0 && ok;
}

bool infoOf(const QString &path, SF_INFO *info)
{
    *info = SF_INFO{};
    SNDFILE *f = sf_open(QFile::encodeName(path).constData(), SFM_READ, info);
    if (!f)
        std::fprintf(stderr, "cannot read %s: %s\n", qPrintable(path), sf_strerror(nullptr));
    return f && sf_close(f) == 0;
}

// Opening included, as the overview opens its own handle.
double peakScan(const QString &path)
{
    SF_INFO info{};
    SNDFILE *f = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    std::vector<double> peaks;
    scanPeaks(f, info, peaks, {});
    sf_close(f);
    return peaks.empty() ? 0.0 : *std::max_element(peaks.begin(), peaks.end());
}

WaveformSnapshot overview(const QString &path, const SF_INFO &info)
{
    WaveformOverview overview;
    const std::atomic<bool> never{false};
    overview.compute(path, info, kWaveformBuckets, never);
    return overview.snapshot({0, 1});
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    long mib = 518;
    long runs = 2;
    QString path;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--mb") == 0 && i + 1 < argc) {
            mib = std::strtol(argv[++i], nullptr, 10);
        } else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            runs = std::strtol(argv[++i], nullptr, 10);
        } else if (argv[i][0] == '-') {
            std::fprintf(stderr, "usage: %s [--mb N] [--runs N] [FILE]\n", argv[0]);
            return 2;
        } else {
            path = QString::fromLocal8Bit(argv[i]);
        }
    }
    if (mib <= 0 || runs <= 0) {
        std::fprintf(stderr, "--mb and --runs need a positive number\n");
        return 2;
    }
    QTemporaryDir tmp;
    if (path.isEmpty())
        path = tmp.filePath(QStringLiteral("bench_overview.wav"));
    if (!QFileInfo::exists(path)) {
        std::printf("writing %ld MiB 24-bit stereo WAV to %s\n", mib, qPrintable(path));
        std::fflush(stdout);
        if (!generate(path, mib))
            return 1;
    }
#ifndef __OPTIMIZE__
    std::printf("note: built without optimisation; the ratio is not meaningful\n");
#endif
    SF_INFO info;
    if (!infoOf(path, &info))
        return 1;
    const double mibOnDisk = double(QFileInfo(path).size()) / (1024.0 * 1024.0);
    std::printf("file: %s (%.0f MiB, %lld frames)\n", qPrintable(path), mibOnDisk, (long long)info.frames);

    double scan = 1e300, view = 1e300, peak = 0;
    WaveformSnapshot s;
    for (long r = 0; r < runs; ++r) {
        scan = std::min(scan, timed([&] { peak = peakScan(path); }));
        view = std::min(view, timed([&] { s = overview(path, info); }));
    }
    float top = 0;
    for (const auto &channel : s.maxima)
        for (float v : channel)
            top = std::max(top, v);
    std::printf("scanPeaks:          %8.3f s  (%.0f MiB/s, peak %.0f)\n", scan, mibOnDisk / scan, peak);
    std::printf("waveform overview:  %8.3f s  (%.0f MiB/s, %d of %d buckets, largest %.4f)\n", view,
                mibOnDisk / view, s.filled, s.planned, double(top));
    if (!s.complete)
        std::printf("WARNING: the overview did not complete\n");
    std::printf("ratio overview / scan: %6.3f  (goal <= 1.50: %s)\n", view / scan, view / scan <= 1.5 ? "met" : "missed");
    return s.complete ? 0 : 1;
}
