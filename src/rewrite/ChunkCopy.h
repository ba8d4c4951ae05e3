// Byte copies for the chunk writer: copy_file_range with a pread/pwrite
// fallback, progress and cancel in one place. The audio keeps the source's
// holes and is handed to writeback as it goes.
// Any thread; one object per write.
#pragma once

#include "rewrite/ChunkWriter.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

class RangeCopier {
public:
    RangeCopier(int in, int out, const ChunkProgress &progress, qint64 total, bool useCopyFileRange,
                bool startWriteback);

    bool write(const QByteArray &bytes, qint64 at);
    // audio: leave the target untouched where the source has a hole (the
    // target must read as zeros there, e.g. freshly truncated) and start
    // writeback as blocks are done.
    bool copy(qint64 from, qint64 to, qint64 length, bool audio);
    bool truncate(qint64 size);
    // Tells progress (at most every few MiB, and always at total); false when
    // it cancelled.
    bool report(qint64 done);

    bool cancelled = false;
    QString error; // set when a call failed for another reason than cancel

private:
    qint64 holeAt(qint64 from, qint64 length, qint64 *span);
    bool copySpan(qint64 from, qint64 to, qint64 length);
    bool readSource(qint64 from, qint64 length);
    bool fail(const QString &message);
    bool writeFailed(int error);

    int m_in;
    int m_out;
    const ChunkProgress &m_progress;
    qint64 m_total;
    qint64 m_done = 0;
    qint64 m_nextReport = 0;
    bool m_useCopyRange;
    bool m_writeback;
    std::unique_ptr<char[]> m_buffer;
    qint64 m_bufferSize = 0;
};
