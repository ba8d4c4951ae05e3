#include "rewrite/ReplacementFile.h"

#include <QCoreApplication>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <future>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

// Names a target's temporaries may take: saves of one file at once, from
// any number of programs.
constexpr int kSlots = 16;

QString systemText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString tr(const char *text)
{
    return QCoreApplication::translate("ReplacementFile", text);
}

QString flushErrorText(int error)
{
    return tr("The new file could not be flushed to disk: %1").arg(systemText(error));
}

// ".wavquill-<hash>-": the same for a name in every run of the program.
QByteArray prefixFor(const QByteArray &name)
{
    quint32 hash = 2166136261u; // FNV-1a
    for (const char c : name)
        hash = (hash ^ quint8(c)) * 16777619u;
    return ".wavquill-" + QByteArray::number(hash, 16).rightJustified(8, '0') + '-';
}

QByteArray slotName(const QByteArray &prefix, int slot)
{
    return prefix + QByteArray::number(slot);
}

// Removes our temporaries for the same target that nobody holds any more
// (left by a save that was killed). A few fixed names, not a listing of the
// folder: a batch over a big folder would list it once per file.
void removeStale(const SaveTarget &target)
{
    const QByteArray prefix = prefixFor(target.name());
    for (int slot = 0; slot < kSlots; ++slot) {
        const QByteArray name = slotName(prefix, slot);
        const int fd = ::openat(target.folderFd(), name.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0)
            continue;
        // The name must still be the file locked: a new save may have taken
        // it since it was opened.
        struct stat held {}, named {};
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &held) == 0
            && ::fstatat(target.folderFd(), name.constData(), &named, AT_SYMLINK_NOFOLLOW) == 0
            && held.st_ino == named.st_ino && held.st_dev == named.st_dev)
            ::unlinkat(target.folderFd(), name.constData(), 0);
        ::close(fd);
    }
}

// Flushes a folder's entries. File systems that cannot flush a folder
// answer EINVAL, and a folder open only for searching cannot be flushed
// by us at all; there is nothing more to do on them.
int syncFolderFd(int fd)
{
    const int error = ::fsync(fd) == 0 ? 0 : errno;
    return error == EINVAL || error == EBADF ? 0 : error;
}

// Tests pause a save here, between reading the target and replacing it,
// to change the target meanwhile: the variable names a FIFO the save reads
// until the test closes it.
void pauseForTesting()
{
    const QByteArray fifo = qgetenv("WAVQUILL_PAUSE_BEFORE_REPLACE");
    const int fd = fifo.isEmpty() ? -1 : ::open(fifo.constData(), O_RDONLY | O_CLOEXEC);
    for (char c; fd >= 0 && ::read(fd, &c, 1) > 0;) {
    }
    if (fd >= 0)
        ::close(fd);
}

} // namespace

int ReplacementFile::flushFolder(const QString &folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int error = syncFolderFd(fd);
    ::close(fd);
    return error;
}

QString ReplacementFile::temporaryPrefix(const QString &targetPath)
{
    return QFile::decodeName(prefixFor(QFile::encodeName(targetPath.mid(targetPath.lastIndexOf(QLatin1Char('/')) + 1))));
}

void ReplacementFile::removeStaleTemporaries(const QString &targetPath)
{
    SaveTarget target;
    QString ignored;
    if (target.open(targetPath, SaveTarget::Access::ReadIfPresent, &ignored))
        removeStale(target);
}

ReplacementFile::~ReplacementFile()
{
    discard();
}

bool ReplacementFile::create(const QString &targetPath, QString *error, const ReplaceOptions &options)
{
    discard();
    m_options = options;
    if (!m_target.open(targetPath, SaveTarget::Access::ReadIfPresent, error) || !checkTarget(error))
        return false;
    removeStale(m_target);
    return createFile(error);
}

