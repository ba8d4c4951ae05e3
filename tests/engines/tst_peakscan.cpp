// The peak scan over real files written by libsndfile: levels per format,
// block layout, progress, normalisation, short files, and agreement with
// sox's own peak measurement.
#include "window/ChannelTableSource.h"
#include "analysis/PeakScan.h"

#include "Fixtures.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <limits>
#include <memory>
#include <random>

namespace {

struct SndfileCloser {
    void operator()(SNDFILE *f) const { sf_close(f); }
};
using SndfilePtr = std::unique_ptr<SNDFILE, SndfileCloser>;

SndfilePtr openRead(const QString &path, SF_INFO &info)
{
    info = SF_INFO{};
    return SndfilePtr(sf_open(QFile::encodeName(path).constData(), SFM_READ, &info));
}

// A peak source set up the way the document sets it up for a file.
void setUpPeaks(ChannelTableSource &peaks, const SF_INFO &info)
{
    peaks.setNumChannels(info.channels);
    peaks.setType(ChannelTableTypePeak);
    peaks.setSFinfo(&info);
}

QString valueText(const ChannelTableSource &peaks, int row)
{
    return peaks.objectValueForTableColumn(QStringLiteral("value"), row).toString();
}

struct ScanResult {
    sf_count_t items = 0;
    QList<double> progress;
};

ScanResult scan(SNDFILE *f, const SF_INFO &info, ChannelTableSource &peaks)
{
    ScanResult r;
    r.items = scanPeaks(f, info, peaks, [&](double percent) { r.progress.append(percent); });
    return r;
}

// Full-scale value of a subtype at the scale the scan reads it.
double integerScale(int format)
{
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_PCM_S8: return 128.0;
    case SF_FORMAT_PCM_24: return 8388608.0;
    case SF_FORMAT_PCM_32: return 2147483648.0;
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_DOUBLE: return 1.0;
    default: return 32768.0;
    }
}

} // namespace

class TestPeakScan : public QObject
{
    Q_OBJECT

private slots:
    void blockItems_data();
    void blockItems();
    void kernelsAgree_data();
    void kernelsAgree();
    void loudestSample_data();
    void loudestSample();
    void sixChannelBlocks();
    void sameAsPerSampleCalls_data();
    void sameAsPerSampleCalls();
    void neverLowersEarlierPeaks();
    void normalisationRestored_data();
    void normalisationRestored();
    void fileShorterThanReported();
    void badArguments();
    void agreesWithSox_data();
    void agreesWithSox();

private:
    QTemporaryDir m_dir;
    QString path(const char *name) const { return m_dir.filePath(QString::fromLatin1(name)); }
};

void TestPeakScan::blockItems_data()
{
    QTest::addColumn<int>("channels");
    QTest::addColumn<qlonglong>("items");
    QTest::newRow("1") << 1 << 65536LL;
    QTest::newRow("2") << 2 << 65536LL;
    QTest::newRow("3") << 3 << 65535LL;
    QTest::newRow("6") << 6 << 65532LL;
    QTest::newRow("7") << 7 << 65534LL;
    QTest::newRow("256") << 256 << 65536LL;
    QTest::newRow("300") << 300 << 65400LL;
    QTest::newRow("1024") << 1024 << 65536LL;
    QTest::newRow("0") << 0 << 0LL;
    QTest::newRow("-2") << -2 << 0LL;
}

void TestPeakScan::blockItems()
{
    QFETCH(int, channels);
    QFETCH(qlonglong, items);
    QCOMPARE(qlonglong(peakScanBlockItems(channels)), items);
}

void TestPeakScan::kernelsAgree_data()
{
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("tracked");
    QTest::addColumn<int>("items");
    for (int channels = 1; channels <= 9; ++channels) {
        // Whole lane groups, a tail of frames, a partial last frame, and
        // fewer items than one lane group.
        for (int items : {channels * 48, channels * 53, channels * 53 + channels / 2, channels * 3})
            QTest::addRow("%d ch, %d items", channels, items) << channels << channels << items;
    }
    QTest::newRow("3 ch, 2 tracked") << 3 << 2 << 999;
    QTest::newRow("300 ch, 256 tracked") << 300 << 256 << 300 * 7 + 11;
}

