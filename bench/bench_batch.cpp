// `wavquill --set description=...` on a batch of generated WAV files against
// `cp` + `sync` of the same files, both measured in this run, alternating
// (median of --runs, 5 by default; the baseline alone varies by a fifth).
// The description is a fixed field of the broadcast record, so every file
// has room for it and is saved in place. Goal: at most 0.2x the copy into an
// empty folder.
//
// The copy is also measured over the copies the first one left, which frees
// their blocks as a save that writes a new file does (on a file system that
// discards freed blocks at once, freeing costs device time of its own), and
// the time of removing the copies (the freeing alone); both are printed.
//   bench_batch [--files N] [--mb N] [--runs N] [--dir DIR]
#include "cli/CommandLine.h"

#include "BenchSupport.h"

#include <sndfile.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// A broadcast WAV of noise (16-bit stereo) of about the given size.
bool makeWav(const QString &path, int megabytes)
{
    SF_INFO info = {0, 48000, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0, 0};
    SNDFILE *file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file)
        return false;
    SF_BROADCAST_INFO bext{};
    std::snprintf(bext.description, sizeof bext.description, "Generated");
    sf_command(file, SFC_SET_BROADCAST_INFO, &bext, sizeof bext);
    std::vector<short> block(2 * 65536);
    const qint64 frames = qint64(megabytes) * 1024 * 1024 / 4;
    for (qint64 done = 0; done < frames; done += 65536) {
        for (short &v : block)
            v = short(QRandomGenerator::global()->bounded(-20000, 20000));
        sf_writef_short(file, block.data(), std::min<qint64>(65536, frames - done));
    }
    sf_close(file);
    return true;
}

bool runProgram(const QString &program, const QStringList &args)
{
    return QProcess::execute(program, args) == 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int count = bench::intOption(args, "--files", 200);
    const int megabytes = bench::intOption(args, "--mb", 5);
    QTemporaryDir dir(bench::tempDirTemplate(args, "bench_batch"));
    QStringList files;
    const QString first = dir.filePath("take000.wav");
    if (!makeWav(first, megabytes)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(first));
        return 1;
    }
    files << first;
    for (int i = 1; i < count; ++i) {
        files << dir.filePath(QStringLiteral("take%1.wav").arg(i, 3, 10, QLatin1Char('0')));
        QFile::copy(first, files.last());
    }
    std::printf("%d files of %d MB\n", count, megabytes);

    std::vector<double> copyTimes, overTimes, removeTimes, setTimes;
    const int runs = bench::intOption(args, "--runs", 5);
    const QString copies = dir.filePath("copies");
    const QStringList copyArgs = files + QStringList{copies};
    // Seconds of `program args` + `sync`, after a sync of what came before.
    const auto timed = [](const QString &program, const QStringList &programArgs, bool *ok) {
        runProgram("sync", {});
        QElapsedTimer clock;
        clock.start();
        *ok = runProgram(program, programArgs) && runProgram("sync", {}) && *ok;
        return clock.nsecsElapsed() / 1e9;
    };
    for (int run = 0; run < runs; ++run) {
        bool copied = QDir().mkpath(copies);
        copyTimes.push_back(timed("cp", copyArgs, &copied));
        overTimes.push_back(timed("cp", copyArgs, &copied));
        removeTimes.push_back(timed("rm", {"-r", copies}, &copied));

        QString out, err;
        QTextStream outStream(&out), errStream(&err);
        runProgram("sync", {});
        QElapsedTimer clock;
        clock.start();
        const int status = runCommandLine(QStringList{"--set", QStringLiteral("description=Batch run %1").arg(run)} + files,
                                          outStream, errStream);
        setTimes.push_back(clock.nsecsElapsed() / 1e9);
        if (!copied || status != 0) {
            std::fprintf(stderr, "run %d failed: %s\n", run, qPrintable(err));
            return 1;
        }
        std::printf("run %d: cp + sync %.2f s into an empty folder, %.2f s over the copies (removing them %.2f s); "
                    "--set %.2f s\n",
                    run, copyTimes.back(), overTimes.back(), removeTimes.back(), setTimes.back());
    }
    const double copy = bench::median(copyTimes), over = bench::median(overTimes), set = bench::median(setTimes);
    std::printf("median: cp + sync %.2f s into an empty folder, %.2f s over the copies (removing them %.2f s), --set %.2f s\n",
                copy, over, bench::median(removeTimes), set);
    std::printf("ratio against the copy into an empty folder: %.2fx (goal at most 0.20x); "
                "against the copy that replaces files: %.2fx\n",
                set / copy, set / over);
    return 0;
}
