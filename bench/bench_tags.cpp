// The steps of a tag-only save of a large FLAC (copy beside it, edit the
// title in place, flush and verify, rename), each timed, against `cp` +
// `sync` of the same file in this run. The goal (at most 1.10x, the
// document's refresh included) is measured on the real save by bench_save.
//   bench_tags [--mb N] [--dir DIR]
#include "rewrite/TagWriter.h"

#include "BenchSupport.h"

#include <sndfile.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

// Noise compresses badly, so N MB of FLAC is about N MB of 16-bit stereo.
bool makeFlac(const QString &path, int megabytes)
{
    SF_INFO info = {0, 44100, 2, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 0, 0};
    SNDFILE *file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file)
        return false;
    double level = 0.0;
    sf_command(file, SFC_SET_COMPRESSION_LEVEL, &level, sizeof level);
    sf_set_string(file, SF_STR_TITLE, "Benchmark");
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

bool copyFile(const QString &from, const QString &to)
{
    const int in = open(QFile::encodeName(from).constData(), O_RDONLY);
    const int out = open(QFile::encodeName(to).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    bool ok = in >= 0 && out >= 0;
    while (ok) {
        const ssize_t n = copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
        ok = n >= 0;
        if (n <= 0)
            break;
    }
    if (in >= 0)
        close(in);
    if (out >= 0)
        close(out);
    return ok;
}

bool syncFile(const QString &path)
{
    const int fd = open(QFile::encodeName(path).constData(), O_RDONLY);
    const bool ok = fd >= 0 && fsync(fd) == 0;
    if (fd >= 0)
        close(fd);
    return ok;
}

struct Times {
    double copy = 0, write = 0, sync = 0, verify = 0, total = 0;
};

double secondsSince(const QElapsedTimer &clock)
{
    return clock.nsecsElapsed() / 1e9;
}

// One save the way the document will do it. With `overlap` the verification
// reads the page cache while fsync waits for the disk; the rename waits for
// both.
bool tagSave(const QString &source, const QString &target, int run, bool overlap, Times *t)
{
    const QString temp = QFileInfo(target).dir().filePath("." + QFileInfo(target).fileName() + ".saving");
    rewrite::TagEdits edits;
    edits[0] = QByteArray("Benchmark title, run ") + QByteArray::number(run);
    QString error;
    QElapsedTimer clock;
    clock.start();
    bool ok = copyFile(source, temp);
    t->copy = secondsSince(clock);
    ok = ok && rewrite::writeTags(temp, edits, &error);
    t->write = secondsSince(clock) - t->copy;
    bool verified = false;
    auto verify = [&] {
        QElapsedTimer own;
        own.start();
        verified = ok && rewrite::verifyAudioUnchanged(source, temp, &error)
                   && rewrite::verifyTagsWritten(source, temp, edits, &error);
        t->verify = secondsSince(own);
    };
    std::thread verifier;
    if (overlap)
        verifier = std::thread(verify);
    const double syncStart = secondsSince(clock);
    ok = ok && syncFile(temp);
    t->sync = secondsSince(clock) - syncStart;
    if (overlap)
        verifier.join();
    else
        verify();
    ok = ok && verified && std::rename(QFile::encodeName(temp).constData(), QFile::encodeName(target).constData()) == 0;
    t->total = secondsSince(clock);
    if (!ok)
        std::fprintf(stderr, "tag save failed: %s\n", qPrintable(error));
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int megabytes = bench::intOption(args, "--mb", 100);
    QTemporaryDir dir(bench::tempDirTemplate(args, "bench_tags"));
    const QString source = dir.filePath("source.flac");
    if (!dir.isValid() || megabytes <= 0 || !makeFlac(source, megabytes)) {
        std::fprintf(stderr, "cannot make the %d MB test file\n", megabytes);
        return 1;
    }
    std::printf("FLAC of %.1f MB written by libsndfile (no padding)\n", QFileInfo(source).size() / 1048576.0);

    constexpr int kRuns = 5;
    std::vector<double> copyThenSync, overlapped, sequential, copy, write, sync, verify;
    for (int run = 0; run < kRuns; ++run) {
        const QString copied = dir.filePath("copied.flac");
        QFile::remove(copied);
        QElapsedTimer clock;
        clock.start();
        const QString command = QStringLiteral("cp '%1' '%2' && sync").arg(source, copied);
        if (std::system(QFile::encodeName(command).constData()) != 0)
            return 1;
        copyThenSync.push_back(secondsSince(clock));
        Times t;
        if (!tagSave(source, dir.filePath("saved.flac"), run, false, &t))
            return 1;
        sequential.push_back(t.total);
        copy.push_back(t.copy);
        write.push_back(t.write);
        sync.push_back(t.sync);
        verify.push_back(t.verify);
        if (!tagSave(source, dir.filePath("saved.flac"), run, true, &t))
            return 1;
        overlapped.push_back(t.total);
    }
    const double base = bench::median(copyThenSync);
    std::printf("cp + sync (baseline)           %.3f s\n", base);
    std::printf("tag save, verify beside fsync  %.3f s  = %.2fx baseline\n", bench::median(overlapped),
                bench::median(overlapped) / base);
    std::printf("tag save, verify after fsync   %.3f s  = %.2fx baseline\n", bench::median(sequential), bench::median(sequential) / base);
    std::printf("  copy_file_range              %.3f s\n", bench::median(copy));
    std::printf("  writeTags                    %.3f s\n", bench::median(write));
    std::printf("  fsync                        %.3f s\n", bench::median(sync));
    std::printf("  verification                 %.3f s  = %.2fx baseline\n", bench::median(verify), bench::median(verify) / base);
    std::printf("tag save without verification  %.2fx baseline\n", (bench::median(sequential) - bench::median(verify)) / base);
    return 0;
}
