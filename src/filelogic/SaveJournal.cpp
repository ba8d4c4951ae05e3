#include "filelogic/SaveJournal.h"

#include "filelogic/FileBytes.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QMutex>
#include <QtEndian>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("SaveJournal", text);
}

QString systemText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Layout: magic, device, inode, birth, old size, new size, range count; per range
// offset, old length, new length, new hash, old bytes; the checksum (a hash
// of everything before it) last. Little-endian.
const QByteArray kMagic = QByteArrayLiteral("WQJRNL01");
constexpr int kHashSize = 32;
constexpr qint64 kHeaderSize = 8 + 5 * 8 + 4;
constexpr qint64 kRangeHeaderSize = 3 * 8 + kHashSize;
// Offsets and lengths beyond this are damage, and sums of two never overflow.
constexpr qint64 kLargest = qint64(1) << 60;

void put64(QByteArray &out, quint64 value)
{
    char bytes[8];
    qToLittleEndian(value, bytes);
    out.append(bytes, 8);
}

struct Cursor {
    const QByteArray &bytes;
    qint64 at = 0;
    qint64 end;
    bool take(qint64 length, const char **p)
    {
        if (length < 0 || length > end - at)
            return false;
        *p = bytes.constData() + at;
        at += length;
        return true;
    }
    bool u64(qint64 *value)
    {
        const char *p = nullptr;
        if (!take(8, &p))
            return false;
        const quint64 v = qFromLittleEndian<quint64>(p);
        *value = v < quint64(kLargest) ? qint64(v) : -1;
        return *value >= 0;
    }
};

struct Fd {
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

bool holds(int fd, qint64 offset, const QByteArray &bytes)
{
    QByteArray now(bytes.size(), Qt::Uninitialized);
    return preadAll(fd, now.data(), now.size(), offset) && now == bytes;
}

bool holdsNew(int fd, const JournalRange &range)
{
    QByteArray now(range.newLength, Qt::Uninitialized);
    return preadAll(fd, now.data(), now.size(), range.offset) && SaveJournal::hashOf(now) == range.newHash;
}

QByteArray readAll(int fd)
{
    QByteArray bytes;
    char block[65536];
    for (;;) {
        const ssize_t n = ::read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || bytes.size() > kMaxJournalBytes)
            return bytes;
        bytes.append(block, n);
    }
}

// File systems that cannot flush a folder answer EINVAL.
void flushFolder(int folderFd)
{
    ::fsync(folderFd);
}

