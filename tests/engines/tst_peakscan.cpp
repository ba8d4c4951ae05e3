// The peak scan: the block kernels against a plain loop, each decoder's
// scale, frames across blocks, the handle's settings and short files.
#include "EngineFixtures.h"

#include "analysis/PeakScan.h"
#include "filelogic/PropertyText.h"

#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <limits>
#include <random>

using namespace fixtures;

namespace {

// Each channel's largest absolute value, raised per item with a strict
// comparison (so NaN never gets in), from `peaks` on.
std::vector<double> referencePeaks(const std::vector<double> &items, int channels, std::vector<double> peaks)
{
    for (size_t i = 0; i < items.size(); ++i)
        if (i % size_t(channels) < peaks.size() && std::fabs(items[i]) > peaks[i % size_t(channels)])
            peaks[i % size_t(channels)] = std::fabs(items[i]);
    return peaks;
}

// Random levels, a different range per channel, with NaN, -0 and denormals;
// infinities only in odd channels, so the even ones compare finite maxima.
std::vector<double> wildItems(size_t count, int channels)
{
    std::mt19937 rng(static_cast<uint32_t>(count));
    const double inf = std::numeric_limits<double>::infinity();
    const double special[] = {std::numeric_limits<double>::quiet_NaN(), -0.0, 5e-324, inf, -inf};
    std::vector<double> v(count);
    for (size_t i = 0; i < count; ++i)
        v[i] = rng() % 16 == 0 ? special[rng() % (i % size_t(channels) % 2 ? 5 : 3)]
                               : (int(rng() % 2001) - 1000) * 0.002 * double(1 + i % size_t(channels));
    return v;
}

} // namespace

class TestPeakScan : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const char *name) const { return m_dir.filePath(QString::fromLatin1(name)); }

