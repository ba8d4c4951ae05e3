// Opening files as documents: errors, the Properties tab, the edited mark and
// closing.
#include "DocumentFixture.h"
#include "Fixtures.h"

#include "document/SoundFile.h"
#include "window/SoundFileWindow.h"
#include "window/SoundFileWindowController.h"
#include "toolkit/DocumentController.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <unistd.h>

namespace {

QString labelText(SoundFile *doc, const char *name)
{
    auto *label = doc->documentWindow()->findChild<QLabel *>(QString::fromLatin1(name));
    return label ? label->text() : QStringLiteral("<no label %1>").arg(QLatin1String(name));
}

// A W64 file claiming `frames` 8-bit mono frames, made sparse so it costs
// nothing on disk: one real frame is written, then the data chunk's 64-bit
// size is patched and the file extended.
bool writeSparseW64(const QString &path, qint64 frames)
{
    fixtures::Spec spec;
    spec.format = SF_FORMAT_W64 | SF_FORMAT_PCM_U8;
    spec.channels = 1;
    spec.samplerate = 44100;
    spec.frames = 1;
    if (!fixtures::write(path, spec))
        return false;
    QFile f(path);
    if (!f.open(QIODevice::ReadWrite))
        return false;
    QByteArray bytes = f.readAll();
    const int at = bytes.indexOf(QByteArray("data\xf3\xac\xd3\x11", 8));
    if (at < 0)
        return false;
    const quint64 chunkSize = 24 + quint64(frames);
    std::memcpy(bytes.data() + at + 16, &chunkSize, 8);
    f.seek(0);
    f.write(bytes.left(at + 24));
    f.close();
    return ::truncate(QFile::encodeName(path).constData(), off_t(at + 24 + frames)) == 0;
}

} // namespace

class TestDocument : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    DocumentController &controller() { return DocumentController::sharedDocumentController(); }

    SoundFile *open(const QString &path) { return fixtures::openDocument(path); }


