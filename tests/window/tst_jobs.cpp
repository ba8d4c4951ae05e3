// Long work runs as jobs on worker threads. Each job is held on its worker
// (Job's test hook) while the GUI thread goes on handling queued events and
// typing; closing the window then cancels the job, and the file stays as it
// was. The sheet's Cancel stops a save the same way.
#include "DocumentFixture.h"

#include "document/ChecksumJob.h"
#include "toolkit/DocumentController.h"
#include "window/SoundFileWindow.h"

#include <QDir>

namespace {

enum Kind { PeakScan, Save, Conversion, Loudness, Overview, Checksum };

bool running(SoundFile *doc, Kind kind)
{
    return kind == PeakScan ? doc->peakScan()->isRunning()
         : kind == Loudness ? doc->loudness()->isRunning()
         : kind == Overview ? doc->waveform()->isRunning()
         : kind == Checksum ? doc->checksum()->isRunning() : doc->isBusy();
}

} // namespace

class TestJobs : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    // A window whose overview job is held, and one more job of `kind`
    // started through it and held too.
    SoundFileWindow *openHeld(const QString &name, Kind kind)
    {
        Job::holdForTesting(true);
        SoundFileWindow *w = docfix::openWindow(m_dir, name, docfix::spec(48000 * 4, 2));
        w->ui.stringTitle->setText(kind == Save ? QStringLiteral("typed") : QString());
        if (kind == Save)
            w->saveAction->trigger();
        else if (kind == Conversion)
            w->document()->startConversion(QUrl::fromLocalFile(m_dir.filePath(name + QStringLiteral(".aiff"))));
        else if (kind != Overview)
            (kind == PeakScan ? w->ui.peakCalculate : kind == Loudness ? w->ui.loudnessMeasure : w->ui.md5Compute)->click();
        Job::waitUntilHeldForTesting(kind == Overview ? 1 : 2);
        return w;
    }

private slots:
    void cleanup()
    {
        Job::holdForTesting(false);
        docfix::closeAllDocuments();
    }

    void heldJobsLeaveTheWindowsResponsive_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("peak scan") << int(PeakScan);
        QTest::newRow("save") << int(Save);
        QTest::newRow("conversion") << int(Conversion);
        QTest::newRow("loudness") << int(Loudness);
        QTest::newRow("overview") << int(Overview);
        QTest::newRow("checksum") << int(Checksum);
    }
    void heldJobsLeaveTheWindowsResponsive()
    {
        QFETCH(int, kind);
        SoundFileWindow *other = docfix::openWindow(m_dir, QStringLiteral("other.wav"), docfix::spec(100));
        other->document()->waveform()->waitForFinished();
        const QString name = QStringLiteral("held-%1.wav").arg(kind);
        const QString path = m_dir.filePath(name);
        QPointer<SoundFileWindow> w = openHeld(name, Kind(kind));
        QPointer<SoundFile> doc = w->document();
        const QByteArray original = docfix::fileBytes(path);
        const QStringList files = QDir(m_dir.path()).entryList(QDir::Files);

        bool delivered = false;
        QMetaObject::invokeMethod(other, [&delivered] { delivered = true; }, Qt::QueuedConnection);
        QCoreApplication::processEvents();
        QTest::keyClicks(other->ui.stringComment, QStringLiteral("meanwhile"));
        QVERIFY(delivered && other->document()->text(MetadataField::Comment) == QStringLiteral("meanwhile"));
        QVERIFY(running(doc, Kind(kind)));

        // Closing stops the job and waits for its worker. A save or
        // conversion is cancelled first and the window closes once it has
        // reported; a save of an edited document then asks about the edits.
        QSignalSpy measured(doc->loudness(), &LoudnessJob::finished);
        w->close();
        const bool saving = kind == Save || kind == Conversion;
        QVERIFY(doc->isClosed() != saving && running(doc, Kind(kind)) == saving);
        if (kind == Save) {
            QTRY_VERIFY(w->closePrompt());
            w->closePrompt()->button(QMessageBox::Discard)->click();
        }
        QTRY_VERIFY(doc.isNull() && w.isNull());
        QVERIFY(measured.isEmpty());
        QCOMPARE(docfix::fileBytes(path), original);
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files), files);
    }

    void cancelOnTheSheet()
    {
        SoundFileWindow *w = openHeld(QStringLiteral("sheet.wav"), Save);
        const QByteArray original = docfix::fileBytes(w->document()->fileURL().toLocalFile());
        QSignalSpy finished(w->document(), &SoundFile::rewriteFinished);
        QVERIFY(w->ui.convertSheet->isVisible() && w->ui.convertSheet->isModal());
        w->findChild<QPushButton *>(QStringLiteral("convertCancelButton"))->click();
        QTRY_COMPARE(finished.count(), 1);
        QVERIFY(!finished.first().first().toBool() && w->ui.convertSheet->isHidden() && !w->failureAlert());
        QVERIFY(w->document()->isDocumentEdited());
        QCOMPARE(docfix::fileBytes(w->document()->fileURL().toLocalFile()), original);
    }
};

QTEST_MAIN(TestJobs)
#include "tst_jobs.moc"
