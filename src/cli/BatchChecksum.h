// The audio's checksum on the command line: --verify compares it with the
// one each file stores, --embed-md5 stores it in WAV and RF64 files as an
// "MD5 " chunk (a batch save like --set's, all or nothing). Both run
// several files at once, with progress and Ctrl+C (BatchRun).
//
// Main thread; no display needed.
#pragma once

#include <QStringList>

class QTextStream;

// "FILE: ok", "FILE: MISMATCH" or "FILE: no checksum stored" per file, in
// the files' order (with json: one object per file, md5Stored, md5Computed
// and status); files that cannot be read on err. Returns 0, 1 when a file
// does not match or cannot be read, 130 when Ctrl+C stopped the batch.
int runVerify(const QStringList &files, bool json, QTextStream &out, QTextStream &err);

// Stores each file's checksum where it differs from the stored one; with
// dryRun prints "FILE: md5: OLD -> NEW" instead. Returns as runFieldEdits.
int runEmbedMd5(const QStringList &files, bool dryRun, QTextStream &out, QTextStream &err);
