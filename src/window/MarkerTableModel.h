// The Markers tab's table: one row per marker with its time, label, note and
// length as the report gives them. Labels of cue points and markers can be
// edited in place; a loop's row names the loop and is read-only.
//
// Main thread only, like every Qt model.
#pragma once

#include "container/MarkerReader.h"

#include <QAbstractTableModel>

class MarkerTableModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { TimeColumn, LabelColumn, NoteColumn, LengthColumn, ColumnCount };

    using QAbstractTableModel::QAbstractTableModel;

    void setMarkers(const QList<Marker> &markers, int samplerate);
    const Marker &marker(int row) const { return m_markers.at(row); }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;

signals:
    // The user gave the marker in `row` a new label.
    void labelEdited(int row, const QString &label);

private:
    QList<Marker> m_markers;
    int m_samplerate = 0;
};
