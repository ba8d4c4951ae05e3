// The iXML tab's track table: a row per listed channel of the open file,
// with the CHANNEL_INDEX, INTERLEAVE_INDEX and FUNCTION of its iXML track as
// read and the track's name as edited. Names are edited in place unless the
// chunk must be kept as it is; an edit goes to the document at once.
//
// Main thread only, like every Qt model.
#pragma once

#include "filelogic/IxmlChunk.h"

#include <QAbstractTableModel>
#include <QPointer>

#include <map>

class SoundFile;

class TrackTableModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { ChannelColumn, ChannelIndexColumn, InterleaveColumn, NameColumn, FunctionColumn, ColumnCount };

    explicit TrackTableModel(SoundFile *document, QObject *parent = nullptr);

    // Reads the document's channels and tracks again; names are editable
    // when `editable`.
    void refill(const IxmlChunk &chunk, bool editable);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

signals:
    // A name was edited in the table.
    void trackRenamed();

private:
    QPointer<SoundFile> m_document;
    int m_rows = 0;
    bool m_editable = false;
    std::map<int, IxmlTrack> m_tracks; // the first of each CHANNEL_INDEX
};
