// The FLAC part of the tag writer. Internal to src/rewrite.
#pragma once

#include "rewrite/TagWriter.h"

#include <QFile>

#include <optional>

namespace rewrite {

// writeTags for FLAC: replaces the comment block and keeps the audio where it
// is by resizing padding, or by inserting file-system blocks in front.
bool writeFlacTags(const QString &path, const TagEdits &edits, QString *error);

// The same edit made in the file itself: the new bytes from `offset` on,
// covering the comment block and the padding block next to it (after it,
// else before it), when the new comment fits into the two. The padding
// shrinks, grows, goes when the comment takes it exactly, or appears in the
// room a shorter comment frees when that holds at least a block header;
// every other block, the block order and the audio stay. nullopt with *why
// otherwise (no comment block, no room).
struct FlacHeadEdit {
    qint64 offset = 0;
    QByteArray bytes;
    qint64 audioStart = 0;
};
std::optional<FlacHeadEdit> flacCommentInPlace(QFile &file, const TagEdits &edits, QString *why);

// The same edit for a copy of the file: the metadata blocks from `offset`
// (just past "fLaC") with the comment edited, in the old room when they fit
// there, else with padding for later edits; the copy is the bytes before
// `offset`, these, and the audio from `audioStart` on. nullopt with *why when
// the metadata cannot be read or rendered.
std::optional<FlacHeadEdit> flacHeadForCopy(QFile &source, const TagEdits &edits, QString *why);

} // namespace rewrite
