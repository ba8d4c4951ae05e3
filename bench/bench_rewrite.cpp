// Speed of the rewrite engine against the plainest copies that do the same
// work: a bare libsndfile read/write loop (no check, no flush) for the copy
// phase, and sndfile-convert followed by sync for the whole flushed save.
//
// bench_rewrite [--mb N] [--dir PATH] [--runs N]
// Generates a 24-bit stereo WAV of N MB (default 512) in PATH (default the
// system's temporary folder), then times a same-format save and a 24 to 16
// bit conversion. Each figure is the best of --runs runs (default 2).
#include "rewrite/FileRewriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

constexpr int kBlockItems = 65536;

double seconds(const std::function<bool()> &work, bool *ok = nullptr)
{
    QElapsedTimer timer;
    timer.start();
    const bool done = work();
    if (ok)
        *ok = done;
    return double(timer.nsecsElapsed()) / 1e9;
}

bool generate(const QString &path, qint64 megabytes)
{
    SF_INFO info{};
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
    info.channels = 2;
    info.samplerate = 48000;
    SNDFILE *f = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!f)
        return false;
    const sf_count_t frames = megabytes * 1024 * 1024 / 6;
    std::vector<int> block(kBlockItems);
    quint32 noise = 1;
    for (sf_count_t done = 0; done < frames;) {
        const sf_count_t n = std::min<sf_count_t>(kBlockItems / 2, frames - done);
        for (sf_count_t i = 0; i < n; ++i) {
            noise = noise * 1664525u + 1013904223u;
            const double tone = 0.5 * std::sin(double(done + i) * 0.0577);
            block[size_t(2 * i)] = int(tone * 2147483647.0) + int(noise >> 20);
            block[size_t(2 * i + 1)] = int(-tone * 2147483647.0) - int(noise >> 21);
        }
        sf_writef_int(f, block.data(), n);
        done += n;
    }
    return sf_close(f) == 0;
}

// The baseline copy: read and write int blocks, nothing else.
bool bareCopy(const QString &from, const QString &to, int format)
{
    SF_INFO in{};
    SNDFILE *src = sf_open(QFile::encodeName(from).constData(), SFM_READ, &in);
    if (!src)
        return false;
    SF_INFO out{};
    out.format = format;
    out.channels = in.channels;
    out.samplerate = in.samplerate;
    SNDFILE *dst = sf_open(QFile::encodeName(to).constData(), SFM_WRITE, &out);
    if (!dst) {
        sf_close(src);
        return false;
    }
    std::vector<int> block(kBlockItems);
    const sf_count_t ask = kBlockItems / in.channels * in.channels;
    sf_count_t n;
    while ((n = sf_read_int(src, block.data(), ask)) > 0)
        sf_write_int(dst, block.data(), n);
    sf_close(src);
    return sf_close(dst) == 0;
}

bool runTool(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    return p.waitForFinished(-1) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

struct Figures {
    double bare = 1e30;
    double copyPhase = 1e30;
    double save = 1e30;
    double tool = 1e30;
};

void measure(const QString &dir, const QString &source, int targetFormat, const char *toolOption, int runs, Figures &best)
{
    const QString bareOut = dir + "/bare.wav";
    const QString ours = dir + "/ours.wav";
    const QString theirs = dir + "/theirs.wav";
    for (int run = 0; run < runs; ++run) {
        bool ok = false;
        best.bare = std::min(best.bare, seconds([&] { return bareCopy(source, bareOut, targetFormat); }, &ok));
        if (!ok)
            std::printf("bare copy failed\n");
        QFile::remove(bareOut);

        SF_INFO info{};
        SNDFILE *sf = sf_open(QFile::encodeName(source).constData(), SFM_READ, &info);
        RewriteJob job;
        job.source = sf;
        job.sourceInfo = info;
        job.sourcePath = source;
        job.targetPath = ours;
        job.targetInfo = info;
        job.targetInfo.format = targetFormat;
        RewriteResult result;
        const double whole = seconds([&] {
            result = FileRewriter().run(job, {});
            return result.ok;
        });
        sf_close(sf);
        if (!result.ok)
            std::printf("rewrite failed: %s\n", qPrintable(result.detail));
        best.save = std::min(best.save, whole);
        best.copyPhase = std::min(best.copyPhase, result.timings.copyMs / 1000.0);
        std::printf("  run %d: copy %.2f s, close %.2f s, check %.2f s, flush %.2f s\n", run + 1,
                    result.timings.copyMs / 1000.0, result.timings.closeMs / 1000.0,
                    result.timings.verifyMs / 1000.0, result.timings.syncMs / 1000.0);
        QFile::remove(ours);

        best.tool = std::min(best.tool, seconds([&] {
            return runTool(QStringLiteral("sndfile-convert"), {QString::fromLatin1(toolOption), source, theirs})
                && runTool(QStringLiteral("sync"), {theirs});
        }));
        QFile::remove(theirs);
    }
}

void report(const char *title, const Figures &f)
{
    std::printf("%s\n", title);
    std::printf("  bare libsndfile loop     %7.2f s\n", f.bare);
    std::printf("  engine copy phase        %7.2f s   ratio %.2f (goal <= 1.10)\n", f.copyPhase, f.copyPhase / f.bare);
    std::printf("  sndfile-convert + sync   %7.2f s\n", f.tool);
    std::printf("  engine whole save        %7.2f s   ratio %.2f (goal <= 1.50)\n", f.save, f.save / f.tool);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qint64 megabytes = 512;
    int runs = 2;
    QString base = QDir::tempPath();
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == "--mb")
            megabytes = std::max<qint64>(1, args[i + 1].toLongLong());
        else if (args[i] == "--dir")
            base = args[i + 1];
        else if (args[i] == "--runs")
            runs = std::max(1, args[i + 1].toInt());
    }
    if (QStandardPaths::findExecutable(QStringLiteral("sndfile-convert")).isEmpty()) {
        std::printf("sndfile-convert is not installed: no baseline to compare with.\n");
        return 1;
    }
    QTemporaryDir dir(base + "/bench_rewrite-XXXXXX");
    if (!dir.isValid()) {
        std::printf("cannot make a folder in %s\n", qPrintable(base));
        return 1;
    }
    const QString source = dir.filePath("source.wav");
    std::printf("generating %lld MB of 24-bit stereo in %s ...\n", megabytes, qPrintable(dir.path()));
    if (!generate(source, megabytes)) {
        std::printf("cannot write %s\n", qPrintable(source));
        return 1;
    }

    Figures same;
    std::printf("same-format save (24-bit WAV):\n");
    measure(dir.path(), source, SF_FORMAT_WAV | SF_FORMAT_PCM_24, "-pcm24", runs, same);
    Figures conversion;
    std::printf("conversion to 16-bit WAV:\n");
    measure(dir.path(), source, SF_FORMAT_WAV | SF_FORMAT_PCM_16, "-pcm16", runs, conversion);

    std::printf("\n");
    report("Same-format save", same);
    report("24-bit to 16-bit conversion", conversion);
    return 0;
}
