// The file's markers as the Markers tab and the report show them: a marker's
// time as the Length label gives a length, its label, note and length.
//
// Pure, or reading only the file it is given: any thread.
#pragma once

#include "cli/FileReport.h"
#include "container/MarkerReader.h"

#include <QString>

// "00:01:02.500": where the marker is, as lengthText gives a length.
QString markerTimeText(const Marker &marker, int samplerate);
// A region's or loop's length in the same form; empty for a point.
QString markerLengthText(const Marker &marker, int samplerate);
// The JSON name of its kind: "point", "region", "sustainLoop", "releaseLoop".
QString markerKindKey(MarkerKind kind);

// One row per marker ("time: label (note), length L"), each with its JSON
// object {time, frame, kind, id, label, note, length, frames}; no rows for
// a file without markers or whose chunks cannot be read.
ReportSection markersSection(const QString &path, int samplerate);
