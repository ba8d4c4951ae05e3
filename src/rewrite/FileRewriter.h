// Writes a complete new sound file from an open one: samples (all channels or
// a selection), string metadata and the broadcast record. The new file is
// built under a hidden temporary name next to the target, flushed, read back
// and checked, and only then renamed over the target, so a failure or a
// cancel never leaves a damaged or half-written file behind.
//
// Widget-free; runs on the one thread that calls it (a document's save job,
// one of a batch's threads) and reports progress through the callback.
#pragma once

#include "filelogic/BextRecord.h"
#include "rewrite/ChunkWriter.h"
#include "rewrite/ReplacementFile.h"

#include <sndfile.h>

#include <QByteArray>
#include <QString>

#include <array>
#include <functional>
#include <optional>
#include <vector>

struct RewriteJob {
    // A read handle on the source (borrowed), used by this run alone. The
    // engine seeks and reads it and leaves it open and readable; its read
    // position afterwards is unspecified.
    // When sourceInfo.seekable is 0 (GSM 6.10, G.72x, NMS ADPCM, XI DPCM, ...)
    // libsndfile cannot seek it at all: it must be freshly opened, standing
    // at frame 0; it is read once, from where it stands, and the read-back
    // check opens sourcePath again instead.
    SNDFILE *source = nullptr;
    SF_INFO sourceInfo{};
    // The file the source handle reads. Needed when the source cannot seek;
    // its format, channels and frames must match sourceInfo.
    QString sourcePath;
    // Refuse to write when the source delivers fewer frames than
    // sourceInfo.frames (a damaged file, or one whose length is unknown):
    // set for saves in place, which would otherwise silently shorten the
    // file. A copy elsewhere keeps what can be read.
    bool requireAllFrames = false;
    // File to create or replace. A symbolic link is followed: the file it
    // points to is replaced and the link kept.
    QString targetPath;
    // What the replace may do to it; a save in place names the state the
    // file was read in, which the target must still be in.
    ReplaceOptions replace;
    // format, channels and samplerate of the new file; other members unused.
    SF_INFO targetInfo{};
    // Source channels to keep, strictly ascending; empty keeps all channels.
    std::vector<int> channels;
    // Bytes stored per libsndfile string id - 1 (title, copyright, software,
    // artist, comment, date); nullopt or empty is not written.
    std::array<std::optional<QByteArray>, 6> strings;
    // Broadcast record to write; formats without one refuse it silently.
    std::optional<BextRecord> bext;
    // Top-level chunks to set (an edited iXML chunk), written only where the
    // file's chunks are edited (see ChunkEdits::chunks); a rewrite through
    // libsndfile drops them with the file's other chunks.
    QList<ChunkPayload> chunks;
};

// Where the time of a run went, for the benchmark and for diagnostics.
struct RewriteTimings {
    double copyMs = 0;    // reading the source and writing the new file
    double closeMs = 0;   // sf_close of the new file and fsync of its data
    double verifyMs = 0;  // reading both files back and comparing
    double syncMs = 0;    // fsync of the new file, rename, fsync of the folder
};

struct RewriteResult {
    bool ok = false;
    bool cancelled = false;
    // True once the target path holds the new file. Normally equal to ok; it
    // differs only when the folder could not be flushed after the rename
    // (ok is false then, yet the target has been replaced and an in-place
    // caller must reopen it).
    bool replaced = false;
    QString message; // short text for an alert: "Unable to write file"
    QString detail;  // the reason: libsndfile's text, strerror or the check that failed
    sf_count_t framesWritten = 0;
    RewriteTimings timings;
};

// Failures of system calls that a test cannot provoke from outside. Each
// non-zero errno makes that call fail as if the system had returned it.
struct RewriteFaults {
    int fileSyncErrno = 0;   // fsync of the new file
    int folderSyncErrno = 0; // fsync of the target's folder after the rename
    bool corruptReadBack = false; // alter one item read back from the new file
    // A save in place stops as if the process had died right after its
    // k-th write or flush (from 1), leaving the file and its journal as
    // they are then; with tearLastStep that step, when a write, writes only
    // half its bytes.
    int stopAfterStep = 0;
    bool tearLastStep = false;
};

class FileRewriter {
public:
    // The calling thread. progress(percent) is called once per copied block with
    // frames done x 100 / frames of the source; while the new file is being
    // read back and checked it is called once per block with 100. Returning
    // false cancels: the run stops after the current block, removes the
    // partial file and reports cancelled.
    RewriteResult run(const RewriteJob &job, const std::function<bool(double)> &progress);
    // The same into a new file the caller created beside the target first
    // (see ReplacementFile), so a target that cannot be written fails before
    // anything else.
    RewriteResult run(const RewriteJob &job, ReplacementFile &file, const std::function<bool(double)> &progress);

    void setFaultsForTesting(const RewriteFaults &faults) { m_faults = faults; }

private:
    RewriteFaults m_faults;
};

// True when both paths exist and name the same file (device and inode), as
// with a hard link or a differently spelled path.
bool isSameFile(const QString &a, const QString &b);
