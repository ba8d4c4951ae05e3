// What the rewrite engine writes: bit-exact copies, channel selection,
// clipping, conversions (also from sources that cannot seek), and strings
// and the broadcast record byte for byte, the same after every further save.
#include "EngineFixtures.h"

#include "rewrite/RewriteMetadata.h"

#include <QTemporaryDir>
#include <QtTest>

#include <climits>
#include <cmath>
#include <limits>

using namespace fixtures;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;

QByteArray historyOf(const BextRecord &record)
{
    return QByteArray(record.coding_history, int(strnlen(record.coding_history, record.coding_history_size)));
}

// The record and the strings the file holds, as a document saves what it read.
void keepMetadata(RewriteJob &job)
{
    if (!readBext(job.sourcePath, &job.bext.emplace()))
        job.bext.reset();
    for (int id = SF_STR_TITLE; id <= SF_STR_DATE; ++id)
        job.strings[size_t(id - 1)] = readString(job.sourcePath, id);
}

struct Conversion {
    int from, to, channels, rate;
    bool inPlace; // over the source itself, which must then not get shorter
};

} // namespace

Q_DECLARE_METATYPE(Conversion)

class FileRewriterTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }

private slots:
    void sameFormatCopyIsExact_data()
    {
        QTest::addColumn<int>("format");
        for (int container : {SF_FORMAT_WAV, SF_FORMAT_AIFF, SF_FORMAT_CAF, SF_FORMAT_FLAC})
            for (int codec : {SF_FORMAT_PCM_S8, SF_FORMAT_PCM_U8, SF_FORMAT_PCM_16, SF_FORMAT_PCM_24, SF_FORMAT_PCM_32,
                              SF_FORMAT_FLOAT, SF_FORMAT_DOUBLE, SF_FORMAT_ULAW, SF_FORMAT_ALAW, SF_FORMAT_ALAC_16,
                              SF_FORMAT_ALAC_24}) {
                SF_INFO info{0, 44100, 2, container | codec, 0, 0};
                SF_FORMAT_INFO major{container, nullptr, nullptr}, sub{codec, nullptr, nullptr};
                sf_command(nullptr, SFC_GET_FORMAT_INFO, &major, sizeof major);
                sf_command(nullptr, SFC_GET_FORMAT_INFO, &sub, sizeof sub);
                if (sf_format_check(&info))
                    QTest::addRow("%s, %s", major.name, sub.name) << info.format;
            }
    }

    // Extremes and every bit of integers; floats beyond full scale, -0, NaN,
    // infinities, subnormals; every µ-law code (0x7f is -0 and decodes as 0).
    void sameFormatCopyIsExact()
    {
        QFETCH(int, format);
        const QString source = path("exact-source"), copy = path("exact-copy");
        const Spec spec{format, 2, 44100, 40000}; // two blocks of stereo
        const int codec = format & SF_FORMAT_SUBMASK;
        const bool floating = codec == SF_FORMAT_FLOAT || codec == SF_FORMAT_DOUBLE;
        const bool alac = codec == SF_FORMAT_ALAC_16 || codec == SF_FORMAT_ALAC_24;
        std::vector<int> ints = {INT_MIN, INT_MAX, 0, -1, 1, INT_MIN + 1};
        std::vector<double> floats = {1.5, -1.5, -0.0, kNaN, kInf, -kInf, 1e-40, 3e38, 0.1};
        QByteArray codes(80000, '\0');
        for (int i = 0; i < 80000; ++i) {
            ints.push_back(int(quint32(i) * 2654435761u));
            floats.push_back(1.5 * std::sin(i * 0.001) + 1e-3 * (i % 7));
            codes[i] = char(i);
        }
        ints.resize(80000);
        floats.resize(80000);
        // libsndfile's ALAC encoder is exact only on quiet signals.
        QVERIFY(floating ? writeRawDoubles(source, spec, floats)
                : codec == SF_FORMAT_ULAW ? writeRawBytes(source, format, 2, codes)
                : alac ? write(source, spec, [](sf_count_t f, int c) { return 0.05 * sineSample(f, c); })
                       : writeInts(source, spec, ints));
        const RewriteResult r = rewriteFile(OpenSoundFile{source}, copy);
        QVERIFY2(r.ok && r.framesWritten == 40000, qPrintable(r.detail));
        SF_INFO written{};
        if (floating) {
            // Bit for bit, any NaN matching any NaN.
            const std::vector<double> a = readRawDoubles(copy, &written), b = readRawDoubles(source);
            QVERIFY(a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](double x, double y) {
                        return (std::isnan(x) && std::isnan(y)) || std::memcmp(&x, &y, sizeof x) == 0;
                    }));
        } else {
            QCOMPARE(readInts(copy, &written), readInts(source));
        }
        QCOMPARE(written.format, format);
        QVERIFY((format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC || alac || readRawBytes(copy) == readRawBytes(source));
    }

    void selectedChannelsMakeEachFrame()
    {
        const sf_count_t frames = 100000;
        std::vector<int> items(size_t(frames * 4));
        for (size_t i = 0; i < items.size(); ++i)
            items[i] = int(i) * 8 - 400000; // each item names its frame and channel
        QVERIFY(writeInts(path("four.wav"), Spec{SF_FORMAT_WAV | SF_FORMAT_PCM_32, 4, 44100, frames}, items));
        std::vector<double> seen;
        const RewriteResult r = rewriteFile(OpenSoundFile{path("four.wav")}, path("two.wav"), [](RewriteJob &job) { job.channels = {0, 2}; job.targetInfo.channels = 2; },
                                            {}, [&](double p) { seen.push_back(p); return true; });
        QVERIFY2(r.ok, qPrintable(r.detail));
        SF_INFO info{};
        const std::vector<int> out = readInts(path("two.wav"), &info);
        QVERIFY(info.channels == 2 && info.frames == frames);
        for (sf_count_t f = 0; f < frames; ++f)
            if (out[size_t(2 * f)] != items[size_t(4 * f)] || out[size_t(2 * f + 1)] != items[size_t(4 * f + 2)])
                QFAIL(qPrintable(QStringLiteral("frame %1 is not (channel 0, channel 2)").arg(f)));
        // Blocks of 65536 items: 16384 frames of four; the read-back gives 100.
        QVERIFY(seen.front() == 16384 * 100.0 / double(frames) && seen.back() == 100.0);
        QVERIFY(std::is_sorted(seen.begin(), seen.end()));
    }

    void extremesIntoIntegers_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("bits"); // 0: companded, only the signs are certain
        QTest::newRow("wav 16") << kWav16 << 16;
        QTest::newRow("wav 24") << (SF_FORMAT_WAV | SF_FORMAT_PCM_24) << 24;
        QTest::newRow("wav 32") << (SF_FORMAT_WAV | SF_FORMAT_PCM_32) << 32;
        QTest::newRow("flac 16") << (SF_FORMAT_FLAC | SF_FORMAT_PCM_16) << 16;
        QTest::newRow("caf alac 16") << (SF_FORMAT_CAF | SF_FORMAT_ALAC_16) << 16;
        QTest::newRow("ulaw") << (SF_FORMAT_WAV | SF_FORMAT_ULAW) << 0;
        QTest::newRow("alaw") << (SF_FORMAT_WAV | SF_FORMAT_ALAW) << 0;
    }

    // Floats beyond full scale clip, NaN becomes silence; the most negative
    // integer stays negative (the companders' encoders flip it).
    void extremesIntoIntegers()
    {
        QFETCH(int, format);
        QFETCH(int, bits);
        QVERIFY(writeRawDoubles(path("loud.wav"), Spec{SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1},
                                {1.5, -1e10, kNaN, kInf, -kInf, 0.5, -0.25, 0.0}));
        QVERIFY(writeInts(path("int.wav"), Spec{SF_FORMAT_WAV | SF_FORMAT_PCM_32, 1}, {INT_MIN, INT_MAX}));
        std::vector<int> out;
        for (const char *source : {"loud.wav", "int.wav"}) {
            QVERIFY(rewriteFile(OpenSoundFile{path(source)}, path("out"), [&](RewriteJob &job) { job.targetInfo.format = format; }).ok);
            const std::vector<int> got = readInts(path("out"));
            out.insert(out.end(), got.begin(), got.end());
        }
        QCOMPARE(out.size(), size_t(10));
        if (bits > 0) { // read back left-justified in 32 bits
            const int top = int((quint32(1) << (bits - 1)) - 1) * int(quint32(1) << (32 - bits));
            QCOMPARE(out, std::vector<int>({top, INT_MIN, 0, top, INT_MIN, 0x40000000, -0x20000000, 0, INT_MIN, top}));
            return;
        }
        const int loudest = 0x7d000000; // both companders top out above this
        QVERIFY(out[0] > loudest && out[3] > loudest && out[9] > loudest);
        QVERIFY(out[1] < -loudest && out[4] < -loudest && out[8] < -loudest);
        QVERIFY(std::abs(out[2]) <= (16 << 16) && std::abs(out[5] - 0x40000000) < 0x40000000 / 16);
    }

    // One row for each way the read-back check compares (item by item,
    // within a step, bytes, frame count only), headerless and ADPCM files,
    // and sources that cannot seek: read once from where they stand, checked
    // through a second handle.
    void conversionsPassTheCheck_data()
    {
        QTest::addColumn<Conversion>("c");
        const int wav24 = SF_FORMAT_WAV | SF_FORMAT_PCM_24, wavFloat = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        const int gsm = SF_FORMAT_WAV | SF_FORMAT_GSM610, dpcm = SF_FORMAT_XI | SF_FORMAT_DPCM_16;
        QTest::newRow("24 to flac, 3 channels") << Conversion{wav24, SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 3, 44100, false};
        QTest::newRow("24 to 16") << Conversion{wav24, kWav16, 2, 44100, false};
        QTest::newRow("float to 24") << Conversion{wavFloat, wav24, 2, 44100, false};
        QTest::newRow("double to u8") << Conversion{SF_FORMAT_WAV | SF_FORMAT_DOUBLE, SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 2, 44100, false};
        QTest::newRow("ulaw wav to au") << Conversion{SF_FORMAT_WAV | SF_FORMAT_ULAW, SF_FORMAT_AU | SF_FORMAT_ULAW, 2, 8000, false};
        QTest::newRow("16 to vorbis") << Conversion{kWav16, SF_FORMAT_OGG | SF_FORMAT_VORBIS, 2, 44100, false};
        QTest::newRow("16 to headerless") << Conversion{kWav16, SF_FORMAT_RAW | SF_FORMAT_PCM_16, 2, 44100, false};
        QTest::newRow("ima to 16") << Conversion{SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM, kWav16, 2, 44100, false};
        QTest::newRow("16 to gsm") << Conversion{kWav16, gsm, 1, 8000, false};
        QTest::newRow("gsm to 16") << Conversion{gsm, kWav16, 1, 8000, false};
        QTest::newRow("gsm in place") << Conversion{gsm, gsm, 1, 8000, true};
        QTest::newRow("xi dpcm in place") << Conversion{dpcm, dpcm, 1, 44100, true};
    }

    void conversionsPassTheCheck()
    {
        QFETCH(Conversion, c);
        const QString source = path("in"), target = c.inPlace ? source : path("out");
        QVERIFY(write(source, Spec{c.from, c.channels, c.rate, 150000}, [](sf_count_t f, int ch) { return 0.2 * sineSample(3 * f, ch); }));
        const OpenSoundFile in{source};
        const RewriteResult r = rewriteFile(in, target, [&](RewriteJob &job) {
            job.targetInfo.format = c.to;
            job.requireAllFrames = c.inPlace;
        });
        QVERIFY2(r.ok && r.replaced && r.framesWritten == in.info.frames, qPrintable(r.detail));
        SF_INFO info{0, c.rate, c.channels, c.to, 0, 0}; // read by headerless files only
        sf_close(sf_open(QFile::encodeName(target).constData(), SFM_READ, &info));
        QVERIFY(info.format == c.to && info.frames >= in.info.frames); // block codecs pad the last block
        QVERIFY(c.to != (SF_FORMAT_AU | SF_FORMAT_ULAW) || readRawBytes(target) == readRawBytes(source));
    }

    // Every field of the record and the strings as stored bytes (Latin-1,
    // UTF-8, control characters) in an empty WAV and RF64 file; an empty
    // string is dropped.
    void metadataBytesRoundTrip()
    {
        const QByteArray umid = QByteArray::fromHex("00040810") + QByteArray(59, 'u') + '\xff'; // NUL first, 0xFF last
        const QByteArray raw = bextRecord(QByteArray(256, 'd'), QByteArray(32, 'o'), "REF-1", "2023-12-31", "23:59:58",
                                          0x1289abcdefull, 2, umid, ""); // libsndfile writes version 2 whatever it gets
        BextRecord record;
        std::memset(&record, 0, sizeof record);
        std::memcpy(&record, raw.constData(), size_t(raw.size()));
        record.loudness_value = -2300;
        record.max_true_peak_level = -100;
        const int ids[] = {SF_STR_TITLE, SF_STR_ARTIST, SF_STR_COMMENT, SF_STR_COPYRIGHT};
        const QByteArray texts[] = {"Caf\xe9 na\xefve \xff\xa0!", "Bj\xc3\xb6rk \xe2\x99\xab", "a\tcomment\r\nwith lines", ""};
        for (int format : {kWav16, SF_FORMAT_RF64 | SF_FORMAT_PCM_24}) {
            Spec spec{format, 2, 44100, 0};
            spec.strings[SF_STR_COPYRIGHT - 1] = QByteArray("(c) old");
            QVERIFY(write(path("empty"), spec));
            const RewriteResult r = rewriteFile(OpenSoundFile{path("empty")}, path("out"), [&](RewriteJob &job) {
                job.bext = record;
                for (int i = 0; i < 4; ++i)
                    job.strings[size_t(ids[i] - 1)] = texts[i];
            });
            QVERIFY2(r.ok && r.framesWritten == 0, qPrintable(r.detail));
            BextRecord back;
            QVERIFY(readBext(path("out"), &back));
            const int fixedPart = int(offsetof(BextRecord, coding_history_size));
            QCOMPARE(QByteArray(reinterpret_cast<const char *>(&back), fixedPart),
                     QByteArray(reinterpret_cast<const char *>(&record), fixedPart));
            for (int i = 0; i < 4; ++i)
                QCOMPARE(readString(path("out"), ids[i]), texts[i]);
        }
    }

    // libsndfile appends a line of its own to the coding history and names
    // itself in the software string on every write; saving again must
    // neither grow the one nor change the other.
    void resaveIsStable()
    {
        QByteArray history;
        for (int take = 1; history.size() < 600; ++take)
            history += QStringLiteral("A=ANALOGUE,M=stereo,T=Studer A80;take %1\n").arg(take).toLatin1();
        Spec spec{kWav16, 2, 44100, 100};
        spec.bext = bextRecord("long history", "", "", "", "", 0, 1, "", history);
        QVERIFY(write(path("history.wav"), spec));
        QVERIFY(rewriteFile(OpenSoundFile{path("history.wav")}, path("history-1.wav"), [](RewriteJob &job) {
            keepMetadata(job);
            job.strings[SF_STR_SOFTWARE - 1] = QByteArray("WavQuill");
        }).ok);
        QVERIFY(rewriteFile(OpenSoundFile{path("history-1.wav")}, path("history-2.wav"), keepMetadata).ok);
        BextRecord a, b;
        QVERIFY(readBext(path("history-1.wav"), &a) && readBext(path("history-2.wav"), &b));
        QVERIFY(historyOf(a).startsWith(history.replace("\n", "\r\n"))); // line breaks as CRLF
        QVERIFY(historyOf(a).count("T=libsndfile") == 1 && historyOf(b) == historyOf(a));
        const QByteArray software = readString(path("history-1.wav"), SF_STR_SOFTWARE);
        QVERIFY2(software.startsWith("WavQuill (libsndfile-"), software.constData());
        QCOMPARE(readString(path("history-2.wav"), SF_STR_SOFTWARE), software);
    }

    // A history too long for libsndfile to read back (it would drop the
    // whole record) is cut at a line end.
    void longCodingHistoryIsCut()
    {
        auto record = std::make_unique<BextRecord>();
        QByteArray huge;
        while (huge.size() < kBextCodingHistoryCapacity)
            huge += "0123456789012345678901234567890123456789\r\n";
        std::memcpy(record->coding_history, huge.constData(), kBextCodingHistoryCapacity);
        record->coding_history_size = kBextCodingHistoryCapacity;
        const QByteArray cut = rewrite::codingHistoryForWriting(*record);
        QVERIFY(cut.size() <= rewrite::codingHistoryRoom() && cut.size() > rewrite::codingHistoryRoom() - 64);
        QVERIFY(cut.endsWith("\r\n") && huge.startsWith(cut));
        QVERIFY(write(path("huge.wav"), Spec{kWav16, 2, 44100, 10}));
        QVERIFY(rewriteFile(OpenSoundFile{path("huge.wav")}, path("out"), [&](RewriteJob &job) { job.bext = *record; }).ok);
        BextRecord back;
        QVERIFY(readBext(path("out"), &back) && historyOf(back).startsWith(cut));
    }
};

QTEST_GUILESS_MAIN(FileRewriterTest)
#include "tst_filerewriter.moc"
