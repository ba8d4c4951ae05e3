// Saves of WAV, RF64/BW64 and AIFF files that keep their format: the new file
// is the original's chunks, byte for byte and in order, with only the edited
// strings, broadcast record and chunks set by id changed (see ChunkWriter).
// Built beside the target, flushed, verified and renamed over it like every
// save.
//
// Any one thread at a time (a document's save job, one of a batch's
// threads); touches only files it opens itself.
#pragma once

#include "filelogic/BextRecord.h"
#include "filelogic/ContainerTable.h"
#include "container/ChunkList.h"
#include "rewrite/ChunkWriter.h"
#include "rewrite/FileRewriter.h"
#include "rewrite/ReplacementFile.h"

#include <sndfile.h>

#include <QString>

#include <functional>
#include <optional>

struct ChunkSaveJob {
    QString sourcePath;
    QString targetPath;
    // What libsndfile reads from the source; the new file must read the same.
    SF_INFO sourceInfo{};
    // Per string (title, copyright, software, artist, comment, date): nullopt
    // keeps what the file has, a value sets it, an empty value removes it.
    StringBytes strings;
    // The record as read (libsndfile's view) and as it should be: fields
    // that did not change keep their bytes in the chunk, whatever libsndfile
    // made of them. nullopt keeps the chunk as it is.
    BextRecord bextAsRead{};
    std::optional<BextRecord> bext;
    // Removes the broadcast record.
    bool removeBext = false;
    // Top-level chunks set by id (see ChunkEdits::chunks).
    QList<ChunkPayload> chunks;
};

// True for the containers the chunk writer handles.
bool chunkSaveSupported(int format);

// The new bext payload: `original` (empty when the file has none) with every
// field of `wanted` that differs from `read` written over it. A new coding
// history gets CR LF line ends; nothing is appended to it.
QByteArray bextPayloadWithEdits(const QByteArray &original, const BextRecord &wanted, const BextRecord &read);

// The chunk edits the job makes to the file read through sourceFd, whose
// chunks are `source`.
ChunkEdits chunkEditsFor(const ChunkSaveJob &job, int sourceFd, const ChunkList &source);

// Why the saved file at path does not read back through libsndfile as the
// job meant (format, channels, rate and length as before, the edited texts
// and record as written); empty when it does.
QString chunkSaveReadBackProblem(const QString &path, const ChunkSaveJob &job);

// Runs the save into `temp`, created for job.targetPath by the caller (so a
// target that cannot be written fails before anything else happens), and
// commits it. progress(percent) as FileRewriter's; false cancels.
RewriteResult saveChunks(const ChunkSaveJob &job, ReplacementFile &temp, const std::function<bool(double)> &progress,
                         const RewriteFaults &faults = {});

// What a conversion through libsndfile would not carry of the file's chunks
// ("iXML", "cue ", "LIST/adtl"); empty for other containers.
QStringList chunksNotCarried(const QString &path, int sourceFormat);
