#include "rewrite/ChunkWriter.h"

#include "rewrite/ChunkCopy.h"

#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <tuple>

namespace {

bool writePlan(const ChunkPlan &plan, RangeCopier &copier)
{
    // Sized first: a hole the copy skips reads as zeros at once, also to
    // the hasher that follows the copy.
    if (!copier.truncate(0) || !copier.truncate(plan.layout.fileSize))
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

// How far the copy has written, for the hasher that follows it.
class CopyWatch {
public:
    // From the copying thread; done -1 with finished when it failed.
    void reached(qint64 done, bool finished)
    {
        {
            const std::lock_guard<std::mutex> hold(m_mutex);
            m_done = done;
            m_finished = finished;
        }
        m_changed.notify_one();
    }
    // From the hasher: false when the copy ended short of end.
    bool waitFor(qint64 end)
    {
        std::unique_lock<std::mutex> hold(m_mutex);
        m_changed.wait(hold, [&] { return m_done >= end || m_finished; });
        return m_done >= end;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    qint64 m_done = 0;
    bool m_finished = false;
};

} // namespace

ChunkWriteResult writeChunks(int sourceFd, const ChunkList &source, const ChunkEdits &edits, int targetFd,
                             const ChunkWriteOptions &options)
{
    ChunkWriteResult result;
    const std::optional<ChunkPlan> plan = planChunks(sourceFd, source, edits, options, &result.error);
    if (!plan)
        return result;
    CopyWatch watch;
    const ChunkProgress progress = [&](qint64 done, qint64 total) {
        watch.reached(done, false);
        return !options.progress || options.progress(done, total);
    };
    RangeCopier copier(sourceFd, targetFd, progress, plan->layout.fileSize, options.useCopyFileRange,
                       options.startWriteback);
    // Large data is hashed on a second thread while the copy runs, and so is
    // the new file's, each block once the copy has written it: the kernel
    // does the copying, so the hashes would otherwise add their time.
    const Chunk &data = source.chunks.at(source.dataIndex);
    const qint64 newDataOffset = plan->layout.chunks.at(plan->layout.dataIndex).payloadOffset();
    QString hashError;
    const auto hashBoth = [&] {
        const auto hashes = hashRangePair(sourceFd, data.payloadOffset(), targetFd, newDataOffset, data.size, &hashError,
                                          [&watch](qint64 end) { return watch.waitFor(end); });
        if (hashes)
            std::tie(result.sourceDataHash, result.targetDataHash) = *hashes;
    };
    const bool hashAside = options.hashSourceData && data.size > 8 * 1024 * 1024;
    std::thread hasher;
    if (hashAside)
        hasher = std::thread(hashBoth);
    const off_t sourcePosition = ::lseek(sourceFd, 0, SEEK_CUR);
    bool ok = writePlan(*plan, copier);
    watch.reached(ok ? plan->layout.fileSize : -1, true);
    if (hashAside)
        hasher.join();
    else if (ok && options.hashSourceData)
        result.sourceDataHash = hashRange(sourceFd, data.payloadOffset(), data.size, &hashError);
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
        result.targetDataHash.reset();
        return result;
    }
    result.status = ChunkWriteStatus::Ok;
    result.written = plan->layout;
    return result;
}

