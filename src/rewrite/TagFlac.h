// The FLAC part of the tag writer. Internal to src/rewrite.
#pragma once

#include "rewrite/TagWriter.h"

namespace rewrite {

// writeTags for FLAC: replaces the comment block and keeps the audio where it
// is by resizing padding, or by inserting file-system blocks in front.
bool writeFlacTags(const QString &path, const TagEdits &edits, QString *error);

} // namespace rewrite
