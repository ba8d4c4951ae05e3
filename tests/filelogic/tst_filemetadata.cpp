// Reading string metadata and the bext record, and turning file bytes into text.
#include "filelogic/FileMetadata.h"
#include "filelogic/FileText.h"
#include "filelogic/Timecode.h"

#include "Fixtures.h"
#include "MetadataFixtures.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstddef>
#include <cstring>
#include <memory>

namespace {

// Opens a file for reading and reads its metadata; hasBext false and all
// strings unset when the file does not open (the test then fails on them).
struct OpenFile {
    explicit OpenFile(const QString &path)
    {
        handle = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    }
    ~OpenFile()
    {
        if (handle)
            sf_close(handle);
    }
    OpenFile(const OpenFile &) = delete;
    OpenFile &operator=(const OpenFile &) = delete;
    SF_INFO info{};
    SNDFILE *handle = nullptr;
};

} // namespace

class TstFileMetadata : public QObject {
    Q_OBJECT

private slots:
    void init();

    void decodesText_data();
    void decodesText();
    void fixedFieldStopsAtNulOrWidth_data();
    void fixedFieldStopsAtNulOrWidth();
    void hexForUmid();

    void bextChunkSizes_data();
    void bextChunkSizes();
    void containers_data();
    void containers();
    void tabRules_data();
    void tabRules();
    void oddFiles();

private:
    QString path(const char *name) const { return m_dir->filePath(QString::fromLatin1(name)); }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TstFileMetadata::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

// ---- Text from file bytes -------------------------------------------------

void TstFileMetadata::decodesText_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");

    QTest::newRow("empty") << QByteArray() << QString();
    QTest::newRow("ASCII") << QByteArray("Take 3") << QStringLiteral("Take 3");
    QTest::newRow("UTF-8") << QByteArray("Caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5")
                           << QString::fromUtf8("Caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5");
    QTest::newRow("Latin-1") << QByteArray("Caf\xe9 \xb5s") << QString::fromUtf8("Caf\xc3\xa9 \xc2\xb5s");
    QTest::newRow("lone continuation byte") << QByteArray("a\x80z") << QString::fromUtf8("a\xc2\x80z");
    QTest::newRow("overlong slash") << QByteArray("\xc0\xaf") << QString::fromUtf8("\xc3\x80\xc2\xaf");
    QTest::newRow("encoded surrogate") << QByteArray("\xed\xa0\x80") << QString::fromUtf8("\xc3\xad\xc2\xa0\xc2\x80");
    QTest::newRow("cut sequence at end") << QByteArray("ok\xe2\x82") << QString::fromUtf8("ok\xc3\xa2\xc2\x82");
    QTest::newRow("byte-order mark kept") << QByteArray("\xef\xbb\xbfX") << QString(QChar(0xFEFF)) + QLatin1Char('X');
}

void TstFileMetadata::decodesText()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    const QString decoded = decodeFileText(bytes);
    QCOMPARE(decoded, text);
    QVERIFY(!decoded.contains(QChar::ReplacementCharacter));
}

void TstFileMetadata::fixedFieldStopsAtNulOrWidth_data()
{
    QTest::addColumn<QByteArray>("storage");
    QTest::addColumn<int>("width");
    QTest::addColumn<QByteArray>("field");

    QTest::newRow("terminated") << QByteArray("abc\0def", 7) << 7 << QByteArray("abc");
    QTest::newRow("fills the width") << QByteArray("abcdefXYZ") << 6 << QByteArray("abcdef");
    QTest::newRow("NUL first") << QByteArray("\0abc", 4) << 4 << QByteArray();
    QTest::newRow("zero width") << QByteArray("abc") << 0 << QByteArray();
    QTest::newRow("negative width") << QByteArray("abc") << -5 << QByteArray();
    QTest::newRow("binary before NUL") << QByteArray("\x01\xff\x7f\0\x02", 5) << 5 << QByteArray("\x01\xff\x7f");
}

void TstFileMetadata::fixedFieldStopsAtNulOrWidth()
{
    QFETCH(QByteArray, storage);
    QFETCH(int, width);
    QFETCH(QByteArray, field);
    QCOMPARE(fixedField(storage.constData(), width), field);
    QCOMPARE(fixedField(nullptr, 8), QByteArray());
}

