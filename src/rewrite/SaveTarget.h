// The file a save edits or replaces, resolved once: its folder and the file
// in it are opened when the save starts, and every later step works through
// those descriptors, never through the name again. Before anything is
// replaced or written, the save asks whether the folder's entry still names
// the same file, unchanged since it was read.
//
// Any one thread at a time; the descriptors are the object's own.
#pragma once

#include <QByteArray>
#include <QString>

#include <sys/types.h>

#include <ctime>

// What identifies a file and its state when it was read.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    qint64 size = -1;
    timespec modified{};
    bool isValid() const { return size >= 0; }
    bool sameFile(const FileIdentity &o) const { return device == o.device && inode == o.inode; }
    bool operator==(const FileIdentity &o) const
    {
        return sameFile(o) && size == o.size && modified.tv_sec == o.modified.tv_sec
            && modified.tv_nsec == o.modified.tv_nsec;
    }
    bool operator!=(const FileIdentity &o) const { return !(*this == o); }
};

// The identity of the file a path names now (links followed); invalid when
// it cannot be read.
FileIdentity fileIdentityOf(const QString &path);

class SaveTarget
{
public:
    enum class Access { Read, ReadWrite };

    SaveTarget() = default;
    SaveTarget(const SaveTarget &) = delete;
    SaveTarget &operator=(const SaveTarget &) = delete;
    ~SaveTarget();

    // Resolves path once, as the kernel does (symbolic links followed, ".."
    // after a link taken literally): opens the final file's folder and the
    // file relative to it. False with a message naming the problem.
    bool open(const QString &path, Access access, QString *error);

    int folderFd() const { return m_folderFd; }
    int fd() const { return m_fd; }
    // The file's name in its folder, as bytes.
    QByteArray name() const { return m_name; }
    // The file's path for messages and for tools that need a name.
    QString path() const { return m_path; }
    // The file as it was opened.
    const FileIdentity &identity() const { return m_identity; }

    // Takes an advisory lock for the save's duration and refuses a file
    // another process is writing or holds a write lock on.
    bool lock(QString *error);

    // True when the folder's entry still names the file that was opened,
    // and that file still has the size and modification time of `expected`
    // (the state the caller read it in). Otherwise false with the message
    // for the user.
    bool unchangedSince(const FileIdentity &expected, QString *error) const;

private:
    void release();

    int m_folderFd = -1;
    int m_fd = -1;
    QByteArray m_name;
    QString m_path;
    FileIdentity m_identity;
};
