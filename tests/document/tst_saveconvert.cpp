// Saving and converting through the document: what reaches the file, what the
// document shows afterwards, and how failures are reported.
#include "DocumentFixture.h"
#include "Fixtures.h"

#include "window/ChannelTableSource.h"
#include "filelogic/FileMetadata.h"
#include "document/SoundFile.h"
#include "window/SoundFileWindow.h"
#include "playback/AudioRenderer.h"
#include "filelogic/FormatList.h"
#include "toolkit/DocumentController.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <unistd.h>

namespace {

QStringList hiddenFiles(const QString &folder)
{
    return QDir(folder).entryList({QStringLiteral(".wavquill-*")}, QDir::Files | QDir::Hidden);
}

} // namespace

class TestSaveConvert : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    DocumentController &controller() { return DocumentController::sharedDocumentController(); }

    QString bwf(const QString &name, sf_count_t frames = 4800, int channels = 2)
    {
        const QString path = m_dir.filePath(name);
        fixtures::Spec spec;
        spec.samplerate = 48000;
        spec.channels = channels;
        spec.frames = frames;
        spec.strings[0] = QByteArray("Title");
        spec.strings[4] = QByteArray("Comment");
        spec.bext = fixtures::bextRecord("Description", "Originator", "Ref", "2026-12-06", "10:20:30",
                                         48000, 1, QByteArray("UMIDUMID"), "A=PCM,F=48000,W=16,M=stereo,T=test\r\n");
        return fixtures::write(path, spec) ? path : QString();
    }

    QString plain(const QString &name, sf_count_t frames, int channels = 2, int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16)
    {
        const QString path = m_dir.filePath(name);
        fixtures::Spec spec;
        spec.format = format;
        spec.channels = channels;
        spec.frames = frames;
        return fixtures::write(path, spec) ? path : QString();
    }

    bool save(SoundFile *doc) { DocumentError e; return doc->saveToURL(doc->fileURL(), doc->fileType(), SaveOperationType::Save, &e); }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }
    void cleanup()
    {
        fixtures::closeAllDocuments();
        QVERIFY(hiddenFiles(m_dir.path()).isEmpty());
    }

    void proposedNames_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("name");
        QTest::newRow("two dots") << "/x/take.1.wav" << "take.1.aiff";
        QTest::newRow("no dot") << "/x/take" << "take.aiff";
        QTest::newRow("only extension") << "/x/.wav" << ".aiff";
        QTest::newRow("dotted folder") << "/x.y/take" << "take.aiff";
    }
    void proposedNames()
    {
        QFETCH(QString, path);
        QFETCH(QString, name);
        QCOMPARE(proposedConvertName(path, QStringLiteral("aiff")), name);
    }

    void plainSaveKeepsSamplesAndClearsMark()
    {
        const QString path = bwf(QStringLiteral("edit.wav"));
        const std::vector<int> before = fixtures::readInts(path);
        SoundFile *doc = fixtures::openDocument(path);
        QVERIFY(doc);
        doc->stringTitle->setText(QStringLiteral("New title – ü"));
        QVERIFY(doc->isDocumentEdited());
        QVERIFY(save(doc));
        QVERIFY(!doc->isDocumentEdited());
        QCOMPARE(fixtures::readInts(path), before);
        const FileMetadata m = fixtures::metadataOf(path);
        QCOMPARE(*m.strings[0], QString::fromUtf8("New title – ü").toUtf8());
        QCOMPARE(*m.strings[4], QByteArray("Comment"));
        // The window shows the reopened file.
        QCOMPARE(doc->stringTitle->text(), QString::fromUtf8("New title – ü"));
        QVERIFY(doc->audioRenderer);
    }

    void emptyFileSaves()
    {
        const QString path = bwf(QStringLiteral("empty.wav"), 0);
        SoundFile *doc = fixtures::openDocument(path);
        QVERIFY(doc);
        doc->stringArtist->setText(QStringLiteral("Someone"));
        QVERIFY(save(doc));
        QCOMPARE(*fixtures::metadataOf(path).strings[3], QByteArray("Someone"));
        QCOMPARE(qint64(doc->sfinfo.frames), qint64(0));
    }

    void timecodeAloneWritesARecord()
    {
        const QString path = plain(QStringLiteral("tconly.wav"), 100);
        SoundFile *doc = fixtures::openDocument(path);
        QVERIFY(doc);
        doc->bextTimecode->setText(QStringLiteral("001:00:00:5"));
        QVERIFY(save(doc));
        const FileMetadata m = fixtures::metadataOf(path);
        QVERIFY(m.hasBext);
        QCOMPARE(m.bext.time_reference_low, 44100u * 3600 + 5);
        QCOMPARE(doc->bextTimecode->text(), QStringLiteral("001:00:00:5"));
    }

    void editedBextTextIsSaved()
    {
        const QString path = bwf(QStringLiteral("bextedit.wav"));
        SoundFile *doc = fixtures::openDocument(path);
        QVERIFY(doc);
        doc->bextDescription->setText(QStringLiteral("A new description"));
        doc->bextOriginator->setText(QString(40, QLatin1Char('o'))); // wider than the field
        QVERIFY(save(doc));
        const FileMetadata m = fixtures::metadataOf(path);
        QVERIFY(m.hasBext);
        QCOMPARE(bextFieldBytes(m.bext, BextField::Description), QByteArray("A new description"));
        QCOMPARE(bextFieldBytes(m.bext, BextField::Originator), QByteArray(32, 'o'));
        QCOMPARE(bextFieldBytes(m.bext, BextField::OriginatorRef), QByteArray("Ref"));
        QCOMPARE(bextFieldBytes(m.bext, BextField::UMID), QByteArray("UMIDUMID"));
        QCOMPARE(doc->bextDescription->text(), QStringLiteral("A new description"));
    }

    void clearedCommentIsRemoved()
    {
        const QString path = bwf(QStringLiteral("nocomment.wav"));
        SoundFile *doc = fixtures::openDocument(path);
        QVERIFY(doc);
        doc->stringComment->clear();
        QVERIFY(save(doc));
        const FileMetadata m = fixtures::metadataOf(path);
        QVERIFY(!m.strings[4]);
        QCOMPARE(*m.strings[0], QByteArray("Title"));
    }

    void saveAsElsewhereKeepsTheDocument()
    {
        const QString path = bwf(QStringLiteral("orig.wav"));
        const QString copy = m_dir.filePath(QStringLiteral("copy.wav"));
        SoundFile *doc = fixtures::openDocument(path);
        QVERIFY(doc);
        doc->stringTitle->setText(QStringLiteral("Changed"));
        DocumentError e;
        QVERIFY(doc->saveToURL(QUrl::fromLocalFile(copy), doc->fileType(), SaveOperationType::SaveAs, &e));
        QVERIFY(doc->isDocumentEdited());
        QCOMPARE(doc->fileURL().toLocalFile(), path);
        QCOMPARE(*fixtures::metadataOf(copy).strings[0], QByteArray("Changed"));
        QCOMPARE(*fixtures::metadataOf(path).strings[0], QByteArray("Title"));
        QCOMPARE(fixtures::readInts(copy), fixtures::readInts(path));
    }

    void saveAsOntoOwnPathKeepsMark()
    {
        const QString path = bwf(QStringLiteral("ownas.wav"));
        SoundFile *doc = fixtures::openDocument(path);
        QVERIFY(doc);
        doc->stringTitle->setText(QStringLiteral("Again"));
        DocumentError e;
        QVERIFY(doc->saveToURL(QUrl::fromLocalFile(path), QStringLiteral("whatever"), SaveOperationType::SaveAs, &e));
        QVERIFY(doc->isDocumentEdited());
        QCOMPARE(*fixtures::metadataOf(path).strings[0], QByteArray("Again"));
    }

    void hardLinkSavesInPlace()
    {
        const QString path = bwf(QStringLiteral("linked.wav"));
        const QString link = m_dir.filePath(QStringLiteral("link.wav"));
        QCOMPARE(::link(QFile::encodeName(path).constData(), QFile::encodeName(link).constData()), 0);
        SoundFile *doc = fixtures::openDocument(path);
        QVERIFY(doc);
        doc->stringTitle->setText(QStringLiteral("Through a link"));
        DocumentError e;
        QVERIFY(doc->saveToURL(QUrl::fromLocalFile(link), QString(), SaveOperationType::SaveAs, &e));
        // The document's own file was rewritten and reopened.
        QCOMPARE(*fixtures::metadataOf(path).strings[0], QByteArray("Through a link"));
        QCOMPARE(doc->stringTitle->text(), QStringLiteral("Through a link"));
        QCOMPARE(fixtures::readInts(path).size(), size_t(4800 * 2));
    }

    void cancelLeavesTheFile()
    {
        const QString path = plain(QStringLiteral("cancel.wav"), 44100 * 20);
        const QByteArray bytes = [&] { QFile f(path); f.open(QIODevice::ReadOnly); return f.readAll(); }();
        SoundFile *doc = fixtures::openDocument(path);
        QVERIFY(doc);
        doc->stringTitle->setText(QStringLiteral("never"));
        QTimer::singleShot(0, doc, [doc] { doc->convertCancel(nullptr); });
        QVERIFY(!save(doc));
        QVERIFY(doc->isDocumentEdited());
        QVERIFY(!doc->failureAlert());
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), bytes);
    }

    void directSaveWhilePlayingKeepsPlaying()
    {
        const QString path = plain(QStringLiteral("playing.wav"), 44100 * 10);
        SoundFile *doc = fixtures::openDocument(path);
        QVERIFY(doc);
        doc->play(doc->playButton);
        QTest::qWait(100);
        DocumentError e;
        QVERIFY(doc->saveToURL(QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("playing-copy.wav"))), QString(),
                               SaveOperationType::SaveTo, &e));
        QVERIFY(doc->isPlaying);
        const qint64 at = doc->audioRenderer->currentPosition();
        QTRY_VERIFY_WITH_TIMEOUT(doc->audioRenderer->currentPosition() > at, 5000);
        doc->play(doc->playButton);
    }

    void convertSelectedChannels()
    {
        const QString path = m_dir.filePath(QStringLiteral("four.wav"));
        fixtures::Spec spec;
        spec.channels = 4;
        std::vector<int> items;
        for (int frame = 0; frame < 70000; ++frame)
            for (int c = 0; c < 4; ++c)
                items.push_back((frame % 1000 + c * 1000) << 16);
        QVERIFY(fixtures::writeInts(path, spec, items));
        SoundFile *doc = fixtures::openDocument(path);
        QVERIFY(doc);
        for (int c : {1, 3})
            doc->convertTableSource->setData(doc->convertTableSource->index(c, 1), Qt::Unchecked, Qt::CheckStateRole);
        doc->convertFormat->setCurrentIndex(majorFormatIndex(SF_FORMAT_AIFF));
        doc->convertSubformat->setCurrentIndex(doc->convertSubformat->findText(QStringLiteral("Signed 16 bit PCM")));
        doc->convert(nullptr);
        QCOMPARE(doc->convertSFInfo.channels, 2);
        QCOMPARE(doc->convertSFInfo.format & SF_FORMAT_TYPEMASK, SF_FORMAT_AIFF);
        auto *panel = doc->documentWindow()->findChild<QFileDialog *>(QStringLiteral("convertPanel"));
        QVERIFY(panel);
        QCOMPARE(panel->windowModality(), Qt::WindowModal);
        QVERIFY(panel->selectedFiles().value(0).endsWith(QStringLiteral("/four.aiff")));
        QMetaObject::invokeMethod(panel, "accept");
        QTRY_COMPARE(controller().documents().size(), 2);
        const QString out = m_dir.filePath(QStringLiteral("four.aiff"));
        SF_INFO info{};
        const std::vector<int> got = fixtures::readInts(out, &info);
        QCOMPARE(info.channels, 2);
        QCOMPARE(qint64(info.frames), qint64(70000));
        for (int frame = 0; frame < 70000; frame += 997) {
            QCOMPARE(got[size_t(frame * 2)], items[size_t(frame * 4)]);
            QCOMPARE(got[size_t(frame * 2 + 1)], items[size_t(frame * 4 + 2)]);
        }
        QCOMPARE(doc->convertProgress->value(), 100);
        // The converted file opened as a document of its own.
        QCOMPARE(controller().documents().size(), 2);
        QVERIFY(controller().documentForURL(QUrl::fromLocalFile(out)));
    }

    void convertKeepBextSwitch_data()
    {
        QTest::addColumn<bool>("keep");
        QTest::newRow("kept") << true;
        QTest::newRow("dropped") << false;
    }
    void convertKeepBextSwitch()
    {
        QFETCH(bool, keep);
        const QString path = bwf(QStringLiteral("keep-%1.wav").arg(keep));
        SoundFile *doc = fixtures::openDocument(path);
        QVERIFY(doc);
        doc->convertKeepBEXT->setChecked(keep);
        doc->bextTimecode->setText(QStringLiteral("000:00:02:0"));
        doc->convertSFInfo = doc->sfinfo;
        doc->convertSFInfo.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
        const QString out = m_dir.filePath(QStringLiteral("keep-out-%1.wav").arg(keep));
        QVERIFY(doc->convertToURL(QUrl::fromLocalFile(out), true));
        const FileMetadata m = fixtures::metadataOf(out);
        QCOMPARE(m.hasBext, keep);
        if (keep)
            QCOMPARE(m.bext.time_reference_low, 96000u);
    }

    void convertOntoOwnPath()
    {
        const QString path = plain(QStringLiteral("self.wav"), 1000);
        SoundFile *doc = fixtures::openDocument(path);
        QVERIFY(doc);
        doc->convertSFInfo = doc->sfinfo;
        doc->convertSFInfo.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        QVERIFY(doc->convertToURL(QUrl::fromLocalFile(path), true));
        QCOMPARE(controller().documents().size(), 1);
        QCOMPARE(doc->sfinfo.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
        QCOMPARE(doc->labelSampleFormat->text(), QStringLiteral("32 bit float"));
    }

    void aiffDateIsReadOnly()
    {
        const QString path = plain(QStringLiteral("date.aiff"), 10, 1, SF_FORMAT_AIFF | SF_FORMAT_PCM_16);
        SoundFile *doc = fixtures::openDocument(path);
        QVERIFY(doc);
        QVERIFY(doc->stringDate->isReadOnly());
        QVERIFY(!doc->stringDate->toolTip().isEmpty());
    }
};

QTEST_MAIN(TestSaveConvert)
#include "tst_saveconvert.moc"
