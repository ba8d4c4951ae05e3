#include "rewrite/SaveTarget.h"

#include <QCoreApplication>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// Symbolic links followed before the path counts as a loop, as the kernel
// counts them.
constexpr int kMaxLinks = 40;

QString tr(const char *text)
{
    return QCoreApplication::translate("SaveTarget", text);
}

QString systemText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

FileIdentity identityFrom(const struct stat &st)
{
    return FileIdentity{st.st_dev, st.st_ino, qint64(st.st_size), st.st_mtim};
}

// The name as the user gave it, for messages.
QString shownName(const QString &path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

// The holder of a write lock on the file according to /proc/locks: its
// process id, -1 for a lock that names none (an OFD lock), 0 for no lock.
qint64 writeLockHolder(const struct stat &st)
{
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return 0;
    // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; "1: -> ..." waits.
    const QByteArray file = QByteArray::number(major(st.st_dev), 16).rightJustified(2, '0') + ':'
        + QByteArray::number(minor(st.st_dev), 16).rightJustified(2, '0') + ':' + QByteArray::number(quint64(st.st_ino));
    for (const QByteArray &line : locks.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() >= 6 && fields[1] != "->" && fields[3] == "WRITE" && fields[5] == file)
            return fields[4].toLongLong();
    }
    return 0;
}

// True when another process has the file open for writing. A read lease is
// refused exactly then; it is taken and given back at once, on a
// descriptor of its own whose lease break (should a writer come in that
// instant) raises SIGURG, which is ignored, instead of SIGIO, which ends
// the program. File systems without leases, and files neither ours nor
// leasable, tell nothing.
bool openForWritingElsewhere(int fd)
{
    const int probe = ::open(QByteArray("/proc/self/fd/" + QByteArray::number(fd)).constData(), O_RDONLY | O_CLOEXEC);
    if (probe < 0)
        return false;
    ::fcntl(probe, F_SETSIG, SIGURG);
    const bool writing = ::fcntl(probe, F_SETLEASE, F_RDLCK) != 0 && errno == EAGAIN;
    if (!writing)
        ::fcntl(probe, F_SETLEASE, F_UNLCK);
    ::close(probe);
    return writing;
}

QString lockedText(const QString &name, qint64 holder)
{
    return holder > 0 ? tr("“%1” is locked by another program (process %2); nothing was written").arg(name).arg(holder)
                      : tr("“%1” is locked by another program; nothing was written").arg(name);
}

QString changedText(const QString &name)
{
    return tr("“%1” was changed by another program while it was being saved; nothing was written").arg(name);
}

} // namespace

FileIdentity fileIdentityOf(const QString &path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    return identityFrom(st);
}

SaveTarget::~SaveTarget()
{
    release();
}

void SaveTarget::release()
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (m_folderFd >= 0)
        ::close(m_folderFd);
    m_fd = m_folderFd = -1;
    m_locked = false;
    m_identity = FileIdentity{};
    m_status = {};
}

// Walks the path as the kernel would, but stops at the last name: the
// folder is opened by the kernel (so ".." after a link leads where the
// link leads) and a final symbolic link is read and followed from there.
bool SaveTarget::resolve(const QByteArray &given, QString *error)
{
    QByteArray path = given;
    int base = AT_FDCWD;
    for (int links = 0;; ++links) {
        const qsizetype slash = path.lastIndexOf('/');
        const QByteArray folder = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : path.left(slash);
        m_name = path.mid(slash + 1);
        if (m_name.isEmpty() || m_name == "." || m_name == "..") {
            *error = systemText(EISDIR);
            return false;
        }
        // Read access makes the folder flushable; a folder that may only be
        // searched is still enough to work in.
        int dir = ::openat(base, folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0 && errno == EACCES)
            dir = ::openat(base, folder.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        const int openError = errno;
        if (m_folderFd >= 0)
            ::close(m_folderFd);
        m_folderFd = dir;
        if (dir < 0) {
            *error = systemText(openError);
            return false;
        }
        struct stat st {};
        if (::fstatat(dir, m_name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode))
            return true;
        char target[PATH_MAX];
        const ssize_t length = ::readlinkat(dir, m_name.constData(), target, sizeof target);
        if (links == kMaxLinks || length <= 0 || length == ssize_t(sizeof target)) {
            *error = systemText(links == kMaxLinks ? ELOOP : length < 0 ? errno : ENAMETOOLONG);
            return false;
        }
        path = QByteArray(target, length);
        base = path.startsWith('/') ? AT_FDCWD : dir;
    }
}

bool SaveTarget::open(const QString &path, Access access, QString *error)
{
    release();
    m_path = path;
    m_access = access;
    if (!resolve(QFile::encodeName(path), error)) {
        release();
        return false;
    }
    struct stat st {};
    if (::fstatat(m_folderFd, m_name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT && access == Access::ReadIfPresent)
            return true;
        *error = systemText(errno);
        release();
        return false;
    }
    // Not blocking on a FIFO put in the file's place meanwhile; the type is
    // checked again on what was opened.
    m_fd = S_ISREG(st.st_mode) ? ::openat(m_folderFd, m_name.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY) : -1;
    const int openError = errno;
    if (m_fd < 0 || ::fstat(m_fd, &m_status) != 0 || !S_ISREG(m_status.st_mode)) {
        *error = S_ISDIR(st.st_mode) ? systemText(EISDIR)
               : !S_ISREG(st.st_mode) ? tr("“%1” is not a regular file.").arg(shownName(path))
                                      : systemText(m_fd < 0 ? openError : EISDIR);
        release();
        return false;
    }
    ::fcntl(m_fd, F_SETFL, 0);
    m_identity = identityFrom(m_status);
    return true;
}

void SaveTarget::closeFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_locked = false;
}

