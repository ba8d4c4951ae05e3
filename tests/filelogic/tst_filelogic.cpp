// The file logic layer: texts from file bytes, what each container keeps,
// decoder scales, timecode, slider scaling, texts for display, format lists.
#include "filelogic/BextLoudness.h"
#include "filelogic/CodecTable.h"
#include "filelogic/ContainerTable.h"
#include "filelogic/FileMetadata.h"
#include "filelogic/FileText.h"
#include "filelogic/FormatList.h"
#include "filelogic/PlayPosition.h"
#include "filelogic/PropertyText.h"
#include "filelogic/SoundHandle.h"
#include "filelogic/Timecode.h"

#include "Fixtures.h"

#include <QTemporaryDir>
#include <QTest>

#include <climits>
#include <cmath>
#include <cstring>
#include <memory>

class TstFileLogic : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    static constexpr quint64 kUntouched = 987654321; // a failed parse leaves the reference alone
    static constexpr int kRefused = INT_MIN;

    // Writes a one-channel file named after the current data row.
    QString writeRowFile(const fixtures::Spec &spec)
    {
        const QString path = m_dir.filePath(QTest::currentDataTag());
        return fixtures::write(path, {spec.format, 1, 48000, 4800, spec.strings, spec.bext}) ? path : QString();
    }

    static FileMetadata metadataOf(const QString &path)
    {
        SF_INFO info{};
        const SoundHandle f(sf_open(QFile::encodeName(path).constData(), SFM_READ, &info));
        return readFileMetadata(f.get());
    }

