#include "rewrite/ChunkCopy.h"

#include "filelogic/FileBytes.h"

#include <QCoreApplication>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

struct Text {
    Q_DECLARE_TR_FUNCTIONS(ChunkWriter)
};

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

constexpr qint64 copyBlock = 4 << 20;
constexpr qint64 readBlock = 1 << 20;

// A hashed read that failed: why, for the caller, from errno.
std::nullopt_t readFailed(QString *error)
{
    if (error)
        *error = errno ? Text::tr("The file could not be read: %1").arg(systemError(errno))
                       : Text::tr("The file ended before the data did.");
    return std::nullopt;
}

// ---- checksum ----

constexpr quint64 mulA = 0x9e3779b97f4a7c15ULL;
constexpr quint64 mulB = 0xc2b2ae3d27d4eb4fULL;

inline quint64 mix(quint64 h, quint64 w)
{
    h = (h ^ w) * mulA;
    return h ^ (h >> 32);
}

// Eight independent lanes so the multiplies overlap; the result depends only
// on the bytes, not on how they were split into calls.
constexpr int lanes = 8;
constexpr qint64 stride = 8 * lanes;

struct ChunkHasher {
    quint64 lane[lanes] = {1, 2, 3, 4, 5, 6, 7, 8};
    quint64 length = 0;
    char pending[stride];
    qint64 pendingSize = 0;

    void blocks(const char *p, qint64 n) // n is a multiple of stride
    {
        // A local copy: stores through the char pointer could alias the
        // members and force a reload every round.
        quint64 a[lanes];
        std::memcpy(a, lane, sizeof a);
        for (qint64 i = 0; i < n; i += stride) {
            quint64 w[lanes];
            std::memcpy(w, p + i, sizeof w);
            for (int k = 0; k < lanes; ++k)
                a[k] = mix(a[k], w[k]);
        }
        std::memcpy(lane, a, sizeof a);
    }
    void update(const char *p, qint64 n)
    {
        length += quint64(n);
        if (pendingSize > 0) {
            const qint64 take = std::min(stride - pendingSize, n);
            std::memcpy(pending + pendingSize, p, size_t(take));
            pendingSize += take;
            p += take;
            n -= take;
            if (pendingSize < stride)
                return;
            blocks(pending, stride);
            pendingSize = 0;
        }
        const qint64 whole = n - n % stride;
        blocks(p, whole);
        pendingSize = n - whole;
        std::memcpy(pending, p + whole, size_t(pendingSize));
    }
    quint64 finish() const
    {
        quint64 h = length * mulB;
        for (quint64 l : lane)
            h = mix(h, l);
        for (qint64 i = 0; i < pendingSize; i += 8) {
            quint64 w = 0;
            std::memcpy(&w, pending + i, size_t(std::min<qint64>(8, pendingSize - i)));
            h = mix(h, w + 1);
        }
        h ^= h >> 33;
        h *= 0xff51afd7ed558ccdULL;
        h ^= h >> 33;
        h *= 0xc4ceb9fe1a85ec53ULL;
        return h ^ (h >> 33);
    }
};

bool canFallBack(int error)
{
    return error == EXDEV || error == ENOSYS || error == EINVAL || error == EOPNOTSUPP || error == EBADF
        || error == ETXTBSY || error == EPERM;
}

} // namespace

RangeCopier::RangeCopier(int in, int out, const ChunkProgress &progress, qint64 total, bool useCopyFileRange,
                         bool startWriteback)
    : m_in(in), m_out(out), m_progress(progress), m_total(total), m_useCopyRange(useCopyFileRange),
      m_writeback(startWriteback)
{
}

bool RangeCopier::fail(const QString &message)
{
    error = message;
    return false;
}

bool RangeCopier::writeFailed(int e)
{
    return fail(Text::tr("The new file could not be written: %1").arg(systemError(e)));
}

bool RangeCopier::write(const QByteArray &bytes, qint64 at)
{
    if (!pwriteAll(m_out, bytes.constData(), bytes.size(), at))
        return writeFailed(errno);
    return report(m_done + bytes.size());
}

bool RangeCopier::truncate(qint64 size)
{
    return ::ftruncate(m_out, size) == 0 || writeFailed(errno);
}

bool RangeCopier::report(qint64 done)
{
    m_done = done;
    if (!m_progress || (done < m_nextReport && done < m_total))
        return true;
    m_nextReport = done + copyBlock;
    if (m_progress(done, m_total))
        return true;
    cancelled = true;
    return false;
}

