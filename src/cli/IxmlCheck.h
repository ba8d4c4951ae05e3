// What --check finds in a file's iXML chunk: XML that is not well-formed,
// a TRACK_COUNT that disagrees with the TRACK entries or the channels, a
// CHANNEL_INDEX outside the channels, a FILE_SAMPLE_RATE other than the
// format chunk's, and a BEXT section that disagrees with the bext chunk.
//
// Pure: any thread.
#pragma once

#include "cli/MetadataCheck.h"

#include <sndfile.h>

QList<MetadataFinding> checkIxml(const FileMetadata &read, const SF_INFO &info);
