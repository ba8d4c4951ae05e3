// Saves of FLAC, Ogg and MP3 edit only their tags in a byte copy; copies of
// unedited documents are byte copies for every container.
#include "ChunkFileBuilder.h"
#include "DocumentFixture.h"

#include "document/SoundFile.h"
#include "CommandRun.h"
#include "rewrite/TagWriter.h"

#include <QJsonDocument>

#include <QProcess>
#include <QtTest>

#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tpropertymap.h>

namespace {

// Encodes a generated sine with ffmpeg, tagged with an album and a title.
QString encode(const QTemporaryDir &dir, const QString &name, const QStringList &codec)
{
    const QString path = dir.filePath(name);
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"), QStringList{"-v", "error", "-y", "-f", "lavfi", "-i", "sine=frequency=440:duration=2"}
                                               + codec + QStringList{"-metadata", "title=Old", "-metadata", "album=Kept", path});
    return ffmpeg.waitForFinished(60000) && ffmpeg.exitCode() == 0 ? path : QString();
}

std::vector<double> samples(const QString &path)
{
    return fixtures::readRawDoubles(path);
}

// An ID3v2.2 or 2.3 tag of frames holding a zero byte (Latin-1, for text)
// and their text (a comment's language and description lead it), and room
// to grow: TagLib cannot write 2.2, nor keep some 2.3 frames.
QByteArray id3v2Tag(int version, const QList<QPair<QByteArray, QByteArray>> &frames)
{
    QByteArray body;
    for (const auto &[id, text] : frames) {
        const int n = int(text.size()) + 1;
        body += id + (version == 2 ? ChunkFileBuilder::be32(quint32(n)).mid(1) : ChunkFileBuilder::be32(quint32(n)) + QByteArray(2, '\0'))
            + '\0' + text;
    }
    body += QByteArray(256, '\0');
    const qsizetype n = body.size();
    return "ID3" + QByteArray(1, char(version)) + QByteArray(2, '\0') + char(n >> 21 & 0x7f) + char(n >> 14 & 0x7f)
        + char(n >> 7 & 0x7f) + char(n & 0x7f) + body;
}

// What TagLib reads: every tag value, the ID3v2 version, and the bytes
// between the ID3v2 tag and an ID3v1 tag.
struct Mp3 {
    QMap<QString, QStringList> values;
    int version = 0;
    QByteArray audio;
};

Mp3 readMp3(const QString &path)
{
    TagLib::MPEG::File file(QFile::encodeName(path).constData(), false);
    Mp3 out;
    for (const auto &[key, values] : file.properties())
        for (const TagLib::String &value : values)
            out.values[QString::fromStdString(key.to8Bit(true))] << QString::fromStdString(value.to8Bit(true));
    out.version = file.hasID3v2Tag() ? int(file.ID3v2Tag()->header()->majorVersion()) : 0;
    const qint64 start = file.hasID3v2Tag() ? file.ID3v2Tag()->header()->completeTagSize() : 0;
    const QByteArray bytes = docfix::fileBytes(path);
    out.audio = bytes.mid(start, bytes.size() - start - (file.hasID3v1Tag() ? 128 : 0));
    return out;
}

// Samples per channel ffmpeg decodes.
qint64 ffmpegSamples(const QString &path)
{
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"), {"-v", "error", "-i", path, "-ac", "1", "-f", "s16le", "-"});
    return ffmpeg.waitForFinished(60000) ? ffmpeg.readAllStandardOutput().size() / 2 : -1;
}

} // namespace

