// Timecode text <-> bext time reference.
#include "filelogic/Timecode.h"

#include <QTest>

#include <cstring>

class TstTimecode : public QObject {
    Q_OBJECT

private slots:
    void formats_data();
    void formats();
    void parses_data();
    void parses();
    void rejects_data();
    void rejects();
    void roundTrip_data();
    void roundTrip();
    void zeroRate();
    void recordHalves();
};

void TstTimecode::formats_data()
{
    QTest::addColumn<quint64>("reference");
    QTest::addColumn<int>("rate");
    QTest::addColumn<QString>("text");

    QTest::newRow("zero") << quint64(0) << 48000 << "000:00:00:0";
    QTest::newRow("one hour and 1234 frames") << quint64(172801234) << 48000 << "001:00:00:1234";
    QTest::newRow("1:02:03, last frame") << quint64(178751999) << 48000 << "001:02:03:47999";
    QTest::newRow("low half top bit") << quint64(0x80000000u) << 48000 << "012:25:39:11648";
    QTest::newRow("high half set") << ((quint64(1) << 32) | 5u) << 44100 << "027:03:11:24201";
    QTest::newRow("1000 hours") << quint64(158760000000ULL) << 44100 << "1000:00:00:0";
    QTest::newRow("exactly one hour") << quint64(172800000) << 48000 << "001:00:00:0";
    QTest::newRow("one frame less") << quint64(172799999) << 48000 << "000:59:59:47999";
    QTest::newRow("61 minutes") << quint64(161406000) << 44100 << "001:01:00:0";
    QTest::newRow("largest reference") << ~quint64(0) << 1
                                       << "5124095576030431:00:15:0";
}

void TstTimecode::formats()
{
    QFETCH(quint64, reference);
    QFETCH(int, rate);
    QFETCH(QString, text);
    QCOMPARE(timecodeText(reference, rate), text);
}

void TstTimecode::parses_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("rate");
    QTest::addColumn<quint64>("reference");

    QTest::newRow("formatted text back") << "001:02:03:47999" << 48000 << quint64(178751999);
    QTest::newRow("empty field skipped") << "1::2:3:4" << 48000 << quint64(178704004);
    QTest::newRow("minutes over 59") << "00:61:00:0" << 44100 << quint64(161406000);
    QTest::newRow("fifth field ignored") << "1:2:3:4:5" << 48000 << quint64(178704004);
    QTest::newRow("leading separators") << "::1:2:3:4" << 48000 << quint64(178704004);
    QTest::newRow("trailing separators") << "1:2:3:4::" << 48000 << quint64(178704004);
    QTest::newRow("blanks before digits") << " 1: 2:\t3: 4" << 48000 << quint64(178704004);
    QTest::newRow("trailing junk in a field") << "1h:2m:3s:4f" << 48000 << quint64(178704004);
    QTest::newRow("not numbers") << "x:y:z:w" << 48000 << quint64(0);
    QTest::newRow("blank after digits stops") << "1 2:0:0:0" << 1 << quint64(3600);
    QTest::newRow("explicit plus") << "+1:+0:+0:+7" << 10 << quint64(36007);
    QTest::newRow("sign without digits") << "-:0:1:0" << 10 << quint64(10);
    QTest::newRow("offset beyond rate") << "0:0:1:50000" << 48000 << quint64(98000);
    QTest::newRow("hours beyond 999") << "1000:00:00:0" << 44100 << quint64(158760000000ULL);
    // A negative result is stored in two's complement.
    QTest::newRow("negative offset") << "0:0:0:-1" << 48000 << ~quint64(0);
    QTest::newRow("negative seconds") << "0:0:-1:0" << 48000 << quint64(-48000LL);
    // Fields saturate at the 32-bit limits before anything is added up.
    QTest::newRow("offset saturates high") << "0:0:0:99999999999" << 48000 << quint64(2147483647);
    QTest::newRow("offset saturates low") << "0:0:0:-99999999999" << 48000
                                          << quint64(qint64(-2147483647LL - 1));
    QTest::newRow("seconds at the limit") << "0:0:2147483647:0" << 2
                                          << quint64(4294967294ULL);
    // The seconds total wraps in 32 bits: 596524 h = 2147486400 s.
    QTest::newRow("total wraps negative") << "596524:0:0:0" << 1
                                          << quint64(qint64(2147486400LL - 4294967296LL));
    // (2^31 - 1) * 3600 is -3600 modulo 2^32.
    QTest::newRow("saturated hours wrap") << "99999999999:0:0:0" << 1 << quint64(-3600LL);
    QTest::newRow("product needs 64 bits") << "596523:0:0:0" << 2147483647
                                                    << quint64(2147482800LL * 2147483647LL);
}

