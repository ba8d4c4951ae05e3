// Saving through the document when something could go wrong: playback
// running during the copy, metadata the user did not touch, targets that
// must not be written, files with more channels than are listed, formats that
// cannot hold everything.
#include "DocumentFixture.h"
#include "Fixtures.h"

#include "window/ChannelTableSource.h"
#include "filelogic/FileMetadata.h"
#include "document/SoundFile.h"
#include "window/SoundFileWindow.h"
#include "playback/AudioRenderer.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QSlider>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

namespace {

QMessageBox *openAlert(SoundFile *doc, const char *name)
{
    return doc->documentWindow()->findChild<QMessageBox *>(QLatin1String(name));
}

} // namespace

class TestSaveSafety : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    bool save(SoundFile *doc)
    {
        DocumentError e;
        return doc->saveToURL(doc->fileURL(), doc->fileType(), SaveOperationType::Save, &e);
    }
    bool saveTo(SoundFile *doc, const QString &path)
    {
        DocumentError e;
        return doc->saveToURL(QUrl::fromLocalFile(path), doc->fileType(), SaveOperationType::SaveTo, &e);
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }
    void cleanup() { fixtures::closeAllDocuments(); }

    // The playback timer must not refill from the shared handle between the
    // copy's blocks: the copy would lose the samples the refill took.
    void copyWhilePlayingIsComplete()
    {
        const QString path = m_dir.filePath(QStringLiteral("long.wav"));
        fixtures::Spec spec;
        spec.channels = 8;
        spec.samplerate = 48000;
        spec.frames = 48000 * 20;
        QVERIFY(fixtures::write(path, spec));
        SoundFile *doc = fixtures::openDocument(path);
        QVERIFY(doc);
        doc->play(doc->playButton);
        // Play, without refills, until more than half of the read-ahead
        // buffer is used, so the next timer tick wants to refill.
        doc->timer->stop();
        QTRY_VERIFY_WITH_TIMEOUT(doc->audioRenderer->current_buffer_start() > AudioRenderer::kBufferItems / 2, 20000);
        doc->timer->start();
        const QString copy = m_dir.filePath(QStringLiteral("long-copy.wav"));
        QVERIFY(saveTo(doc, copy));
        QVERIFY(doc->isPlaying);
        doc->play(doc->playButton);
        QVERIFY(fixtures::readInts(copy) == fixtures::readInts(path));
    }

    void droppedRecordDoesNotComeBack()
    {
        const QString path = m_dir.filePath(QStringLiteral("secret.wav"));
        fixtures::Spec spec;
        spec.frames = 100;
        spec.bext = fixtures::bextRecord("SECRET DESCRIPTION", "Someone", "", "", "", 0, 1, "", "");
        QVERIFY(fixtures::write(path, spec));
        SoundFile *doc = fixtures::openDocument(path);
        QVERIFY(doc);
        for (QLineEdit *f : {doc->bextDescription, doc->bextOriginator, doc->bextOriginatorRef, doc->bextOriginationDate,
                             doc->bextOriginationTime, doc->bextUMID, doc->bextTimecode})
            f->clear();
        doc->bextCodingHistory->clear();
        QVERIFY(save(doc));
        QVERIFY(!fixtures::metadataOf(path).hasBext);
        QVERIFY(!doc->convertKeepBEXT->isEnabled());
        doc->bextTimecode->setText(QStringLiteral("000:00:01:0"));
        QVERIFY(save(doc));
        const FileMetadata m = fixtures::metadataOf(path);
        QVERIFY(m.hasBext);
        QVERIFY(bextFieldBytes(m.bext, BextField::Description).isEmpty());
        QVERIFY(bextFieldBytes(m.bext, BextField::Originator).isEmpty());
        QVERIFY(doc->bextDescription->text().isEmpty());
    }

    void untouchedBytesSurviveAnEdit()
    {
        const QString path = m_dir.filePath(QStringLiteral("bytes.wav"));
        QByteArray umid(64, '\0');
        for (int i = 0; i < 64; ++i)
            umid[i] = char(i * 4 + 3);
        umid[5] = '\0';
        const QByteArray history("A=PCM,F=44100,W=16,M=mono,T=Caf\xe9 recorder\r\nA=PCM,F=44100,W=16,M=mono,T=mixer\r\n");
        fixtures::Spec spec;
        spec.channels = 1;
        spec.frames = 100;
        spec.strings[0] = QByteArray("Caf\xe9 Gr\xfc\xdf" "e"); // Latin-1
        spec.strings[3] = QByteArray("Artist");
        spec.bext = fixtures::bextRecord("Desc", "Orig", "", "", "", 0, 1, umid, history);
        QVERIFY(fixtures::write(path, spec));
        const FileMetadata before = fixtures::metadataOf(path);
        SoundFile *doc = fixtures::openDocument(path);
        QVERIFY(doc);
        doc->stringArtist->setText(QStringLiteral("Another artist"));
        QVERIFY(save(doc));
        const FileMetadata after = fixtures::metadataOf(path);
        QCOMPARE(*after.strings[0], *before.strings[0]);
        QCOMPARE(*after.strings[3], QByteArray("Another artist"));
        QCOMPARE(bextFieldRawBytes(after.bext, BextField::UMID), umid);
        QCOMPARE(bextFieldBytes(after.bext, BextField::CodingHistory), bextFieldBytes(before.bext, BextField::CodingHistory));
        QVERIFY(bextFieldBytes(after.bext, BextField::CodingHistory).contains("Caf\xe9 recorder"));
    }

    void targetOpenElsewhereIsRefused()
    {
        fixtures::Spec spec;
        spec.frames = 100;
        const QString a = m_dir.filePath(QStringLiteral("a.wav"));
        const QString b = m_dir.filePath(QStringLiteral("b.wav"));
        QVERIFY(fixtures::write(a, spec));
        QVERIFY(fixtures::write(b, spec));
        SoundFile *docA = fixtures::openDocument(a);
        SoundFile *docB = fixtures::openDocument(b);
        QVERIFY(docA && docB);
        const QByteArray bytes = [&] { QFile f(b); f.open(QIODevice::ReadOnly); return f.readAll(); }();
        docA->stringTitle->setText(QStringLiteral("over b"));
        QVERIFY(!saveTo(docA, b));
        QVERIFY(docA->failureAlert());
        QVERIFY(docA->failureAlert()->informativeText().contains(QStringLiteral("another window")));
        QFile f(b);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), bytes);
    }

    void readOnlyFileIsKept()
    {
        const QString path = m_dir.filePath(QStringLiteral("readonly.wav"));
        fixtures::Spec spec;
        spec.frames = 100;
        QVERIFY(fixtures::write(path, spec));
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther));
        SoundFile *doc = fixtures::openDocument(path);
        QVERIFY(doc);
        doc->stringTitle->setText(QStringLiteral("x"));
        QVERIFY(!save(doc));
        QVERIFY(doc->failureAlert());
        QVERIFY(doc->failureAlert()->informativeText().contains(QStringLiteral("read-only")));
        QVERIFY(doc->isDocumentEdited());
        QVERIFY(!fixtures::metadataOf(path).strings[0]);
    }

    void unlistedChannelsAreKept()
    {
        const QString path = m_dir.filePath(QStringLiteral("wide.wav"));
        fixtures::Spec spec;
        spec.channels = 300;
        spec.frames = 64;
        QVERIFY(fixtures::write(path, spec, [](sf_count_t f, int c) { return double((c % 100) + 1) / 200.0 * (f % 2 ? 1 : -1); }));
        SoundFile *doc = fixtures::openDocument(path);
        QVERIFY(doc);
        doc->convertTableSource->setData(doc->convertTableSource->index(0, 1), Qt::Unchecked, Qt::CheckStateRole);
        doc->convert(nullptr);
        QCOMPARE(doc->convertSFInfo.channels, 299);
        const QString out = m_dir.filePath(QStringLiteral("wide-out.wav"));
        QVERIFY(doc->convertToURL(QUrl::fromLocalFile(out), false));
        SF_INFO info{};
        const std::vector<int> got = fixtures::readInts(out, &info);
        const std::vector<int> src = fixtures::readInts(path);
        QCOMPARE(info.channels, 299);
        for (int f = 0; f < 64; ++f)
            for (int c = 1; c < 300; ++c)
                QCOMPARE(got[size_t(f * 299 + c - 1)], src[size_t(f * 300 + c)]);
        const auto panels = doc->documentWindow()->findChildren<QObject *>(QStringLiteral("convertPanel"));
        for (QObject *panel : panels)
            delete panel;
    }

    void stringsAFormatCannotHoldAreWarnedAbout()
    {
        const QString path = m_dir.filePath(QStringLiteral("strings.wav"));
        fixtures::Spec spec;
        spec.frames = 100;
        spec.strings[0] = QByteArray("A title");
        QVERIFY(fixtures::write(path, spec));
        SoundFile *doc = fixtures::openDocument(path);
        QVERIFY(doc);
        doc->convertSFInfo = doc->sfinfo;
        doc->convertSFInfo.format = SF_FORMAT_AU | SF_FORMAT_PCM_16;
        QVERIFY(doc->convertToURL(QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("strings.au"))), false));
        QMessageBox *warning = openAlert(doc, "rewriteWarningAlert");
        QVERIFY(warning);
        QVERIFY(warning->informativeText().contains(QStringLiteral("text metadata")));
        delete warning;

        // A format that keeps them raises nothing.
        doc->convertSFInfo.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
        QVERIFY(doc->convertToURL(QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("strings.flac"))), false));
        QVERIFY(!openAlert(doc, "rewriteWarningAlert"));
    }

    void sliderUnderTheHandStaysPut()
    {
        const QString path = m_dir.filePath(QStringLiteral("drag.wav"));
        fixtures::Spec spec;
        spec.frames = 44100 * 5;
        QVERIFY(fixtures::write(path, spec));
        SoundFile *doc = fixtures::openDocument(path);
        QVERIFY(doc);
        doc->playSlider->setSliderDown(true);
        doc->playSlider->setSliderPosition(44100 * 4);
        doc->audioRenderer->seek(1000);
        doc->filePositionChanged();
        QCOMPARE(doc->playSlider->sliderPosition(), 44100 * 4);
        doc->playSlider->setSliderDown(false);
        QCOMPARE(doc->audioRenderer->currentPosition(), qint64(44100 * 4));
    }

    void unseekableFileSavesInPlace()
    {
        const QString path = m_dir.filePath(QStringLiteral("gsm-save.wav"));
        fixtures::Spec spec;
        spec.format = SF_FORMAT_WAV | SF_FORMAT_GSM610;
        spec.channels = 1;
        spec.samplerate = 8000;
        spec.frames = 8000;
        QVERIFY(fixtures::write(path, spec));
        SoundFile *doc = fixtures::openDocument(path);
        QVERIFY(doc);
        doc->stringTitle->setText(QStringLiteral("GSM take"));
        QVERIFY(save(doc));
        QCOMPARE(*fixtures::metadataOf(path).strings[0], QByteArray("GSM take"));
        // Block codings pad the last block; nothing is lost.
        QVERIFY(qint64(doc->sfinfo.frames) >= 8000);
    }

    void inPlaceSaveNeverShortens()
    {
        // A FLAC file cut in its audio frames still reports its full length.
        const QString path = m_dir.filePath(QStringLiteral("cut.flac"));
        fixtures::Spec spec;
        spec.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
        spec.channels = 2;
        spec.frames = 44100 * 4;
        QVERIFY(fixtures::write(path, spec, [](sf_count_t f, int c) { return 0.3 * std::sin(double(f * (c + 3)) * 0.01) + 0.05 * ((f * 7919) % 13 - 6) / 6.0; }));
        QFile f(path);
        QVERIFY(f.resize(f.size() / 2));
        const QByteArray bytes = [&] { QFile g(path); g.open(QIODevice::ReadOnly); return g.readAll(); }();
        SoundFile *doc = fixtures::openDocument(path);
        QVERIFY(doc);
        QCOMPARE(qint64(doc->sfinfo.frames), qint64(44100 * 4));
        doc->stringTitle->setText(QStringLiteral("shorter?"));
        QVERIFY(!save(doc));
        QVERIFY(doc->failureAlert());
        QVERIFY(doc->isDocumentEdited());
        QFile g(path);
        QVERIFY(g.open(QIODevice::ReadOnly));
        QCOMPARE(g.readAll(), bytes);
        // A copy elsewhere keeps what can be read.
        QVERIFY(saveTo(doc, m_dir.filePath(QStringLiteral("cut-copy.flac"))));
    }

    void unseekableFilePlaysAgainAfterItsEnd()
    {
        const QString path = m_dir.filePath(QStringLiteral("gsm.wav"));
        fixtures::Spec spec;
        spec.format = SF_FORMAT_WAV | SF_FORMAT_GSM610;
        spec.channels = 1;
        spec.samplerate = 8000;
        spec.frames = 8000 / 4;
        QVERIFY(fixtures::write(path, spec));
        SoundFile *doc = fixtures::openDocument(path);
        QVERIFY(doc);
        QVERIFY(!doc->sfinfo.seekable);
        QVERIFY(!doc->playSlider->isEnabled());
        for (int round = 0; round < 2; ++round) {
            doc->play(doc->playButton);
            QTRY_VERIFY_WITH_TIMEOUT(!doc->isPlaying, 20000);
            QCOMPARE(doc->audioRenderer->currentPosition(), qint64(0));
        }
        // The peak scan reads it through a handle of its own.
        doc->calculatePeak(nullptr);
        QVERIFY(doc->peakTableSource->peak(0) > 0);
    }
};

QTEST_MAIN(TestSaveSafety)
#include "tst_savesafety.moc"