// Whether the target may be replaced at all, before anything is written.
bool ReplacementFile::checkTarget(QString *error)
{
    if (const QString problem = m_target.protectionProblem(); !problem.isEmpty()) {
        *error = problem;
        return false;
    }
    if (m_target.exists() && !m_target.lock(error))
        return false;
    const nlink_t names = m_target.exists() ? m_target.status().st_nlink : 1;
    if (names > 1 && !m_options.splitLinks) {
        *error = tr("“%1” has %2 names; saving would give this name a file of its own")
                     .arg(QFile::decodeName(m_target.name()))
                     .arg(names);
        return false;
    }
    m_changed = !m_target.unchangedSince(m_options.expected, error);
    return !m_changed;
}

bool ReplacementFile::createFile(QString *error)
{
    const int folder = m_target.folderFd();
    // A copy of an existing file stays private until it replaces it, when
    // it takes the file's own mode; a new file is made as any other.
    const mode_t mode = m_target.exists() ? 0600 : 0666;
    // Tests make the named fallback of file systems without unnamed files.
    const bool named = qEnvironmentVariableIsSet("WAVQUILL_NAMED_TEMPORARIES");
    m_fd = named ? -1 : ::openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    m_unnamed = m_fd >= 0;
    int createError = errno;
    const bool unwritable = !named && (createError == EACCES || createError == EPERM || createError == EROFS);
    const QByteArray prefix = prefixFor(m_target.name());
    for (int slot = 0; !m_unnamed && !unwritable && m_fd < 0 && slot < kSlots; ++slot) {
        m_slotName = slotName(prefix, slot);
        m_fd = ::openat(folder, m_slotName.constData(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC | O_NOFOLLOW, mode);
        createError = errno;
        if (m_fd < 0)
            m_slotName.clear();
        if (createError != EEXIST)
            break;
    }
    if (m_fd < 0) {
        *error = folderText(createError);
        return false;
    }
    // Held until the file is gone or renamed: whoever finds our name
    // meanwhile knows it is in use.
    ::flock(m_fd, LOCK_EX);
    return true;
}

QString ReplacementFile::folderText(int error) const
{
    if (error == EACCES || error == EPERM || error == EROFS)
        return tr("The folder “%1” cannot be written: %2").arg(m_target.folderPath(), systemText(error));
    return systemText(error);
}

QString ReplacementFile::readPath() const
{
    return QStringLiteral("/proc/self/fd/%1").arg(m_fd);
}

// The target's owner, group, mode and extended attributes, and with
// keepModified its modification time; after every write, which would take
// set-id bits and capabilities off again.
QString ReplacementFile::carryAttributes()
{
    m_attributesCarried = true;
    if (!m_target.exists())
        return {};
    const struct stat &was = m_target.status();
    // The owner first: changing it clears the set-id bits and file
    // capabilities, which the mode and the attributes bring back.
    if (::fchown(m_fd, was.st_uid, was.st_gid) != 0)
        ::fchown(m_fd, uid_t(-1), was.st_gid);
    struct stat now {};
    m_ownerChanged = ::fstat(m_fd, &now) != 0 || now.st_uid != was.st_uid || now.st_gid != was.st_gid;
    const int source = m_target.fd();
    QByteArray names(int(std::max<ssize_t>(::flistxattr(source, nullptr, 0), 0)), '\0');
    names.truncate(int(std::max<ssize_t>(::flistxattr(source, names.data(), size_t(names.size())), 0)));
    for (const QByteArray &name : names.split('\0')) {
        const ssize_t size = name.isEmpty() ? -1 : ::fgetxattr(source, name.constData(), nullptr, 0);
        QByteArray value(int(std::max<ssize_t>(size, 0)), '\0');
        // What this process cannot read is not its to carry over.
        if (size < 0 || ::fgetxattr(source, name.constData(), value.data(), size_t(value.size())) != size)
            continue;
        if (::fsetxattr(m_fd, name.constData(), value.constData(), size_t(value.size()), 0) != 0)
            return tr("The file's extended attribute “%1” cannot be kept: %2")
                .arg(QString::fromUtf8(name), systemText(errno));
    }
    if (::fchmod(m_fd, was.st_mode & 07777) != 0)
        return tr("The file's permissions cannot be kept: %1").arg(systemText(errno));
    const timespec times[2] = {{0, UTIME_OMIT}, was.st_mtim};
    if (m_options.keepModified && ::futimens(m_fd, times) != 0)
        return tr("The file's modification time cannot be kept: %1").arg(systemText(errno));
    return {};
}

QString ReplacementFile::checkWhileFlushing(const std::function<QString()> &check)
{
    if (const QString problem = carryAttributes(); !problem.isEmpty())
        return problem;
    std::future<int> flushed = std::async(std::launch::async, [this] { return flush(); });
    const QString problem = check();
    const int flushError = flushed.get();
    if (!problem.isEmpty() || flushError == 0)
        return problem;
    return flushErrorText(flushError);
}

int ReplacementFile::flush()
{
    // fsync, not fdatasync: the inode's times would otherwise cost a second
    // journal commit in commit().
    if (::fsync(m_fd) != 0)
        return errno;
    m_flushed = true;
    return 0;
}

bool ReplacementFile::commit(QString *error, bool *replaced, int fsyncError, int folderError)
{
    *replaced = false;
    if (const QString problem = m_attributesCarried ? QString() : carryAttributes(); !problem.isEmpty()) {
        *error = problem;
        return false;
    }
    const int syncError = fsyncError != 0 ? fsyncError : m_flushed ? 0 : flush();
    if (syncError != 0) {
        *error = flushErrorText(syncError);
        return false;
    }
    pauseForTesting();
    if (m_options.stopRequested && m_options.stopRequested()) {
        m_stopped = true;
        *error = tr("interrupted; left as it was");
        return false;
    }
    if (!replaceTarget(error))
        return false;
    m_committed = true;
    *replaced = true;
    m_target.closeFile();
    const int flushError = folderError != 0 ? folderError : m_folderFlushDeferred ? 0 : syncFolderFd(m_target.folderFd());
    if (flushError != 0) {
        *error = tr("The folder could not be flushed to disk: %1").arg(systemText(flushError));
        return false;
    }
    return true;
}

// The last look and the rename, both through the folder opened at the
// start: the name must still hold the file that was read, as it was read,
// with nobody else writing it.
bool ReplacementFile::replaceTarget(QString *error)
{
    m_changed = !m_target.unchangedSince(m_options.expected, error);
    if (m_changed)
        return false;
    if (const QString problem = m_target.writerProblem(); !problem.isEmpty()) {
        *error = problem;
        return false;
    }
    const int folder = m_target.folderFd();
    if (m_unnamed) {
        // The name exists only for the moment between link and rename; a
        // kill in between leaves a file the next save or open removes.
        const QByteArray procPath = QFile::encodeName(readPath());
        const QByteArray prefix = prefixFor(m_target.name());
        int linkError = EEXIST;
        for (int slot = 0; slot < kSlots && linkError == EEXIST; ++slot) {
            const QByteArray name = slotName(prefix, slot);
            linkError = ::linkat(AT_FDCWD, procPath.constData(), folder, name.constData(), AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
            if (linkError == 0)
                m_slotName = name;
        }
        if (linkError != 0) {
            *error = folderText(linkError);
            return false;
        }
    }
    if (::renameat(folder, m_slotName.constData(), folder, m_target.name().constData()) != 0) {
        *error = folderText(errno);
        return false;
    }
    return true;
}

void ReplacementFile::discard()
{
    if (!m_committed && !m_slotName.isEmpty())
        ::unlinkat(m_target.folderFd(), m_slotName.constData(), 0);
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_unnamed = false;
    m_committed = false;
    m_flushed = false;
    m_attributesCarried = false;
    m_changed = false;
    m_stopped = false;
    m_ownerChanged = false;
    m_slotName.clear();
}
