// The Chunks tab's table: one row per chunk (LIST children indented) with
// its offset and size.
//
// Main thread only, like every Qt model.
#pragma once

#include "container/ChunkList.h"

#include <QAbstractTableModel>

class ChunkTableModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { IdColumn, OffsetColumn, SizeColumn, ColumnCount };

    using QAbstractTableModel::QAbstractTableModel;

    void setChunks(const ChunkList &list);
    void clear();

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    QList<Chunk> m_chunks;
};
