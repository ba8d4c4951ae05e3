// What a desktop user expects of the window: Space stays with the control
// that uses it, a name for another format is asked about, a failing target
// does not disturb playback, the recent list, Revert to Saved.
#include "DocumentFixture.h"

#include "document/SoundFile.h"
#include "filelogic/PropertyText.h"
#include "window/RecentFiles.h"
#include "window/SoundFileWindow.h"

#include <QtTest>

#include <sys/stat.h>

class TestDesktop : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_count = 0;

    QString file(int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16)
    {
        return docfix::make(m_dir, QStringLiteral("f%1.wav").arg(++m_count), docfix::spec(44100, 2, format));
    }

private slots:
    void initTestCase()
    {
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.filePath(QStringLiteral("config"))));
    }
    void cleanup() { docfix::closeAllDocuments(); }

    void spaceStaysWithControls_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<bool>("plays");
        QTest::newRow("button") << "peakCalculate" << false;
        QTest::newRow("table") << "convertTable" << false;
        QTest::newRow("pop-up") << "leftChannel" << false;
        QTest::newRow("text field") << "stringTitle" << false;
        QTest::newRow("slider") << "playSlider" << true;
    }
    void spaceStaysWithControls()
    {
        QFETCH(QString, control);
        QFETCH(bool, plays);
        SoundFileWindow *window = docfix::openWindow(file());
        QVERIFY(window);
        QWidget *widget = window->findChild<QWidget *>(control);
        QVERIFY(widget);
        window->ui.tabView->setCurrentWidget(control == QLatin1String("stringTitle")     ? window->ui.Strings
                                             : control == QLatin1String("peakCalculate") ? window->ui.Peak
                                                                                         : window->ui.Convert);
        QVERIFY(QTest::qWaitForWindowActive(window));
        widget->setFocus();
        if (auto *table = qobject_cast<QTableView *>(widget))
            table->setCurrentIndex(table->model()->index(0, 1));
        QTest::keyClick(widget, Qt::Key_Space);
        QCOMPARE(window->document()->transport()->isPlaying(), plays);
        if (control == QLatin1String("stringTitle"))
            QCOMPARE(window->ui.stringTitle->text(), QStringLiteral(" "));
        if (control == QLatin1String("convertTable"))
            QVERIFY(!window->document()->conversion().channelKept(0));
        window->document()->waitForJobs();
        if (control == QLatin1String("peakCalculate"))
            QVERIFY(window->document()->peakScan()->measured());
    }

    void unknownLengthReadsUnknown()
    {
        SF_INFO info{};
        info.frames = SF_COUNT_MAX;
        info.samplerate = 48000;
        QCOMPARE(framesText(info.frames), QStringLiteral("unknown"));
        QCOMPARE(lengthText(info.frames, info.samplerate), QStringLiteral("unknown"));
    }

    // A WAV is never written under an AIFF name without being asked.
    void otherFormatsNameIsRefused()
    {
        auto doc = docfix::open(file());
        QVERIFY(doc);
        const QString aiff = m_dir.filePath(QStringLiteral("voice.aiff"));
        DocumentError error;
        QVERIFY(!doc->saveToURL(QUrl::fromLocalFile(aiff), doc->fileType(), SaveOperationType::SaveAs, &error));
        QVERIFY(!QFile::exists(aiff));
        QVERIFY(error.localizedFailureReason.contains(QStringLiteral("voice.aiff")));
        QVERIFY(doc->saveAsFormat(QUrl::fromLocalFile(aiff), closestFormat(SF_FORMAT_AIFF, doc->info().format), &error));
        QCOMPARE(docfix::fileBytes(aiff).left(4), QByteArray("FORM"));
        QCOMPARE(docfix::metadataOf(aiff).strings, doc->metadataAsRead().strings);
    }

    // A target that cannot be created fails before progress shows or
    // playback stops.
    void unwritableTargetLeavesPlaybackAlone()
    {
        auto doc = docfix::open(file());
        QVERIFY(doc);
        doc->play(nullptr);
        QSignalSpy started(doc.get(), &SoundFile::rewriteStarted);
        QSignalSpy playing(doc->transport(), &Transport::playingChanged);
        DocumentError error;
        const QUrl target = QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("missing/folder/x.wav")));
        QVERIFY(!doc->saveToURL(target, doc->fileType(), SaveOperationType::SaveTo, &error));
        QCOMPARE(started.size(), 0);
        QCOMPARE(playing.size(), 0);
        QVERIFY(doc->transport()->isPlaying());
    }

    void recentFilesAndRevert()
    {
        RecentFiles::clear();
        const QString first = file();
        const QString second = file();
        QVERIFY(docfix::openWindow(first));
        SoundFileWindow *window = docfix::openWindow(second);
        QCOMPARE(RecentFiles::list(), QStringList({second, first}));
        QFile::remove(first);
        QCOMPARE(RecentFiles::list(), QStringList({second}));

        SoundFile *doc = window->document();
        window->ui.stringTitle->setText(QStringLiteral("typed"));
        QVERIFY(doc->isDocumentEdited());
        DocumentError error;
        QVERIFY(doc->revertToSaved(&error));
        QVERIFY(!doc->isDocumentEdited());
        QCOMPARE(window->ui.stringTitle->text(), QString());
        QVERIFY(!window->isWindowModified());
    }
};

QTEST_MAIN(TestDesktop)
#include "tst_desktop.moc"
