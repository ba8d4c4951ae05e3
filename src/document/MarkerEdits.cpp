#include "document/MarkerEdits.h"

#include "rewrite/MarkerLabels.h"
#include "rewrite/SaveEngine.h"

#include <QCoreApplication>
#include <QFile>

void MarkerEdits::read(const QString &path, const std::optional<ChunkList> &chunks)
{
    m_asRead.clear();
    m_chunks.clear();
    QFile file(path);
    if (chunks && file.open(QIODevice::ReadOnly))
        m_asRead = readMarkers(FdByteSource(file.handle()), *chunks);
    m_markers = m_asRead;
}

bool MarkerEdits::setLabel(int index, const QString &label)
{
    if (index < 0 || index >= m_markers.size() || m_markers.at(index).isLoop() || m_markers.at(index).label == label)
        return false;
    m_markers[index].label = label;
    return true;
}

void MarkerEdits::setChunk(const ChunkPayload &chunk)
{
    m_chunks.removeIf([&chunk](const ChunkPayload &held) { return held.id == chunk.id; });
    m_chunks << chunk;
}

void MarkerEdits::addTo(SaveEngine *engine, QStringList *notKept) const
{
    if (engine->chunks)
        engine->chunks->chunks += m_chunks;
    MarkerLabels labels;
    for (qsizetype i = 0; i < m_markers.size(); ++i)
        if (!m_markers.at(i).isLoop() && m_markers.at(i).label != m_asRead.at(i).label)
            labels.insert(m_markers.at(i).id, m_markers.at(i).label);
    if (labels.isEmpty() || !engine->chunks)
        return;
    QString why;
    if (const std::optional<ChunkPayload> edit = markerLabelEdit(engine->chunks->sourcePath, labels, &why))
        engine->chunks->chunks << *edit;
    else
        *notKept << QCoreApplication::translate("MarkerEdits", "the marker labels (%1)").arg(why);
}
