#include "rewrite/ChunkCopy.h"

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

// ---- checksum ----

constexpr quint64 mulA = 0x9e3779b97f4a7c15ULL;
constexpr quint64 mulB = 0xc2b2ae3d27d4eb4fULL;

inline quint64 mix(quint64 h, quint64 w)
{
    h = (h ^ w) * mulA;
    return h ^ (h >> 32);
}

// Four independent lanes so the multiplies overlap; the result depends only
// on the bytes, not on how they were split into calls.
struct Hasher {
    quint64 lane[4] = {1, 2, 3, 4};
    quint64 length = 0;

    void blocks(const char *p, qint64 n) // n is a multiple of 32
    {
        for (qint64 i = 0; i < n; i += 32) {
            quint64 w[4];
            std::memcpy(w, p + i, 32);
            for (int k = 0; k < 4; ++k)
                lane[k] = mix(lane[k], w[k]);
        }
        length += quint64(n);
    }
    quint64 finish(const char *tail, qint64 n) // n < 32
    {
        length += quint64(n);
        quint64 h = length * mulB;
        for (quint64 l : lane)
            h = mix(h, l);
        for (qint64 i = 0; i < n; i += 8) {
            quint64 w = 0;
            std::memcpy(&w, tail + i, size_t(std::min<qint64>(8, n - i)));
            h = mix(h, w + 1);
        }
        h ^= h >> 33;
        h *= 0xff51afd7ed558ccdULL;
        h ^= h >> 33;
        h *= 0xc4ceb9fe1a85ec53ULL;
        return h ^ (h >> 33);
    }
};

bool preadAll(int fd, char *buffer, qint64 length, qint64 offset)
{
    while (length > 0) {
        const ssize_t n = ::pread(fd, buffer, size_t(length), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = 0;
            return false;
        }
        buffer += n;
        offset += n;
        length -= n;
    }
    return true;
}

bool pwriteAll(int fd, const char *buffer, qint64 length, qint64 offset)
{
    while (length > 0) {
        const ssize_t n = ::pwrite(fd, buffer, size_t(length), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        buffer += n;
        offset += n;
        length -= n;
    }
    return true;
}

bool canFallBack(int error)
{
    return error == EXDEV || error == ENOSYS || error == EINVAL || error == EOPNOTSUPP || error == EBADF
        || error == ETXTBSY || error == EPERM;
}

} // namespace

RangeCopier::RangeCopier(int in, int out, const ChunkProgress &progress, qint64 total, bool useCopyFileRange)
    : m_in(in), m_out(out), m_progress(progress), m_total(total), m_useCopyRange(useCopyFileRange)
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

bool RangeCopier::copy(qint64 from, qint64 to, qint64 length, bool skipHoles)
{
    while (length > 0) {
        qint64 n = std::min(length, copyBlock);
        if (skipHoles) {
            const off_t data = ::lseek(m_in, from, SEEK_DATA);
            if (data < 0 && errno == ENXIO)
                n = length;
            else if (data > from)
                n = std::min<qint64>(data - from, length);
            if ((data < 0 && errno == ENXIO) || data > from) {
                from += n;
                to += n;
                length -= n;
                if (!report(m_done + n))
                    return false;
                continue;
            }
            const off_t hole = data == from ? ::lseek(m_in, from, SEEK_HOLE) : -1;
            if (hole > from)
                n = std::min<qint64>(n, hole - from);
        }
        if (!copySpan(from, to, n))
            return false;
        from += n;
        to += n;
        length -= n;
        if (!report(m_done + n))
            return false;
    }
    return true;
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
    if (length > 0 && !m_buffer)
        m_buffer.reset(new char[readBlock]);
    while (length > 0) {
        const qint64 n = std::min(length, readBlock);
        if (!preadAll(m_in, m_buffer.get(), n, from)) {
            if (errno == 0)
                return fail(Text::tr("The file became shorter while it was being copied."));
            return fail(Text::tr("The file could not be read: %1").arg(systemError(errno)));
        }
        if (!pwriteAll(m_out, m_buffer.get(), n, to))
            return writeFailed(errno);
        from += n;
        to += n;
        length -= n;
    }
    return true;
}

std::optional<quint64> RangeCopier::hash(qint64 offset, qint64 length)
{
    const qint64 base = m_done;
    const std::optional<quint64> value = hashRange(m_in, offset, length, &error,
                                                   [&](qint64 done, qint64) { return report(base + done); });
    if (!value && error.isEmpty())
        cancelled = true;
    return value;
}

quint64 hashBytes(const char *data, qint64 length)
{
    Hasher h;
    const qint64 whole = length & ~qint64(31);
    h.blocks(data, whole);
    return h.finish(data + whole, length - whole);
}

std::optional<quint64> hashRange(int fd, qint64 offset, qint64 length, QString *error, const ChunkProgress &progress)
{
    if (error)
        error->clear();
    ::posix_fadvise(fd, offset, length, POSIX_FADV_SEQUENTIAL);
    std::unique_ptr<char[]> buffer(new char[readBlock]);
    Hasher h;
    for (qint64 done = 0;;) {
        const qint64 n = std::min(readBlock, length - done);
        if (!preadAll(fd, buffer.get(), n, offset + done)) {
            if (error)
                *error = errno ? Text::tr("The file could not be read: %1").arg(systemError(errno))
                               : Text::tr("The file ended before the data did.");
            return std::nullopt;
        }
        if (done + n == length) {
            const qint64 whole = n & ~qint64(31);
            h.blocks(buffer.get(), whole);
            return h.finish(buffer.get() + whole, n - whole);
        }
        h.blocks(buffer.get(), n);
        done += n;
        if (progress && done % (4 * readBlock) == 0 && !progress(done, length))
            return std::nullopt;
    }
}
