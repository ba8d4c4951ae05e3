// The per-channel table model: row counts, selection flags, peak levels and
// their dB texts, both through the data-source calls and through Qt's model.
#include "window/ChannelTableSource.h"

#include <QSignalSpy>
#include <QTest>

#include <cmath>
#include <limits>

class TestChannelTableSource : public QObject
{
    Q_OBJECT

private slots:
    void newInstanceIsEmpty();
    void numChannels_data();
    void numChannels();
    void setNumChannelsResetsFlagsAndPeaks();
    void selection_data();
    void selection();
    void selectionIgnoredOnPeakSource();
    void peakKeepsHigher_data();
    void peakKeepsHigher();
    void decibels_data();
    void decibels();
    void decibelsWithoutStreamInfo();
    void channelsWithoutSlot();
    void otherTypeHasNoValue();
    void qtModelSelection();
    void qtModelPeak();
};

void TestChannelTableSource::newInstanceIsEmpty()
{
    ChannelTableSource s;
    QCOMPARE(s.numberOfRowsInTableView(), 0);
    QCOMPARE(s.rowCount(), 0);
    QCOMPARE(s.tableType(), int(ChannelTableTypeSelection));
    QVERIFY(s.streamInfo() == nullptr);
    for (int c : {0, 1, 255}) {
        QVERIFY(!s.channelIsSelected(c));
        QCOMPARE(s.peak(c), 0.0);
    }
}

void TestChannelTableSource::numChannels_data()
{
    QTest::addColumn<int>("n");
    QTest::addColumn<int>("rows");
    QTest::newRow("zero") << 0 << 0;
    QTest::newRow("mono") << 1 << 1;
    QTest::newRow("six") << 6 << 6;
    QTest::newRow("256") << 256 << 256;
    QTest::newRow("257") << 257 << 256;
    QTest::newRow("300") << 300 << 256;
    QTest::newRow("-1") << -1 << 256;
    QTest::newRow("INT_MIN") << std::numeric_limits<int>::min() << 256;
}

void TestChannelTableSource::numChannels()
{
    QFETCH(int, n);
    QFETCH(int, rows);
    for (int type : {int(ChannelTableTypeSelection), int(ChannelTableTypePeak)}) {
        ChannelTableSource s;
        s.setType(type);
        QSignalSpy reset(&s, &QAbstractItemModel::modelReset);
        s.setNumChannels(n);
        QCOMPARE(reset.count(), 1);
        QCOMPARE(s.numberOfRowsInTableView(), rows);
        QCOMPARE(s.rowCount(), rows);
        QCOMPARE(s.columnCount(), 2);
    }
}

void TestChannelTableSource::setNumChannelsResetsFlagsAndPeaks()
{
    ChannelTableSource s;
    s.setNumChannels(4);
    s.setObjectValue(QVariant(), QStringLiteral("value"), 2);
    QVERIFY(!s.channelIsSelected(2));
    s.setPeakIfHigher(0.75, 3);
    s.setPeakIfHigher(0.5, 200);

    // Even a smaller count selects all 256 slots and zeroes all peaks.
    s.setNumChannels(1);
    for (int c = 0; c < ChannelTableSource::maxChannels; ++c) {
        QVERIFY2(s.channelIsSelected(c), qPrintable(QString::number(c)));
        QCOMPARE(s.peak(c), 0.0);
    }
}

void TestChannelTableSource::selection_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<bool>("selected");
    QTest::newRow("no value") << QVariant() << false;
    QTest::newRow("int 0") << QVariant(0) << false;
    QTest::newRow("text 0") << QVariant(QStringLiteral("0")) << false;
    QTest::newRow("empty text") << QVariant(QString()) << false;
    QTest::newRow("text abc") << QVariant(QStringLiteral("abc")) << false;
    QTest::newRow("bool false") << QVariant(false) << false;
    QTest::newRow("int 1") << QVariant(1) << true;
    QTest::newRow("int -1") << QVariant(-1) << true;
    QTest::newRow("int 2") << QVariant(2) << true;
    QTest::newRow("text 1") << QVariant(QStringLiteral("1")) << true;
    QTest::newRow("text 7 leading") << QVariant(QStringLiteral(" 7 rows")) << true;
    QTest::newRow("bool true") << QVariant(true) << true;
}

