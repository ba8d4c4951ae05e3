// Saves that keep the file's format edit its chunks: everything the window
// does not show stays byte for byte, the audio is never decoded.
#include "ChunkFileBuilder.h"
#include "DocumentFixture.h"

#include "document/SoundFile.h"
#include "rewrite/ChunkSave.h"

#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using B = ChunkFileBuilder;

namespace {

// Chunk id (LIST: its type too) and bytes, in file order, top level only.
QList<QByteArray> topChunks(const QString &path)
{
    QString error;
    const auto list = readChunksOf(path, &error);
    const QByteArray file = docfix::fileBytes(path);
    QList<QByteArray> out;
    if (list)
        for (const Chunk &c : list->chunks)
            if (c.depth == 0)
                out << file.mid(c.offset, c.totalSize());
    return out;
}

QByteArray noise(int bytes)
{
    QByteArray out(bytes, '\0');
    quint32 x = 12345;
    for (char &c : out)
        c = char((x = x * 1664525u + 1013904223u) >> 24);
    return out;
}

// A field recorder's Broadcast Wave: bext v1, INFO with strings libsndfile
// does not show, iXML, markers, loops, padding and a chunk nobody knows.
QByteArray fieldRecording()
{
    QByteArray bext = B::bext("Scene 4 take 2", "A=PCM,F=48000,W=24,M=stereo,T=Recorder\r\n");
    bext.replace(346, 2, B::le16(1));             // version 1
    bext.replace(348, 4, QByteArray("\x06\x0a\x2b\x34", 4)); // a binary UMID start
    bext.replace(412, 10, QByteArray(10, '\x11'));          // reserved bytes a v1 record keeps
    const QByteArray info = B::list("INFO", {{"INAM", QByteArray("Old title", 10)}, {"IART", QByteArray("Crew", 5)},
                                             {"ISFT", QByteArray("Lavf59.27.100", 14)}, {"IGNR", QByteArray("Drama", 6)},
                                             {"IPRD", QByteArray("Feature", 8)}});
    const QByteArray cue = B::le32(1) + B::le32(1) + B::le32(0) + "data" + B::le32(0) + B::le32(0) + B::le32(4800);
    const QByteArray adtl = B::list("adtl", {{"labl", B::le32(1) + QByteArray("Slate", 6)}});
    return B(ChunkContainer::Wave)
        .add("fmt ", B::pcmFormat(2, 48000, 24))
        .add("bext", bext)
        .add("LIST", info)
        .add("JUNK", QByteArray(28, '\0'))
        .add("data", noise(6 * 4800))
        .add("MD5 ", QByteArray(16, '\x5d'))
        .add("iXML", "<BWFXML><PROJECT>Night</PROJECT><SCENE>4</SCENE><TAKE>2</TAKE></BWFXML>")
        .add("cue ", cue)
        .add("LIST", adtl)
        .add("smpl", QByteArray(36, '\1'))
        .add("XYZW", QByteArray("odd", 3))
        .bytes();
}

QByteArray aiffc()
{
    return B(ChunkContainer::Aifc)
        .add("FVER", B::be32(0xA2805140))
        .add("COMM", B::aiffCommon(1, 1000, 16, 44100, "NONE"))
        .add("MARK", B::be16(1) + B::be16(1) + B::be32(10) + QByteArray("\x02" "m1" "\0", 4))
        .add("INST", QByteArray(20, '\0'))
        .add("COMT", B::be16(0))
        .add("APPL", QByteArray("abcdsome data"))
        .add("SSND", B::be32(0) + B::be32(0) + noise(2000))
        .add("NAME", QByteArray("Old"))
        .bytes();
}

} // namespace

