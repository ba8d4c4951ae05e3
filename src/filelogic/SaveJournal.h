// The rollback journal of a save that writes into the file itself: a hidden
// file beside the target, named after it, written and flushed whole before
// the first byte of the target changes, and removed once the target has been
// flushed. It holds the target's identity, every range the save writes with
// the bytes it held before and a hash of the bytes it is to hold, and a
// checksum of itself. With it, a save cut short at any instant is undone (or,
// when every range was already written, completed) the next time the file is
// opened, so the file is always the old one or the new one.
//
// Reentrant; recovery takes the journal's lock, so a save in progress (in
// this or another process) is never recovered from under it.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <sys/types.h>

#include <optional>

struct JournalRange {
    qint64 offset = 0;
    QByteArray oldBytes; // what the file held from offset, up to its old end
    qint64 newLength = 0;
    QByteArray newHash; // hashOf the bytes written from offset
};

struct SaveJournal {
    quint64 device = 0;
    quint64 inode = 0;
    // When the file was made (ns), which a reused inode number does not
    // share; 0 where the file system does not say.
    quint64 birth = 0;
    qint64 oldSize = 0;
    qint64 newSize = 0;
    // In file order, none overlapping another.
    QList<JournalRange> ranges;

    // The journal as stored, its checksum at the end.
    QByteArray encode() const;
    // nullopt unless bytes are a whole journal as encode() writes it, with
    // its checksum right and every range inside the file it describes.
    static std::optional<SaveJournal> decode(const QByteArray &bytes);
    static QByteArray hashOf(const QByteArray &bytes);
};

// The birth time of the file open as fd, as SaveJournal keeps it.
quint64 fileBirthOf(int fd);

// Largest journal a save writes: a save whose changed bytes need more is
// made by writing a new file instead.
constexpr qint64 kMaxJournalBytes = 32 * 1024 * 1024;

// The journal's name in the target's folder, made from the target's name
// (bytes, as the folder stores them).
QByteArray journalNameFor(const QByteArray &targetName);

// Puts the file (fd, opened for writing) back as it was before the save the
// journal describes: every range that does not hold its old bytes gets them
// again and the file its old size; then flushes it. False with the
// system's message.
bool restoreFromJournal(int fd, const SaveJournal &journal, QString *error);

enum class RecoveryOutcome {
    NoJournal,   // nothing to do (or a save is still writing it)
    Discarded,   // a journal cut short was removed; the file had not been touched
    Undone,      // the file holds its old bytes again
    Completed,   // every range was written already; the save is finished
    Kept,        // the journal was left where it is (see message)
};

struct RecoveryResult {
    RecoveryOutcome outcome = RecoveryOutcome::NoJournal;
    QString message; // for the user; empty for NoJournal and Discarded
};

// Looks for the journal of path (symbolic links followed) and, when there is
// one that no save holds, recovers the file from it and removes it. A
// journal that does not describe this file as it is now (another inode, a
// size the save never gave it), was written by another user, or cannot be
// applied is kept and reported.
RecoveryResult recoverInterruptedSave(const QString &path);

// Messages of recoveries done while files were being opened, for the user:
// each is handed out once. Any thread.
void postRecoveryNotice(const QString &message);
QStringList takeRecoveryNotices();