void TestChannelTableSource::selection()
{
    QFETCH(QVariant, value);
    QFETCH(bool, selected);
    const QString column = QStringLiteral("value");
    // From both starting states, so a no-op cannot pass.
    for (bool before : {false, true}) {
        ChannelTableSource s;
        s.setNumChannels(3);
        s.setObjectValue(before ? QVariant(1) : QVariant(), column, 1);
        QCOMPARE(s.channelIsSelected(1), before);

        s.setObjectValue(value, column, 1);
        QCOMPARE(s.channelIsSelected(1), selected);
        QCOMPARE(s.objectValueForTableColumn(column, 1),
                 selected ? QVariant(QStringLiteral("1")) : QVariant());
        // Neighbours untouched.
        QVERIFY(s.channelIsSelected(0));
        QVERIFY(s.channelIsSelected(2));
    }
}

void TestChannelTableSource::selectionIgnoredOnPeakSource()
{
    ChannelTableSource s;
    s.setNumChannels(2);
    s.setType(ChannelTableTypePeak);
    s.setObjectValue(QVariant(), QStringLiteral("value"), 0);
    s.setObjectValue(QVariant(0), QStringLiteral("name"), 1);
    QVERIFY(s.channelIsSelected(0));
    QVERIFY(s.channelIsSelected(1));
}

void TestChannelTableSource::peakKeepsHigher_data()
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    QTest::addColumn<double>("first");
    QTest::addColumn<double>("second");
    QTest::addColumn<double>("kept");
    QTest::newRow("higher then lower") << 0.5 << 0.25 << 0.5;
    QTest::newRow("lower then higher") << 0.25 << 0.5 << 0.5;
    QTest::newRow("equal") << 0.5 << 0.5 << 0.5;
    QTest::newRow("NaN after value") << 0.5 << nan << 0.5;
    QTest::newRow("NaN first") << nan << 0.25 << 0.25;
    QTest::newRow("negative stays zero") << -3.0 << -1.0 << 0.0;
    QTest::newRow("infinity") << 0.5 << std::numeric_limits<double>::infinity()
                              << std::numeric_limits<double>::infinity();
}

void TestChannelTableSource::peakKeepsHigher()
{
    QFETCH(double, first);
    QFETCH(double, second);
    QFETCH(double, kept);
    ChannelTableSource s;
    s.setNumChannels(2);
    s.setType(ChannelTableTypePeak);
    s.setPeakIfHigher(first, 1);
    s.setPeakIfHigher(second, 1);
    QCOMPARE(s.peak(1), kept);
    QCOMPARE(s.peak(0), 0.0);
}

