// What a save of edited metadata writes, worked out from the texts as edited
// and the metadata as read: the texts a file's fields show, the rules of the
// loudness fields, and the bytes a job stores for each text. SavePlan puts
// them together for every save, so untouched bytes are kept the same way by
// the window and the command line.
//
// Pure functions; any thread.
#pragma once

#include "filelogic/FileMetadata.h"
#include "filelogic/MetadataField.h"
#include "rewrite/FileRewriter.h"

#include <QString>

#include <array>

namespace rewrite {

// One text per MetadataField, as the window's fields hold them.
using MetadataTexts = std::array<QString, kMetadataFieldCount>;

// The texts the window shows for what was read: empty where the file holds
// nothing, the coding history with line breaks as a text field shows them.
MetadataTexts metadataTexts(const FileMetadata &read, int samplerate);

// The five loudness fields, in the record's order, and their names for
// messages ("loudness value", ...).
const std::array<MetadataField, kLoudnessFieldCount> &loudnessFields();
QString loudnessFieldName(MetadataField field);

// Why the texts cannot be saved as they are: a loudness field whose text is
// not a number it can hold ("“loud” is not a number ... for the loudness
// value."); empty when they can.
QString loudnessTextProblem(const MetadataTexts &texts);

// True when one of the record's fields holds text: a save in the file's own
// format then writes a record.
bool textsHoldBext(const MetadataTexts &texts);

// Fills job->strings and, when withBext, job->bext from the texts. Texts
// equal to what was read keep the bytes they were read from (binary UMID,
// Latin-1 text, a time reference finer than its timecode text).
void fillJobMetadata(const MetadataTexts &texts, const FileMetadata &read, int samplerate, bool withBext,
                     RewriteJob *job);

} // namespace rewrite
