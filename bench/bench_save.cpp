// Metadata saves of big files that do not fit into the file itself, as the
// document runs them (edit, save, refresh), against cp + sync of the same
// file, in one run:
//   - a title save of a 24-bit stereo WAV with no room before its audio
//     (chunks edited, audio copied);
//   - a title save of a FLAC with no padding (bytes copied, tags edited in
//     the copy).
// Prints medians and ratios. Goal: at most 1.10x for both (bench_inplace
// measures the saves that fit).
//
// Usage: bench_save [--mb N] [--flac-mb N] [--runs N] [--dir PATH]
#include "document/SoundFile.h"

#include "BenchSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <sndfile.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// A noise-like signal, so FLAC cannot squeeze it to nothing.
bool writeFile(const QString &path, int format, qint64 megabytes, int bytesPerFrame)
{
    SF_INFO info{};
    info.format = format;
    info.channels = 2;
    info.samplerate = 48000;
    SNDFILE *f = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!f)
        return false;
    std::vector<int> block(2 * 65536);
    quint32 x = 1;
    const qint64 frames = megabytes * 1000000 / bytesPerFrame;
    for (qint64 done = 0; done < frames; done += 65536) {
        for (int &v : block)
            v = int((x = x * 1664525u + 1013904223u) & 0xffff0000u) >> 2;
        sf_write_int(f, block.data(), 2 * std::min<qint64>(65536, frames - done));
    }
    sf_close(f);
    return true;
}

double copyAndSync(const QString &from, const QString &to)
{
    QElapsedTimer t;
    t.start();
    const QByteArray command = "cp '" + QFile::encodeName(from) + "' '" + QFile::encodeName(to) + "' && sync";
    if (std::system(command.constData()) != 0)
        return -1;
    const double s = t.nsecsElapsed() / 1e9;
    QFile::remove(to);
    return s;
}

double titleSave(const QString &path, int run)
{
    SoundFile doc;
    DocumentError error;
    if (!doc.readFromURL(QUrl::fromLocalFile(path), QString(), &error))
        return -1;
    doc.setText(MetadataField::Title, QStringLiteral("Take %1").arg(run));
    QElapsedTimer t;
    t.start();
    const bool ok = doc.saveToURL(QUrl::fromLocalFile(path), doc.fileType(), SaveOperationType::Save, &error);
    const double s = t.nsecsElapsed() / 1e9;
    if (!ok)
        std::fprintf(stderr, "save failed: %s\n", qPrintable(error.localizedFailureReason));
    return ok ? s : -1;
}

void compare(const char *what, const QString &path, int runs)
{
    std::vector<double> base, save;
    const QString pristine = path + QStringLiteral(".pristine");
    QFile::copy(path, pristine);
    // Alternating runs share whatever the machine does meanwhile. Each save
    // starts from the file without a title: a save leaves room behind it
    // (FLAC padding), into which the next title would fit. Each timing
    // starts from a flushed disk, so neither pays for freeing the file the
    // other left behind.
    for (int i = 0; i < runs; ++i) {
        std::system("sync");
        base.push_back(copyAndSync(path, path + QStringLiteral(".copy")));
        QFile::remove(path);
        QFile::copy(pristine, path);
        std::system("sync");
        save.push_back(titleSave(path, i));
    }
    std::printf("%-28s cp+sync %.3f s   save %.3f s   ratio %.2fx (goal <= 1.10x)\n", what, bench::median(base),
                bench::median(save), bench::median(save) / bench::median(base));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    QTemporaryDir dir(bench::tempDirTemplate(args, "bench_save"));
    const int runs = bench::intOption(args, "--runs", 5);
    const QString wav = dir.filePath(QStringLiteral("big.wav"));
    const QString flac = dir.filePath(QStringLiteral("big.flac"));
    if (!writeFile(wav, SF_FORMAT_WAV | SF_FORMAT_PCM_24, bench::intOption(args, "--mb", 518), 6)
        || !writeFile(flac, SF_FORMAT_FLAC | SF_FORMAT_PCM_24, bench::intOption(args, "--flac-mb", 100), 4)) {
        std::fprintf(stderr, "could not write the test files\n");
        return 1;
    }
    std::printf("WAV %lld MB, FLAC %lld MB, %d runs each\n", QFile(wav).size() / 1000000, QFile(flac).size() / 1000000, runs);
    compare("WAV title save", wav, runs);
    compare("FLAC title save", flac, runs);
    return 0;
}
