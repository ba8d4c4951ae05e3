// The Strings and BEXT tabs of the document window.
#include "DocumentFixture.h"
#include "Fixtures.h"
#include "MetadataFixtures.h"

#include "document/SoundFile.h"
#include "window/SoundFileWindow.h"
#include "toolkit/DocumentController.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QtTest>

class TestMetadataDisplay : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    DocumentController &controller() { return DocumentController::sharedDocumentController(); }

    SoundFile *open(const QString &path) { return fixtures::openDocument(path); }

    static QStringList tabIds(SoundFile *doc)
    {
        QStringList ids;
        for (int i = 0; i < doc->tabView->count(); ++i)
            ids << doc->tabView->widget(i)->objectName();
        return ids;
    }

    QString writeBwf(const QString &name, const QByteArray &record, const fixtures::Strings &strings = {})
    {
        const QString path = m_dir.filePath(name);
        fixtures::Spec spec;
        spec.samplerate = 48000;
        spec.frames = 480;
        spec.bext = record;
        spec.strings = strings;
        return fixtures::write(path, spec) ? path : QString();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        controller().setQuitWhenLastDocumentCloses(false);
    }

    void cleanup() { fixtures::closeAllDocuments(); }

    void tabsByContainer_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<bool>("strings");
        QTest::addColumn<bool>("bext");
        QTest::newRow("wav") << (SF_FORMAT_WAV | SF_FORMAT_PCM_16) << "wav" << true << true;
        QTest::newRow("wavex") << (SF_FORMAT_WAVEX | SF_FORMAT_PCM_16) << "wav" << true << true;
        QTest::newRow("aiff") << (SF_FORMAT_AIFF | SF_FORMAT_PCM_16) << "aiff" << true << false;
        QTest::newRow("flac") << (SF_FORMAT_FLAC | SF_FORMAT_PCM_16) << "flac" << true << false;
        QTest::newRow("caf") << (SF_FORMAT_CAF | SF_FORMAT_PCM_16) << "caf" << true << false;
        QTest::newRow("au") << (SF_FORMAT_AU | SF_FORMAT_PCM_16) << "au" << false << false;
    }
    void tabsByContainer()
    {
        QFETCH(int, format);
        QFETCH(QString, suffix);
        QFETCH(bool, strings);
        QFETCH(bool, bext);
        const QString path = m_dir.filePath(QStringLiteral("tabs-%1.%2").arg(QTest::currentDataTag(), suffix));
        fixtures::Spec spec;
        spec.format = format;
        spec.frames = 100;
        QVERIFY(fixtures::write(path, spec));
        SoundFile *doc = open(path);
        QVERIFY(doc);
        QCOMPARE(tabIds(doc).contains(QStringLiteral("Strings")), strings);
        QCOMPARE(tabIds(doc).contains(QStringLiteral("BEXT")), bext);
        QVERIFY(tabIds(doc).contains(QStringLiteral("Properties")));
        // A second fill on the same window (as after a save) must cope with
        // tabs that are already gone, and not add any twice.
        const QStringList before = tabIds(doc);
        doc->initFromSndFile();
        QCOMPARE(tabIds(doc), before);
    }

    void onlyTitleLeavesOthers()
    {
        const QString path = m_dir.filePath(QStringLiteral("title-only.wav"));
        fixtures::Spec spec;
        spec.frames = 10;
        spec.strings[0] = QByteArray("Only a title");
        QVERIFY(fixtures::write(path, spec));
        SoundFile *doc = open(path);
        QVERIFY(doc);
        QCOMPARE(doc->stringTitle->text(), QStringLiteral("Only a title"));
        for (QLineEdit *f : {doc->stringArtist, doc->stringComment, doc->stringCopyright, doc->stringSoftware, doc->stringDate})
            QVERIFY2(f->text().isEmpty(), qPrintable(f->objectName()));
        QVERIFY(!doc->isDocumentEdited());
    }

    void allStrings()
    {
        fixtures::Strings strings;
        const char *values[] = {"T", "C", "S", "A", "Comment here", "2026-12-06"};
        for (int i = 0; i < 6; ++i)
            strings[size_t(i)] = QByteArray(values[i]);
        const QString path = m_dir.filePath(QStringLiteral("all.wav"));
        fixtures::Spec spec;
        spec.frames = 10;
        spec.strings = strings;
        QVERIFY(fixtures::write(path, spec));
        SoundFile *doc = open(path);
        QVERIFY(doc);
        QCOMPARE(doc->stringTitle->text(), QStringLiteral("T"));
        QCOMPARE(doc->stringCopyright->text(), QStringLiteral("C"));
        QVERIFY(doc->stringSoftware->text().startsWith(QStringLiteral("S")));
        QCOMPARE(doc->stringArtist->text(), QStringLiteral("A"));
        QCOMPARE(doc->stringComment->text(), QStringLiteral("Comment here"));
        QCOMPARE(doc->stringDate->text(), QStringLiteral("2026-12-06"));
    }

    void titleEncodings_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("shown");
        QTest::newRow("utf-8") << QByteArray("Caf\xc3\xa9 \xe2\x80\x93 Gr\xc3\xbc\xc3\x9f" "e") << QString::fromUtf8("Café – Grüße");
        QTest::newRow("latin-1") << QByteArray("Caf\xe9 Gr\xfc\xdf" "e") << QString::fromUtf8("Café Grüße");
    }
    void titleEncodings()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, shown);
        const QString path = m_dir.filePath(QStringLiteral("enc-%1.wav").arg(QTest::currentDataTag()));
        fixtures::Spec spec;
        spec.frames = 10;
        spec.strings[0] = bytes;
        QVERIFY(fixtures::write(path, spec));
        SoundFile *doc = open(path);
        QVERIFY(doc);
        QCOMPARE(doc->stringTitle->text(), shown);
        QVERIFY(!doc->stringTitle->text().contains(QChar::ReplacementCharacter));
    }

    void withoutBext()
    {
        const QString path = m_dir.filePath(QStringLiteral("nobext.wav"));
        fixtures::Spec spec;
        spec.frames = 10;
        QVERIFY(fixtures::write(path, spec));
        SoundFile *doc = open(path);
        QVERIFY(doc);
        QVERIFY(tabIds(doc).contains(QStringLiteral("BEXT")));
        QVERIFY(!doc->convertKeepBEXT->isEnabled());
        QVERIFY(!doc->convertKeepBEXT->isChecked());
        QVERIFY(doc->bextDescription->text().isEmpty());
        QVERIFY(doc->bextTimecode->text().isEmpty());
    }

    void bextFields()
    {
        QByteArray description(256, 'd');
        description[0] = 'D';
        description[255] = 'Z';
        QByteArray history;
        while (history.size() < 600)
            history += "A=PCM,F=48000,W=24,M=stereo,T=line " + QByteArray::number(history.size()) + "\r\n";
        history.truncate(600);
        const QString path = writeBwf(QStringLiteral("fields.wav"),
            fixtures::bextRecord(description, "Originator", "Ref-42", "2026-12-06", "10:20:30",
                                 172801234, 1, QByteArray(64, '\0'), history));
        QVERIFY(!path.isEmpty());
        QVERIFY(fixtures::patchBextVersion(path, 0xFFFF));
        SoundFile *doc = open(path);
        QVERIFY(doc);
        // A full description shows all 256 characters and nothing of the next field.
        QCOMPARE(doc->bextDescription->text().size(), 256);
        QVERIFY(doc->bextDescription->text().endsWith(QLatin1Char('Z')));
        QCOMPARE(doc->bextOriginator->text(), QStringLiteral("Originator"));
        QCOMPARE(doc->bextOriginatorRef->text(), QStringLiteral("Ref-42"));
        // The date runs straight into the time in the record.
        QCOMPARE(doc->bextOriginationDate->text(), QStringLiteral("2026-12-06"));
        QCOMPARE(doc->bextOriginationTime->text(), QStringLiteral("10:20:30"));
        QCOMPARE(doc->bextVersion->text(), QStringLiteral("-1"));
        QVERIFY(doc->bextUMID->text().isEmpty());
        QCOMPARE(doc->bextUMID->toolTip().remove(QLatin1Char(' ')), QString(128, QLatin1Char('0')));
        QVERIFY(doc->bextCodingHistory->toPlainText().size() >= 590);
        QVERIFY(doc->bextCodingHistory->toPlainText().contains(QStringLiteral("T=line 0")));
        QCOMPARE(doc->bextTimecode->text(), QStringLiteral("001:00:00:1234"));
        QVERIFY(doc->convertKeepBEXT->isEnabled());
        QVERIFY(doc->convertKeepBEXT->isChecked());
        QVERIFY(!doc->isDocumentEdited());
    }

    void binaryUmidTooltip()
    {
        QByteArray umid(64, '\0');
        for (int i = 0; i < 64; ++i)
            umid[i] = char(0x60 + i); // printable up to the end, no NUL
        umid[10] = '\0';
        const QString path = writeBwf(QStringLiteral("umid.wav"),
            fixtures::bextRecord("desc", "", "", "", "", 0, 1, umid, ""));
        SoundFile *doc = open(path);
        QVERIFY(doc);
        QCOMPARE(doc->bextUMID->text(), QString::fromLatin1(umid.left(10)));
        QVERIFY(doc->bextUMID->toolTip().remove(QLatin1Char(' ')).startsWith(QStringLiteral("60616263646566676869006b")));
    }

    void timecodeRoundTripsThroughField()
    {
        const QString path = writeBwf(QStringLiteral("tc.wav"),
            fixtures::bextRecord("desc", "", "", "", "", 0, 1, QByteArray(), ""));
        SoundFile *doc = open(path);
        QVERIFY(doc);
        QCOMPARE(doc->bextTimecode->text(), QStringLiteral("000:00:00:0"));
        doc->bextTimecode->setText(QStringLiteral("001:02:03:47999"));
        doc->bextUpdateTimecode(doc->bextTimecode);
        QCOMPARE(doc->bext.time_reference_low, 178751999u);
        QCOMPARE(doc->bext.time_reference_high, 0u);
        // A text that is not a timecode leaves the reference alone.
        doc->bextTimecode->setText(QStringLiteral("1:2:3"));
        doc->bextUpdateTimecode(doc->bextTimecode);
        QCOMPARE(doc->bext.time_reference_low, 178751999u);
        doc->bextTimecode->setText(QString::fromUtf8("1:2:3:4é"));
        doc->bextUpdateTimecode(doc->bextTimecode);
        QCOMPARE(doc->bext.time_reference_low, 178751999u);
    }

    void ffmpegBext()
    {
        if (!fixtures::haveProgram("ffmpeg"))
            QSKIP("ffmpeg is not installed");
        const QString path = m_dir.filePath(QStringLiteral("ffmpeg.wav"));
        QProcess ff;
        ff.start(QStringLiteral("ffmpeg"), {"-v", "error", "-y", "-f", "lavfi", "-i", "sine=frequency=440:duration=0.1:sample_rate=48000",
                                           "-metadata", "description=Made by ffmpeg",
                                           "-metadata", "originator=FFTest",
                                           "-metadata", "originator_reference=FF-REF-1",
                                           "-metadata", "origination_date=2025-02-03",
                                           "-metadata", "origination_time=04:05:06",
                                           "-metadata", "time_reference=172801234",
                                           "-write_bext", "1", path});
        QVERIFY(ff.waitForFinished(60000));
        QCOMPARE(ff.exitCode(), 0);
        SoundFile *doc = open(path);
        QVERIFY(doc);
        QCOMPARE(doc->bextDescription->text(), QStringLiteral("Made by ffmpeg"));
        QCOMPARE(doc->bextOriginator->text(), QStringLiteral("FFTest"));
        QCOMPARE(doc->bextOriginatorRef->text(), QStringLiteral("FF-REF-1"));
        QCOMPARE(doc->bextOriginationDate->text(), QStringLiteral("2025-02-03"));
        QCOMPARE(doc->bextOriginationTime->text(), QStringLiteral("04:05:06"));
        QCOMPARE(doc->bextTimecode->text(), QStringLiteral("001:00:00:1234"));
        QVERIFY(doc->convertKeepBEXT->isChecked());
    }

    void screenshots()
    {
        fixtures::Strings strings;
        const char *values[] = {"Morning take", "(c) 2026 WavQuill", "Field recorder 2.1", "The Quill Quartet",
                                "Second take, slightly faster", "2026-12-06"};
        for (int i = 0; i < 6; ++i)
            strings[size_t(i)] = QByteArray(values[i]);
        const QString path = writeBwf(QStringLiteral("Morning take.wav"),
            fixtures::bextRecord("Quartet rehearsal, room B, two omnis", "WavQuill", "WQ-2026-0001",
                                 "2026-12-06", "09:30:00", 48000ull * 3600 * 9 + 48000 * 30, 2,
                                 QByteArray("\x06\x0a\x2b\x34\x01\x01\x01\x05", 8),
                                 "A=PCM,F=48000,W=24,M=stereo,T=Field recorder\r\nA=PCM,F=48000,W=16,M=stereo,T=WavQuill\r\n"),
            strings);
        SoundFile *doc = open(path);
        QVERIFY(doc);
        doc->documentWindow()->resize(640, 520);
        for (const char *tab : {"Strings", "BEXT"}) {
            doc->tabView->setCurrentWidget(doc->tabView->findChild<QWidget *>(QLatin1String(tab)));
            const QImage shot = doc->documentWindow()->grab().toImage();
            QVERIFY(shot.save(fixtures::artifactsDir() + QStringLiteral("/window-%1.png").arg(QLatin1String(tab).toString().toLower())));
        }
    }
};

QTEST_MAIN(TestMetadataDisplay)
#include "tst_metadatadisplay.moc"
