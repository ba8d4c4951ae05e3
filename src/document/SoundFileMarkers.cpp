// The document's markers: read with the chunk structure at every fill, their
// labels edited here and stored by the next save that edits the file's
// chunks. Positions are never edited. Chunks set whole by id (a checksum)
// wait here for that save too.
#include "document/SoundFile.h"

#include "rewrite/MarkerLabels.h"
#include "rewrite/SaveEngine.h"

#include <QFile>

void SoundFile::readMarkers()
{
    m_markersAsRead.clear();
    QFile file(m_fileURL.toLocalFile());
    if (m_chunks && file.open(QIODevice::ReadOnly))
        m_markersAsRead = ::readMarkers(FdByteSource(file.handle()), *m_chunks);
    m_markers = m_markersAsRead;
}

void SoundFile::setMarkerLabel(int index, const QString &label)
{
    if (index < 0 || index >= m_markers.size() || m_markers.at(index).isLoop() || m_markers.at(index).label == label)
        return;
    m_markers[index].label = label;
    setModified(true);
}

void SoundFile::setChunk(const ChunkPayload &chunk)
{
    if (!m_chunks)
        return;
    m_chunkEdits.removeIf([&chunk](const ChunkPayload &held) { return held.id == chunk.id; });
    m_chunkEdits << chunk;
    setModified(true);
}

void SoundFile::addMarkerLabels(SaveEngine *engine, QStringList *notKept) const
{
    MarkerLabels labels;
    for (qsizetype i = 0; i < m_markers.size(); ++i)
        if (!m_markers.at(i).isLoop() && m_markers.at(i).label != m_markersAsRead.at(i).label)
            labels.insert(m_markers.at(i).id, m_markers.at(i).label);
    if (labels.isEmpty() || !engine->chunks)
        return;
    QString why;
    if (const std::optional<ChunkPayload> edit = markerLabelEdit(engine->chunks->sourcePath, labels, &why))
        engine->chunks->chunks << *edit;
    else
        *notKept << tr("the marker labels (%1)").arg(why);
}
