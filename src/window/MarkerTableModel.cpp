#include "window/MarkerTableModel.h"

#include "cli/MarkerReport.h"

#include <QFont>

void MarkerTableModel::setMarkers(const QList<Marker> &markers, int samplerate)
{
    beginResetModel();
    m_markers = markers;
    m_samplerate = samplerate;
    endResetModel();
}

int MarkerTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_markers.size());
}

int MarkerTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant MarkerTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_markers.size())
        return QVariant();
    const Marker &m = m_markers[index.row()];
    const bool time = index.column() == TimeColumn || index.column() == LengthColumn;
    if (role == Qt::TextAlignmentRole && time)
        return int(Qt::AlignRight | Qt::AlignVCenter);
    // A loop's name is not the file's text and cannot be edited.
    if (role == Qt::FontRole && m.isLoop() && index.column() == LabelColumn) {
        QFont italic;
        italic.setItalic(true);
        return italic;
    }
    if (role != Qt::DisplayRole && role != Qt::EditRole)
        return QVariant();
    switch (index.column()) {
    case TimeColumn:
        return markerTimeText(m, m_samplerate);
    case LabelColumn:
        return m.label;
    case NoteColumn:
        return m.note;
    case LengthColumn:
        return markerLengthText(m, m_samplerate);
    default:
        return QVariant();
    }
}

QVariant MarkerTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    static const char *const titles[ColumnCount] = {QT_TR_NOOP("Time"), QT_TR_NOOP("Label"), QT_TR_NOOP("Note"),
                                                    QT_TR_NOOP("Length")};
    return section >= 0 && section < ColumnCount ? tr(titles[section]) : QVariant();
}

Qt::ItemFlags MarkerTableModel::flags(const QModelIndex &index) const
{
    Qt::ItemFlags flags = QAbstractTableModel::flags(index);
    if (index.isValid() && index.column() == LabelColumn && !m_markers.at(index.row()).isLoop())
        flags |= Qt::ItemIsEditable;
    return flags;
}

bool MarkerTableModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (role != Qt::EditRole || !(flags(index) & Qt::ItemIsEditable))
        return false;
    const QString label = value.toString();
    if (label == m_markers.at(index.row()).label)
        return true;
    m_markers[index.row()].label = label;
    emit dataChanged(index, index);
    emit labelEdited(index.row(), label);
    return true;
}