private slots:
    // What metadataNotKept promises, held against what libsndfile reads back;
    // and the tabs the window offers (S: Strings, B: BEXT).
    void containerKeeps_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("index"); // of a string written besides the title
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("bext");
        QTest::addColumn<QString>("lost");
        QTest::addColumn<QString>("tabs");
        auto row = [](const char *name, int format, int id, const QByteArray &text, bool bext, const char *lost,
                      const char *tabs) { QTest::newRow(name) << format << id - 1 << text << bext << lost << tabs; };
        const int wav = SF_FORMAT_WAV | SF_FORMAT_PCM_16, aiff = SF_FORMAT_AIFF | SF_FORMAT_PCM_16;
        const QByteArray utf8("Gr\xc3\xbc\xc3\x9f" "e");
        row("WAV, INFO 2045 bytes", wav, SF_STR_COMMENT, QByteArray(2045, 'c'), true, "", "SB");
        row("RF64", SF_FORMAT_RF64 | SF_FORMAT_PCM_24, SF_STR_ARTIST, utf8, true, "", "SB");
        row("INFO 2046 bytes", wav, SF_STR_COMMENT, QByteArray(2046, 'c'), false, "the comment (2046 bytes or longer)",
            "SB");
        row("AIFF date", aiff, SF_STR_DATE, "2024-05-06", false, "the date", "S");
        row("AIFF copyright", aiff, SF_STR_COPYRIGHT, utf8, false, "the non-ASCII characters of the copyright", "S");
        row("AIFF software", aiff, SF_STR_SOFTWARE, utf8, false,
            "the software text from its first non-ASCII character on", "S");
        row("AIFF bext", aiff, SF_STR_ARTIST, "A", true, "the broadcast (BEXT) record", "S");
        row("FLAC bext", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, SF_STR_DATE, utf8, true, "the broadcast (BEXT) record", "S");
        row("OGG", SF_FORMAT_OGG | SF_FORMAT_VORBIS, SF_STR_COMMENT, utf8, false, "", "S");
        row("MP3 year", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, SF_STR_DATE, "2024", false, "", "S");
        row("MP3 date", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, SF_STR_DATE, "2024-05-06", false,
            "the date beyond its year", "S");
        row("AU", SF_FORMAT_AU | SF_FORMAT_ULAW, SF_STR_COMMENT, utf8, false,
            "the text metadata (title, artist, comment, …)", "");
    }
    void containerKeeps()
    {
        QFETCH(int, format);
        QFETCH(int, index);
        QFETCH(QByteArray, text);
        QFETCH(bool, bext);
        QFETCH(QString, lost);
        QTEST(QString(formatOffersStrings(format) ? "S" : "") + (formatOffersBext(format) ? "B" : ""), "tabs");
        fixtures::Spec spec{format, 1, 48000, 4800, {}, {}};
        spec.strings[SF_STR_TITLE - 1] = QByteArray("Title");
        spec.strings[size_t(index)] = text;
        if (bext)
            spec.bext = fixtures::bextRecord("kept", "o", "r", "2024-05-06", "07:08:09", 5, 1, {}, "A=PCM\r\n");
        QCOMPARE(metadataNotKept(format, spec.strings, bext).join(", "), lost);

        const FileMetadata meta = metadataOf(writeRowFile(spec));
        const bool bextKept = !bext || (meta.hasBext && bextFieldBytes(meta.bext, BextField::Description) == "kept");
        QCOMPARE(meta.strings[0] == spec.strings[0] && meta.strings[size_t(index)] == text && bextKept, lost.isEmpty());
    }

    void bextRecords()
    {
        // A history longer than libsndfile's own record holds arrives whole.
        const QByteArray history = QByteArray("A=PCM,F=48000,W=16,M=mono\r\n").repeated(340);
        fixtures::Spec spec{SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 48000, 16, {}, {}};
        spec.bext = fixtures::bextRecord("long", {}, {}, {}, {}, 0, 1, {}, history);
        QVERIFY(fixtures::write(m_dir.filePath("long.wav"), spec));
        QVERIFY(bextFieldBytes(metadataOf(m_dir.filePath("long.wav")).bext, BextField::CodingHistory).startsWith(history));

        // Fields filled to their last byte, no NUL anywhere: each stops at its width.
        spec.bext = fixtures::bextRecord({}, {}, {}, {}, {}, 0, 1, {}, "x");
        std::memset(spec.bext->data(), 0xFF, offsetof(SF_BROADCAST_INFO, coding_history_size));
        QVERIFY(fixtures::write(m_dir.filePath("ff.wav"), spec));
        FileMetadata meta = metadataOf(m_dir.filePath("ff.wav"));
        QCOMPARE(bextFieldBytes(meta.bext, BextField::UMID), QByteArray(64, '\xff'));
        QCOMPARE(bextFieldText(meta.bext, BextField::Description), QString(256, QChar(0xFF)));
        QCOMPARE(timeReference(meta.bext), ~quint64(0));
        setTimeReference(meta.bext, (quint64(0x12345678u) << 32) | 0x9ABCDEF0u);
        QCOMPARE(meta.bext.time_reference_low, 0x9ABCDEF0u);
        QCOMPARE(meta.bext.time_reference_high, 0x12345678u);
    }

    // Hundredths as typed and as shown; kRefused for text that is no value.
    void bextLoudness_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("stored");
        QTest::addColumn<QString>("shown");
        QTest::newRow("whole") << "-23" << -2300 << "-23.00";
        QTest::newRow("spaces") << " 4.2 " << 420 << "4.20";
        QTest::newRow("below one") << "-0.05" << -5 << "-0.05";
        QTest::newRow("lowest") << "-327.68" << -32768 << "-327.68";
        QTest::newRow("empty: not present") << "" << 0x7fff << "";
        QTest::newRow("the mark itself") << "327.67" << kRefused << "";
        QTest::newRow("word") << "loud" << kRefused << "";
        QTest::newRow("nan") << "nan" << kRefused << "";
    }
    void bextLoudness()
    {
        QFETCH(QString, typed);
        QFETCH(int, stored);
        QFETCH(QString, shown);
        const std::optional<short> parsed = parseBextLoudness(typed);
        QCOMPARE(parsed ? int(*parsed) : kRefused, stored);
        BextRecord record{};
        record.version = 2;
        setBextLoudness(record, MetadataField::MaxTruePeakLevel, short(parsed.value_or(0)));
        QCOMPARE(bextLoudnessText(record, MetadataField::MaxTruePeakLevel), parsed ? shown : QStringLiteral("0.00"));
        QCOMPARE(record.max_true_peak_level, short(parsed.value_or(0)));
        if (parsed && *parsed != kBextLoudnessNotPresent)
            QCOMPARE(bextLoudnessTextFor(typed.toDouble()), shown);
        record.version = 1; // older records have no such fields
        QVERIFY(bextLoudnessText(record, MetadataField::MaxTruePeakLevel).isEmpty());
    }

    // A half-scale sine read the way the peak scan reads it (normalisation
    // off) is -6.02 dB in every coding: guards each decoder's scale.
    void decoderScales_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<double>("tolerance");
        QTest::newRow("PCM 16") << int(SF_FORMAT_WAV | SF_FORMAT_PCM_16) << 0.01;
        QTest::newRow("PCM 24") << int(SF_FORMAT_WAV | SF_FORMAT_PCM_24) << 0.01;
        QTest::newRow("PCM 32") << int(SF_FORMAT_WAV | SF_FORMAT_PCM_32) << 0.01;
        QTest::newRow("ALAC 16") << int(SF_FORMAT_CAF | SF_FORMAT_ALAC_16) << 0.1;
        QTest::newRow("DWVW 16") << int(SF_FORMAT_AIFF | SF_FORMAT_DWVW_16) << 0.1;
        QTest::newRow("DPCM 8") << int(SF_FORMAT_XI | SF_FORMAT_DPCM_8) << 0.3;
        QTest::newRow("Vorbis") << int(SF_FORMAT_OGG | SF_FORMAT_VORBIS) << 1.0;
        QTest::newRow("Opus") << int(SF_FORMAT_OGG | SF_FORMAT_OPUS) << 2.0;
    }
    void decoderScales()
    {
        QFETCH(int, format);
        QFETCH(double, tolerance);
        double peak = 0;
        for (double v : fixtures::readRawDoubles(writeRowFile({format, 1, 48000, 0, {}, {}})))
            peak = std::max(peak, std::abs(v));
        const double db = peakDecibels(peak, format);
        QVERIFY2(std::abs(db - 20 * std::log10(0.5)) <= tolerance, qPrintable(QString::number(db)));
    }

    void timecode_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("rate");
        QTest::addColumn<quint64>("reference");
        QTest::addColumn<bool>("parses");
        QTest::addColumn<bool>("formats"); // text is also what the reference is shown as
        auto row = [](const char *name, const QString &text, int rate, quint64 reference, bool parses,
                      bool formats) { QTest::newRow(name) << text << rate << reference << parses << formats; };
        const quint64 t1234 = 178704004; // 1:2:3:4 at 48 kHz
        row("last frame of 1:02:03", "001:02:03:47999", 48000, 178751999, true, true);
        row("most seconds", "596523:14:07:47999", 48000, 2147483647ULL * 48000 + 47999, true, true);
        // No rate, no seconds: everything is the frame field.
        row("rate 0", "000:00:00:172801234", 0, 172801234, true, true);
        row("runs of separators, blanks, signs, junk", "::1:: 2m:\t3:+4f::", 48000, t1234, true, false);
        row("negative wraps", "0:0:0:-1", 48000, ~quint64(0), true, false);
        row("field saturates", "0:0:0:99999999999", 48000, 2147483647, true, false);
        row("seconds wrap in 32 bits", "596524:0:0:0", 1, quint64(2147486400LL - 4294967296LL), true, false);
        row("product in 64 bits", "596523:0:0:0", 2147483647, quint64(2147482800LL * 2147483647LL), true, false);
        row("255 characters, fifth field", "1:2:3:4:" + QString(247, u'9'), 48000, t1234, true, false);
        row("256 characters", "1:2:3:4:" + QString(248, u'9'), 48000, kUntouched, false, false);
        row("three fields", "1::2:::3::", 48000, kUntouched, false, false);
    }
    void timecode()
    {
        QFETCH(QString, text);
        QFETCH(int, rate);
        quint64 parsed = kUntouched;
        QTEST(parseTimecode(text, rate, &parsed), "parses");
        QTEST(parsed, "reference");
        QFETCH(bool, formats);
        if (formats)
            QCOMPARE(timecodeText(parsed, rate), text);
    }

    void sliderScale_data()
    {
        QTest::addColumn<qint64>("frames");
        QTest::addColumn<qint64>("step");
        QTest::addColumn<int>("maximum");
        QTest::newRow("INT_MAX frames") << qint64(INT_MAX) << qint64(1) << INT_MAX;
        QTest::newRow("2^31 frames") << (qint64(1) << 31) << qint64(2) << (1 << 30);
        QTest::newRow("2^32 frames") << (qint64(1) << 32) << qint64(3) << int((qint64(1) << 32) / 3);
        QTest::newRow("largest count") << qint64(LLONG_MAX) << (qint64(1) << 32) << INT_MAX;
    }
    // Every value names a frame of the file that maps back to it; every frame
    // maps to a value whose frame lies less than one step before it.
    void sliderScale()
    {
        QFETCH(qint64, frames);
        QFETCH(qint64, step);
        QFETCH(int, maximum);
        const SliderScale s = SliderScale::forFrames(frames);
        QCOMPARE(s.step, step);
        QCOMPARE(s.maximum(), maximum);
        for (int v : {0, maximum / 2, maximum})
            QCOMPARE(s.valueForFrame(s.frameForValue(v)), v);
        for (qint64 f : {frames / 3, frames})
            QVERIFY(s.frameForValue(s.valueForFrame(f)) <= f && f - s.frameForValue(s.valueForFrame(f)) < step);
    }

    void texts()
    {
        // Valid UTF-8 is read as such, anything else as Latin-1: no byte is lost.
        QCOMPARE(decodeFileText("Caf\xc3\xa9 \xe2\x82\xac"), QString::fromUtf8("Caf\xc3\xa9 \xe2\x82\xac"));
        QCOMPARE(decodeFileText("Caf\xe9 \xb5"), QString::fromUtf8("Caf\xc3\xa9 \xc2\xb5"));
        QCOMPARE(decodeFileText("\xed\xa0\x80"), QString::fromUtf8("\xc3\xad\xc2\xa0\xc2\x80")); // a surrogate
        QCOMPARE(decodeFileText("\xef\xbb\xbfX"), QString(QChar(0xFEFF)) + u'X');
        QCOMPARE(hexBytes(QByteArray("\x01\xab\x03\xff\x05", 5), 2), QStringLiteral("01ab 03ff 05"));
        QCOMPARE(playPosText(qint64(123) * 3600 * 1000 + 61 * 1000 + 5, 1000), QStringLiteral("123:01:01.005"));
        QCOMPARE(lengthText(44099, 44100), QStringLiteral("00:00:00.999")); // truncated, not rounded
        QCOMPARE(lengthText(qint64(2147483648LL) * 1000, 1000), QStringLiteral("596523:14:08.000"));
        QCOMPARE(lengthText(SF_COUNT_MAX, 44100), QStringLiteral("unknown"));
        QCOMPARE(sizeText(qint64(1) << 52), QStringLiteral("4096.00 TB"));
        QCOMPARE(bytesPerSecondText(SF_FORMAT_WAV | SF_FORMAT_DOUBLE, 768000, 1024), QStringLiteral("6291456000"));
        QCOMPARE(peakText(0.0, SF_FORMAT_WAV | SF_FORMAT_PCM_16), QStringLiteral("-inf dB"));
    }

    void formatLists()
    {
        const QList<FormatEntry> majors = majorFormats();
        QCOMPARE(majors[majorFormatIndex(SF_FORMAT_WAV | SF_FORMAT_FLOAT | SF_ENDIAN_BIG)].format, SF_FORMAT_WAV);
        // Every listed subtype can be written, at a rate every coding takes.
        QTemporaryDir dir;
        for (int m = 0; m < majors.size(); ++m)
            for (const FormatEntry &e : writableSubformats(m)) {
                SF_INFO info{0, 48000, 1, e.format, 0, 0};
                SNDFILE *f = sf_open(QFile::encodeName(dir.filePath("probe")).constData(), SFM_WRITE, &info);
                QVERIFY2(f, qPrintable(majors[m].name + u'/' + e.name));
                sf_close(f);
                QCOMPARE(e.format & ~SF_FORMAT_SUBMASK, majors[m].format);
            }
        QVERIFY(writableSubformats(-1).isEmpty() && writableSubformats(int(majors.size())).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TstFileLogic)
#include "tst_filelogic.moc"