// Where the source has a hole at from: its length (0 when there is data,
// and then *span is cut to end where the data does).
qint64 RangeCopier::holeAt(qint64 from, qint64 length, qint64 *span)
{
    const off_t data = ::lseek(m_in, from, SEEK_DATA);
    if (data < 0)
        return errno == ENXIO ? length : 0; // ENXIO: only a hole is left; else no hole support
    if (data > from)
        return std::min<qint64>(data - from, length);
    const off_t hole = ::lseek(m_in, from, SEEK_HOLE);
    if (hole > from)
        *span = std::min<qint64>(*span, hole - from);
    return 0;
}

bool RangeCopier::copy(qint64 from, qint64 to, qint64 length, bool audio)
{
    while (length > 0) {
        qint64 n = std::min(length, copyBlock);
        const qint64 hole = audio ? holeAt(from, length, &n) : 0;
        if (hole > 0) {
            n = hole;
        } else {
            if (!copySpan(from, to, n))
                return false;
            // Start writing back now, so the caller's fsync finds little left.
            if (audio && m_writeback)
                ::sync_file_range(m_out, to, n, SYNC_FILE_RANGE_WRITE);
        }
        from += n;
        to += n;
        length -= n;
        if (!report(m_done + n))
            return false;
    }
    return true;
}

bool RangeCopier::readSource(qint64 from, qint64 length)
{
    if (preadAll(m_in, m_buffer.get(), length, from))
        return true;
    if (errno == 0)
        return fail(Text::tr("The file became shorter while it was being copied."));
    return fail(Text::tr("The file could not be read: %1").arg(systemError(errno)));
}

bool RangeCopier::copySpan(qint64 from, qint64 to, qint64 length)
{
    while (length > 0 && m_useCopyRange) {
        loff_t in = from;
        loff_t out = to;
        const ssize_t n = ::copy_file_range(m_in, &in, m_out, &out, size_t(length), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && !canFallBack(errno))
            return writeFailed(errno);
        if (n <= 0) {
            m_useCopyRange = false; // the buffer copy below tells a short source from a refusal
            break;
        }
        from += n;
        to += n;
        length -= n;
    }
    if (length > 0 && m_bufferSize < std::min(length, readBlock)) {
        m_bufferSize = std::min(length, readBlock);
        m_buffer.reset(new char[size_t(m_bufferSize)]);
    }
    while (length > 0) {
        const qint64 n = std::min(length, m_bufferSize);
        if (!readSource(from, n))
            return false;
        if (!pwriteAll(m_out, m_buffer.get(), n, to))
            return writeFailed(errno);
        from += n;
        to += n;
        length -= n;
    }
    return true;
}

quint64 hashBytes(const char *data, qint64 length)
{
    ChunkHasher h;
    h.update(data, length);
    return h.finish();
}

std::optional<quint64> hashRange(int fd, qint64 offset, qint64 length, QString *error, const ChunkProgress &progress)
{
    if (error)
        error->clear();
    if (length > readBlock)
        ::posix_fadvise(fd, offset, length, POSIX_FADV_SEQUENTIAL);
    // Small ranges (most chunks) need no full block.
    std::unique_ptr<char[]> buffer(new char[size_t(std::clamp<qint64>(length, 1, readBlock))]);
    ChunkHasher h;
    for (qint64 done = 0; done < length;) {
        const qint64 n = std::min(readBlock, length - done);
        if (!preadAll(fd, buffer.get(), n, offset + done))
            return readFailed(error);
        h.update(buffer.get(), n);
        done += n;
        if (progress && done % (4 * readBlock) == 0 && !progress(done, length))
            return std::nullopt;
    }
    return h.finish();
}

std::optional<std::pair<quint64, quint64>> hashRangePair(int fd, qint64 offset, int otherFd, qint64 otherOffset,
                                                         qint64 length, QString *error,
                                                         const std::function<bool(qint64)> &ready)
{
    error->clear();
    if (length > readBlock)
        ::posix_fadvise(fd, offset, length, POSIX_FADV_SEQUENTIAL);
    std::unique_ptr<char[]> buffer(new char[size_t(std::clamp<qint64>(length, 1, readBlock))]);
    ChunkHasher first;
    ChunkHasher second;
    for (qint64 done = 0; done < length; done += readBlock) {
        const qint64 n = std::min(readBlock, length - done);
        if (!preadAll(fd, buffer.get(), n, offset + done))
            return readFailed(error);
        first.update(buffer.get(), n);
        if (!ready(otherOffset + done + n))
            return std::nullopt;
        if (!preadAll(otherFd, buffer.get(), n, otherOffset + done))
            return readFailed(error);
        second.update(buffer.get(), n);
    }
    return std::pair{first.finish(), second.finish()};
}
