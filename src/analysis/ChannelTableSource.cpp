#include "analysis/ChannelTableSource.h"

#include <cmath>
#include <cstdio>

namespace {

const QString kNameColumn = QStringLiteral("name");
const QString kValueColumn = QStringLiteral("value");

// The integer value of a cell value as a text control would read it: a text
// gives its leading integer ("12 dB" is 12, "abc" is 0), anything else its
// numeric conversion.
long long integerValue(const QVariant &value)
{
    if (value.metaType().id() != QMetaType::QString)
        return value.toLongLong();
    const QString text = value.toString().trimmed();
    long long result = 0;
    int i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+'))
        negative = text[i++] == u'-';
    // Saturate instead of overflowing: only zero versus non-zero matters.
    for (; i < text.size() && text[i].isDigit(); ++i)
        if (result < 1000000000000LL)
            result = result * 10 + text[i].digitValue();
    return negative ? -result : result;
}

} // namespace

ChannelTableSource::ChannelTableSource(QObject *parent)
    : QAbstractTableModel(parent)
{
}

void ChannelTableSource::setNumChannels(int n)
{
    beginResetModel();
    // Unsigned test: a negative count gives the full 256 rows as well.
    numChannels = unsigned(n) <= unsigned(maxChannels) ? n : maxChannels;
    for (int c = 0; c < maxChannels; ++c) {
        state[c] = true;
        peakValue[c] = 0.0;
    }
    endResetModel();
}

void ChannelTableSource::setType(int newType)
{
    beginResetModel();
    type = newType;
    endResetModel();
}

void ChannelTableSource::setSFinfo(const SF_INFO *info)
{
    sfinfo = info;
    if (numChannels > 0 && type == ChannelTableTypePeak)
        peaksChanged(); // the dB scale may have changed
}

double ChannelTableSource::calcDecibels(double peakLevel) const
{
    // Peaks are kept at the file's integer scale (normalisation off while
    // scanning); this brings each scale back to full scale = 1.0.
    const int subtype = sfinfo ? (sfinfo->format & SF_FORMAT_SUBMASK) : 0;
    double k;
    switch (subtype) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_DPCM_8:
        k = 1.0 / 128.0;
        break;
    case SF_FORMAT_PCM_24:
        k = 1.0 / 8388608.0;
        break;
    case SF_FORMAT_PCM_32:
    // These decoders deliver left-aligned 32-bit integers whatever the
    // coded width.
    case SF_FORMAT_ALAC_16:
    case SF_FORMAT_ALAC_20:
    case SF_FORMAT_ALAC_24:
    case SF_FORMAT_ALAC_32:
    case SF_FORMAT_DWVW_12:
    case SF_FORMAT_DWVW_16:
    case SF_FORMAT_DWVW_24:
    case SF_FORMAT_DWVW_N:
        k = 1.0 / 2147483648.0;
        break;
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_DOUBLE:
    // Vorbis and Opus decode to floating point at full scale 1.0.
    case SF_FORMAT_VORBIS:
    case SF_FORMAT_OPUS:
        k = 1.0;
        break;
    default: // 16-bit, and codecs libsndfile decodes on the 16-bit scale
        k = 1.0 / 32768.0;
        break;
    }
    return 20.0 * std::log10(peakLevel * k);
}

QVariant ChannelTableSource::objectValueForTableColumn(const QString &columnIdentifier, int row) const
{
    if (columnIdentifier == kNameColumn)
        return QString::asprintf("Channel #%d", row);
    if (!isSlot(row))
        return QVariant();
    switch (type) {
    case ChannelTableTypeSelection:
        return state[row] ? QVariant(QStringLiteral("1")) : QVariant();
    case ChannelTableTypePeak: {
        // snprintf spells a zero peak's -infinity as "-inf".
        char text[64];
        std::snprintf(text, sizeof text, "%.2f dB", calcDecibels(peakValue[row]));
        return QString::fromLatin1(text);
    }
    default:
        return QVariant();
    }
}

void ChannelTableSource::setObjectValue(const QVariant &value, const QString &columnIdentifier, int row)
{
    Q_UNUSED(columnIdentifier); // only the selection column is editable
    if (type != ChannelTableTypeSelection || !isSlot(row))
        return;
    state[row] = value.isValid() && integerValue(value) != 0;
}

void ChannelTableSource::peaksChanged()
{
    if (numChannels > 0)
        emit dataChanged(index(0, ValueColumn), index(numChannels - 1, ValueColumn));
}

QString ChannelTableSource::columnIdentifier(int column)
{
    return column == NameColumn ? kNameColumn : kValueColumn;
}

int ChannelTableSource::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : numberOfRowsInTableView();
}

int ChannelTableSource::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : 2;
}

QVariant ChannelTableSource::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= numChannels)
        return QVariant();
    const int row = index.row();
    if (index.column() == NameColumn) {
        if (role == Qt::DisplayRole)
            return objectValueForTableColumn(kNameColumn, row);
        return QVariant();
    }
    if (type == ChannelTableTypeSelection) {
        // The check box says it all; the "1" text stays in the data-source call.
        if (role == Qt::CheckStateRole)
            return channelIsSelected(row) ? Qt::Checked : Qt::Unchecked;
        return QVariant();
    }
    if (role == Qt::DisplayRole)
        return objectValueForTableColumn(kValueColumn, row);
    if (role == Qt::TextAlignmentRole && type == ChannelTableTypePeak)
        return int(Qt::AlignRight | Qt::AlignVCenter);
    return QVariant();
}

bool ChannelTableSource::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (!index.isValid() || index.row() >= numChannels || index.column() != ValueColumn
        || role != Qt::CheckStateRole || type != ChannelTableTypeSelection)
        return false;
    const bool checked = value.toInt() == Qt::Checked;
    setObjectValue(checked ? QVariant(1) : QVariant(), kValueColumn, index.row());
    emit dataChanged(index, index, {Qt::CheckStateRole});
    return true;
}

Qt::ItemFlags ChannelTableSource::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (index.column() == ValueColumn && type == ChannelTableTypeSelection)
        f |= Qt::ItemIsUserCheckable;
    return f;
}

QVariant ChannelTableSource::headerData(int section, Qt::Orientation orientation, int role) const
{
    // No vertical header: the default one counts rows from 1 while channels
    // count from 0.
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    if (section == NameColumn)
        return tr("Channel");
    if (section == ValueColumn)
        return type == ChannelTableTypePeak ? tr("Peak") : tr("Keep");
    return QVariant();
}
