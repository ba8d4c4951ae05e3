// Per-channel table model: one row per channel of the open file. The same
// class backs the conversion's channel selection (a check column) and the
// peak list (each channel's peak level in dB).
//
// Threading: main thread only, like every Qt model.
#pragma once

#include <sndfile.h>

#include <QAbstractTableModel>
#include <QString>
#include <QVariant>

enum ChannelTableType { ChannelTableTypeSelection = 0, ChannelTableTypePeak = 1 };

class ChannelTableSource : public QAbstractTableModel
{
    Q_OBJECT

public:
    // Number of channel slots; channel numbers outside 0..maxChannels-1 have
    // no slot and are refused by every call.
    static constexpr int maxChannels = 256;

    // Column 0 shows the channel name, column 1 the selection flag or peak.
    enum Column { NameColumn = 0, ValueColumn = 1 };

    explicit ChannelTableSource(QObject *parent = nullptr);

    // Sets the row count (n in 0..256, anything else gives 256), selects
    // every channel and clears every peak to 0.0. Resets the model.
    void setNumChannels(int n);
    // Stores the table type (ChannelTableType), unchecked. Resets the model.
    void setType(int type);
    // The stream description calcDecibels() reads the subtype from. Not
    // owned; must outlive this model or be replaced.
    void setSFinfo(const SF_INFO *sfinfo);

    bool channelIsSelected(int channel) const
    {
        return isSlot(channel) && state[channel];
    }

    // Raises the channel's peak when value is strictly higher; an equal or
    // lower value, a NaN or a channel without a slot changes nothing. Called
    // per sample or per block by the scan, so it emits no signal: call
    // peaksChanged() after a batch of updates.
    void setPeakIfHigher(double value, int channel)
    {
        if (isSlot(channel) && value > peakValue[channel])
            peakValue[channel] = value;
    }

    // The level of a raw-scale peak in dB relative to full scale; the scale
    // follows the subtype of the stream given by setSFinfo().
    double calcDecibels(double peak) const;

    // Table data-source calls. Column identifiers: "name" for the channel
    // name, anything else for the value column. QVariant() means no value.
    int numberOfRowsInTableView() const { return numChannels; }
    QVariant objectValueForTableColumn(const QString &columnIdentifier, int row) const;
    void setObjectValue(const QVariant &value, const QString &columnIdentifier, int row);

    // Emits dataChanged for the whole value column; for callers that raised
    // peaks through setPeakIfHigher().
    void peaksChanged();

    // Read access for callers and tests.
    int tableType() const { return type; }
    double peak(int channel) const { return isSlot(channel) ? peakValue[channel] : 0.0; }
    const SF_INFO *streamInfo() const { return sfinfo; }

    // The identifier data() hands to objectValueForTableColumn() per column.
    static QString columnIdentifier(int column);

    // QAbstractTableModel
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    static bool isSlot(int channel) { return unsigned(channel) < unsigned(maxChannels); }

    int numChannels = 0;
    int type = ChannelTableTypeSelection;
    bool state[maxChannels] = {};
    double peakValue[maxChannels] = {};
    const SF_INFO *sfinfo = nullptr;
};