private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        controller().setQuitWhenLastDocumentCloses(false);
    }

    void cleanup() { fixtures::closeAllDocuments(); }

    void openFailures_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<bool>("create");
        QTest::newRow("text file") << QByteArray("These are notes, not sound.\n") << true;
        QTest::newRow("empty file") << QByteArray() << true;
        QTest::newRow("missing file") << QByteArray() << false;
    }
    void openFailures()
    {
        QFETCH(QByteArray, contents);
        QFETCH(bool, create);
        const QString path = m_dir.filePath(QStringLiteral("notes-%1.txt").arg(QTest::currentDataTag()));
        if (create) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(contents);
        }
        // What libsndfile itself says about this file is what the user sees.
        SF_INFO info{};
        QVERIFY(!sf_open(QFile::encodeName(path).constData(), SFM_READ, &info));
        const QString expected = QString::fromLocal8Bit(sf_strerror(nullptr));

        DocumentError err;
        QVERIFY(!controller().openDocumentWithContentsOfURL(QUrl::fromLocalFile(path), true, &err));
        QCOMPARE(err.domain, QStringLiteral("libsndfileError"));
        QCOMPARE(err.code, -1);
        QCOMPARE(err.localizedDescription, expected);
        QVERIFY(!err.localizedDescription.isEmpty());
        QVERIFY(controller().documents().isEmpty());
        QVERIFY(QApplication::topLevelWidgets().isEmpty() || !qobject_cast<SoundFileWindow *>(QApplication::activeWindow()));
    }

    void nonFileLocationFailsWithoutError()
    {
        SoundFile doc;
        DocumentError err{QStringLiteral("stale"), 5, QStringLiteral("stale")};
        QVERIFY(!doc.readFromURL(QUrl(QStringLiteral("https://example.invalid/a.wav")), QString(), &err));
        QVERIFY(err.domain.isEmpty());
        QCOMPARE(err.code, 0);
    }

    void labels_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("rate");
        QTest::addColumn<qint64>("frames");
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QStringList>("expected"); // format, sample format, rate, channels, frames, length, bps, Bps
        QTest::newRow("wav pcm16") << (SF_FORMAT_WAV | SF_FORMAT_PCM_16) << 2 << 44100 << qint64(44100) << "wav"
                                   << QStringList{"WAV (Microsoft)", "Signed 16 bit PCM", "44100", "2", "44100", "00:00:01.000", "2", "176400"};
        QTest::newRow("aiff pcm24") << (SF_FORMAT_AIFF | SF_FORMAT_PCM_24) << 1 << 48000 << qint64(24000) << "aiff"
                                    << QStringList{"AIFF (Apple/SGI)", "Signed 24 bit PCM", "48000", "1", "24000", "00:00:00.500", "3", "144000"};
        QTest::newRow("flac") << (SF_FORMAT_FLAC | SF_FORMAT_PCM_16) << 2 << 96000 << qint64(9600) << "flac"
                              << QStringList{"FLAC (Free Lossless Audio Codec)", "Signed 16 bit PCM", "96000", "2", "9600", "00:00:00.100", "2", "384000"};
        QTest::newRow("ulaw") << (SF_FORMAT_WAV | SF_FORMAT_ULAW) << 1 << 8000 << qint64(8000) << "wav"
                              << QStringList{"WAV (Microsoft)", "U-Law", "8000", "1", "8000", "00:00:01.000", "unknown", "unknown"};
        QTest::newRow("double") << (SF_FORMAT_WAV | SF_FORMAT_DOUBLE) << 2 << 48000 << qint64(4800) << "wav"
                                << QStringList{"WAV (Microsoft)", "64 bit float", "48000", "2", "4800", "00:00:00.100", "8", "768000"};
    }
    void labels()
    {
        QFETCH(int, format);
        QFETCH(int, channels);
        QFETCH(int, rate);
        QFETCH(qint64, frames);
        QFETCH(QString, suffix);
        QFETCH(QStringList, expected);
        const QString path = m_dir.filePath(QStringLiteral("labels-%1.%2").arg(QTest::currentDataTag(), suffix));
        fixtures::Spec spec;
        spec.format = format;
        spec.channels = channels;
        spec.samplerate = rate;
        spec.frames = frames;
        QVERIFY(fixtures::write(path, spec));
        SoundFile *doc = open(path);
        QVERIFY(doc);
        const char *names[] = {"labelFormat", "labelSampleFormat", "labelSamplerate", "labelChannels",
                               "labelFrames", "labelLength", "labelBytesPerSample", "labelBytesPerSecond"};
        for (int i = 0; i < expected.size(); ++i)
            QCOMPARE(labelText(doc, names[i]), expected[i]);
        QCOMPARE(labelText(doc, "labelSections"), QStringLiteral("1"));
        QCOMPARE(doc->isDocumentEdited(), false);
    }

    void sizeLabelUsesFileSize()
    {
        const QString path = m_dir.filePath(QStringLiteral("size.wav"));
        fixtures::Spec spec;
        spec.channels = 1;
        spec.frames = 256; // 512 bytes of samples plus a 44-byte header
        QVERIFY(fixtures::write(path, spec));
        QCOMPARE(QFileInfo(path).size(), qint64(556));
        SoundFile *doc = open(path);
        QVERIFY(doc);
        QCOMPARE(labelText(doc, "labelFilesize"), QStringLiteral("556.00  Bytes"));
    }

    void longerThan2To31Frames()
    {
        const QString path = m_dir.filePath(QStringLiteral("long.w64"));
        const qint64 frames = 3000000000LL;
        QVERIFY(writeSparseW64(path, frames));
        SoundFile *doc = open(path);
        QVERIFY(doc);
        QCOMPARE(qint64(doc->sfinfo.frames), frames);
        QCOMPARE(labelText(doc, "labelFrames"), QStringLiteral("3000000000"));
        QCOMPARE(labelText(doc, "labelLength"), QStringLiteral("18:53:47.210"));
        QCOMPARE(labelText(doc, "labelFilesize"), QStringLiteral("2.79 GB"));
    }

    void editedMarkFollowsTyping()
    {
        const QString path = m_dir.filePath(QStringLiteral("edit.wav"));
        fixtures::Spec spec;
        spec.frames = 100;
        QVERIFY(fixtures::write(path, spec));
        SoundFile *doc = open(path);
        QVERIFY(doc);
        QVERIFY(!doc->isDocumentEdited());
        QVERIFY(!doc->documentWindow()->isWindowModified());
        auto *title = doc->documentWindow()->findChild<QLineEdit *>(QStringLiteral("stringTitle"));
        QVERIFY(title);
        QTest::keyClick(title, Qt::Key_A);
        QVERIFY(doc->isDocumentEdited());
        QVERIFY(doc->documentWindow()->isWindowModified());
    }

    void closingEditedAsksAndCancelKeepsIt()
    {
        const QString path = m_dir.filePath(QStringLiteral("prompt.wav"));
        fixtures::Spec spec;
        spec.frames = 100;
        QVERIFY(fixtures::write(path, spec));
        SoundFile *doc = open(path);
        QVERIFY(doc);
        doc->stringComment->setText(QStringLiteral("changed"));
        SoundFileWindow *window = doc->documentWindow();
        QVERIFY(!window->close());
        QMessageBox *prompt = window->closePrompt();
        QVERIFY(prompt);
        prompt->button(QMessageBox::Cancel)->click();
        QCoreApplication::processEvents();
        QCOMPARE(controller().documents().size(), 1);

        QVERIFY(!window->close());
        QVERIFY(window->closePrompt());
        QPointer<SoundFileWindow> watch(window);
        window->closePrompt()->button(QMessageBox::Discard)->click();
        QTRY_VERIFY(controller().documents().isEmpty());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(watch.isNull());
    }

    void closeReleasesEverything()
    {
        const QString path = m_dir.filePath(QStringLiteral("close.wav"));
        fixtures::Spec spec;
        spec.frames = 1000;
        QVERIFY(fixtures::write(path, spec));
        QPointer<SoundFile> doc = open(path);
        QVERIFY(doc);
        QVERIFY(doc->sndfile);
        QSignalSpy closed(doc.data(), &SoundFile::closed);
        doc->documentWindow()->close();
        QCOMPARE(closed.count(), 1);
        QVERIFY(controller().documents().isEmpty());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(doc.isNull());
    }

    void sameFileOpensOnce()
    {
        const QString path = m_dir.filePath(QStringLiteral("once.wav"));
        fixtures::Spec spec;
        spec.frames = 10;
        QVERIFY(fixtures::write(path, spec));
        SoundFile *a = open(path);
        SoundFile *b = open(m_dir.path() + QStringLiteral("/./once.wav"));
        QVERIFY(a);
        QCOMPARE(a, b);
        QCOMPARE(controller().documents().size(), 1);
    }

    void twoFilesTwoWindows()
    {
        fixtures::Spec spec;
        spec.frames = 10;
        QVERIFY(fixtures::write(m_dir.filePath(QStringLiteral("a.wav")), spec));
        spec.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
        QVERIFY(fixtures::write(m_dir.filePath(QStringLiteral("b.flac")), spec));
        const QList<QMessageBox *> alerts = controller().openFiles(
            {m_dir.filePath(QStringLiteral("a.wav")), m_dir.filePath(QStringLiteral("b.flac"))}, nullptr);
        QVERIFY(alerts.isEmpty());
        QCOMPARE(controller().documents().size(), 2);
        QVERIFY(controller().documents()[0]->documentWindow() != controller().documents()[1]->documentWindow());
    }

    void noUntitledDocument()
    {
        SoundFileWindowController delegate;
        QVERIFY(!delegate.applicationShouldOpenUntitledFile(nullptr));
    }

    void saveTypesAreTheOpenedType()
    {
        const QString path = m_dir.filePath(QStringLiteral("types.aiff"));
        fixtures::Spec spec;
        spec.format = SF_FORMAT_AIFF | SF_FORMAT_PCM_16;
        spec.frames = 10;
        QVERIFY(fixtures::write(path, spec));
        SoundFile *doc = open(path);
        QVERIFY(doc);
        const QStringList types = doc->writableTypesForSaveOperation(SaveOperationType::Save);
        QCOMPARE(types.size(), 1);
        for (auto op : {SaveOperationType::SaveAs, SaveOperationType::SaveTo, SaveOperationType::Autosave})
            QCOMPARE(doc->writableTypesForSaveOperation(op), types);
        QVERIFY(types.first().contains(QStringLiteral("*.aiff")));
    }

    void screenshot()
    {
        const QString path = m_dir.filePath(QStringLiteral("Broadcast take.wav"));
        fixtures::Spec spec;
        spec.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
        spec.samplerate = 48000;
        spec.frames = 48000 * 3;
        QVERIFY(fixtures::write(path, spec));
        SoundFile *doc = open(path);
        QVERIFY(doc);
        doc->documentWindow()->resize(doc->documentWindow()->sizeHint().expandedTo(QSize(640, 520)));
        const QImage shot = doc->documentWindow()->grab().toImage();
        QVERIFY(!shot.isNull());
        QVERIFY(shot.save(fixtures::artifactsDir() + QStringLiteral("/window-properties.png")));
    }
};

QTEST_MAIN(TestDocument)
#include "tst_document.moc"
