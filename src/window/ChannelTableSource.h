// Per-channel table model: one row per listed channel of the open file. The
// same class backs the conversion's channel selection (a check column) and
// the peak list (each channel's peak level in dB); both name each channel
// as the file does (an iXML track name, a speaker) in a column of its own.
//
// Threading: main thread only, like every Qt model.
#pragma once

#include "filelogic/ChannelNames.h"

#include <QAbstractTableModel>

#include <vector>

enum ChannelTableType { ChannelTableTypeSelection = 0, ChannelTableTypePeak = 1 };

class ChannelTableSource : public QAbstractTableModel
{
    Q_OBJECT

public:
    // Number of channel slots; channels beyond have no row.
    static constexpr int maxChannels = 256;

    // Column 0 shows "Channel #n", column 1 the selection flag or peak,
    // column 2 the channel's own name.
    enum Column { ChannelColumn = 0, ValueColumn = 1, NameColumn = 2 };

    explicit ChannelTableSource(QObject *parent = nullptr);

    // Sets the row count (n in 0..256, anything else gives 256), selects
    // every channel and clears every peak to 0.0. Resets the model.
    void setNumChannels(int n);
    // Stores the table type (ChannelTableType). Resets the model.
    void setType(int type);
    // The format word the peaks' dB scale follows (see peakDecibels).
    void setFormat(int format);
    // Peaks as scanPeaks() measured them, one per channel from 0.
    void setPeaks(const std::vector<double> &peaks);
    // How the file names its channels.
    void setNaming(const ChannelNames &naming);

    bool channelIsSelected(int channel) const { return isSlot(channel) && m_selected[size_t(channel)]; }
    double peak(int channel) const { return isSlot(channel) ? m_peaks[size_t(channel)] : 0.0; }
    int tableType() const { return m_type; }

    // QAbstractTableModel
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    bool isSlot(int channel) const { return channel >= 0 && channel < m_rows; }

    int m_rows = 0;
    int m_type = ChannelTableTypeSelection;
    int m_format = 0;
    std::vector<bool> m_selected;
    std::vector<double> m_peaks;
    ChannelNames m_naming;
};
