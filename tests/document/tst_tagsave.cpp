// Saves of FLAC, Ogg and MP3 edit only their tags in a byte copy; copies of
// unedited documents are byte copies for every container.
#include "DocumentFixture.h"

#include "document/SoundFile.h"
#include "CommandRun.h"
#include "rewrite/TagWriter.h"

#include <QJsonDocument>

#include <QProcess>
#include <QtTest>

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
