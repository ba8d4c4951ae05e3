// Writing fields into files from the command line (--set, and the rows of
// --import-csv): each file is saved through the same engines and with the
// same safety as a Save in the window, all or nothing. Fields are named by
// the keys --json prints.
//
// Main thread; no display needed.
#pragma once

#include "filelogic/MetadataField.h"
#include "rewrite/ChunkWriter.h"
#include "rewrite/MetadataSave.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QTextStream;

// The fields a batch reads and writes (the settable ones of the field
// table), in --json's order.
const QList<MetadataField> &batchFields();
// The one of them whose key this is (fieldKey: "title", "originatorRef");
// not the iXML track names, whose keys name their track (see FieldEdit).
std::optional<MetadataField> batchFieldNamed(const QString &key);

struct FieldEdit {
    MetadataField field;
    QString value;
    // For IxmlTrackName: the CHANNEL_INDEX of the track named.
    int track = 0;
    // Its key: the field's, or the track's ("ixml.track2").
    QString key() const { return track > 0 ? trackKey(track) : fieldKey(field); }
};
using FieldEdits = QList<FieldEdit>;

// The edit of the field or track a key names, without its value; nullopt
// for a key no batch field has.
std::optional<FieldEdit> batchFieldEdit(const QString &key);

// "KEY=VALUE", split at the first '='; nullopt and *error for a text
// without '=' or an unknown key.
std::optional<FieldEdit> parseFieldEdit(const QString &text, QString *error);

// The texts the window's fields would show for the file.
bool readFieldTexts(const QString &path, rewrite::MetadataTexts *texts, QString *error);

// How a batch writes its files.
struct EditRules {
    bool dryRun = false;       // only the checks run; nothing is written
    bool splitLinks = false;   // a file with other names may get one of its own
    bool keepModified = false; // saved files keep their modification times
};

struct EditOutcome {
    QString error;       // why nothing was written; empty when all went well
    QString warning;     // what the save has to tell besides success (tag version, owner)
    QStringList changes; // 'title: "old" -> "new"', one per field that differs
    bool written = false;
    QString folder;      // the written file's folder, still to be flushed
    bool stopped = false; // Ctrl+C stopped the save; the file is as it was
    QString how;          // dry run: "in place" or "rewritten (N MB copied)"
};

// Chunks a batch sets beside the fields (WAV family and AIFF), worked out
// for each file on its save's thread: a line in outcome->changes per chunk
// that changes, or outcome->error or ->stopped to leave the file alone.
using ChunkEditsFor = std::function<QList<ChunkPayload>(const QString &path, EditOutcome *outcome)>;

// Writes those edits and chunks that differ from what the file holds. A
// field the file's container cannot hold as given is an error and nothing
// is written; so is a read-only file, one with other names (unless
// rules.splitLinks), and one another program changes, locks or writes while
// it is saved. With rules.dryRun only the checks run. A save stops, leaving
// the file as it was, when Ctrl+C is pressed before it starts to replace the
// file (BatchRun::stopRequested). Any thread: it touches only the file and
// handles it opens itself.
EditOutcome editFile(const QString &path, const FieldEdits &edits, const EditRules &rules,
                     const ChunkEditsFor &chunks = {});

// Runs editFile over the files, with progress and Ctrl+C (BatchRun): a dry
// run prints each change as "FILE: change" on out, then "FILE: in place" or
// "FILE: rewritten (N MB copied)", failures go to err as
// "wavquill: FILE: reason", both in the files' order. Up to 32 files are
// saved at once, each on a thread of its own (editFile touches only files
// it opens itself); after Ctrl+C those that are not yet replacing their file
// stop, and no other starts. Returns 0, 1 when a file failed, 130 (143,
// 129) when Ctrl+C (SIGTERM, SIGHUP) left files as they were.
int runFieldEdits(const QList<QPair<QString, FieldEdits>> &files, const EditRules &rules, QTextStream &out,
                  QTextStream &err, const ChunkEditsFor &chunks = {});