void TstTimecode::parses()
{
    QFETCH(QString, text);
    QFETCH(int, rate);
    QFETCH(quint64, reference);
    quint64 parsed = 0xDEADBEEFu;
    QVERIFY(parseTimecode(text, rate, &parsed));
    QCOMPARE(parsed, reference);
}

void TstTimecode::rejects_data()
{
    QTest::addColumn<QString>("text");

    QTest::newRow("three fields") << "1:2:3";
    QTest::newRow("three fields with runs") << "1::2:::3::";
    QTest::newRow("empty") << "";
    QTest::newRow("only separators") << "::::";
    QTest::newRow("non-ASCII") << QString::fromUtf8("1:2:3:4\xc3\xa9");
    QTest::newRow("non-ASCII digit") << QString::fromUtf8("1:2:3:\xd9\xa4");
    QTest::newRow("256 characters") << QString("1:2:3:4") + QString(249, QLatin1Char('0'));
    QTest::newRow("NUL ends the text") << QString::fromLatin1("1:2:3\0:4", 8);
}

void TstTimecode::rejects()
{
    QFETCH(QString, text);
    quint64 reference = 987654321;
    QVERIFY(!parseTimecode(text, 48000, &reference));
    QCOMPARE(reference, quint64(987654321));
}

void TstTimecode::roundTrip_data()
{
    QTest::addColumn<quint64>("reference");
    QTest::addColumn<int>("rate");

    QTest::newRow("zero") << quint64(0) << 48000;
    QTest::newRow("last frame of a second") << quint64(47999) << 48000;
    QTest::newRow("low half top bit") << quint64(0x80000000u) << 48000;
    QTest::newRow("above 32 bits") << ((quint64(1) << 32) | 5u) << 44100;
    QTest::newRow("odd rate") << quint64(123456789) << 7;
    QTest::newRow("largest total of seconds") << quint64(2147483647ULL) * 48000 + 47999 << 48000;
    QTest::newRow("rate 1") << quint64(2147483647ULL) << 1;
    QTest::newRow("highest rate") << quint64(2147483647ULL) * 3 + 5 << 2147483647;
}

void TstTimecode::roundTrip()
{
    QFETCH(quint64, reference);
    QFETCH(int, rate);
    const QString text = timecodeText(reference, rate);
    quint64 parsed = ~reference;
    QVERIFY(parseTimecode(text, rate, &parsed));
    QCOMPARE(parsed, reference);

    // A 255-character text is still accepted (the limit is exclusive above).
    const QString padded = text + QLatin1Char(':') + QString(254 - text.size(), QLatin1Char('9'));
    QCOMPARE(padded.size(), 255);
    parsed = ~reference;
    QVERIFY(parseTimecode(padded, rate, &parsed));
    QCOMPARE(parsed, reference);
}

void TstTimecode::zeroRate()
{
    // Without a rate there are no seconds: everything is the frame field.
    QCOMPARE(timecodeText(0, 0), QStringLiteral("000:00:00:0"));
    QCOMPARE(timecodeText(172801234, 0), QStringLiteral("000:00:00:172801234"));
    QCOMPARE(timecodeText(172801234, -48000), QStringLiteral("000:00:00:172801234"));

    quint64 parsed = 1;
    QVERIFY(parseTimecode(QStringLiteral("000:00:00:172801234"), 0, &parsed));
    QCOMPARE(parsed, quint64(172801234));
    QVERIFY(parseTimecode(QStringLiteral("5:6:7:8"), 0, &parsed));
    QCOMPARE(parsed, quint64(8));
    QVERIFY(parseTimecode(QStringLiteral("5:6:7:8"), -1, &parsed));
    QCOMPARE(parsed, quint64(8));
}

void TstTimecode::recordHalves()
{
    BextRecord bext{};
    setTimeReference(bext, (quint64(0x12345678u) << 32) | 0x9ABCDEF0u);
    QCOMPARE(bext.time_reference_low, 0x9ABCDEF0u);
    QCOMPARE(bext.time_reference_high, 0x12345678u);
    QCOMPARE(timeReference(bext), (quint64(0x12345678u) << 32) | 0x9ABCDEF0u);

    // Fields next to the time reference are untouched.
    std::memset(&bext, 0x55, sizeof(bext));
    setTimeReference(bext, 0);
    QCOMPARE(bext.version, short(0x5555));
    QCOMPARE(quint8(bext.origination_time[7]), quint8(0x55));
    QCOMPARE(timeReference(bext), quint64(0));
}

QTEST_APPLESS_MAIN(TstTimecode)
#include "tst_timecode.moc"
