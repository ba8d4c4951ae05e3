// Edited marker labels into the chunk that stores them, for the chunk
// writer: a WAV's LIST/adtl with only its labl entries made new (every other
// entry kept byte for byte and in its place), or an AIFF's MARK with only
// the names made new (ids and positions kept). Positions are never changed.
//
// Pure functions, except markerLabelEdit, which reads the file it is given:
// any thread.
#pragma once

#include "container/ChunkList.h"
#include "rewrite/ChunkWriter.h"

#include <QHash>
#include <QString>

#include <optional>

// New labels by marker id; an empty label removes the label.
using MarkerLabels = QHash<quint32, QString>;

// The LIST/adtl payload (starting with "adtl"; empty when the file has
// none) with the labels of these cue points set: a labl entry whose point
// gets a new label is replaced where it stands (or dropped for an empty
// label, with any later labl of the same point), and a point that had none
// gets one at the end. nullopt when the list's entries do not add up to its
// size, which is then not rewritten.
std::optional<QByteArray> adtlWithLabels(const QByteArray &adtl, const MarkerLabels &labels);

// The MARK payload with these markers' names set (UTF-8, cut at a character
// to the 255 bytes a name holds); nullopt when the chunk's markers do not
// add up to its size.
std::optional<QByteArray> markWithLabels(const QByteArray &mark, const MarkerLabels &labels);

// The chunk edit that stores the labels in the file at path (an adtl list
// left without entries goes); nullopt with a translated *error when its
// marker chunks cannot take them.
std::optional<ChunkPayload> markerLabelEdit(const QString &path, const MarkerLabels &labels, QString *error);
