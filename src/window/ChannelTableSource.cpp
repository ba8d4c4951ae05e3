#include "window/ChannelTableSource.h"

#include "filelogic/PropertyText.h"

ChannelTableSource::ChannelTableSource(QObject *parent)
    : QAbstractTableModel(parent)
{
}

void ChannelTableSource::setNumChannels(int n)
{
    beginResetModel();
    // Unsigned test: a negative count gives the full 256 rows as well.
    m_rows = unsigned(n) <= unsigned(maxChannels) ? n : maxChannels;
    m_selected.assign(size_t(m_rows), true);
    m_peaks.assign(size_t(m_rows), 0.0);
    endResetModel();
}

void ChannelTableSource::setType(int type)
{
    beginResetModel();
    m_type = type;
    endResetModel();
}

void ChannelTableSource::setFormat(int format)
{
    m_format = format;
    if (m_rows > 0)
        emit dataChanged(index(0, ValueColumn), index(m_rows - 1, ValueColumn));
}

void ChannelTableSource::setPeaks(const std::vector<double> &peaks)
{
    for (int c = 0; c < m_rows; ++c)
        m_peaks[size_t(c)] = size_t(c) < peaks.size() ? peaks[size_t(c)] : 0.0;
    if (m_rows > 0)
        emit dataChanged(index(0, ValueColumn), index(m_rows - 1, ValueColumn));
}

void ChannelTableSource::setNaming(const ChannelNames &naming)
{
    m_naming = naming;
    if (m_rows > 0)
        emit dataChanged(index(0, NameColumn), index(m_rows - 1, NameColumn));
}

int ChannelTableSource::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_rows;
}

int ChannelTableSource::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : 3;
}

QVariant ChannelTableSource::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || !isSlot(index.row()))
        return QVariant();
    const int row = index.row();
    if (index.column() == ChannelColumn)
        return role == Qt::DisplayRole ? QVariant(channelName(row)) : QVariant();
    if (index.column() == NameColumn)
        return role == Qt::DisplayRole ? QVariant(m_naming.nameOf(row)) : QVariant();
    if (m_type == ChannelTableTypeSelection)
        return role == Qt::CheckStateRole ? QVariant(channelIsSelected(row) ? Qt::Checked : Qt::Unchecked) : QVariant();
    if (role == Qt::DisplayRole)
        return peakText(m_peaks[size_t(row)], m_format);
    if (role == Qt::TextAlignmentRole)
        return int(Qt::AlignRight | Qt::AlignVCenter);
    return QVariant();
}

bool ChannelTableSource::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (!index.isValid() || !isSlot(index.row()) || index.column() != ValueColumn || role != Qt::CheckStateRole
        || m_type != ChannelTableTypeSelection)
        return false;
    m_selected[size_t(index.row())] = value.toInt() == Qt::Checked;
    emit dataChanged(index, index, {Qt::CheckStateRole});
    return true;
}

Qt::ItemFlags ChannelTableSource::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (index.column() == ValueColumn && m_type == ChannelTableTypeSelection)
        f |= Qt::ItemIsUserCheckable;
    return f;
}

QVariant ChannelTableSource::headerData(int section, Qt::Orientation orientation, int role) const
{
    // No vertical header: the default one counts rows from 1 while channels
    // count from 0.
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    if (section == ChannelColumn)
        return tr("Channel");
    if (section == NameColumn)
        return tr("Name");
    if (section == ValueColumn)
        return m_type == ChannelTableTypePeak ? tr("Peak") : tr("Keep");
    return QVariant();
}
