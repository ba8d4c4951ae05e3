// Title saves that fit into the file, as the document runs them (edit, save,
// refresh), on a 4 GB and a 100 MB WAV whose audio is a hole (the save never
// reads it; a sparse file saves the disk). The titles alternate between a
// short and a long one, so the padding after the INFO list shrinks and grows.
// Prints the medians and their ratio. Goals: the 4 GB save at most 50 ms,
// flushes and refresh included, and within 1.5x of the 100 MB one.
//
// Usage: bench_inplace [--mb-small N] [--mb-large N] [--runs N] [--dir PATH]
#include "document/SoundFile.h"

#include "BenchSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>

#include <cstdio>
#include <vector>

namespace {

QByteArray chunk(const QByteArray &id, const QByteArray &payload, quint32 size)
{
    QByteArray out = id + QByteArray(4, '\0') + payload;
    qToLittleEndian(size, out.data() + 4);
    return out;
}

// fmt, an INFO list with a title, 1 KiB of padding, and a data chunk that
// fills the file to `bytes` as a hole.
bool makeSparseWav(const QString &path, qint64 bytes)
{
    QByteArray format(16, '\0');
    qToLittleEndian<quint16>(1, format.data());
    qToLittleEndian<quint16>(2, format.data() + 2);
    qToLittleEndian<quint32>(48000, format.data() + 4);
    qToLittleEndian<quint32>(48000 * 4, format.data() + 8);
    qToLittleEndian<quint16>(4, format.data() + 12);
    qToLittleEndian<quint16>(16, format.data() + 14);
    const QByteArray title = chunk("INAM", "Take 0", 6);
    QByteArray head = chunk("fmt ", format, 16) + chunk("LIST", "INFO" + title, 4 + title.size())
        + chunk("JUNK", QByteArray(1024, '\0'), 1024);
    const qint64 data = (bytes - 12 - head.size() - 8) & ~qint64(3);
    head += chunk("data", {}, quint32(data));
    const QByteArray riff = chunk("RIFF", "WAVE", quint32(4 + head.size() + data));
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(riff + head) == riff.size() + head.size()
        && file.resize(riff.size() + head.size() + data);
}

double titleSave(const QString &path, int run)
{
    SoundFile doc;
    DocumentError error;
    if (!doc.readFromURL(QUrl::fromLocalFile(path), QString(), &error))
        return -1;
    doc.setText(MetadataField::Title, run % 2 ? QStringLiteral("Take %1 of the night session").arg(run)
                                              : QStringLiteral("Take %1").arg(run));
    QElapsedTimer t;
    t.start();
    const bool ok = doc.saveToURL(QUrl::fromLocalFile(path), doc.fileType(), SaveOperationType::Save, &error);
    const double ms = t.nsecsElapsed() / 1e6;
    if (!ok)
        std::fprintf(stderr, "save failed: %s\n", qPrintable(error.localizedFailureReason));
    return ok ? ms : -1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    QTemporaryDir dir(bench::tempDirTemplate(args, "bench_inplace"));
    const int runs = bench::intOption(args, "--runs", 9);
    const QString small = dir.filePath(QStringLiteral("small.wav")), large = dir.filePath(QStringLiteral("large.wav"));
    const qint64 smallMb = bench::intOption(args, "--mb-small", 100), largeMb = bench::intOption(args, "--mb-large", 4000);
    if (!makeSparseWav(small, smallMb * 1000000) || !makeSparseWav(large, largeMb * 1000000)) {
        std::fprintf(stderr, "could not write the test files\n");
        return 1;
    }
    std::vector<double> smallTimes, largeTimes;
    // Alternating runs share whatever the machine does meanwhile.
    for (int i = 0; i < runs; ++i) {
        smallTimes.push_back(titleSave(small, i));
        largeTimes.push_back(titleSave(large, i));
        if (smallTimes.back() < 0 || largeTimes.back() < 0)
            return 1;
    }
    const double s = bench::median(smallTimes), l = bench::median(largeTimes);
    std::printf("title save in place, %d runs: %lld MB %.1f ms, %lld MB %.1f ms (goal <= 50 ms); "
                "ratio %.2fx (goal <= 1.50x)\n",
                runs, smallMb, s, largeMb, l, l / s);
    return 0;
}
