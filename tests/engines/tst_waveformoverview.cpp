// The waveform overview worker: bucket extremes against the signal written,
// files libsndfile cannot seek in, files of unknown length.
#include "Fixtures.h"

#include "analysis/WaveformOverview.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

using namespace fixtures;

namespace {

// A sine of 48 frames a cycle whose amplitude rises linearly over the file
// on channel 0 and falls on the others.
Generator ramp(sf_count_t frames)
{
    return [frames](sf_count_t f, int c) {
        const double share = double(f) / double(frames);
        return (c == 0 ? share : 1.0 - share) * std::sin(2 * M_PI * double(f) / 48.0);
    };
}

WaveformSnapshot overviewOf(const QString &path, int buckets, SF_INFO *info)
{
    *info = SF_INFO{};
    sf_close(sf_open(QFile::encodeName(path).constData(), SFM_READ, info));
    WaveformOverview overview;
    const std::atomic<bool> never{false};
    overview.compute(path, *info, buckets, never);
    std::vector<int> channels(size_t(info->channels));
    for (int c = 0; c < info->channels; ++c)
        channels[size_t(c)] = c;
    return overview.snapshot(channels);
}

} // namespace

class TestWaveformOverview : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void bucketsFollowTheSignal_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("frames");
        QTest::addColumn<int>("buckets");
        QTest::addColumn<double>("tolerance");
        QTest::newRow("pcm16 stereo") << (SF_FORMAT_WAV | SF_FORMAT_PCM_16) << 2 << 96000 << 300 << 1e-4;
        QTest::newRow("pcm24 3 channels") << (SF_FORMAT_WAV | SF_FORMAT_PCM_24) << 3 << 30000 << 64 << 1e-6;
        QTest::newRow("float, buckets of one frame") << (SF_FORMAT_WAV | SF_FORMAT_FLOAT) << 2 << 500 << 4096 << 1e-6;
        QTest::newRow("9 channels, frame loop") << (SF_FORMAT_WAV | SF_FORMAT_PCM_24) << 9 << 20000 << 64 << 1e-6;
        // GSM in WAV cannot seek: the worker reads it once from the start.
        QTest::newRow("gsm unseekable") << (SF_FORMAT_WAV | SF_FORMAT_GSM610) << 1 << 48000 << 40 << 0.2;
    }
    void bucketsFollowTheSignal()
    {
        QFETCH(int, format);
        QFETCH(int, channels);
        QFETCH(int, frames);
        QFETCH(int, buckets);
        QFETCH(double, tolerance);
        const QString path = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()) + ".wav");
        const Generator gen = ramp(frames);
        QVERIFY(write(path, Spec{format, channels, 8000, frames, {}, {}}, gen));
        SF_INFO info;
        const WaveformSnapshot s = overviewOf(path, buckets, &info);
        QCOMPARE(bool(info.seekable), (format & SF_FORMAT_SUBMASK) != SF_FORMAT_GSM610);
        QVERIFY(s.complete && !s.failed);
        QCOMPARE(s.planned, std::min(buckets, frames));
        QCOMPARE(s.filled, s.planned);
        QCOMPARE(s.span, qint64(frames));
        for (int c = 0; c < channels; ++c) {
            for (int b = 0; b < s.planned; ++b) {
                double lo = 1, hi = -1;
                for (qint64 f = s.firstFrame(b); f < s.firstFrame(b + 1); ++f) {
                    QCOMPARE(s.bucketOf(f), b);
                    lo = std::min(lo, gen(f, c));
                    hi = std::max(hi, gen(f, c));
                }
                QVERIFY2(std::fabs(s.maxima[size_t(c)][size_t(b)] - hi) <= tolerance
                             && std::fabs(s.minima[size_t(c)][size_t(b)] - lo) <= tolerance,
                         qPrintable(QStringLiteral("channel %1 bucket %2: %3..%4, wrote %5..%6").arg(c).arg(b)
                                        .arg(s.minima[size_t(c)][size_t(b)]).arg(s.maxima[size_t(c)][size_t(b)]).arg(lo).arg(hi)));
            }
        }
    }

    // libsndfile cannot tell the length of an Ogg file cut before its last
    // page (and reads nothing of a short one): buckets double in length as
    // the file is read. A loud burst read while buckets were 4096 frames
    // long must stay in the bucket holding it through both merges after it
    // (first of its pair, then second).
    void unknownLengthMergesBuckets()
    {
        const QString path = m_dir.filePath(QStringLiteral("cut.ogg"));
        constexpr qint64 kBurst = 107000;
        const auto loud = [](qint64 f) { return f >= kBurst && f < kBurst + 2000; };
        QVERIFY(write(path, Spec{SF_FORMAT_OGG | SF_FORMAT_VORBIS, 1, 48000, 480000, {}, {}}, [&](sf_count_t f, int) {
            return (loud(f) ? 0.9 : 0.3) * std::sin(2 * M_PI * double(f) / 48.0);
        }));
        QFile file(path);
        QVERIFY(file.resize(file.size() * 9 / 10));
        SF_INFO info;
        const WaveformSnapshot s = overviewOf(path, 16, &info);
        QCOMPARE(info.frames, SF_COUNT_MAX);
        QVERIFY(s.complete && !s.failed);
        QVERIFY2(s.filled >= 16 && s.filled < 32 && s.planned == s.filled, qPrintable(QString::number(s.filled)));
        const qint64 readable = qint64(readRawDoubles(path).size());
        const qint64 perBucket = s.span / s.planned;
        QVERIFY(perBucket > 0 && (perBucket & (perBucket - 1)) == 0);
        QVERIFY(s.span >= readable && s.span - readable < perBucket);
        QCOMPARE(perBucket, 16384);
        const int burst = s.bucketOf(kBurst);
        QVERIFY(s.maxima[0][size_t(burst)] > 0.85 && s.minima[0][size_t(burst)] < -0.85);
        for (int b = 1; b + 1 < s.filled; ++b)
            QVERIFY2(b == burst || (std::fabs(s.maxima[0][size_t(b)] - 0.3) < 0.05 && std::fabs(s.minima[0][size_t(b)] + 0.3) < 0.05),
                     qPrintable(QStringLiteral("bucket %1: %2").arg(b).arg(s.maxima[0][size_t(b)])));
    }
};

QTEST_GUILESS_MAIN(TestWaveformOverview)
#include "tst_waveformoverview.moc"