// Applies a whole journal to the target it names. The lock on the journal
// is held by the caller.
RecoveryResult apply(int folderFd, const QByteArray &targetName, const SaveJournal &journal, uid_t journalOwner)
{
    const QString shown = QFile::decodeName(targetName);
    const QString journalShown = QFile::decodeName(journalNameFor(targetName));
    const auto kept = [&](const char *text, const QString &reason = {}) {
        return RecoveryResult{RecoveryOutcome::Kept, reason.isNull() ? tr(text).arg(shown, journalShown)
                                                                     : tr(text).arg(shown, journalShown, reason)};
    };
    Fd target;
    target.fd = ::openat(folderFd, targetName.constData(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    if (target.fd < 0 || ::fstat(target.fd, &st) != 0)
        return kept(QT_TRANSLATE_NOOP("SaveJournal", "An interrupted save of “%1” could not be undone (%3); its "
                                                     "journal “%2” was left in place."),
                    systemText(errno));
    // A journal left by someone else is never trusted with this file.
    if (journalOwner != ::geteuid() && journalOwner != st.st_uid)
        return kept(QT_TRANSLATE_NOOP("SaveJournal", "The journal “%2” beside “%1” was written by another user; it "
                                                     "was left in place and the file was not changed."));
    const qint64 size = st.st_size;
    const quint64 birth = fileBirthOf(target.fd);
    if (quint64(st.st_dev) != journal.device || quint64(st.st_ino) != journal.inode
        || (birth && journal.birth && birth != journal.birth)
        || size < std::min(journal.oldSize, journal.newSize) || size > std::max(journal.oldSize, journal.newSize))
        return kept(QT_TRANSLATE_NOOP("SaveJournal", "The journal “%2” of an interrupted save does not match “%1” as "
                                                     "it is now; it was left in place and the file was not changed."));

    bool allNew = true;
    for (const JournalRange &range : journal.ranges)
        allNew = allNew && holdsNew(target.fd, range);
    QString error;
    bool ok = true;
    if (allNew) {
        ok = (size == journal.newSize || ::ftruncate(target.fd, journal.newSize) == 0) && ::fdatasync(target.fd) == 0;
        if (!ok)
            error = systemText(errno);
    } else {
        ok = restoreFromJournal(target.fd, journal, &error);
    }
    if (!ok)
        return kept(QT_TRANSLATE_NOOP("SaveJournal", "An interrupted save of “%1” could not be undone (%3); its "
                                                     "journal “%2” was left in place."),
                    error);
    return allNew ? RecoveryResult{RecoveryOutcome::Completed, tr("An interrupted save of “%1” was completed.").arg(shown)}
                  : RecoveryResult{RecoveryOutcome::Undone,
                                   tr("An interrupted save of “%1” was undone: the file is as it was before.").arg(shown)};
}

QMutex &noticeMutex()
{
    static QMutex mutex;
    return mutex;
}

QStringList &notices()
{
    static QStringList list;
    return list;
}

} // namespace

QByteArray SaveJournal::hashOf(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

QByteArray SaveJournal::encode() const
{
    QByteArray out = kMagic;
    put64(out, device);
    put64(out, inode);
    put64(out, birth);
    put64(out, quint64(oldSize));
    put64(out, quint64(newSize));
    char count[4];
    qToLittleEndian(quint32(ranges.size()), count);
    out.append(count, 4);
    for (const JournalRange &range : ranges) {
        put64(out, quint64(range.offset));
        put64(out, quint64(range.oldBytes.size()));
        put64(out, quint64(range.newLength));
        out += range.newHash.leftJustified(kHashSize, '\0', true);
        out += range.oldBytes;
    }
    return out + hashOf(out);
}

std::optional<SaveJournal> SaveJournal::decode(const QByteArray &bytes)
{
    const qint64 body = bytes.size() - kHashSize;
    if (body < kHeaderSize || hashOf(bytes.left(body)) != bytes.mid(body) || !bytes.startsWith(kMagic))
        return std::nullopt;
    Cursor in{bytes, qint64(kMagic.size()), body};
    SaveJournal journal;
    const char *p = nullptr;
    // Device and inode numbers are stored whole; only sizes are bounded.
    if (!in.take(24, &p))
        return std::nullopt;
    journal.device = qFromLittleEndian<quint64>(p);
    journal.inode = qFromLittleEndian<quint64>(p + 8);
    journal.birth = qFromLittleEndian<quint64>(p + 16);
    if (!in.u64(&journal.oldSize) || !in.u64(&journal.newSize) || !in.take(4, &p))
        return std::nullopt;
    const quint32 count = qFromLittleEndian<quint32>(p);
    if (count > (body - kHeaderSize) / kRangeHeaderSize)
        return std::nullopt;
    qint64 previousEnd = 0;
    for (quint32 i = 0; i < count; ++i) {
        JournalRange range;
        qint64 oldLength = 0;
        if (!in.u64(&range.offset) || !in.u64(&oldLength) || !in.u64(&range.newLength) || !in.take(kHashSize, &p))
            return std::nullopt;
        range.newHash = QByteArray(p, kHashSize);
        if (!in.take(oldLength, &p))
            return std::nullopt;
        range.oldBytes = QByteArray(p, oldLength);
        // In order, apart, and inside the file before and after.
        if (range.offset < previousEnd || range.offset + oldLength > journal.oldSize
            || range.offset + range.newLength > journal.newSize)
            return std::nullopt;
        previousEnd = range.offset + std::max(oldLength, range.newLength);
        journal.ranges << range;
    }
    if (in.at != body)
        return std::nullopt;
    return journal;
}

quint64 fileBirthOf(int fd)
{
    struct statx st {};
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &st) != 0 || !(st.stx_mask & STATX_BTIME))
        return 0;
    return quint64(st.stx_btime.tv_sec) * 1000000000u + st.stx_btime.tv_nsec;
}

