// Writes a new WAV/RF64/BW64/AIFF file from an existing one, changing only
// the text metadata, the broadcast record and chunks set by id. Every other
// chunk keeps its bytes and its place; the audio bytes are copied with
// copy_file_range, so file systems that can share extents do.
//
// The new file is planned first (planChunks: the pieces it is made of, in
// order) and then written (writeChunks); a save in place takes the same plan
// and writes only the pieces that differ from what the file holds.
//
// Any thread; nothing here keeps state between calls. writeChunks runs one
// helper thread of its own while it copies. The caller owns both descriptors
// and must not write the source while a call runs.
#pragma once

#include "container/ChunkList.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <array>
#include <functional>
#include <optional>
#include <utility>

struct ChunkPayload {
    QByteArray id; // 4 bytes
    QByteArray payload;
    // For a "LIST" chunk, which list it is ("adtl"); its payload then starts
    // with the type and holds whole sub-chunks, each padded to an even size.
    QByteArray listType{};
};

struct ChunkEdits {
    // Index: title, copyright, software, artist, comment, date (libsndfile
    // string ids 1..6, minus 1). nullopt keeps what the file has; a value
    // sets it, an empty value removes it. Stored as given; WAV adds a NUL.
    std::array<std::optional<QByteArray>, 6> strings;
    // nullopt keeps the bext chunk byte for byte; a value is the new complete
    // payload, empty removes the chunk. WAV family only; AIFF ignores it.
    std::optional<QByteArray> bext;
    // Top-level chunks set by id (not the format, data or ds64 chunks, nor
    // LIST/INFO, which the strings own; other lists by id and list type):
    // the first chunk of the id gets the payload in its place and later ones
    // go; without one, a new chunk goes at the end of the form, after the
    // audio, so no byte before it moves. An empty payload removes every
    // chunk of the id.
    QList<ChunkPayload> chunks;
};

// done/total in bytes; returning false cancels.
using ChunkProgress = std::function<bool(qint64 done, qint64 total)>;

struct ChunkWriteOptions {
    ChunkProgress progress; // on the calling thread, every few MiB and once at the end
    // Hash the source's data payload (on a helper thread, while the copy
    // runs) for the caller's read-back check: hashRange over the new file's
    // data must give the same value.
    bool hashSourceData = true;
    // Ask the kernel to start writing the new file's audio back as it is
    // copied (sync_file_range), so the caller's fsync overlaps the copy.
    bool startWriteback = true;
    // Off: copy through a buffer with pread/pwrite only.
    bool useCopyFileRange = true;
    // A WAV whose RIFF size or data size would reach this is written as
    // RF64. Only tests lower it.
    qint64 rf64Threshold = 0xffffffffLL;
    // Plan for the file itself: the data chunk keeps its offset. A change
    // of size before it is taken up by the first padding chunk (JUNK, junk,
    // PAD , FLLR) among the unchanged chunks between the last changed one
    // and the data, which shrinks (keeping at least its header, or going
    // exactly) or grows; a shrink with no padding there leaves a new padding
    // chunk of the bytes it frees, when they hold at least a header. New
    // chunks go in front of that padding. Planning fails when this cannot
    // be, or when the file would have to become RF64.
    bool keepAudioInPlace = false;
};

// Bytes of the new file: a range of the source, or bytes made for it.
struct ChunkPiece {
    qint64 source = -1; // offset in the source; -1: bytes
    qint64 length = 0;
    QByteArray bytes;
    bool audio = false; // the data payload
};

// The new file piece by piece, in file order, and its layout.
struct ChunkPlan {
    QList<ChunkPiece> pieces;
    ChunkList layout;
};

enum class ChunkWriteStatus { Ok, Cancelled, Failed };

struct ChunkWriteResult {
    ChunkWriteStatus status = ChunkWriteStatus::Failed;
    QString error; // translated; set when Failed
    // The layout of the new file as written (reading it back must give the
    // same list, notes aside).
    ChunkList written;
    // hashRange over the source's data payload, when asked for.
    std::optional<quint64> sourceDataHash;
    // hashRange over the new file's data payload as written, read back
    // block by block behind the copy; set when the source's was hashed
    // beside the copy (large data), so the caller need not read it again.
    std::optional<quint64> targetDataHash;
};

// The chunk that holds string `index` (see ChunkEdits) in this container:
// the INFO sub-chunk id for the WAV family, the top-level chunk id for AIFF.
// Empty when the container has none (AIFF date).
//
// AIFF, as libsndfile 1.2.0 writes and reads it (measured): title "NAME",
// copyright "(c) ", software "APPL" whose payload starts with the
// application signature "m3ga", artist "AUTH", comment "ANNO"; text without a
// NUL. The date is neither written nor read (COMT is ignored too), so a date
// edit is ignored for AIFF. libsndfile's APPL reader leaves the 4 bytes
// after the text unterminated, so the software text is written with a NUL
// (libsndfile itself writes none). When a
// chunk id appears twice libsndfile reports the last one, and it takes the
// text of any APPL chunk as the software string whatever its signature;
// only "m3ga" APPL chunks are treated as the string here, so other programs'
// APPL data survives.
QByteArray stringChunkId(ChunkContainer container, int index);

// Plans the new file; nullopt with a translated *error when it cannot be
// made (or, with keepAudioInPlace, not made in place). Reads the source's
// small chunks through sourceFd.
std::optional<ChunkPlan> planChunks(int sourceFd, const ChunkList &source, const ChunkEdits &edits,
                                    const ChunkWriteOptions &options, QString *error);

// Writes the whole new file to targetFd from offset 0 (truncating it first
// and leaving holes where the source's data has holes). The caller names,
// syncs and renames the file; on Cancelled or Failed it removes it.
// The source's file size must still be source.fileSize. sourceFd's file
// offset is restored afterwards (hole lookups move it).
ChunkWriteResult writeChunks(int sourceFd, const ChunkList &source, const ChunkEdits &edits, int targetFd,
                             const ChunkWriteOptions &options = {});

// A 64-bit checksum for proving two byte ranges equal (not cryptographic).
// hashRange reads with pread in 1 MiB blocks; it gives the same value as
// hashBytes over the same bytes. nullopt with *error set on a read error,
// nullopt with an empty *error when progress cancelled.
quint64 hashBytes(const char *data, qint64 length);
std::optional<quint64> hashRange(int fd, qint64 offset, qint64 length, QString *error = nullptr,
                                 const ChunkProgress &progress = {});
// hashRange over the same length at two places, block by block; each block
// of the second is read once ready(its end offset) says it was written
// (ready blocks until then, or answers false to stop: both nullopt).
std::optional<std::pair<quint64, quint64>> hashRangePair(int fd, qint64 offset, int otherFd, qint64 otherOffset,
                                                         qint64 length, QString *error,
                                                         const std::function<bool(qint64)> &ready);