class TestTagSave : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void initTestCase()
    {
        if (!fixtures::haveProgram("ffmpeg"))
            QSKIP("ffmpeg is not installed");
    }

    void titleSaveKeepsAudioAndOtherTags_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("codec");
        QTest::newRow("FLAC") << "a.flac" << QStringList{"-c:a", "flac"};
        QTest::newRow("Vorbis") << "a.ogg" << QStringList{"-c:a", "libvorbis"};
        QTest::newRow("Opus") << "a.opus" << QStringList{"-c:a", "libopus", "-ar", "48000"};
        QTest::newRow("MP3") << "a.mp3" << QStringList{"-c:a", "libmp3lame", "-id3v2_version", "3"};
    }
    void titleSaveKeepsAudioAndOtherTags()
    {
        QFETCH(QString, name);
        QFETCH(QStringList, codec);
        const QString path = encode(m_dir, name, codec);
        if (path.isEmpty())
            QSKIP("ffmpeg cannot write this format here");
        const std::vector<double> before = samples(path);
        auto doc = docfix::open(path);
        QVERIFY(doc);
        QCOMPARE(doc->text(MetadataField::Title), QStringLiteral("Old"));
        doc->setText(MetadataField::Title, QStringLiteral("Neuer Titel ü"));
        doc->setText(MetadataField::Copyright, QStringLiteral("© Someone"));
        // Tags hold every string: no format's save warns about one.
        QSignalSpy warned(doc.get(), &SoundFile::warningRaised);
        DocumentError error;
        QVERIFY2(docfix::save(*doc, &error), qPrintable(error.localizedFailureReason));
        QCOMPARE(doc->text(MetadataField::Title) + doc->text(MetadataField::Copyright), QStringLiteral("Neuer Titel ü© Someone"));
        QCOMPARE(warned.count(), 0);
        QVERIFY(samples(path) == before);
        // The command line reads the strings as the window does.
        const QString out = runWavquill({"--json", "--info", path}).out;
        QCOMPARE(QJsonDocument::fromJson(out.toUtf8())["strings"]["copyright"].toString(), QStringLiteral("© Someone"));
        QVERIFY(QProcess::execute(QStringLiteral("sh"), {"-c", "ffprobe -v error -show_entries format_tags=album:stream_tags=album -of csv=p=0 '"
                                                               + path + "' | grep -q Kept"}) == 0);
    }

    // MP3s as encoders and tag editors write them: the length shown is the
    // decoded one whatever the tags, and a title save keeps the audio bytes,
    // every other value (a 2.3 TYER + TDAT date too) and the ID3v2 version;
    // a 2.2 tag, which TagLib cannot write, becomes 2.3 and says so once.
    void mp3TitleSave_data()
    {
        QTest::addColumn<QString>("options");
        QTest::addColumn<int>("id3"); // the tag's ID3v2 version; 2 is built here
        QTest::newRow("CBR without Xing, ID3v2.3 and ID3v1") << "-b:a 32k -write_xing 0 -write_id3v1 1" << 3;
        QTest::newRow("VBR with Xing and LAME tag, stereo, ID3v2.4") << "-q:a 4 -ac 2" << 4;
        QTest::newRow("MPEG-2 mono") << "-ar 22050 -b:a 32k" << 3;
        QTest::newRow("MPEG-2.5 stereo without Xing") << "-ar 8000 -ac 2 -b:a 16k -write_xing 0" << 3;
        QTest::newRow("ID3v2.2 without Xing") << "-b:a 64k -write_xing 0" << 2;
    }
    void mp3TitleSave()
    {
        QFETCH(QString, options);
        QFETCH(int, id3);
        const QString path = encode(m_dir, QString::fromLatin1(QTest::currentDataTag()) + ".mp3",
                                    options.split(' ') + QStringList{"-c:a", "libmp3lame", "-id3v2_version", QString::number(id3 == 2 ? 0 : id3),
                                                                     "-metadata", "date=2024-05-06", "-metadata", "comment=Also kept"});
        QVERIFY(!path.isEmpty());
        if (id3 == 2)
            QVERIFY(docfix::writeFileBytes(path, id3v2Tag(2, {{"TT2", "Old"}, {"TAL", "Kept"}, {"TYE", "2024"}, {"TDA", "0605"},
                                                            {"COM", QByteArray("eng\0Also kept", 13)}}) + docfix::fileBytes(path)));
        const QString batch = path + QStringLiteral(".batch.mp3");
        QVERIFY(QFile::copy(path, batch));
        Mp3 before = readMp3(path);
        auto doc = docfix::open(path);
        const sf_count_t frames = doc->info().frames;
        QVERIFY2(qAbs(frames - ffmpegSamples(path)) <= 1152, qPrintable(QString::number(frames)));
        QSignalSpy warned(doc.get(), &SoundFile::warningRaised);
        doc->setText(MetadataField::Title, QStringLiteral("A longer title than before"));
        DocumentError error;
        QVERIFY2(docfix::save(*doc, &error), qPrintable(error.localizedFailureReason));
        QCOMPARE(warned.count(), id3 == 2 ? 1 : 0);
        const Mp3 after = readMp3(path);
        QCOMPARE(after.version, std::max(id3, 3));
        QVERIFY(after.audio == before.audio);
        // TagLib reads a 2.2 tag's year but not its TDA date; the save keeps both.
        before.values[QStringLiteral("TITLE")] = QStringList{QStringLiteral("A longer title than before")};
        before.values[QStringLiteral("DATE")] = QStringList{QStringLiteral("2024-05-06")};
        QCOMPARE(after.values, before.values);
        QCOMPARE(doc->info().frames, frames);
        const QString shown = runWavquill({"--json", "--info", path}).out;
        QCOMPARE(QJsonDocument::fromJson(shown.toUtf8())["properties"]["frames"].toString(), QString::number(frames));
        const CommandRun r = runWavquill({"--set", "title=Batch", batch});
        QCOMPARE(r.status, 0);
        QCOMPARE(r.err, id3 == 2 ? "wavquill: " + batch + ": the ID3v2.2 tag was written as ID3v2.3; every value is kept\n" : QString());
    }

    // A frame TagLib reads but does not write back (2.3's RVAD) makes a title
    // save refuse, in place or into a new file, and leaves the file as it was.
    void frameTagLibWouldDropIsKept()
    {
        const QString path = encode(m_dir, "rvad.mp3", {"-c:a", "libmp3lame", "-id3v2_version", "0"});
        QVERIFY(docfix::writeFileBytes(path, id3v2Tag(3, {{"TIT2", "Old"}, {"RVAD", QByteArray(8, '\x10')}}) + docfix::fileBytes(path)));
        const QByteArray before = docfix::fileBytes(path);
        QCOMPARE(runWavquill({"--set", "title=New", path}).status, 1);
        QCOMPARE(docfix::fileBytes(path), before);
    }

    void unEditedCopiesAreByteCopies_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("MP3") << encode(m_dir, "c.mp3", {"-c:a", "libmp3lame"});
        QTest::newRow("Ogg") << encode(m_dir, "c.ogg", {"-c:a", "libvorbis"});
        QTest::newRow("GSM WAV") << docfix::make(m_dir, "c.wav", docfix::spec(8000, 1, SF_FORMAT_WAV | SF_FORMAT_GSM610, 8000));
    }
    void unEditedCopiesAreByteCopies()
    {
        QFETCH(QString, path);
        if (path.isEmpty())
            QSKIP("ffmpeg cannot write this format here");
        auto doc = docfix::open(path);
        QVERIFY(doc);
        const QString copy = m_dir.filePath(QStringLiteral("copy-") + QFileInfo(path).fileName());
        DocumentError error;
        QVERIFY2(doc->saveToURL(QUrl::fromLocalFile(copy), doc->fileType(), SaveOperationType::SaveTo, &error),
                 qPrintable(error.localizedFailureReason));
        QCOMPARE(docfix::fileBytes(copy), docfix::fileBytes(path));
    }

    // A tag save that cannot finish leaves the original and nothing else.
    void cancelledTagSaveLeavesOriginal()
    {
        const QString path = encode(m_dir, "cancel.flac", {"-c:a", "flac"});
        QVERIFY(!path.isEmpty());
        const QByteArray before = docfix::fileBytes(path);
        auto doc = docfix::open(path);
        doc->setText(MetadataField::Artist, QStringLiteral("Someone"));
        // Held at its first report, the save is cancelled before it can
        // finish.
        Job::holdForTesting(true);
        connect(doc.get(), &SoundFile::rewriteStarted, doc.get(), [&doc] { doc->convertCancel(nullptr); });
        DocumentError error;
        const bool saved = docfix::save(*doc, &error);
        Job::holdForTesting(false);
        QVERIFY(!saved);
        QVERIFY(error.isCancellation());
        QCOMPARE(docfix::fileBytes(path), before);
        QCOMPARE(QDir(m_dir.path()).entryList({QStringLiteral(".wavquill*")}, QDir::Files | QDir::Hidden), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestTagSave)
#include "tst_tagsave.moc"