// Every vector kernel against the plain loop and against per-item
// setPeakIfHigher() calls, on values with NaN, infinities, negative zero
// and denormals, starting from non-zero maxima.
void TestPeakScan::kernelsAgree()
{
    QFETCH(int, channels);
    QFETCH(int, tracked);
    QFETCH(int, items);
    std::mt19937 rng(uint32_t(channels * 1000 + items));
    std::uniform_real_distribution<double> level(-100.0, 100.0);
    const double special[] = {std::numeric_limits<double>::quiet_NaN(), -0.0,
                              std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                              std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::quiet_NaN()};
    std::vector<double> block(static_cast<size_t>(items));
    for (double &v : block)
        v = rng() % 16 == 0 ? special[rng() % 6] : level(rng) * double(rng() % 4);
    // Keep infinity out of some channels so their finite maxima are compared.
    for (size_t i = 0; i < block.size(); ++i)
        if (i % size_t(channels) % 2 == 0 && std::isinf(block[i]))
            block[i] = 250.0;

    ChannelTableSource reference;
    reference.setNumChannels(channels);
    std::vector<double> start(static_cast<size_t>(tracked));
    for (int c = 0; c < tracked; ++c) {
        start[size_t(c)] = c % 3 == 0 ? 150.0 : 0.0;
        reference.setPeakIfHigher(start[size_t(c)], c);
    }
    for (int i = 0; i < items; ++i)
        if (i % channels < tracked)
            reference.setPeakIfHigher(std::fabs(block[size_t(i)]), i % channels);

    int tried = 0;
    for (PeakKernel kernel : {PeakKernel::Scalar, PeakKernel::Sse2, PeakKernel::Avx}) {
        if (!peakKernelAvailable(kernel))
            continue;
        ++tried;
        std::vector<double> maxima = start;
        reducePeakBlock(block.data(), items, channels, tracked, maxima.data(), kernel);
        for (int c = 0; c < tracked; ++c)
            QVERIFY2(maxima[size_t(c)] == reference.peak(c),
                     qPrintable(QStringLiteral("kernel %1 channel %2: %3 vs %4")
                                    .arg(int(kernel)).arg(c).arg(maxima[size_t(c)]).arg(reference.peak(c))));
    }
    QVERIFY(tried >= 1);
    QVERIFY(peakKernelAvailable(bestPeakKernel()));
}

// Rows for 16-bit extremes, +127 in u8, 24-bit and float below -1 are
// checked through the window in tst_windowsetup (peaks, floatAboveFullScale).
void TestPeakScan::loudestSample_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<double>("loudest");
    QTest::addColumn<QString>("text");
    const int wav = SF_FORMAT_WAV;
    QTest::newRow("u8 -128") << (wav | SF_FORMAT_PCM_U8) << -128.0 << "0.00 dB";
    QTest::newRow("s8 aiff -128") << (SF_FORMAT_AIFF | SF_FORMAT_PCM_S8) << -128.0 << "0.00 dB";
    QTest::newRow("32-bit half") << (wav | SF_FORMAT_PCM_32) << -1073741824.0 << "-6.02 dB";
    QTest::newRow("float 1.5") << (wav | SF_FORMAT_FLOAT) << 1.5 << "3.52 dB";
    QTest::newRow("double 1.0") << (wav | SF_FORMAT_DOUBLE) << 1.0 << "0.00 dB";
}

// A stereo file with a quarter-scale square wave on both channels and one
// loud sample on channel 0, placed in the second block.
void TestPeakScan::loudestSample()
{
    QFETCH(int, format);
    QFETCH(double, loudest);
    QFETCH(QString, text);
    const double quarter = integerScale(format) / 4;
    const sf_count_t frames = 100000;
    std::vector<double> items(size_t(frames * 2));
    for (size_t i = 0; i < items.size(); ++i)
        items[i] = (i / 2) % 2 ? quarter : -quarter;
    items[2 * 77777] = loudest;

    fixtures::Spec spec;
    spec.format = format;
    spec.frames = frames;
    const QString file = path("loudest");
    QVERIFY(fixtures::writeRawDoubles(file, spec, items));

    SF_INFO info;
    SndfilePtr f = openRead(file, info);
    QVERIFY(f);
    ChannelTableSource peaks;
    setUpPeaks(peaks, info);
    const ScanResult r = scan(f.get(), info, peaks);
    QCOMPARE(r.items, sf_count_t(items.size()));
    QCOMPARE(valueText(peaks, 0), text);
    QCOMPARE(valueText(peaks, 1), QStringLiteral("-12.04 dB"));
    QCOMPARE(r.progress.size(), 4); // 200000 items in blocks of 65536
    QCOMPARE(r.progress.last(), 100.0);
}