void TstFileMetadata::hexForUmid()
{
    QByteArray umid(64, '\0');
    for (int i = 0; i < 64; ++i)
        umid[i] = char(i * 4 + 3);
    const QString hex = hexBytes(umid);
    QCOMPARE(hex.size(), 128);
    QVERIFY(hex.startsWith(QLatin1String("03070b0f")));
    QVERIFY(hex.endsWith(QLatin1String("f3f7fbff")));
    QCOMPARE(QByteArray::fromHex(hex.toLatin1()), umid);

    const QString grouped = hexBytes(umid, 4);
    QCOMPARE(grouped.size(), 128 + 15);
    QCOMPARE(grouped.section(QLatin1Char(' '), 1, 1), QStringLiteral("13171b1f"));
    QCOMPARE(hexBytes(QByteArray("\x01\x02\x03", 3), 2), QStringLiteral("0102 03"));
    QCOMPARE(hexBytes(QByteArray()), QString());
}

// ---- Bext record ------------------------------------------------------------

void TstFileMetadata::bextChunkSizes_data()
{
    QTest::addColumn<int>("historySize");
    QTest::addColumn<bool>("hasBext");

    // libsndfile reads bext chunks of 602 to 10240 bytes and ignores others.
    QTest::newRow("no history") << 0 << true;
    QTest::newRow("one byte short of the fixed part") << -1 << false;
    QTest::newRow("largest history read") << 10240 - fixtures::kBextChunkFixedSize << true;
    QTest::newRow("one byte too many") << 10241 - fixtures::kBextChunkFixedSize << false;
}

void TstFileMetadata::bextChunkSizes()
{
    QFETCH(int, historySize);
    QFETCH(bool, hasBext);

    fixtures::Spec spec;
    spec.frames = 16;
    spec.bext = fixtures::bextRecord("size test", "o", "r", "2020-01-01", "00:00:00", 7, 1, {}, {});
    QVERIFY(fixtures::write(path("sizes.wav"), spec));
    std::optional<QByteArray> chunk = fixtures::riffChunk(path("sizes.wav"), "bext");
    QVERIFY(chunk);
    // An unterminated history of 'h' that fills the chunk to its last byte.
    QByteArray data = chunk->left(fixtures::kBextChunkFixedSize + std::min(historySize, 0));
    data += QByteArray(std::max(historySize, 0), 'h');
    QVERIFY(fixtures::replaceRiffChunk(path("sizes.wav"), "bext", data));

    OpenFile file(path("sizes.wav"));
    QVERIFY(file.handle);
    const FileMetadata meta = readFileMetadata(file.handle);
    QCOMPARE(meta.hasBext, hasBext);
    if (!hasBext) {
        QCOMPARE(bextFieldBytes(meta.bext, BextField::Description), QByteArray());
        return;
    }
    QCOMPARE(bextFieldBytes(meta.bext, BextField::Description), QByteArray("size test"));
    QCOMPARE(bextFieldBytes(meta.bext, BextField::CodingHistory), QByteArray(historySize, 'h'));
    QCOMPARE(meta.bext.coding_history_size, quint32(historySize));
}

void TstFileMetadata::containers_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<bool>("hasBext");

    // libsndfile keeps a bext record in WAV, WAVEX and RF64 and refuses it
    // silently elsewhere.
    QTest::newRow("WAV") << int(SF_FORMAT_WAV | SF_FORMAT_PCM_24) << true;
    QTest::newRow("WAVEX") << int(SF_FORMAT_WAVEX | SF_FORMAT_FLOAT) << true;
    QTest::newRow("RF64") << int(SF_FORMAT_RF64 | SF_FORMAT_PCM_16) << true;
    QTest::newRow("AIFF") << int(SF_FORMAT_AIFF | SF_FORMAT_PCM_16) << false;
    QTest::newRow("FLAC") << int(SF_FORMAT_FLAC | SF_FORMAT_PCM_16) << false;
    QTest::newRow("CAF") << int(SF_FORMAT_CAF | SF_FORMAT_ALAW) << false;
}

void TstFileMetadata::containers()
{
    QFETCH(int, format);
    QFETCH(bool, hasBext);

    fixtures::Spec spec;
    spec.format = format;
    spec.frames = 128;
    spec.strings[SF_STR_TITLE - 1] = QByteArray("Container title");
    spec.strings[SF_STR_ARTIST - 1] = QByteArray("Container artist");
    spec.bext = fixtures::bextRecord("container", "orig", "ref", "2021-12-31", "01:02:03", 44100, 1, {}, "");
    QVERIFY(fixtures::write(path("container"), spec));

    OpenFile file(path("container"));
    QVERIFY(file.handle);
    const FileMetadata meta = readFileMetadata(file.handle);
    QCOMPARE(meta.strings[SF_STR_TITLE - 1], std::optional<QByteArray>("Container title"));
    QCOMPARE(meta.strings[SF_STR_ARTIST - 1], std::optional<QByteArray>("Container artist"));
    QCOMPARE(meta.hasBext, hasBext);
    QCOMPARE(bextFieldBytes(meta.bext, BextField::Description),
             hasBext ? QByteArray("container") : QByteArray());
}

