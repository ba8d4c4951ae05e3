// The new file a save builds before it replaces its target: created in the
// target's folder without a name (O_TMPFILE), so a crash or kill leaves
// nothing behind, and given the target's name only once it is complete and
// flushed. Where the file system cannot make unnamed files it falls back to a
// hidden named temporary, ".wavquill-<hash of the target>-XXXXXX", locked
// while in use; stale ones of ours for the same target (no lock held) are
// removed by the next save of that target.
//
// Main thread or any one thread: an object is used by one thread at a time.
#pragma once

#include <QString>

#include <functional>

class ReplacementFile
{
public:
    ReplacementFile() = default;
    ReplacementFile(const ReplacementFile &) = delete;
    ReplacementFile &operator=(const ReplacementFile &) = delete;
    // Closes and, unless committed, discards the file.
    ~ReplacementFile();

    // Creates the file beside targetPath (a symbolic link is followed: the
    // file it points to is replaced). The new file gets the target's
    // permission bits when the target exists. With allowUnnamed false the
    // named fallback is used (for tests of that path).
    bool create(const QString &targetPath, QString *error, bool allowUnnamed = true);

    int fd() const { return m_fd; }
    // The target the file will replace (links resolved).
    QString targetPath() const { return m_target; }
    // A path that opens the new file while it has no name of its own.
    QString readPath() const;
    bool isUnnamed() const { return m_unnamed; }

    // Writes the file's data and inode to disk on another thread while
    // `check` reads the file back on this one, so the check costs little more
    // than the flush. Returns the check's problem, else the flush's, else an
    // empty text; commit then need not flush again.
    QString checkWhileFlushing(const std::function<QString()> &check);

    // Flushes the data unless flush() did (fsyncError > 0 simulates a
    // failing fsync either way), names the
    // file, renames it over the target and flushes the folder (folderError
    // likewise). On a folder flush failure the target has been replaced
    // already: *replaced tells the caller.
    bool commit(QString *error, bool *replaced, int fsyncError = 0, int folderError = 0);

    // With true, commit leaves the folder unflushed: a caller replacing many
    // files flushes each folder once, with flushFolder, after the last.
    void setFolderFlushDeferred(bool deferred) { m_folderFlushDeferred = deferred; }
    // Flushes a folder's entries to disk; 0 or errno. File systems that
    // cannot flush a folder count as done.
    static int flushFolder(const QString &folder);

    // The prefix of our named temporaries for a target, for tests.
    static QString temporaryPrefix(const QString &targetPath);

private:
    void discard();
    int flush(); // 0 or errno

    int m_fd = -1;
    bool m_unnamed = false;
    bool m_committed = false;
    bool m_flushed = false;
    bool m_folderFlushDeferred = false;
    QString m_target;
    QString m_namedPath;
};
