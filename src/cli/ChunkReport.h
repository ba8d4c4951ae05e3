// What the Chunks tab and the report show of a WAV, RF64 or AIFF file's
// chunk structure: one row per chunk, and a chunk's contents as text.
//
// Pure, or reading only the file it is given: any thread.
#pragma once

#include "cli/FileReport.h"
#include "container/ChunkList.h"

#include <QString>

// "LIST/INFO" for lists, the id without trailing spaces otherwise ("cue").
QString chunkName(const Chunk &chunk);

// The contents of chunk `index` for a person: XML chunks (iXML, axml, _PMX)
// as text, cue points with their labels decoded, text chunks as text, other
// chunks as hexadecimal (the first 64 KiB).
QString chunkContentsText(const ByteSource &file, const ChunkList &list, int index);

// The Chunks tab as report fields: one per chunk, its name (children
// indented) and "offset N, size M"; in a damaged file those before the
// damage, then the reader's complaint.
ReportSection chunksSection(const QString &path);
