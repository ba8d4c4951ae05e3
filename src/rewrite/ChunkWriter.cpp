#include "rewrite/ChunkWriter.h"

#include "rewrite/ChunkCopy.h"

#include <unistd.h>

#include <atomic>
#include <thread>

namespace {

bool writePlan(const ChunkPlan &plan, RangeCopier &copier)
{
    if (!copier.truncate(0))
        return false;
    qint64 at = 0;
    for (const ChunkPiece &piece : plan.pieces) {
        const bool ok = piece.source < 0 ? copier.write(piece.bytes, at)
                                         : copier.copy(piece.source, at, piece.length, piece.audio);
        at += piece.length;
        if (!ok)
            return false;
    }
    // The size once more: the data may have ended in a hole that was skipped.
    return copier.truncate(at);
}

} // namespace

ChunkWriteResult writeChunks(int sourceFd, const ChunkList &source, const ChunkEdits &edits, int targetFd,
                             const ChunkWriteOptions &options)
{
    ChunkWriteResult result;
    const std::optional<ChunkPlan> plan = planChunks(sourceFd, source, edits, options, &result.error);
    if (!plan)
        return result;
    RangeCopier copier(sourceFd, targetFd, options.progress, plan->layout.fileSize, options.useCopyFileRange,
                       options.startWriteback);
    // Large data is hashed on a second thread while the copy runs: the
    // kernel does the copying, so the hash would otherwise add its time.
    const Chunk &data = source.chunks.at(source.dataIndex);
    std::atomic<bool> stopHash{false};
    QString hashError;
    const auto hashSource = [&] {
        result.sourceDataHash = hashRange(sourceFd, data.payloadOffset(), data.size, &hashError,
                                          [&stopHash](qint64, qint64) { return !stopHash; });
    };
    const bool hashAside = options.hashSourceData && data.size > 8 * 1024 * 1024;
    std::thread hasher;
    if (hashAside)
        hasher = std::thread(hashSource);
    const off_t sourcePosition = ::lseek(sourceFd, 0, SEEK_CUR);
    bool ok = writePlan(*plan, copier);
    stopHash = !ok;
    if (hashAside)
        hasher.join();
    else if (ok && options.hashSourceData)
        hashSource();
    if (sourcePosition >= 0)
        ::lseek(sourceFd, sourcePosition, SEEK_SET);
    if (ok && options.hashSourceData && !result.sourceDataHash) {
        copier.error = hashError;
        ok = false;
    }
    if (!ok || !copier.report(plan->layout.fileSize)) {
        result.status = copier.cancelled ? ChunkWriteStatus::Cancelled : ChunkWriteStatus::Failed;
        result.error = copier.error;
        result.sourceDataHash.reset();
        return result;
    }
    result.status = ChunkWriteStatus::Ok;
    result.written = plan->layout;
    return result;
}