class TestChunkSave : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void keepsEverythingElse_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("bext");
        QTest::newRow("field recording") << fieldRecording() << true;
        QTest::newRow("AIFF-C") << aiffc() << false;
    }
    void keepsEverythingElse()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, bext);
        const QString path = m_dir.filePath(QTest::currentDataTag() + QStringLiteral(".wav"));
        QVERIFY(docfix::writeFileBytes(path, bytes));
        const QList<QByteArray> before = topChunks(path);
        struct stat st {};
        ::stat(QFile::encodeName(path).constData(), &st);
        const ino_t inode = st.st_ino;
        auto doc = docfix::open(path);
        QVERIFY(doc);
        doc->setText(MetadataField::Title, QStringLiteral("New title"));
        if (bext)
            doc->setText(MetadataField::Description, QStringLiteral("Scene 4 take 3"));
        QVERIFY(docfix::save(*doc));
        QVERIFY(!doc->isDocumentEdited());
        // The edits fit where the old texts were: written into the file itself.
        QVERIFY(::stat(QFile::encodeName(path).constData(), &st) == 0 && st.st_ino == inode);

        const QList<QByteArray> after = topChunks(path);
        QCOMPARE(after.size(), before.size());
        for (int i = 0; i < before.size(); ++i) {
            const QByteArray id = before[i].left(4);
            const bool edited = id == "bext" || id == "NAME" || before[i].mid(8, 4) == "INFO";
            if (!edited)
                QCOMPARE(after[i], before[i]);
            QCOMPARE(after[i].left(4), id);
        }
        const FileMetadata meta = docfix::metadataOf(path);
        QCOMPARE(meta.strings[0].value_or(QByteArray()), QByteArray("New title"));
        if (!bext)
            return;
        QCOMPARE(meta.strings[2].value_or(QByteArray()), QByteArray("Lavf59.27.100"));
        QCOMPARE(meta.bext.version, short(1));
        QCOMPARE(bextFieldBytes(meta.bext, BextField::Description), QByteArray("Scene 4 take 3"));
        QCOMPARE(bextFieldBytes(meta.bext, BextField::CodingHistory), QByteArray("A=PCM,F=48000,W=24,M=stereo,T=Recorder\r\n"));
        QCOMPARE(bextFieldRawBytes(meta.bext, BextField::UMID).left(4), QByteArray("\x06\x0a\x2b\x34", 4));
        QCOMPARE(after[1].mid(8 + 412, 10), QByteArray(10, '\x11'));
        const QByteArray info = after[2];
        QVERIFY(info.contains("IGNR") && info.contains("IPRD") && info.contains("Drama"));
    }

    // Loudness typed into a version 1 record: text that is not a number is
    // refused with the file untouched; numbers make the record version 2,
    // with the fields nobody filled marked as not present.
    void loudnessFields()
    {
        const QString path = m_dir.filePath(QStringLiteral("loud.wav"));
        QVERIFY(docfix::writeFileBytes(path, fieldRecording()));
        auto doc = docfix::open(path);
        QVERIFY(doc->text(MetadataField::LoudnessValue).isEmpty());
        doc->setText(MetadataField::LoudnessValue, QStringLiteral("-23"));
        doc->setText(MetadataField::LoudnessRange, QStringLiteral("loud"));
        DocumentError error;
        QVERIFY(!docfix::save(*doc, &error) && error.localizedFailureReason.contains("loudness range"));
        QCOMPARE(docfix::fileBytes(path), fieldRecording());
        doc->setText(MetadataField::LoudnessRange, QStringLiteral("4.2"));
        QVERIFY(docfix::save(*doc));
        const QByteArray bext = topChunks(path)[1].mid(8);
        QCOMPARE(bext.mid(346, 2), B::le16(2));
        QCOMPARE(bext.mid(412, 10), B::le16(quint16(-2300)) + B::le16(420) + B::le16(0x7fff).repeated(3));
        QCOMPARE(bext.mid(348, 4), QByteArray("\x06\x0a\x2b\x34", 4));
        QCOMPARE(doc->text(MetadataField::LoudnessValue) + doc->text(MetadataField::LoudnessRange)
                     + doc->text(MetadataField::MaxTruePeakLevel), QStringLiteral("-23.004.20"));
    }

    // Coded WAVs keep their audio bytes: nothing is decoded or re-encoded.
    void codedAudioUntouched_data()
    {
        QTest::addColumn<int>("format");
        QTest::newRow("u-law") << (SF_FORMAT_WAV | SF_FORMAT_ULAW);
        QTest::newRow("A-law") << (SF_FORMAT_WAV | SF_FORMAT_ALAW);
        QTest::newRow("IMA ADPCM") << (SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM);
        QTest::newRow("AIFF 24") << (SF_FORMAT_AIFF | SF_FORMAT_PCM_24);
        QTest::newRow("RF64") << (SF_FORMAT_RF64 | SF_FORMAT_PCM_16);
    }
    void codedAudioUntouched()
    {
        QFETCH(int, format);
        const QString path = docfix::make(m_dir, QTest::currentDataTag() + QStringLiteral(".snd"),
                                          docfix::spec(9000, 2, format, 22050));
        QVERIFY(!path.isEmpty());
        const QByteArray data = topChunks(path).last();
        auto doc = docfix::open(path);
        QVERIFY(doc);
        doc->setText(MetadataField::Artist, QStringLiteral("Someone"));
        DocumentError error;
        QVERIFY2(docfix::save(*doc, &error), qPrintable(error.localizedFailureReason));
        bool found = false;
        for (const QByteArray &chunk : topChunks(path))
            found = found || chunk == data;
        QVERIFY2(found, "the audio chunk changed");
        QCOMPARE(docfix::metadataOf(path).strings[3].value_or(QByteArray()), QByteArray("Someone"));
    }

    // More than 2^31 frames, sparse on disk: the save copies, never decodes.
    void longRf64()
    {
        const QString path = m_dir.filePath(QStringLiteral("long.rf64"));
        // 8-bit mono keeps the bytes the save reads back to a minimum.
        const qint64 dataSize = (qint64(1) << 31) + 2;
        B builder(ChunkContainer::Rf64);
        builder.add("fmt ", B::pcmFormat(1, 48000, 8)).add("data", QByteArray(2, '\1'), dataSize);
        QVERIFY(docfix::writeFileBytes(path, builder.bytes()));
        QVERIFY(::truncate(QFile::encodeName(path).constData(), builder.totalSize()) == 0);
        auto doc = docfix::open(path);
        QVERIFY(doc);
        QVERIFY(doc->info().frames > (qint64(1) << 31));
        doc->setText(MetadataField::Title, QStringLiteral("Long"));
        QVERIFY(docfix::save(*doc));
        QCOMPARE(doc->info().frames, dataSize);
        QCOMPARE(docfix::metadataOf(path).strings[0].value_or(QByteArray()), QByteArray("Long"));
    }

    // A structure the reader refuses is saved the old way, with a warning.
    void damagedStructureFallsBack()
    {
        // An INFO string that claims more than its list holds.
        QByteArray bytes = fieldRecording();
        const int inam = bytes.indexOf("INAM");
        bytes.replace(inam + 4, 4, B::le32(0x400));
        const QString path = m_dir.filePath(QStringLiteral("damaged.wav"));
        QVERIFY(docfix::writeFileBytes(path, bytes));
        QString why;
        QVERIFY(!readChunksOf(path, &why));
        auto doc = docfix::open(path);
        QVERIFY(doc);
        QSignalSpy warned(doc.get(), &SoundFile::warningRaised);
        doc->setText(MetadataField::Title, QStringLiteral("Saved anyway"));
        QVERIFY(docfix::save(*doc));
        QCOMPARE(warned.size(), 1);
        QVERIFY(warned.first().at(1).toString().contains(QStringLiteral("other chunks")));
    }

    void conversionNamesWhatIsNotCarried()
    {
        const QString path = m_dir.filePath(QStringLiteral("carried.wav"));
        QVERIFY(docfix::writeFileBytes(path, fieldRecording()));
        QCOMPARE(chunksNotCarried(path, SF_FORMAT_WAV | SF_FORMAT_PCM_24),
                 QStringList({QStringLiteral("MD5"), QStringLiteral("iXML"), QStringLiteral("cue"), QStringLiteral("LIST/adtl"),
                              QStringLiteral("smpl"), QStringLiteral("XYZW")}));
    }
};

QTEST_GUILESS_MAIN(TestChunkSave)
#include "tst_chunksave.moc"