// 6 channels are read 10922 frames (65532 items) at a time. Each channel has
// its own level and its loudest sample in a different block, so a block that
// split a frame, or a wrong channel index, would show up as a wrong peak.
void TestPeakScan::sixChannelBlocks()
{
    const int channels = 6;
    const sf_count_t blockFrames = 10922;
    const sf_count_t frames = blockFrames * 3 + 5;
    std::vector<double> items(size_t(frames * channels));
    for (sf_count_t fr = 0; fr < frames; ++fr)
        for (int c = 0; c < channels; ++c)
            items[size_t(fr * channels + c)] = (fr % 2 ? 1 : -1) * 100.0 * (c + 1);
    // Loud samples at the first and last frame of blocks, and in the short
    // last block.
    const sf_count_t loudFrame[channels] = {0, blockFrames - 1, blockFrames, 2 * blockFrames + 17,
                                            3 * blockFrames, frames - 1};
    for (int c = 0; c < channels; ++c)
        items[size_t(loudFrame[c] * channels + c)] = -1000.0 * (c + 1);

    fixtures::Spec spec;
    spec.channels = channels;
    spec.frames = frames;
    const QString file = path("six.wav");
    QVERIFY(fixtures::writeRawDoubles(file, spec, items));
    SF_INFO info;
    SndfilePtr f = openRead(file, info);
    ChannelTableSource peaks;
    setUpPeaks(peaks, info);
    const ScanResult r = scan(f.get(), info, peaks);

    QCOMPARE(r.items, sf_count_t(items.size()));
    for (int c = 0; c < channels; ++c)
        QCOMPARE(peaks.peak(c), 1000.0 * (c + 1));
    const double total = double(items.size());
    QCOMPARE(r.progress.size(), 4);
    for (int b = 0; b < 3; ++b)
        QCOMPARE(r.progress.at(b), double((b + 1) * 65532) * 100.0 / total);
    QCOMPARE(r.progress.last(), 100.0);
}

void TestPeakScan::sameAsPerSampleCalls_data()
{
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("frames");
    QTest::newRow("1") << 1 << 70001;
    QTest::newRow("2") << 2 << 40000;
    QTest::newRow("5") << 5 << 20000;
    QTest::newRow("300") << 300 << 300;
}

// A float file with random levels, negative values, NaN and negative zero:
// the per-block reduction must give exactly what calling setPeakIfHigher()
// with every sample's absolute value gives.
void TestPeakScan::sameAsPerSampleCalls()
{
    QFETCH(int, channels);
    QFETCH(int, frames);
    std::mt19937 rng(uint32_t(channels * 7919 + frames));
    std::uniform_real_distribution<double> level(-2.0, 2.0);
    std::vector<double> items(size_t(frames) * size_t(channels));
    for (size_t i = 0; i < items.size(); ++i) {
        switch (rng() % 64) {
        case 0: items[i] = std::numeric_limits<double>::quiet_NaN(); break;
        case 1: items[i] = -0.0; break;
        default: items[i] = level(rng) * double(1 + i % channels) / channels; break;
        }
    }
    // With several channels, the last is NaN and zero only.
    for (int fr = 0; channels > 1 && fr < frames; ++fr)
        items[size_t(fr) * size_t(channels) + size_t(channels - 1)] =
            fr % 3 ? 0.0 : std::numeric_limits<double>::quiet_NaN();

    fixtures::Spec spec;
    spec.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    spec.channels = channels;
    spec.frames = frames;
    const QString file = path("random.wav");
    QVERIFY(fixtures::writeRawDoubles(file, spec, items));

    SF_INFO info;
    SndfilePtr f = openRead(file, info);
    QVERIFY(f);
    ChannelTableSource scanned;
    setUpPeaks(scanned, info);
    QCOMPARE(scan(f.get(), info, scanned).items, sf_count_t(items.size()));

    ChannelTableSource reference;
    setUpPeaks(reference, info);
    const std::vector<double> readBack = fixtures::readRawDoubles(file);
    QCOMPARE(readBack.size(), items.size());
    for (size_t i = 0; i < readBack.size(); ++i)
        reference.setPeakIfHigher(std::fabs(readBack[i]), int(i % size_t(channels)));

    for (int c = 0; c < ChannelTableSource::maxChannels; ++c)
        QCOMPARE(scanned.peak(c), reference.peak(c));
    if (channels > 1)
        QCOMPARE(scanned.peak(channels - 1), 0.0);
    QVERIFY(scanned.peak(0) > 0.0);
    QCOMPARE(scanned.numberOfRowsInTableView(), std::min(channels, 256));
}