private slots:
    void kernelsAgree_data()
    {
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("tracked");
        QTest::addColumn<int>("items");
        // Whole lane groups, a tail of frames and a partial last frame, and
        // fewer items than one lane group.
        for (int channels = 1; channels <= 9; ++channels)
            for (int items : {channels * 48, channels * 53 + channels / 2, channels * 3})
                QTest::addRow("%d ch, %d items", channels, items) << channels << channels << items;
        QTest::newRow("3 ch, 2 tracked") << 3 << 2 << 999;
        QTest::newRow("300 ch, 256 tracked") << 300 << 256 << 300 * 7 + 11;
    }

    void kernelsAgree()
    {
        QFETCH(int, channels);
        QFETCH(int, tracked);
        QFETCH(int, items);
        const std::vector<double> block = wildItems(size_t(items), channels);
        std::vector<double> start(static_cast<size_t>(tracked));
        for (int c = 0; c < tracked; c += 3)
            start[size_t(c)] = 1.5; // earlier maxima are never lowered
        const std::vector<double> expected = referencePeaks(block, channels, start);
        for (PeakKernel kernel : {PeakKernel::Scalar, PeakKernel::Sse2, PeakKernel::Avx}) {
            std::vector<double> maxima = start; // an unavailable kernel falls back
            reducePeakBlock(block.data(), items, channels, tracked, maxima.data(), kernel);
            QVERIFY2(maxima == expected, qPrintable(QStringLiteral("kernel %1").arg(int(kernel))));
        }
    }

    // Three channels at a quarter, an eighth and a sixteenth of full scale
    // and one loud sample on channel 0, in the second of five blocks of 65535
    // items: a block that split a frame would give channels each other's peaks.
    void decoderScales_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<double>("fullScale"); // as the scan reads it
        QTest::addColumn<double>("loudest");
        QTest::addColumn<QString>("text");
        const int wav = SF_FORMAT_WAV;
        QTest::newRow("u8 +127") << (wav | SF_FORMAT_PCM_U8) << 128.0 << 127.0 << "-0.07 dB";
        QTest::newRow("s8 aiff -128") << (SF_FORMAT_AIFF | SF_FORMAT_PCM_S8) << 128.0 << -128.0 << "0.00 dB";
        QTest::newRow("16 -32768") << (wav | SF_FORMAT_PCM_16) << 32768.0 << -32768.0 << "0.00 dB";
        QTest::newRow("flac 16 +32767") << (SF_FORMAT_FLAC | SF_FORMAT_PCM_16) << 32768.0 << 32767.0 << "-0.00 dB";
        QTest::newRow("24 half") << (wav | SF_FORMAT_PCM_24) << 8388608.0 << 4194304.0 << "-6.02 dB";
        QTest::newRow("32 half") << (wav | SF_FORMAT_PCM_32) << 2147483648.0 << -1073741824.0 << "-6.02 dB";
        QTest::newRow("float 1.5") << (wav | SF_FORMAT_FLOAT) << 1.0 << 1.5 << "3.52 dB";
        QTest::newRow("double -2") << (wav | SF_FORMAT_DOUBLE) << 1.0 << -2.0 << "6.02 dB";
    }

    void decoderScales()
    {
        QFETCH(int, format);
        QFETCH(double, fullScale);
        QFETCH(double, loudest);
        QFETCH(QString, text);
        std::vector<double> items(300000);
        for (size_t i = 0; i < items.size(); ++i)
            items[i] = ((i / 3) % 2 ? fullScale : -fullScale) / double(4 << i % 3);
        items[3 * 77777] = loudest;
        QVERIFY(writeRawDoubles(path("loudest"), Spec{format, 3}, items));
        OpenSoundFile f{path("loudest")};
        std::vector<double> peaks;
        QList<double> progress, blocks;
        QCOMPARE(scanPeaks(f.sf, f.info, peaks, [&](double percent) { progress << percent; return true; }), sf_count_t(300000));
        for (int b = 1; b <= 4; ++b)
            blocks << b * 65535 * 100.0 / 300000;
        QCOMPARE(progress, blocks << 100.0);
        QStringList texts;
        for (double peak : peaks)
            texts << peakText(peak, format);
        QCOMPARE(texts, QStringList({text, "-18.06 dB", "-24.08 dB"}));
    }

    // Normalisation is restored, peaks already there are never lowered, and
    // a second scan reads the handle again from its start.
    void handleSettingsKept()
    {
        QVERIFY(writeRawDoubles(path("norm.wav"), Spec{SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2}, std::vector<double>(2000, 8192.0)));
        OpenSoundFile f{path("norm.wav")};
        for (bool normalised : {true, false}) {
            sf_command(f.sf, SFC_SET_NORM_DOUBLE, nullptr, normalised);
            std::vector<double> peaks = {20000.0};
            QCOMPARE(scanPeaks(f.sf, f.info, peaks, {}), sf_count_t(2000));
            QCOMPARE(peaks, std::vector<double>({20000.0, 8192.0}));
            QCOMPARE(sf_command(f.sf, SFC_GET_NORM_DOUBLE, nullptr, 0), int(normalised));
        }
        std::vector<double> peaks;
        SF_INFO noChannels = f.info;
        noChannels.channels = 0;
        QCOMPARE(scanPeaks(nullptr, f.info, peaks, {}) + scanPeaks(f.sf, noChannels, peaks, {}), sf_count_t(0));
        QVERIFY(peaks.empty());
    }

    // The handle reports the frames it had when opened; the file then loses
    // its second half, mid-frame. The scan ends at the first empty read.
    void fileShorterThanReported()
    {
        std::vector<double> items(400000, 1000.0);
        items[2 * 190000] = 30000.0;
        QVERIFY(writeRawDoubles(path("short.wav"), Spec{SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2}, items));
        OpenSoundFile f{path("short.wav")};
        QVERIFY(QFile(f.path).resize(QFileInfo(f.path).size() / 2 + 1));
        std::vector<double> peaks;
        double last = 0;
        const sf_count_t read = scanPeaks(f.sf, f.info, peaks, [&](double percent) { last = percent; return true; });
        QVERIFY(read > 0 && read < sf_count_t(items.size()) && last > 0 && last < 100.0);
        QCOMPARE(peaks, std::vector<double>({1000.0, 1000.0})); // the loud sample went
    }
};

QTEST_GUILESS_MAIN(TestPeakScan)
#include "tst_peakscan.moc"
