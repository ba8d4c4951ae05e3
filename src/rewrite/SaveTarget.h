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

#include <sys/stat.h>
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
    enum class Access {
        Read,          // the file must exist; fd() reads it
        ReadWrite,     // the same, and fd() writes it once lock() succeeded
        ReadIfPresent, // a name with no file yet is no error: fd() is -1
    };

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
    bool exists() const { return m_fd >= 0; }
    // The file's name in its folder, as bytes.
    QByteArray name() const { return m_name; }
    // The file's path for messages and for tools that need a name.
    QString path() const { return m_path; }
    // A path that opens the very file that was opened, whatever its name
    // says by now.
    QString readPath() const;
    // The folder as the kernel found it, for messages.
    QString folderPath() const;
    // The file as it was opened.
    const FileIdentity &identity() const { return m_identity; }
    // Its owner, mode and link count as it was opened.
    const struct stat &status() const { return m_status; }

    // Takes advisory locks for the save's duration (flock and an OFD lock,
    // shared for Read, exclusive for ReadWrite) and refuses a file another
    // process is writing or holds a lock on that conflicts. With ReadWrite,
    // fd() is writable from here on.
    bool lock(QString *error);
    // Why the file must not be replaced now: another process holds a write
    // lock on it (its id named where known) or, where the file system lets
    // that be seen, has it open for writing. Empty when neither is seen.
    // Only a target opened for reading can see other writers. While this
    // target holds its locks, nobody else can hold a write lock, so the
    // system's lock table (costly to read) is consulted only without them.
    QString writerProblem() const;
    // Why neither the file nor its folder entry may change: the immutable or
    // append-only attribute on either. Empty when neither is set.
    QString protectionProblem() const;
    // True when a new file made by this process can be given the file's
    // owner and group.
    bool ownerKeptByCopy() const;
    // "user:group" of the file as opened.
    QString ownerText() const;

    // Closes the file, keeping its folder and what was read of it. After a
    // replace the old file's last descriptor should be its reader's: the
    // last close frees the file, which can take long.
    void closeFile();

    // True when the folder's entry still names the file that was opened,
    // and that file still has the size and modification time of `expected`
    // (the state the caller read it in) and of the moment it was opened.
    // A name that had no file must still have none. Otherwise false with
    // the message for the user.
    bool unchangedSince(const FileIdentity &expected, QString *error) const;

private:
    bool resolve(const QByteArray &path, QString *error);
    void release();
    QString otherWriterProblem() const;
    QString namedWriter(const QString &writing) const;

    int m_folderFd = -1;
    int m_fd = -1;
    Access m_access = Access::Read;
    bool m_locked = false;
    QByteArray m_name;
    QString m_path;
    FileIdentity m_identity;
    struct stat m_status {};
};