QString SaveTarget::readPath() const
{
    return QStringLiteral("/proc/self/fd/%1").arg(m_fd);
}

QString SaveTarget::folderPath() const
{
    const QString folder = QFile::symLinkTarget(QStringLiteral("/proc/self/fd/%1").arg(m_folderFd));
    return folder.isEmpty() ? m_path.left(std::max<qsizetype>(m_path.lastIndexOf(QLatin1Char('/')), 1)) : folder;
}

bool SaveTarget::lock(QString *error)
{
    if (m_fd < 0)
        return true;
    if (const QString writing = otherWriterProblem(); !writing.isEmpty()) {
        *error = namedWriter(writing);
        return false;
    }
    if (m_access == Access::ReadWrite) {
        const int writable = ::openat(m_folderFd, m_name.constData(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        struct stat st {};
        const bool same = writable >= 0 && ::fstat(writable, &st) == 0 && identityFrom(st).sameFile(m_identity);
        if (!same) {
            *error = writable < 0 ? systemText(errno) : changedText(shownName(m_path));
            if (writable >= 0)
                ::close(writable);
            return false;
        }
        ::close(m_fd);
        m_fd = writable;
    }
    // A copy takes shared locks: other copies may read on, and whichever
    // replaces the file second finds it changed. Writing in place keeps
    // every other locker out. File systems that cannot lock are saved to
    // without.
    const bool writing = m_access == Access::ReadWrite;
    struct flock range {};
    range.l_type = writing ? F_WRLCK : F_RDLCK;
    range.l_whence = SEEK_SET;
    const bool flocked = ::flock(m_fd, (writing ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0;
    bool refused = !flocked && errno == EWOULDBLOCK;
    const bool ranged = !refused && ::fcntl(m_fd, F_OFD_SETLK, &range) == 0;
    refused = refused || (!ranged && (errno == EAGAIN || errno == EACCES));
    m_locked = flocked && ranged;
    // Without locks of its own (a file system that has none), only the
    // system's table tells of another's.
    const QString problem = refused ? lockedText(shownName(m_path), writeLockHolder(m_status))
                          : m_locked ? QString()
                                     : writerProblem();
    if (!problem.isEmpty())
        *error = problem;
    return problem.isEmpty();
}

QString SaveTarget::writerProblem() const
{
    if (m_fd < 0)
        return {};
    const QString writing = otherWriterProblem();
    return m_locked && writing.isEmpty() ? QString() : namedWriter(writing);
}

// A writer seen is named by its lock, if it holds one; the lock table is
// read only here.
QString SaveTarget::namedWriter(const QString &writing) const
{
    if (const qint64 holder = writeLockHolder(m_status))
        return lockedText(shownName(m_path), holder);
    return writing;
}

QString SaveTarget::otherWriterProblem() const
{
    if ((::fcntl(m_fd, F_GETFL) & O_ACCMODE) == O_RDONLY && openForWritingElsewhere(m_fd))
        return tr("“%1” is open for writing in another program; nothing was written").arg(shownName(m_path));
    return {};
}

QString SaveTarget::protectionProblem() const
{
    const QString name = shownName(m_path);
    const QString folder = folderPath();
    for (const auto &[fd, shown] : {std::pair{m_fd, name}, std::pair{m_folderFd, folder}}) {
        int flags = 0;
        if (fd < 0 || ::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0)
            continue;
        if (flags & FS_IMMUTABLE_FL)
            return tr("“%1” is marked immutable (chattr +i), so it cannot be changed or replaced").arg(shown);
        if (flags & FS_APPEND_FL)
            return tr("“%1” is append-only (chattr +a), so it cannot be rewritten or replaced").arg(shown);
    }
    return {};
}

bool SaveTarget::ownerKeptByCopy() const
{
    const uid_t user = ::geteuid();
    if (user == 0 || m_fd < 0)
        return true;
    if (m_status.st_uid != user)
        return false;
    gid_t groups[NGROUPS_MAX];
    const int count = std::max(::getgroups(NGROUPS_MAX, groups), 0);
    return m_status.st_gid == ::getegid() || std::find(groups, groups + count, m_status.st_gid) != groups + count;
}

QString SaveTarget::ownerText() const
{
    char buffer[4096];
    struct passwd user {}, *foundUser = nullptr;
    struct group group {}, *foundGroup = nullptr;
    ::getpwuid_r(m_status.st_uid, &user, buffer, sizeof buffer, &foundUser);
    QString text = foundUser ? QString::fromLocal8Bit(foundUser->pw_name) : QString::number(m_status.st_uid);
    ::getgrgid_r(m_status.st_gid, &group, buffer, sizeof buffer, &foundGroup);
    return text + QLatin1Char(':') + (foundGroup ? QString::fromLocal8Bit(foundGroup->gr_name) : QString::number(m_status.st_gid));
}

bool SaveTarget::unchangedSince(const FileIdentity &expected, QString *error) const
{
    struct stat named {}, held {};
    const bool found = ::fstatat(m_folderFd, m_name.constData(), &named, AT_SYMLINK_NOFOLLOW) == 0;
    const bool same = m_fd < 0 ? !found && errno == ENOENT && !expected.isValid()
        : found && identityFrom(named).sameFile(m_identity) && ::fstat(m_fd, &held) == 0
            && identityFrom(held) == m_identity && (!expected.isValid() || expected == m_identity);
    if (!same)
        *error = changedText(shownName(m_path));
    return same;
}
