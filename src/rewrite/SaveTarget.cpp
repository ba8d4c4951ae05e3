#include "rewrite/SaveTarget.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("SaveTarget", text);
}

FileIdentity identityFrom(const struct stat &st)
{
    return FileIdentity{st.st_dev, st.st_ino, qint64(st.st_size), st.st_mtim};
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
}

bool SaveTarget::open(const QString &path, Access access, QString *error)
{
    release();
    m_path = path;
    const int flags = (access == Access::ReadWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC;
    m_fd = ::open(QFile::encodeName(path).constData(), flags);
    if (m_fd < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    struct stat st {};
    ::fstat(m_fd, &st);
    m_identity = identityFrom(st);
    // Where the file really is: the folder of the name the kernel opened.
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", m_fd);
    const QString real = QFileInfo(QFile::decodeName(link)).symLinkTarget();
    const QFileInfo info(real.isEmpty() ? path : real);
    m_name = QFile::encodeName(info.fileName());
    m_folderFd = ::open(QFile::encodeName(info.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_folderFd < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        release();
        return false;
    }
    return true;
}

bool SaveTarget::lock(QString *error)
{
    if (::flock(m_fd, LOCK_SH | LOCK_NB) != 0) {
        *error = tr("“%1” is locked by another program.").arg(QFileInfo(m_path).fileName());
        return false;
    }
    return true;
}

bool SaveTarget::unchangedSince(const FileIdentity &expected, QString *error) const
{
    struct stat named {}, held {};
    const bool same = ::fstatat(m_folderFd, m_name.constData(), &named, AT_SYMLINK_NOFOLLOW) == 0
        && ::fstat(m_fd, &held) == 0 && identityFrom(named).sameFile(m_identity)
        && (!expected.isValid() || identityFrom(held) == expected);
    if (!same)
        *error = tr("“%1” was changed by another program while it was being saved; nothing was written")
                     .arg(QFileInfo(m_path).fileName());
    return same;
}
