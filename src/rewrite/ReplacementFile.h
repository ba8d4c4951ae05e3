// The new file a save builds before it replaces its target: created in the
// target's folder without a name (O_TMPFILE), so a crash or kill leaves
// nothing behind, and given the target's name only once it is complete and
// flushed. Where the file system cannot make unnamed files it falls back to a
// hidden named temporary, ".wavquill-<hash of the target's name>-<n>",
// locked while in use; the unnamed file gets such a name for the moment
// between link and rename. Ours that nobody holds (a save was killed) are
// removed by the next save or open of the same target.
//
// The target is resolved once (SaveTarget): locked while the save runs,
// and replaced through its folder only while its name still holds the file
// that was read, as it was read. A copy carries over the target's owner,
// group, mode and extended attributes (POSIX ACLs among them).
//
// Main thread or any one thread: an object is used by one thread at a time.
#pragma once

#include "rewrite/SaveTarget.h"

#include <QByteArray>
#include <QString>

#include <functional>

// What a save may do to the file it replaces, beyond giving it new contents.
struct ReplaceOptions {
    // The target as the caller last read it: the save is refused once it is
    // no longer so. Invalid: as the save finds it when it starts.
    FileIdentity expected;
    // A target with other names (hard links) may be given a file of its own
    // under this one; otherwise such a save is refused.
    bool splitLinks = false;
    // The new file keeps the old one's modification time.
    bool keepModified = false;
    // Asked right before the replace; true leaves the target as it was.
    std::function<bool()> stopRequested;
};

class ReplacementFile
{
public:
    ReplacementFile() = default;
    ReplacementFile(const ReplacementFile &) = delete;
    ReplacementFile &operator=(const ReplacementFile &) = delete;
    // Closes and, unless committed, discards the file.
    ~ReplacementFile();

    // Opens and locks the target (a symbolic link is followed: the file it
    // points to is replaced) and creates the new file beside it. Refused
    // when the target is locked, being written, immutable, has other names
    // the options do not let go, or is no longer as expected.
    bool create(const QString &targetPath, QString *error, const ReplaceOptions &options = {});

    int fd() const { return m_fd; }
    // The file the new one will replace, as opened.
    const SaveTarget &target() const { return m_target; }
    // A path that opens the new file while it has no name of its own.
    QString readPath() const;
    bool isUnnamed() const { return m_unnamed; }

    // Gives the new file the target's attributes, then writes its data and
    // inode to disk on another thread while `check` reads the file back on
    // this one, so the check costs little more than the flush. Returns the
    // attributes' problem, else the check's, else the flush's, else an
    // empty text; commit then need not flush again. Nothing may write the
    // file afterwards.
    QString checkWhileFlushing(const std::function<QString()> &check);

    // Flushes the data unless checkWhileFlushing did (fsyncError > 0
    // simulates a failing fsync either way), checks the target once more,
    // names the file, renames it over the target and flushes the folder
    // (folderError likewise). On a folder flush failure the target has been
    // replaced already: *replaced tells the caller.
    bool commit(QString *error, bool *replaced, int fsyncError = 0, int folderError = 0);

    // Why create or commit refused: the target was no longer as read, or
    // the options' stopRequested said stop.
    bool targetChanged() const { return m_changed; }
    bool stopped() const { return m_stopped; }
    // The new file could not be given the old one's owner and group.
    bool ownerChanged() const { return m_ownerChanged; }

    // With true, commit leaves the folder unflushed: a caller replacing many
    // files flushes each folder once, with flushFolder, after the last.
    void setFolderFlushDeferred(bool deferred) { m_folderFlushDeferred = deferred; }
    // Flushes a folder's entries to disk; 0 or errno. File systems that
    // cannot flush a folder count as done.
    static int flushFolder(const QString &folder);

    // Removes the temporaries of ours for the file a path names that nobody
    // holds any more.
    static void removeStaleTemporaries(const QString &targetPath);
    // The prefix of our named temporaries for a target, for tests.
    static QString temporaryPrefix(const QString &targetPath);

private:
    bool checkTarget(QString *error);
    bool createFile(QString *error);
    QString carryAttributes();
    bool replaceTarget(QString *error);
    QString folderText(int error) const;
    void discard();
    int flush(); // 0 or errno

    SaveTarget m_target;
    ReplaceOptions m_options;
    int m_fd = -1;
    bool m_unnamed = false;
    bool m_committed = false;
    bool m_flushed = false;
    bool m_attributesCarried = false;
    bool m_folderFlushDeferred = false;
    bool m_changed = false;
    bool m_stopped = false;
    bool m_ownerChanged = false;
    QByteArray m_slotName; // the file's name in the folder while it has one
};