QByteArray journalNameFor(const QByteArray &targetName)
{
    const QByteArray suffix = ".wavquill-journal";
    // Names near the system's limit get a hashed one.
    if (targetName.size() + 1 + suffix.size() <= NAME_MAX)
        return '.' + targetName + suffix;
    return ".wavquill-journal-" + QCryptographicHash::hash(targetName, QCryptographicHash::Sha1).toHex();
}

bool restoreFromJournal(int fd, const SaveJournal &journal, QString *error)
{
    for (const JournalRange &range : journal.ranges) {
        if (!holds(fd, range.offset, range.oldBytes)
            && !pwriteAll(fd, range.oldBytes.constData(), range.oldBytes.size(), range.offset)) {
            *error = systemText(errno);
            return false;
        }
    }
    struct stat st {};
    const bool ok = ::fstat(fd, &st) == 0 && (st.st_size == journal.oldSize || ::ftruncate(fd, journal.oldSize) == 0)
        && ::fdatasync(fd) == 0;
    if (!ok)
        *error = systemText(errno);
    return ok;
}

RecoveryResult recoverInterruptedSave(const QString &path)
{
    char *resolved = ::realpath(QFile::encodeName(path).constData(), nullptr);
    if (!resolved)
        return {};
    const QByteArray real(resolved);
    std::free(resolved);
    const qsizetype slash = real.lastIndexOf('/');
    const QByteArray folder = slash > 0 ? real.left(slash) : QByteArray("/");
    const QByteArray targetName = real.mid(slash + 1);
    const QByteArray name = journalNameFor(targetName);
    struct stat st {};
    // Nearly every open ends here.
    if (::lstat((folder + '/' + name).constData(), &st) != 0)
        return {};

    Fd dir, journalFd;
    dir.fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    journalFd.fd = dir.fd < 0 ? -1 : ::openat(dir.fd, name.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat named {};
    // A save holding the lock is still writing: it is not interrupted.
    if (journalFd.fd < 0 || ::flock(journalFd.fd, LOCK_EX | LOCK_NB) != 0 || ::fstat(journalFd.fd, &st) != 0
        || ::fstatat(dir.fd, name.constData(), &named, AT_SYMLINK_NOFOLLOW) != 0 || named.st_ino != st.st_ino
        || named.st_dev != st.st_dev)
        return {};
    const std::optional<SaveJournal> journal = S_ISREG(st.st_mode) ? SaveJournal::decode(readAll(journalFd.fd))
                                                                   : std::nullopt;
    if (!journal) {
        // Cut short while it was written, so before the file was touched.
        if (S_ISREG(st.st_mode) && ::unlinkat(dir.fd, name.constData(), 0) == 0)
            flushFolder(dir.fd);
        return RecoveryResult{RecoveryOutcome::Discarded, {}};
    }
    RecoveryResult result = apply(dir.fd, targetName, *journal, st.st_uid);
    if (result.outcome != RecoveryOutcome::Kept) {
        ::unlinkat(dir.fd, name.constData(), 0);
        flushFolder(dir.fd);
    }
    return result;
}

void postRecoveryNotice(const QString &message)
{
    if (message.isEmpty())
        return;
    QMutexLocker lock(&noticeMutex());
    notices() << message;
}

QStringList takeRecoveryNotices()
{
    QMutexLocker lock(&noticeMutex());
    return std::exchange(notices(), QStringList());
}
