#include "window/ChunkTableModel.h"

#include "cli/ChunkReport.h"

void ChunkTableModel::setChunks(const ChunkList &list)
{
    beginResetModel();
    m_chunks = list.chunks;
    endResetModel();
}

void ChunkTableModel::clear()
{
    beginResetModel();
    m_chunks.clear();
    endResetModel();
}

int ChunkTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_chunks.size());
}

int ChunkTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant ChunkTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_chunks.size())
        return QVariant();
    const Chunk &c = m_chunks[index.row()];
    if (role == Qt::TextAlignmentRole && index.column() != IdColumn)
        return int(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole)
        return QVariant();
    switch (index.column()) {
    case IdColumn:
        return QString(c.depth * 4, QLatin1Char(' ')) + chunkName(c);
    case OffsetColumn:
        return QString::number(c.offset);
    case SizeColumn:
        return QString::number(c.size);
    default:
        return QVariant();
    }
}

QVariant ChunkTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    static const char *const titles[ColumnCount] = {QT_TR_NOOP("Chunk"), QT_TR_NOOP("Offset"), QT_TR_NOOP("Size")};
    return section >= 0 && section < ColumnCount ? tr(titles[section]) : QVariant();
}
