#include "window/TrackTableModel.h"

#include "document/SoundFile.h"
#include "filelogic/PropertyText.h"

TrackTableModel::TrackTableModel(SoundFile *document, QObject *parent)
    : QAbstractTableModel(parent), m_document(document)
{
}

void TrackTableModel::refill(const IxmlChunk &chunk, bool editable)
{
    beginResetModel();
    m_rows = m_document ? std::clamp(m_document->info().channels, 0, kListedChannels) : 0;
    m_editable = editable;
    m_tracks.clear();
    for (const IxmlTrack &track : chunk.tracks)
        m_tracks.emplace(track.channel(), track);
    endResetModel();
}

int TrackTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_rows;
}

int TrackTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant TrackTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows || !m_document || (role != Qt::DisplayRole && role != Qt::EditRole))
        return QVariant();
    const int channel = index.row() + 1; // CHANNEL_INDEX counts from 1
    const auto track = m_tracks.find(channel);
    const IxmlTrack read = track == m_tracks.end() ? IxmlTrack() : track->second;
    switch (index.column()) {
    case ChannelColumn:
        return channelName(index.row());
    case ChannelIndexColumn:
        return read.channelIndex;
    case InterleaveColumn:
        return read.interleaveIndex;
    case NameColumn:
        return m_document->trackName(channel);
    case FunctionColumn:
        return read.function;
    default:
        return QVariant();
    }
}

bool TrackTableModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (!(flags(index) & Qt::ItemIsEditable) || role != Qt::EditRole || !m_document)
        return false;
    m_document->setTrackName(index.row() + 1, value.toString());
    emit dataChanged(index, index);
    emit trackRenamed();
    return true;
}

Qt::ItemFlags TrackTableModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    const Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    return index.column() == NameColumn && m_editable ? f | Qt::ItemIsEditable : f;
}

QVariant TrackTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    switch (section) {
    case ChannelColumn:
        return tr("Channel");
    case ChannelIndexColumn:
        return tr("Track");
    case InterleaveColumn:
        return tr("Interleave");
    case NameColumn:
        return tr("Name");
    case FunctionColumn:
        return tr("Function");
    default:
        return QVariant();
    }
}
