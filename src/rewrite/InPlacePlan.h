// What a save writes into the file itself when its edit fits there without
// moving the audio: the byte ranges that change, found by comparing the new
// metadata with what the file holds, so any edit the writers can make (texts,
// the broadcast record, any chunk) goes in place when it fits.
//
// Reentrant; reads only through the descriptor it is given.
#pragma once

#include "container/ChunkList.h"
#include "rewrite/SaveEngine.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

struct InPlaceWrite {
    qint64 offset = 0;
    QByteArray bytes;
};

struct InPlacePlan {
    QList<InPlaceWrite> writes; // in file order, apart, none inside the audio
    qint64 oldSize = 0;
    qint64 newSize = 0;         // a tail rewrite extends or cuts the file
    qint64 audioStart = 0;      // the audio bytes, which stay where they are
    qint64 audioEnd = 0;
    std::optional<ChunkList> layout; // WAV family and AIFF: the chunks after the save

    qint64 bytesWritten() const;
};

// Largest number of changed bytes written in place; a save that changes
// more writes a new file.
constexpr qint64 kMostBytesInPlace = 8 * 1024 * 1024;

// Plans the save of the engine's job (the chunk save or the copy save) into
// its own file, read through fd. It fits when:
// - WAV, RF64, AIFF: the chunk plan made with keepAudioInPlace (a changed
//   chunk keeps its size, or padding after it takes up the difference, or
//   the changes lie after the audio and the file is extended or cut; see
//   ChunkWriter.h);
// - FLAC: the new comment block fits into the old one and the padding
//   block next to it (flacCommentInPlace);
// - MP3: the new ID3v2 tag fits into the old one's size with its padding,
//   and an ID3v1 tag at the end is rewritten as it is (renderMpegTags);
// - a save with nothing edited writes nothing.
// Ogg never fits (its pages would need new checksums and numbers), nor does
// anything in doubt: nullopt with *why.
std::optional<InPlacePlan> planInPlace(const SaveEngine &engine, int fd, QString *why);