void TestChannelTableSource::decibels_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<double>("peak");
    QTest::addColumn<QString>("text");
    const int wav = SF_FORMAT_WAV;
    QTest::newRow("16-bit full scale") << (wav | SF_FORMAT_PCM_16) << 32768.0 << "0.00 dB";
    QTest::newRow("16-bit max positive") << (wav | SF_FORMAT_PCM_16) << 32767.0 << "-0.00 dB";
    QTest::newRow("16-bit half") << (wav | SF_FORMAT_PCM_16) << 16384.0 << "-6.02 dB";
    QTest::newRow("16-bit one") << (wav | SF_FORMAT_PCM_16) << 1.0 << "-90.31 dB";
    QTest::newRow("16-bit zero") << (wav | SF_FORMAT_PCM_16) << 0.0 << "-inf dB";
    QTest::newRow("u8 127") << (wav | SF_FORMAT_PCM_U8) << 127.0 << "-0.07 dB";
    QTest::newRow("s8 127") << (SF_FORMAT_AIFF | SF_FORMAT_PCM_S8) << 127.0 << "-0.07 dB";
    QTest::newRow("s8 128") << (SF_FORMAT_AIFF | SF_FORMAT_PCM_S8) << 128.0 << "0.00 dB";
    QTest::newRow("24-bit full scale") << (wav | SF_FORMAT_PCM_24) << 8388608.0 << "0.00 dB";
    QTest::newRow("24-bit half") << (wav | SF_FORMAT_PCM_24) << 4194304.0 << "-6.02 dB";
    QTest::newRow("24-bit as 16-bit value") << (wav | SF_FORMAT_PCM_24) << 32768.0 << "-48.16 dB";
    QTest::newRow("32-bit full scale") << (wav | SF_FORMAT_PCM_32) << 2147483648.0 << "0.00 dB";
    QTest::newRow("32-bit quarter") << (wav | SF_FORMAT_PCM_32) << 536870912.0 << "-12.04 dB";
    QTest::newRow("float 1.0") << (wav | SF_FORMAT_FLOAT) << 1.0 << "0.00 dB";
    QTest::newRow("float 2.0") << (wav | SF_FORMAT_FLOAT) << 2.0 << "6.02 dB";
    QTest::newRow("float zero") << (wav | SF_FORMAT_FLOAT) << 0.0 << "-inf dB";
    QTest::newRow("double 0.5") << (wav | SF_FORMAT_DOUBLE) << 0.5 << "-6.02 dB";
    QTest::newRow("ulaw") << (wav | SF_FORMAT_ULAW) << 32768.0 << "0.00 dB";
    QTest::newRow("alaw") << (wav | SF_FORMAT_ALAW) << 16384.0 << "-6.02 dB";
    QTest::newRow("ima adpcm") << (wav | SF_FORMAT_IMA_ADPCM) << 32768.0 << "0.00 dB";
    QTest::newRow("ms adpcm") << (wav | SF_FORMAT_MS_ADPCM) << 1.0 << "-90.31 dB";
    QTest::newRow("gsm") << (wav | SF_FORMAT_GSM610) << 32767.0 << "-0.00 dB";
    QTest::newRow("flac 24") << (SF_FORMAT_FLAC | SF_FORMAT_PCM_24) << 8388608.0 << "0.00 dB";
    QTest::newRow("subtype 0") << 0 << 32768.0 << "0.00 dB";
}

void TestChannelTableSource::decibels()
{
    QFETCH(int, format);
    QFETCH(double, peak);
    QFETCH(QString, text);
    SF_INFO info{};
    info.format = format;
    info.channels = 1;
    ChannelTableSource s;
    s.setNumChannels(1);
    s.setType(ChannelTableTypePeak);
    s.setSFinfo(&info);
    s.setPeakIfHigher(peak, 0);
    QCOMPARE(s.objectValueForTableColumn(QStringLiteral("value"), 0).toString(), text);
    QCOMPARE(s.data(s.index(0, 1)).toString(), text);
}

void TestChannelTableSource::decibelsWithoutStreamInfo()
{
    // The selection source never gets a stream description; asking for a
    // level anyway uses the 16-bit scale instead of crashing.
    ChannelTableSource s;
    QCOMPARE(s.calcDecibels(32768.0), 0.0);
    QVERIFY(std::isinf(s.calcDecibels(0.0)) && s.calcDecibels(0.0) < 0);
}

void TestChannelTableSource::channelsWithoutSlot()
{
    ChannelTableSource s;
    s.setNumChannels(300);
    s.setType(ChannelTableTypePeak);
    for (int c : {-1, 256, 300, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()}) {
        s.setPeakIfHigher(1000.0, c);
        QVERIFY(!s.channelIsSelected(c));
        QCOMPARE(s.peak(c), 0.0);
        QCOMPARE(s.objectValueForTableColumn(QStringLiteral("value"), c), QVariant());
    }
    // The slots either side are not hit by a refused channel.
    QCOMPARE(s.peak(0), 0.0);
    QCOMPARE(s.peak(255), 0.0);

    s.setType(ChannelTableTypeSelection);
    s.setObjectValue(QVariant(), QStringLiteral("value"), -1);
    s.setObjectValue(QVariant(), QStringLiteral("value"), 256);
    QVERIFY(s.channelIsSelected(0));
    QVERIFY(s.channelIsSelected(255));
}

