// The Properties tab's texts: length, size, bytes per sample and per second.
#include "filelogic/PropertyText.h"

#include <sndfile.h>

#include <QtTest>

class TestPropertyText : public QObject
{
    Q_OBJECT

private slots:
    void length_data()
    {
        QTest::addColumn<qint64>("frames");
        QTest::addColumn<int>("rate");
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << qint64(0) << 44100 << "00:00:00.000";
        QTest::newRow("half second") << qint64(22050) << 44100 << "00:00:00.500";
        QTest::newRow("truncated, not rounded") << qint64(44099) << 44100 << "00:00:00.999";
        QTest::newRow("ten seconds") << qint64(441000) << 44100 << "00:00:10.000";
        QTest::newRow("one frame more") << qint64(441001) << 44100 << "00:00:10.000";
        QTest::newRow("7 ms") << qint64(7) << 1000 << "00:00:00.007";
        QTest::newRow("hours") << qint64(592584000) << 48000 << "03:25:45.500";
        QTest::newRow("100 hours") << qint64(15876000000) << 44100 << "100:00:00.000";
        // Past 2^31 frames and past 2^31 seconds the 64-bit arithmetic holds.
        QTest::newRow("3e9 frames") << qint64(3000000000) << 44100 << "18:53:47.210";
        QTest::newRow("2^31 seconds") << qint64(2147483648LL) * 1000 << 1000 << "596523:14:08.000";
        QTest::newRow("rate 0") << qint64(1000) << 0 << "unknown";
        QTest::newRow("negative rate") << qint64(1000) << -5 << "unknown";
    }
    void length()
    {
        QFETCH(qint64, frames);
        QFETCH(int, rate);
        QFETCH(QString, text);
        QCOMPARE(lengthText(frames, rate), text);
    }

    void size_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("0") << qint64(0) << "0.00  Bytes";
        QTest::newRow("512") << qint64(512) << "512.00  Bytes";
        QTest::newRow("1024") << qint64(1024) << "1024.00  Bytes";
        QTest::newRow("1025") << qint64(1025) << "1.00 KB";
        QTest::newRow("1536") << qint64(1536) << "1.50 KB";
        QTest::newRow("1048576") << qint64(1048576) << "1024.00 KB";
        QTest::newRow("1048577") << qint64(1048577) << "1.00 MB";
        QTest::newRow("1764044") << qint64(1764044) << "1.68 MB";
        QTest::newRow("1073741824") << qint64(1073741824) << "1024.00 MB";
        QTest::newRow("1073741825 rounds to 2^30") << qint64(1073741825) << "1024.00 MB";
        QTest::newRow("4294967296") << qint64(4294967296LL) << "4.00 GB";
        // Beyond the last unit the number grows instead of the unit.
        QTest::newRow("2^50") << (qint64(1) << 50) << "1024.00 TB";
        QTest::newRow("2^52") << (qint64(1) << 52) << "4096.00 TB";
        QTest::newRow("max") << std::numeric_limits<qint64>::max() << "8388608.00 TB";
    }
    void size()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, text);
        QCOMPARE(sizeText(bytes), text);
    }

    void bytes_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("channels");
        QTest::addColumn<QString>("perSample");
        QTest::addColumn<QString>("perSecond");
        QTest::newRow("pcm16 stereo") << (SF_FORMAT_WAV | SF_FORMAT_PCM_16) << 44100 << 2 << "2" << "176400";
        QTest::newRow("double stereo") << (SF_FORMAT_WAV | SF_FORMAT_DOUBLE) << 48000 << 2 << "8" << "768000";
        QTest::newRow("s8") << (SF_FORMAT_AIFF | SF_FORMAT_PCM_S8) << 8000 << 1 << "1" << "8000";
        QTest::newRow("u8") << (SF_FORMAT_WAV | SF_FORMAT_PCM_U8) << 8000 << 1 << "1" << "8000";
        QTest::newRow("dwvw12") << (SF_FORMAT_AIFF | SF_FORMAT_DWVW_12) << 8000 << 1 << "1" << "8000";
        QTest::newRow("dpcm8") << (SF_FORMAT_XI | SF_FORMAT_DPCM_8) << 8000 << 1 << "1" << "8000";
        QTest::newRow("dwvw16") << (SF_FORMAT_AIFF | SF_FORMAT_DWVW_16) << 8000 << 1 << "2" << "16000";
        QTest::newRow("dpcm16") << (SF_FORMAT_XI | SF_FORMAT_DPCM_16) << 8000 << 1 << "2" << "16000";
        QTest::newRow("pcm24") << (SF_FORMAT_WAV | SF_FORMAT_PCM_24) << 96000 << 6 << "3" << "1728000";
        QTest::newRow("dwvw24") << (SF_FORMAT_AIFF | SF_FORMAT_DWVW_24) << 8000 << 1 << "3" << "24000";
        QTest::newRow("pcm32") << (SF_FORMAT_WAV | SF_FORMAT_PCM_32) << 8000 << 1 << "4" << "32000";
        QTest::newRow("float") << (SF_FORMAT_WAV | SF_FORMAT_FLOAT) << 8000 << 1 << "4" << "32000";
        QTest::newRow("ulaw") << (SF_FORMAT_WAV | SF_FORMAT_ULAW) << 8000 << 1 << "unknown" << "unknown";
        QTest::newRow("alaw") << (SF_FORMAT_WAV | SF_FORMAT_ALAW) << 8000 << 1 << "unknown" << "unknown";
        QTest::newRow("ima adpcm") << (SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM) << 8000 << 1 << "unknown" << "unknown";
        QTest::newRow("gsm") << (SF_FORMAT_WAV | SF_FORMAT_GSM610) << 8000 << 1 << "unknown" << "unknown";
        QTest::newRow("dwvw n") << (SF_FORMAT_AIFF | SF_FORMAT_DWVW_N) << 8000 << 1 << "unknown" << "unknown";
        QTest::newRow("flac 16") << (SF_FORMAT_FLAC | SF_FORMAT_PCM_16) << 8000 << 1 << "2" << "16000";
        QTest::newRow("vorbis") << (SF_FORMAT_OGG | SF_FORMAT_VORBIS) << 8000 << 1 << "unknown" << "unknown";
        // 8 bytes x 768 kHz x 1024 channels does not fit in 32 bits.
        QTest::newRow("no overflow") << (SF_FORMAT_WAV | SF_FORMAT_DOUBLE) << 768000 << 1024 << "8" << "6291456000";
    }
    void bytes()
    {
        QFETCH(int, format);
        QFETCH(int, rate);
        QFETCH(int, channels);
        QFETCH(QString, perSample);
        QFETCH(QString, perSecond);
        QCOMPARE(bytesPerSampleText(format), perSample);
        QCOMPARE(bytesPerSecondText(format, rate, channels), perSecond);
    }
};

QTEST_APPLESS_MAIN(TestPropertyText)
#include "tst_propertytext.moc"
