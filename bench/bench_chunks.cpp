// Speed of a chunk-level metadata save against the plainest flushed copy of
// the same file: cp, then sync of the copy.
//
// bench_chunks [--mb N] [--dir PATH] [--runs N]
// Generates a 24-bit stereo WAV of N MB (default 518) with bext and INFO
// chunks in PATH (default the system's temporary folder), then times, as
// the median of --runs runs (default 5), alternating, after one warm-up each:
//  - save: read the chunk list, write the new file with a new title (the
//    writer hashes the source's data and, behind the copy, the new file's),
//    read the new list back, fsync the new file, compare the hashes;
//  - cp FILE COPY && sync COPY.
#include "rewrite/ChunkWriter.h"

#include "BenchSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

QByteArray le(quint64 v, int bytes)
{
    QByteArray b;
    for (int i = 0; i < bytes; ++i)
        b.append(char(v >> (8 * i)));
    return b;
}

bool generate(const QString &path, qint64 megabytes)
{
    const qint64 dataSize = megabytes * 1000 * 1000 / 6 * 6;
    const QByteArray fmt = le(1, 2) + le(2, 2) + le(48000, 4) + le(288000, 4) + le(6, 2) + le(24, 2);
    const QByteArray info = "INFO" + QByteArray("INAM") + le(6, 4) + QByteArray("Bench\0", 6);
    QByteArray head = "fmt " + le(16, 4) + fmt + "bext" + le(602, 4) + QByteArray(602, '\0') + "LIST"
        + le(quint64(info.size()), 4) + info + "data" + le(quint64(dataSize), 4);
    head = "RIFF" + le(quint64(4 + head.size() + dataSize), 4) + "WAVE" + head;
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    bool ok = fd >= 0 && ::write(fd, head.constData(), size_t(head.size())) == head.size();
    std::vector<quint32> block(1 << 20);
    quint32 noise = 1;
    for (qint64 done = 0; ok && done < dataSize;) {
        for (quint32 &word : block)
            word = noise = noise * 1664525u + 1013904223u;
        const qint64 n = std::min<qint64>(qint64(block.size() * 4), dataSize - done);
        ok = ::write(fd, block.data(), size_t(n)) == n;
        done += n;
    }
    ok = ok && ::fsync(fd) == 0;
    return ::close(fd) == 0 && ok;
}

bool chunkSave(const QString &source, const QString &target)
{
    const int in = ::open(QFile::encodeName(source).constData(), O_RDONLY);
    const int out = ::open(QFile::encodeName(target).constData(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    const std::optional<ChunkList> list = readChunkList(FdByteSource(in), nullptr);
    bool ok = false;
    if (list && out >= 0) {
        ChunkEdits edits;
        edits.strings[0] = "A new title";
        const ChunkWriteResult result = writeChunks(in, *list, edits, out);
        const std::optional<ChunkList> back = readChunkList(FdByteSource(out), nullptr);
        if (result.status == ChunkWriteStatus::Ok && back && back->sameLayout(result.written)) {
            // The flush is disk-bound and the hash CPU-bound: run them side by
            // side where the writer did not hash the new file already.
            bool synced = false;
            std::thread flush([&] { synced = ::fsync(out) == 0; });
            const Chunk &data = back->chunks.at(back->dataIndex);
            const std::optional<quint64> hash =
                result.targetDataHash ? result.targetDataHash : hashRange(out, data.payloadOffset(), data.size);
            flush.join();
            ok = synced && hash && hash == result.sourceDataHash;
        }
    }
    ::close(in);
    ::close(out);
    return ok;
}

bool copyAndSync(const QString &source, const QString &target)
{
    const QByteArray command = "cp '" + QFile::encodeName(source) + "' '" + QFile::encodeName(target) + "' && sync '"
        + QFile::encodeName(target) + "'";
    return std::system(command.constData()) == 0;
}

double timed(bool (*work)(const QString &, const QString &), const QString &source, const QString &target)
{
    // From a flushed disk, so neither pays for freeing what the other left.
    QFile::remove(target);
    ::sync();
    QElapsedTimer timer;
    timer.start();
    const bool ok = work(source, target);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    QFile::remove(target);
    return ok ? seconds : -1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const qint64 megabytes = bench::intOption(args, "--mb", 518);
    const int runs = std::max(1, bench::intOption(args, "--runs", 5));
    QTemporaryDir dir(bench::tempDirTemplate(args, "bench_chunks"));
    const QString source = dir.filePath("source.wav");
    const QString target = dir.filePath("target.wav");
    if (!dir.isValid() || !generate(source, megabytes)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(source));
        return 1;
    }
    // Alternating runs see the same load from whatever else the machine
    // does; the first pair only warms the cache.
    std::vector<double> saves, copies;
    for (int i = 0; i <= runs; ++i) {
        const double save = timed(chunkSave, source, target);
        const double copy = timed(copyAndSync, source, target);
        if (save < 0 || copy < 0) {
            std::fprintf(stderr, "a run failed\n");
            return 1;
        }
        if (i > 0) {
            saves.push_back(save);
            copies.push_back(copy);
        }
    }
    const double save = bench::median(saves);
    const double copy = bench::median(copies);

    const int fd = ::open(QFile::encodeName(source).constData(), O_RDONLY);
    QElapsedTimer timer;
    timer.start();
    const qint64 size = FdByteSource(fd).size();
    hashRange(fd, 0, size);
    const double hashSeconds = double(timer.nsecsElapsed()) / 1e9;
    ::close(fd);

    std::printf("file: %lld MB, 24-bit stereo WAV, median of %d runs\n", megabytes, runs);
    std::printf("chunk save (title) + fsync + hash check: %.3f s\n", save);
    std::printf("cp + sync of the copy:                   %.3f s\n", copy);
    std::printf("ratio: %.2fx (goal <= 1.10x)\n", save / copy);
    std::printf("hashRange from the page cache: %.1f GB/s\n", double(size) / hashSeconds / 1e9);
    return 0;
}
