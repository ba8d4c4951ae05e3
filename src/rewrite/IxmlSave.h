// The iXML part of a metadata save: the texts the iXML tab and the command
// line show for the chunk as read, and the chunk a save writes when they
// were edited (only the edited elements' text changes; see IxmlChunk.h).
//
// Pure functions: any thread.
#pragma once

#include "filelogic/FileMetadata.h"
#include "rewrite/ChunkWriter.h"
#include "rewrite/MetadataSave.h"

#include <QString>

#include <optional>

namespace rewrite {

// Sets the iXML fields' texts and the tracks' names from read.ixml: empty
// where the chunk has none, the note's line breaks as a text field shows
// them.
void fillIxmlTexts(const FileMetadata &read, MetadataTexts *texts);

// What of the iXML the texts change from what was read.
IxmlEdits ixmlEdits(const MetadataTexts &texts, const FileMetadata &read);

// Why the texts' iXML edits cannot be saved ("the iXML chunk is not
// well-formed XML (...)"); empty when they can or change nothing.
QString ixmlTextProblem(const MetadataTexts &texts, const FileMetadata &read);

// The "iXML" chunk a save writes; nullopt when the texts change nothing of
// it or cannot be saved (ixmlTextProblem says why).
std::optional<ChunkPayload> ixmlChunkFor(const MetadataTexts &texts, const FileMetadata &read);

} // namespace rewrite
