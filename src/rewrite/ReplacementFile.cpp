#include "rewrite/ReplacementFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <future>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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

// A symbolic link is kept: the file it points to is the one replaced.
QString resolvedTarget(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink()) {
        const QString real = info.canonicalFilePath();
        if (!real.isEmpty())
            return real;
    }
    return info.absoluteFilePath();
}

// Removes our temporaries for the same target that nobody holds any more
// (left by a save that was killed).
void removeStale(const QString &folder, const QString &prefix)
{
    const QStringList names = QDir(folder).entryList({prefix + QLatin1Char('*')}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        const QByteArray path = QFile::encodeName(folder + QLatin1Char('/') + name);
        const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0)
            continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            ::unlink(path.constData());
        ::close(fd);
    }
}

// Flushes the folder entry that the rename changed. File systems that cannot
// flush a folder answer EINVAL; there is nothing more to do on them.
int syncFolder(const QString &folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int error = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return error == EINVAL ? 0 : error;
}

} // namespace

int ReplacementFile::flushFolder(const QString &folder)
{
    return syncFolder(folder);
}

QString ReplacementFile::temporaryPrefix(const QString &targetPath)
{
    return QStringLiteral(".wavquill-%1-").arg(quint32(qHash(QFileInfo(targetPath).fileName())), 8, 16, QLatin1Char('0'));
}

ReplacementFile::~ReplacementFile()
{
    discard();
}

bool ReplacementFile::create(const QString &targetPath, QString *error, bool allowUnnamed)
{
    discard();
    m_target = resolvedTarget(targetPath);
    const QString folder = QFileInfo(m_target).absolutePath();
    struct stat st {};
    const bool targetExists = ::stat(QFile::encodeName(m_target).constData(), &st) == 0 && S_ISREG(st.st_mode);
    const mode_t mode = targetExists ? (st.st_mode & 07777) : 0666;
    const QString prefix = temporaryPrefix(m_target);

    if (allowUnnamed)
        m_fd = ::open(QFile::encodeName(folder).constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    m_unnamed = m_fd >= 0;
    if (!m_unnamed) {
        // Only this fallback leaves files behind when killed; listing the
        // folder on every save would make a batch over a big folder slow.
        removeStale(folder, prefix);
        QByteArray name = QFile::encodeName(folder + QLatin1Char('/') + prefix + QStringLiteral("XXXXXX"));
        m_fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (m_fd < 0) {
            *error = systemText(errno);
            return false;
        }
        m_namedPath = QFile::decodeName(name);
        ::flock(m_fd, LOCK_EX);
    }
    // A replaced file keeps its permissions (O_TMPFILE takes them from
    // open, mkostemp makes 0600; both are narrowed by the umask).
    if (targetExists)
        ::fchmod(m_fd, mode);
    return true;
}

QString ReplacementFile::readPath() const
{
    return m_unnamed ? QStringLiteral("/proc/self/fd/%1").arg(m_fd) : m_namedPath;
}

QString ReplacementFile::checkWhileFlushing(const std::function<QString()> &check)
{
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
    const int syncError = fsyncError != 0 ? fsyncError : m_flushed ? 0 : flush();
    if (syncError != 0) {
        *error = flushErrorText(syncError);
        return false;
    }
    const QString folder = QFileInfo(m_target).absolutePath();
    if (m_unnamed) {
        // The name exists only for the moment between link and rename. A
        // random one is tried directly: reserving it with a file of its own
        // would cost an inode made and freed on every save.
        const QByteArray procPath = QFile::encodeName(readPath());
        const QString stem = folder + QLatin1Char('/') + temporaryPrefix(m_target);
        int linkError = EEXIST;
        for (int attempt = 0; attempt < 100 && linkError == EEXIST; ++attempt) {
            const QString name = stem + QString::number(QRandomGenerator::global()->generate64(), 36);
            linkError = ::linkat(AT_FDCWD, procPath.constData(), AT_FDCWD, QFile::encodeName(name).constData(),
                                 AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
            if (linkError == 0)
                m_namedPath = name;
        }
        if (linkError != 0) {
            *error = systemText(linkError);
            return false;
        }
    }
    if (::rename(QFile::encodeName(m_namedPath).constData(), QFile::encodeName(m_target).constData()) != 0) {
        *error = systemText(errno);
        return false;
    }
    m_committed = true;
    *replaced = true;
    const int flushError = folderError != 0 ? folderError : m_folderFlushDeferred ? 0 : syncFolder(folder);
    if (flushError != 0) {
        *error = tr("The folder could not be flushed to disk: %1").arg(systemText(flushError));
        return false;
    }
    return true;
}

void ReplacementFile::discard()
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (!m_committed && !m_namedPath.isEmpty())
        ::unlink(QFile::encodeName(m_namedPath).constData());
    m_fd = -1;
    m_unnamed = false;
    m_committed = false;
    m_flushed = false;
    m_namedPath.clear();
}
