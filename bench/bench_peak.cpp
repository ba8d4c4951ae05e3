// Times the peak scan against a bare sf_read_double loop over the same file,
// and against `sox FILE -n stats` when sox is installed.
//
// Usage: bench_peak [--mb N] [--runs N] [FILE]
//   FILE   the 24-bit stereo WAV to scan; written there first when missing.
//          Without it a file is written into a temporary folder and removed.
//   --mb N   size of a generated file in MiB (default 500).
//   --runs N runs of each measurement (default 2); the best is kept, so the
//            page cache is warm. Bare loop and scan take turns, so load from
//            other processes hits both alike.
// Goal: scanPeaks within 1.10x of the bare loop. Run it from an optimised
// build: at -O0 the scan's own loop is several times slower than shipped.
// The document's calculatePeak is timed on a document without a window.
#include "analysis/PeakScan.h"
#include "document/PeakJob.h"
#include "document/SoundFile.h"
#include "filelogic/CodecTable.h"

#include <sndfile.h>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point from)
{
    return std::chrono::duration<double>(Clock::now() - from).count();
}

double timed(const std::function<void()> &run)
{
    const Clock::time_point start = Clock::now();
    run();
    return seconds(start);
}

// A 24-bit stereo WAV of about `mib` MiB: noise at varying levels, so the
// running maxima keep changing now and then, as with real material.
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
    sf_count_t done = 0;
    while (done < frames) {
        const sf_count_t n = std::min<sf_count_t>(32768, frames - done);
        const int shift = int((done / 480000) % 8); // 6 dB level steps every 10 s
        for (sf_count_t i = 0; i < n * 2; ++i) {
            seed = seed * 1664525u + 1013904223u;
            block[size_t(i)] = int(seed) >> shift;
        }
        if (sf_write_int(f, block.data(), n * 2) != n * 2) {
            sf_close(f);
            return false;
        }
        done += n;
    }
    return sf_close(f) == 0;
}

SNDFILE *openRead(const QString &path, SF_INFO &info)
{
    info = SF_INFO{};
    SNDFILE *f = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!f)
        std::fprintf(stderr, "cannot read %s: %s\n", qPrintable(path), sf_strerror(nullptr));
    return f;
}

// The baseline: the same reads the scan makes, with nothing done to the data.
sf_count_t bareLoop(const QString &path)
{
    SF_INFO info;
    SNDFILE *f = openRead(path, info);
    if (!f)
        return 0;
    sf_command(f, SFC_SET_NORM_DOUBLE, nullptr, SF_FALSE);
    const sf_count_t blockItems = peakScanBlockItems(info.channels);
    std::vector<double> block(static_cast<size_t>(blockItems));
    sf_count_t total = 0;
    sf_count_t n;
    while ((n = sf_read_double(f, block.data(), blockItems)) > 0)
        total += n;
    sf_close(f);
    return total;
}

sf_count_t peakScan(const QString &path, double *peakDb)
{
    SF_INFO info;
    SNDFILE *f = openRead(path, info);
    if (!f)
        return 0;
    std::vector<double> peaks;
    double progress = 0; // stands in for the document's progress bar
    const sf_count_t total = scanPeaks(f, info, peaks, [&](double percent) { progress = percent; return true; });
    *peakDb = peakDecibels(*std::max_element(peaks.begin(), peaks.end()), info.format);
    sf_close(f);
    if (progress != 100.0)
        std::fprintf(stderr, "last progress %.3f, expected 100\n", progress);
    return total;
}

// The whole document command: a job on a worker with its own handle and
// progress reports, waited for. The document is opened outside the timing.
double documentScan(const QString &path)
{
    SoundFile doc;
    DocumentError err;
    if (!doc.readFromURL(QUrl::fromLocalFile(path), QString(), &err)) {
        std::fprintf(stderr, "cannot open %s: %s\n", qPrintable(path), qPrintable(err.localizedDescription));
        return 0;
    }
    const double seconds = timed([&] {
        doc.calculatePeak(nullptr);
        doc.waitForJobs();
    });
    if (!doc.peakScan()->measured())
        std::fprintf(stderr, "calculatePeak measured nothing\n");
    doc.close();
    return seconds;
}

