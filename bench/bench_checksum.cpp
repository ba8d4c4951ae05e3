// The audio's checksum against the tools an archive would otherwise use,
// each pair measured in this run, alternating (median of --runs, 5 by
// default). Every file is read from the page cache after its first pass.
// - MD5 of a WAV's audio against md5sum of the same file (goal at most
//   1.1x);
// - a FLAC's verification against `flac -t` of it, both decoding and
//   hashing (goal at most 1.0x);
// - --verify over 200 files of 5 MB against md5sum over them (goal at most
//   1.1x).
//   bench_checksum [--mb N] [--files N] [--runs N] [--dir DIR]
#include "analysis/AudioChecksum.h"
#include "cli/CommandLine.h"

#include "BenchSupport.h"

#include <sndfile.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>
#include <functional>
#include <vector>

#include <sys/resource.h>

namespace {

// Low-passed noise, 16-bit stereo 48 kHz, so FLAC has something to gain.
bool makeWav(const QString &path, qint64 bytes)
{
    SF_INFO info = {0, 48000, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0, 0};
    SNDFILE *file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file)
        return false;
    std::vector<short> block(2 * 65536);
    quint32 seed = 12345;
    int smooth[2] = {0, 0};
    for (qint64 left = bytes / 4; left > 0; left -= 65536) {
        for (size_t i = 0; i < block.size(); ++i) {
            seed = seed * 1664525u + 1013904223u;
            int &y = smooth[i % 2];
            y += (int(seed >> 16) - 32768 - y) / 4;
            block[i] = short(y);
        }
        sf_writef_short(file, block.data(), std::min<qint64>(65536, left));
    }
    return sf_close(file) == 0;
}

// Processor seconds of this process (RUSAGE_SELF, every thread) or of its
// finished children.
double cpuSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    const auto sum = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return sum(usage.ru_utime) + sum(usage.ru_stime);
}

// Wall and processor seconds of one run.
QPair<double, double> seconds(const std::function<bool()> &run, int who, bool *ok)
{
    const double cpu = cpuSeconds(who);
    QElapsedTimer clock;
    clock.start();
    *ok = run() && *ok;
    return {clock.nsecsElapsed() / 1e9, cpuSeconds(who) - cpu};
}

bool program(const QString &name, const QStringList &args)
{
    QProcess process;
    process.start(name, args);
    return process.waitForFinished(-1) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

bool verified(const QString &path)
{
    const AudioChecksum sum = computeAudioChecksum(path);
    return sum.ok && checksumVerdict(sum) != ChecksumVerdict::Differs;
}

bool verifyCommand(const QStringList &files)
{
    QString out, err;
    QTextStream outStream(&out), errStream(&err);
    return runCommandLine(QStringList{"--verify"} + files, outStream, errStream) == 0;
}

// Medians of `runs` alternating runs of both; the ratio ours / theirs. The
// processor time beside it tells a loaded machine's share from the work.
bool compare(const char *what, int runs, double goal, const std::function<bool()> &theirs, const char *theirName,
             const std::function<bool()> &ours)
{
    std::vector<double> them, us, themCpu, usCpu;
    bool ok = true;
    for (int run = 0; run < runs; ++run) {
        const auto [wall, cpu] = seconds(theirs, RUSAGE_CHILDREN, &ok);
        const auto [ourWall, ourCpu] = seconds(ours, RUSAGE_SELF, &ok);
        them.push_back(wall);
        themCpu.push_back(cpu);
        us.push_back(ourWall);
        usCpu.push_back(ourCpu);
    }
    const double a = bench::median(them), b = bench::median(us);
    std::printf("%s: %s %.2f s (processor %.2f s), ours %.2f s (processor %.2f s), ratio %.2fx (goal at most %.2fx)%s\n",
                what, theirName, a, bench::median(themCpu), b, bench::median(usCpu), b / a, goal, ok ? "" : "  FAILED");
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int runs = bench::intOption(args, "--runs", 5), count = bench::intOption(args, "--files", 200);
    const qint64 bytes = qint64(bench::intOption(args, "--mb", 518)) * 1000 * 1000;
    QTemporaryDir dir(bench::tempDirTemplate(args, "bench_checksum"));
    const QString wav = dir.filePath("big.wav"), flac = dir.filePath("big.flac");
    std::printf("writing a %.0f MB WAV and its FLAC...\n", bytes / 1e6);
    if (!makeWav(wav, bytes) || !program("flac", {"-s", "-f", "-o", flac, wav})) {
        std::fprintf(stderr, "cannot write %s or %s (is flac installed?)\n", qPrintable(wav), qPrintable(flac));
        return 1;
    }
    QStringList files{dir.filePath("take000.wav")};
    QString out, err;
    QTextStream outStream(&out), errStream(&err);
    if (!makeWav(files[0], 5 * 1024 * 1024) || runCommandLine({"--embed-md5", files[0]}, outStream, errStream) != 0) {
        std::fprintf(stderr, "cannot write %s: %s\n", qPrintable(files[0]), qPrintable(err));
        return 1;
    }
    for (int i = 1; i < count; ++i) {
        files << dir.filePath(QStringLiteral("take%1.wav").arg(i, 3, 10, QLatin1Char('0')));
        QFile::copy(files[0], files.last());
    }

    bool ok = compare("WAV audio", runs, 1.1, [&] { return program("md5sum", {wav}); }, "md5sum",
                      [&] { return verified(wav); });
    ok = compare("FLAC verification", runs, 1.0, [&] { return program("flac", {"-t", "-s", flac}); }, "flac -t",
                 [&] { return verified(flac); }) && ok;
    ok = compare(qPrintable(QStringLiteral("--verify of %1 files of 5 MB").arg(count)), runs, 1.1,
                 [&] { return program("md5sum", files); }, "md5sum", [&] { return verifyCommand(files); }) && ok;
    return ok ? 0 : 1;
}
