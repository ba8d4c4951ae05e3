// The document's markers: read with the chunk structure at every fill, their
// labels edited here and stored by the next save that edits the file's
// chunks. Positions are never edited. Chunks set whole by id (a checksum)
// wait here for that save too.
//
// Threads: GUI thread only (the document's).
#pragma once

#include "container/ChunkList.h"
#include "container/MarkerReader.h"
#include "rewrite/ChunkWriter.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

struct SaveEngine;

class MarkerEdits
{
public:
    // Reads the markers of the file at path (none without a chunk
    // structure); every edit, chunks set whole too, is dropped.
    void read(const QString &path, const std::optional<ChunkList> &chunks);
    // Cue points, regions, AIFF markers and loops, ordered by frame, with
    // their labels as edited.
    const QList<Marker> &markers() const { return m_markers; }
    // False when nothing changed: the index is out of range, names a loop
    // (which has no label) or the label is the one held.
    bool setLabel(int index, const QString &label);
    // Sets a top-level chunk by id for the next save, in place of one set
    // before.
    void setChunk(const ChunkPayload &chunk);
    const QList<ChunkPayload> &chunks() const { return m_chunks; }
    // Has a save that edits chunks store the edited labels and the chunks
    // set too, or says in *notKept why it cannot.
    void addTo(SaveEngine *engine, QStringList *notKept) const;

private:
    QList<Marker> m_markers;
    QList<Marker> m_asRead;
    QList<ChunkPayload> m_chunks;
};
