// Position text and slider scaling of the transport controls.
#include "filelogic/PlayPosition.h"

#include <QtTest>

#include <climits>

class TestPlayPosition : public QObject
{
    Q_OBJECT

private slots:
    void text_data();
    void text();
    void scaleRoundTrip_data();
    void scaleRoundTrip();
    void scaleIsMonotonic();
};

void TestPlayPosition::text_data()
{
    QTest::addColumn<qint64>("frame");
    QTest::addColumn<int>("rate");
    QTest::addColumn<QString>("expected");

    QTest::newRow("44100, 100000") << qint64(100000) << 44100 << "0:00:02.267";
    QTest::newRow("48000, 178812345") << qint64(178812345) << 48000 << "1:02:05.257";
    QTest::newRow("zero") << qint64(0) << 44100 << "0:00:00.000";
    QTest::newRow("one frame short of a minute") << qint64(60 * 48000 - 1) << 48000 << "0:00:59.999";
    QTest::newRow("exactly one hour") << qint64(3600) * 44100 << 44100 << "1:00:00.000";
    // Hours keep counting past 24 and 99.
    QTest::newRow("hours do not wrap") << qint64(123) * 3600 * 1000 + 61 * 1000 + 5 << 1000 << "123:01:01.005";
    QTest::newRow("slider maximum at 1 Hz") << qint64(INT_MAX) << 1 << "596523:14:07.000";
    QTest::newRow("rate 0") << qint64(100000) << 0 << "0:00:00.000";
    QTest::newRow("negative rate") << qint64(100000) << -44100 << "0:00:00.000";
    QTest::newRow("negative frame") << qint64(-5) << 44100 << "0:00:00.000";
}

void TestPlayPosition::text()
{
    QFETCH(qint64, frame);
    QFETCH(int, rate);
    QFETCH(QString, expected);
    QCOMPARE(playPosText(frame, rate), expected);
}

void TestPlayPosition::scaleRoundTrip_data()
{
    QTest::addColumn<qint64>("frames");
    QTest::addColumn<qint64>("step");
    QTest::addColumn<int>("maximum");

    QTest::newRow("empty") << qint64(0) << qint64(1) << 0;
    QTest::newRow("short file") << qint64(44100) << qint64(1) << 44100;
    QTest::newRow("INT_MAX frames") << qint64(INT_MAX) << qint64(1) << INT_MAX;
    QTest::newRow("2^31 frames") << (qint64(1) << 31) << qint64(2) << (1 << 30);
    QTest::newRow("2^31 + 1 frames") << (qint64(1) << 31) + 1 << qint64(2) << (1 << 30);
    QTest::newRow("2^32 - 1 frames") << (qint64(1) << 32) - 1 << qint64(2) << INT_MAX;
    QTest::newRow("2^32 frames") << (qint64(1) << 32) << qint64(3) << int((qint64(1) << 32) / 3);
    QTest::newRow("largest sf_count_t") << qint64(LLONG_MAX) << (qint64(1) << 32) << INT_MAX;
}

void TestPlayPosition::scaleRoundTrip()
{
    QFETCH(qint64, frames);
    QFETCH(qint64, step);
    QFETCH(int, maximum);

    const SliderScale s = SliderScale::forFrames(frames);
    QCOMPARE(s.step, step);
    QCOMPARE(s.maximum(), maximum);
    // A smaller step would not fit.
    if (step > 1)
        QVERIFY(frames / (step - 1) > INT_MAX);

    // Every slider value names a frame inside the file that maps back to it,
    // and every frame maps to a slider value whose frame is at most one step
    // before it.
    const QList<int> values = {0, 1, maximum / 2, maximum - 1, maximum};
    for (int v : values) {
        if (v < 0 || v > maximum)
            continue;
        const qint64 f = s.frameForValue(v);
        QVERIFY(f >= 0 && f <= frames);
        QCOMPARE(s.valueForFrame(f), v);
    }
    const QList<qint64> framesToTry = {0, 1, frames / 3, frames - 1, frames};
    for (qint64 f : framesToTry) {
        if (f < 0 || f > frames)
            continue;
        const int v = s.valueForFrame(f);
        QVERIFY(v >= 0 && v <= maximum);
        const qint64 back = s.frameForValue(v);
        QVERIFY(back <= f);
        QVERIFY(f - back < step);
    }

    // Out-of-range input stays inside the range.
    QCOMPARE(s.valueForFrame(-1), 0);
    QCOMPARE(s.valueForFrame(LLONG_MAX), maximum);
    QCOMPARE(s.frameForValue(-7), qint64(0));
    QVERIFY(s.frameForValue(INT_MAX) <= frames);
}

void TestPlayPosition::scaleIsMonotonic()
{
    // Walk a long file in uneven strides: values never go backwards and never
    // pass the maximum.
    const qint64 frames = (qint64(1) << 33) + 12345;
    const SliderScale s = SliderScale::forFrames(frames);
    int previous = -1;
    for (qint64 f = 0; f <= frames; f += 7777777) {
        const int v = s.valueForFrame(f);
        QVERIFY(v >= previous);
        QVERIFY(v <= s.maximum());
        previous = v;
    }
    QCOMPARE(s.valueForFrame(frames), s.maximum());
    QVERIFY(s.frameForValue(s.maximum()) > frames - s.step);
}

QTEST_APPLESS_MAIN(TestPlayPosition)
#include "tst_playposition.moc"