void TestPeakScan::neverLowersEarlierPeaks()
{
    fixtures::Spec spec;
    spec.channels = 2;
    spec.frames = 1000;
    const QString file = path("lower.wav");
    QVERIFY(fixtures::writeRawDoubles(file, spec, std::vector<double>(2000, 8192.0)));
    SF_INFO info;
    SndfilePtr f = openRead(file, info);
    ChannelTableSource peaks;
    setUpPeaks(peaks, info);
    peaks.setPeakIfHigher(20000.0, 0);
    scan(f.get(), info, peaks);
    QCOMPARE(peaks.peak(0), 20000.0);
    QCOMPARE(peaks.peak(1), 8192.0);
    // A second scan of the same handle reads it again from the start.
    peaks.setNumChannels(2);
    QCOMPARE(scan(f.get(), info, peaks).items, sf_count_t(2000));
    QCOMPARE(peaks.peak(0), 8192.0);
}

void TestPeakScan::normalisationRestored_data()
{
    QTest::addColumn<bool>("normalised");
    QTest::newRow("on") << true;
    QTest::newRow("off") << false;
}

void TestPeakScan::normalisationRestored()
{
    QFETCH(bool, normalised);
    fixtures::Spec spec;
    spec.frames = 5000;
    const QString file = path("norm.wav");
    QVERIFY(fixtures::write(file, spec));
    SF_INFO info;
    SndfilePtr f = openRead(file, info);
    sf_command(f.get(), SFC_SET_NORM_DOUBLE, nullptr, normalised ? SF_TRUE : SF_FALSE);
    ChannelTableSource peaks;
    setUpPeaks(peaks, info);
    scan(f.get(), info, peaks);
    QCOMPARE(sf_command(f.get(), SFC_GET_NORM_DOUBLE, nullptr, 0) != 0, normalised);
    // The scan itself always reads at the integer scale.
    QVERIFY(peaks.peak(0) > 1000.0);

    // And later reads see the setting: a 0.5 sine reads as about 0.5 or 16383.
    sf_seek(f.get(), 0, SEEK_SET);
    std::vector<double> block(2000);
    QCOMPARE(sf_read_double(f.get(), block.data(), 2000), sf_count_t(2000));
    double m = 0;
    for (double v : block)
        m = std::max(m, std::fabs(v));
    QVERIFY2(normalised ? m < 1.0 : m > 1000.0, qPrintable(QString::number(m)));
}

// The handle reports the frames it had when opened; the file then loses its
// second half, mid-frame. The scan ends at the first empty read with the
// peaks of what it could read.
void TestPeakScan::fileShorterThanReported()
{
    fixtures::Spec spec;
    spec.channels = 2;
    spec.frames = 200000;
    std::vector<double> items(400000, 1000.0);
    items[2 * 190000] = 30000.0; // in the part that goes away
    const QString file = path("short.wav");
    QVERIFY(fixtures::writeRawDoubles(file, spec, items));

    SF_INFO info;
    SndfilePtr f = openRead(file, info);
    QVERIFY(f);
    QCOMPARE(info.frames, sf_count_t(200000));
    QFile disk(file);
    QVERIFY(disk.resize(disk.size() / 2 + 1));

    ChannelTableSource peaks;
    setUpPeaks(peaks, info);
    const ScanResult r = scan(f.get(), info, peaks);
    QVERIFY(r.items > 0);
    QVERIFY(r.items < sf_count_t(items.size()));
    QVERIFY(!r.progress.isEmpty());
    QVERIFY(r.progress.last() < 100.0);
    QCOMPARE(peaks.peak(0), 1000.0);
    QCOMPARE(peaks.peak(1), 1000.0);
    QCOMPARE(sf_command(f.get(), SFC_GET_NORM_DOUBLE, nullptr, 0), SF_TRUE);
}