void TstFileMetadata::tabRules_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<bool>("strings");
    QTest::addColumn<bool>("bext");

    // Subtype and endianness bits must not change the answer.
    QTest::newRow("WAV") << int(SF_FORMAT_WAV | SF_FORMAT_PCM_16) << true << true;
    QTest::newRow("WAV big-endian float") << int(SF_FORMAT_WAV | SF_FORMAT_FLOAT | SF_ENDIAN_BIG) << true << true;
    QTest::newRow("WAVEX") << int(SF_FORMAT_WAVEX | SF_FORMAT_PCM_24) << true << true;
    QTest::newRow("AIFF") << int(SF_FORMAT_AIFF | SF_FORMAT_PCM_16) << true << false;
    QTest::newRow("FLAC") << int(SF_FORMAT_FLAC | SF_FORMAT_PCM_24) << true << false;
    QTest::newRow("CAF") << int(SF_FORMAT_CAF | SF_FORMAT_ALAC_16) << true << false;
    QTest::newRow("AU") << int(SF_FORMAT_AU | SF_FORMAT_ULAW) << false << false;
    QTest::newRow("RAW") << int(SF_FORMAT_RAW | SF_FORMAT_PCM_S8) << false << false;
    QTest::newRow("RF64") << int(SF_FORMAT_RF64 | SF_FORMAT_PCM_16) << false << false;
    QTest::newRow("W64") << int(SF_FORMAT_W64 | SF_FORMAT_PCM_16) << false << false;
    QTest::newRow("OGG") << int(SF_FORMAT_OGG | SF_FORMAT_VORBIS) << false << false;
    QTest::newRow("no format") << 0 << false << false;
}

void TstFileMetadata::tabRules()
{
    QFETCH(int, format);
    QFETCH(bool, strings);
    QFETCH(bool, bext);
    QCOMPARE(formatOffersStrings(format), strings);
    QCOMPARE(formatOffersBext(format), bext);
}

void TstFileMetadata::oddFiles()
{
    QCOMPARE(readFileMetadata(nullptr).hasBext, false);

    // A thousand channels with a title and a record.
    fixtures::Spec wide;
    wide.channels = 1000;
    wide.frames = 3;
    wide.strings[SF_STR_TITLE - 1] = QByteArray("wide");
    wide.bext = fixtures::bextRecord("wide file", "", "", "", "", 3, 1, {}, "");
    QVERIFY(fixtures::write(path("wide.wav"), wide, [](sf_count_t, int) { return 0.0; }));
    {
        OpenFile file(path("wide.wav"));
        QVERIFY(file.handle);
        QCOMPARE(file.info.channels, 1000);
        const FileMetadata meta = readFileMetadata(file.handle);
        QCOMPARE(meta.strings[SF_STR_TITLE - 1], std::optional<QByteArray>("wide"));
        QVERIFY(meta.hasBext);
        QCOMPARE(bextFieldBytes(meta.bext, BextField::Description), QByteArray("wide file"));
    }

    // A record whose fields are all 0xFF bytes: nothing is NUL-terminated.
    fixtures::Spec spec;
    spec.frames = 4;
    QByteArray record = fixtures::bextRecord({}, {}, {}, {}, {}, 0, 1, {}, "x");
    BextRecord filled{};
    std::memset(&filled, 0xFF, offsetof(BextRecord, coding_history_size));
    std::memcpy(record.data(), &filled, offsetof(BextRecord, coding_history_size));
    spec.bext = record;
    QVERIFY(fixtures::write(path("ff.wav"), spec));
    OpenFile file(path("ff.wav"));
    QVERIFY(file.handle);
    const FileMetadata meta = readFileMetadata(file.handle);
    QVERIFY(meta.hasBext);
    QCOMPARE(bextFieldBytes(meta.bext, BextField::UMID), QByteArray(64, '\xff'));
    QCOMPARE(bextFieldBytes(meta.bext, BextField::OriginationTime), QByteArray(8, '\xff'));
    QCOMPARE(bextFieldText(meta.bext, BextField::Description), QString(256, QChar(0xFF)));
    QCOMPARE(timecodeText(timeReference(meta.bext), 0), QStringLiteral("000:00:00:18446744073709551615"));
}

QTEST_GUILESS_MAIN(TstFileMetadata)
#include "tst_filemetadata.moc"