bool runSox(const QString &path)
{
    QProcess sox;
    sox.start(QStringLiteral("sox"), {path, QStringLiteral("-n"), QStringLiteral("stats")});
    return sox.waitForFinished(-1) && sox.exitCode() == 0;
}

// sox's statistics over the same file, when sox is there: a peer's speed.
void compareWithSox(const QString &path, long runs, double bare, double scan)
{
    if (!QStandardPaths::findExecutable(QStringLiteral("sox")).isEmpty()) {
        bool ok = true;
        double sox = 1e300;
        for (long r = 0; r < runs; ++r)
            sox = std::min(sox, timed([&] { ok = runSox(path) && ok; }));
        std::printf("sox -n stats:             %8.3f s%s\n", sox, ok ? "" : "  (sox failed)");
        std::printf("ratio sox / bare:         %8.3f\n", sox / bare);
        std::printf("ratio scanPeaks / sox:    %8.3f\n", scan / sox);
    } else {
        std::printf("sox not found: skipped\n");
    }
}

} // namespace

int main(int argc, char **argv)
{
    // The document opens its playback too: without sound here.
    if (qEnvironmentVariableIsEmpty("SDL_AUDIODRIVER"))
        qputenv("SDL_AUDIODRIVER", "dummy");
    QCoreApplication app(argc, argv);
    long mib = 500;
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
    if (path.isEmpty()) {
        if (!tmp.isValid()) {
            std::fprintf(stderr, "no temporary folder\n");
            return 1;
        }
        path = tmp.filePath(QStringLiteral("bench_peak.wav"));
    }
    if (!QFileInfo::exists(path)) {
        std::printf("writing %ld MiB 24-bit stereo WAV to %s\n", mib, qPrintable(path));
        std::fflush(stdout);
        if (!generate(path, mib))
            return 1;
    }
#ifndef __OPTIMIZE__
    std::printf("note: built without optimisation; the ratio is not meaningful\n");
#endif
    const double mibOnDisk = double(QFileInfo(path).size()) / (1024.0 * 1024.0);
    std::printf("file: %s (%.0f MiB)\n", qPrintable(path), mibOnDisk);

    sf_count_t bareItems = 0;
    sf_count_t scanItems = 0;
    double peakDb = 0;
    double bare = 1e300;
    double scan = 1e300;
    double document = 1e300;
    for (long r = 0; r < runs; ++r) {
        bare = std::min(bare, timed([&] { bareItems = bareLoop(path); }));
        scan = std::min(scan, timed([&] { scanItems = peakScan(path, &peakDb); }));
        document = std::min(document, documentScan(path));
    }
    std::printf("bare sf_read_double loop: %8.3f s  (%.0f MiB/s, %lld items)\n", bare, mibOnDisk / bare,
                (long long)bareItems);

    std::printf("scanPeaks:                %8.3f s  (%.0f MiB/s, peak %.2f dB)\n", scan, mibOnDisk / scan, peakDb);
    if (scanItems != bareItems)
        std::printf("WARNING: scanPeaks read %lld items, the bare loop %lld\n", (long long)scanItems,
                    (long long)bareItems);
    std::printf("ratio scanPeaks / bare:   %8.3f  (goal <= 1.10: %s)\n", scan / bare,
                scan / bare <= 1.10 ? "met" : "missed");
    std::printf("calculatePeak (document): %8.3f s\n", document);
    std::printf("ratio calculatePeak / bare: %6.3f  (goal <= 1.10: %s)\n", document / bare,
                document / bare <= 1.10 ? "met" : "missed");

    compareWithSox(path, runs, bare, scan);
    return 0;
}