void TestChannelTableSource::otherTypeHasNoValue()
{
    ChannelTableSource s;
    s.setNumChannels(2);
    s.setType(7);
    QCOMPARE(s.tableType(), 7);
    QCOMPARE(s.numberOfRowsInTableView(), 2);
    QCOMPARE(s.objectValueForTableColumn(QStringLiteral("value"), 0), QVariant());
    QCOMPARE(s.objectValueForTableColumn(QStringLiteral("name"), 0).toString(), QStringLiteral("Channel #0"));
}

void TestChannelTableSource::qtModelSelection()
{
    ChannelTableSource s;
    s.setNumChannels(3);
    QCOMPARE(s.headerData(0, Qt::Horizontal).toString(), QStringLiteral("Channel"));
    QCOMPARE(s.headerData(1, Qt::Horizontal).toString(), QStringLiteral("Keep"));
    QCOMPARE(s.data(s.index(2, 0)).toString(), QStringLiteral("Channel #2"));

    const QModelIndex cell = s.index(1, 1);
    QVERIFY(s.flags(cell) & Qt::ItemIsUserCheckable);
    QVERIFY(!(s.flags(s.index(1, 0)) & Qt::ItemIsUserCheckable));
    QCOMPARE(s.data(cell, Qt::CheckStateRole).toInt(), int(Qt::Checked));

    QSignalSpy changed(&s, &QAbstractItemModel::dataChanged);
    QVERIFY(s.setData(cell, int(Qt::Unchecked), Qt::CheckStateRole));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).toModelIndex(), cell);
    QVERIFY(!s.channelIsSelected(1));
    QCOMPARE(s.data(cell, Qt::CheckStateRole).toInt(), int(Qt::Unchecked));
    QCOMPARE(s.objectValueForTableColumn(QStringLiteral("value"), 1), QVariant());

    QVERIFY(s.setData(cell, int(Qt::Checked), Qt::CheckStateRole));
    QVERIFY(s.channelIsSelected(1));
    QCOMPARE(s.objectValueForTableColumn(QStringLiteral("value"), 1).toString(), QStringLiteral("1"));

    // Only the check column and only the check role edit.
    QVERIFY(!s.setData(s.index(1, 0), int(Qt::Unchecked), Qt::CheckStateRole));
    QVERIFY(!s.setData(cell, int(Qt::Unchecked), Qt::EditRole));
    QVERIFY(s.channelIsSelected(1));
    QCOMPARE(changed.count(), 2);
}

void TestChannelTableSource::qtModelPeak()
{
    SF_INFO info{};
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    ChannelTableSource s;
    s.setNumChannels(2);
    s.setType(ChannelTableTypePeak);
    s.setSFinfo(&info);
    QCOMPARE(s.headerData(1, Qt::Horizontal).toString(), QStringLiteral("Peak"));

    const QModelIndex cell = s.index(1, 1);
    QVERIFY(!(s.flags(cell) & Qt::ItemIsUserCheckable));
    QVERIFY(!s.data(cell, Qt::CheckStateRole).isValid());
    QVERIFY(!s.setData(cell, int(Qt::Unchecked), Qt::CheckStateRole));
    QVERIFY(s.data(cell, Qt::TextAlignmentRole).toInt() & Qt::AlignRight);
    QCOMPARE(s.data(cell).toString(), QStringLiteral("-inf dB"));

    QSignalSpy changed(&s, &QAbstractItemModel::dataChanged);
    s.setPeakIfHigher(16384.0, 1);
    QCOMPARE(changed.count(), 0); // cheap per-sample call: no signal
    s.peaksChanged();
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).toModelIndex(), s.index(0, 1));
    QCOMPARE(changed.at(0).at(1).toModelIndex(), s.index(1, 1));
    QCOMPARE(s.data(cell).toString(), QStringLiteral("-6.02 dB"));
    QCOMPARE(s.data(s.index(0, 1)).toString(), QStringLiteral("-inf dB"));
}

QTEST_GUILESS_MAIN(TestChannelTableSource)
#include "tst_channeltablesource.moc"