void TestPeakScan::badArguments()
{
    ChannelTableSource peaks;
    SF_INFO info{};
    info.channels = 2;
    info.frames = 100;
    bool called = false;
    QCOMPARE(scanPeaks(nullptr, info, peaks, [&](double) { called = true; }), sf_count_t(0));

    // A description that disagrees with the handle (no channels) reads nothing.
    fixtures::Spec spec;
    spec.frames = 10;
    const QString file = path("bad.wav");
    QVERIFY(fixtures::write(file, spec));
    SF_INFO real;
    SndfilePtr f = openRead(file, real);
    info.channels = 0;
    QCOMPARE(scanPeaks(f.get(), info, peaks, [&](double) { called = true; }), sf_count_t(0));
    QVERIFY(!called);
    // No progress callback at all is fine.
    QCOMPARE(scanPeaks(f.get(), real, peaks, {}), sf_count_t(20));
}

void TestPeakScan::agreesWithSox_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("channels");
    QTest::newRow("16-bit stereo") << (SF_FORMAT_WAV | SF_FORMAT_PCM_16) << 2;
    QTest::newRow("24-bit 3 channels") << (SF_FORMAT_WAV | SF_FORMAT_PCM_24) << 3;
    QTest::newRow("u8 mono") << (SF_FORMAT_WAV | SF_FORMAT_PCM_U8) << 1;
    QTest::newRow("32-bit stereo") << (SF_FORMAT_WAV | SF_FORMAT_PCM_32) << 2;
    QTest::newRow("flac 16 stereo") << (SF_FORMAT_FLAC | SF_FORMAT_PCM_16) << 2;
}

void TestPeakScan::agreesWithSox()
{
    if (!fixtures::haveProgram("sox"))
        QSKIP("sox is not installed");
    QFETCH(int, format);
    QFETCH(int, channels);
    fixtures::Spec spec;
    spec.format = format;
    spec.channels = channels;
    spec.frames = 96000;
    const QString file = path((format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC ? "sox.flac" : "sox.wav");
    // Each channel at its own level, with noise so the peak falls between
    // full dB steps.
    std::mt19937 rng(static_cast<uint32_t>(format));
    std::uniform_real_distribution<double> noise(-0.05, 0.05);
    QVERIFY(fixtures::write(file, spec, [&](sf_count_t frame, int channel) {
        return 0.9 / (channel + 1) * std::sin(2.0 * M_PI * 441.0 * (channel + 1) * double(frame) / 44100.0)
               + noise(rng) / (channel + 1);
    }));

    SF_INFO info;
    SndfilePtr f = openRead(file, info);
    QVERIFY(f);
    ChannelTableSource peaks;
    setUpPeaks(peaks, info);
    scan(f.get(), info, peaks);

    QProcess sox;
    sox.start(QStringLiteral("sox"), {file, QStringLiteral("-n"), QStringLiteral("stats")});
    QVERIFY(sox.waitForFinished(60000));
    const QString out = QString::fromLocal8Bit(sox.readAllStandardError());
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("^Pk lev dB\\s+(.*)$"), QRegularExpression::MultilineOption).match(out);
    QVERIFY2(m.hasMatch(), qPrintable(out));
    QStringList levels = m.captured(1).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    // Several channels: an "Overall" column comes first.
    if (channels > 1)
        levels.removeFirst();
    QCOMPARE(levels.size(), channels);
    for (int c = 0; c < channels; ++c) {
        const double ours = peaks.calcDecibels(peaks.peak(c));
        const double theirs = levels.at(c).toDouble();
        QVERIFY2(std::fabs(ours - theirs) <= 0.0100001,
                 qPrintable(QStringLiteral("channel %1: %2 vs sox %3").arg(c).arg(ours).arg(theirs)));
    }
}

QTEST_GUILESS_MAIN(TestPeakScan)
#include "tst_peakscan.moc"
