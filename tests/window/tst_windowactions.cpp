// What the user does in the document window reaches the document: typing,
// the conversion choices, the output channels, the slider; and the window's
// answers: the alert after a failed save, the unsaved-changes prompt, the
// convert panel, opening files through the controller.
#include "DocumentFixture.h"

#include "rewrite/ReplacementFile.h"
#include "toolkit/DocumentController.h"
#include "window/ChannelTableSource.h"
#include "window/SoundFileWindow.h"
#include "window/TerminationWatcher.h"

#include <QFileDialog>
#include <QMessageBox>

#include <csignal>
#include <unistd.h>

class TestWindowActions : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    DocumentController &controller() { return DocumentController::sharedDocumentController(); }
private slots:
    void cleanup() { docfix::closeAllDocuments(); }

    // Opening a file whose save was cut short undoes that save first and
    // says so over the window, once.
    void interruptedSaveIsUndoneAndTold()
    {
        fixtures::Spec spec = docfix::spec(100);
        spec.strings[0] = QByteArray("Old");
        const QString path = docfix::make(m_dir, QStringLiteral("cut.wav"), spec);
        const QByteArray before = docfix::fileBytes(path);
        QVERIFY(docfix::cutSaveShort(path) && docfix::fileBytes(path) != before);
        SoundFileWindow *w = docfix::openWindow(path);
        auto *alert = w->findChild<QMessageBox *>(QStringLiteral("recoveryAlert"));
        QVERIFY(alert && alert->isVisible());
        QVERIFY(alert->text().contains(QStringLiteral("save of “cut.wav” was undone")));
        QCOMPARE(docfix::fileBytes(path), before);
        QCOMPARE(w->ui.stringTitle->text(), QStringLiteral("Old"));
        docfix::closeAllDocuments();
        QVERIFY(!docfix::openWindow(path)->findChild<QMessageBox *>(QStringLiteral("recoveryAlert")));
    }

    void editsReachTheDocument()
    {
        fixtures::Spec spec = docfix::spec(44100, 4);
        spec.bext = fixtures::bextRecord("d", "o", "r", "2024-01-01", "00:00:00", 0, 1, "", "");
        SoundFileWindow *w = docfix::openWindow(m_dir, QStringLiteral("edits.wav"), spec);
        SoundFile *doc = w->document();
        QTest::keyClick(w->ui.stringTitle, Qt::Key_A);
        QVERIFY(doc->text(MetadataField::Title) == "a" && doc->isDocumentEdited() && w->isWindowModified());
        w->ui.bextCodingHistory->setPlainText(QStringLiteral("A=PCM\nT=x"));
        QCOMPARE(doc->text(MetadataField::CodingHistory), QStringLiteral("A=PCM\nT=x"));
        w->ui.convertKeepBEXT->setChecked(false);
        // Only the check column takes a check, and only as a check state.
        QVERIFY(!w->convertModel()->setData(w->convertModel()->index(1, 0), Qt::Unchecked, Qt::CheckStateRole));
        QVERIFY(!w->convertModel()->setData(w->convertModel()->index(1, 1), Qt::Unchecked, Qt::EditRole));
        QVERIFY(w->convertModel()->setData(w->convertModel()->index(2, 1), Qt::Unchecked, Qt::CheckStateRole));
        QVERIFY(!doc->conversion().keepBext() && !doc->conversion().channelKept(2) && doc->conversion().channelKept(1));
        w->ui.convertFormat->setCurrentIndex(majorFormatIndex(SF_FORMAT_AIFF));
        QCOMPARE(w->ui.convertSubformat->count(), writableSubformats(majorFormatIndex(SF_FORMAT_AIFF)).size());
        w->ui.convertSubformat->setCurrentIndex(w->ui.convertSubformat->findText(QStringLiteral("Signed 24 bit PCM")));
        QCOMPARE(doc->conversion().format(), SF_FORMAT_AIFF | SF_FORMAT_PCM_24);
        w->ui.leftChannel->setCurrentIndex(3);
        w->ui.rightChannel->setCurrentIndex(2);
        QVERIFY(doc->transport()->outputChannel(true) == 3 && doc->transport()->outputChannel(false) == 2);
    }

    // While the user holds the slider, playback news does not move it; where
    // it is let go, playback goes.
    void sliderUnderTheHandStaysPut()
    {
        SoundFileWindow *w = docfix::openWindow(m_dir, QStringLiteral("drag.wav"), docfix::spec(44100 * 5));
        w->ui.playSlider->setSliderDown(true);
        w->ui.playSlider->setSliderPosition(44100 * 4);
        w->document()->transport()->seekToFrame(1000);
        QCOMPARE(w->ui.playSlider->sliderPosition(), 44100 * 4);
        w->ui.playSlider->setSliderDown(false);
        QVERIFY(w->document()->transport()->position() == 44100 * 4 && w->ui.playPos->text() == "0:00:04.000");
    }

    void failedSaveShowsAnAlert()
    {
        const QString path = docfix::make(m_dir, QStringLiteral("readonly.wav"), docfix::spec(100));
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner));
        SoundFileWindow *w = docfix::openWindow(path);
        w->ui.stringTitle->setText(QStringLiteral("x"));
        w->saveAction->trigger();
        QMessageBox *alert = w->failureAlert();
        QVERIFY(alert && alert->text() == "Unable to write file" && alert->informativeText().contains("read-only"));
        QVERIFY(alert->icon() == QMessageBox::Critical && alert->windowModality() == Qt::WindowModal);
        QVERIFY(alert->buttons().size() == 1 && alert->buttons().first()->text() == "Exit");
        alert->buttons().first()->click();
        QTRY_VERIFY(!w->failureAlert());
        QVERIFY(w->isWindowModified());
    }

    // Before a save splits a file's names the window asks; when another
    // program changed the file since it was read, it offers Save As or
    // Revert. Opening the file cleared what a killed save left beside it.
    void savesThatNeedTheUser_data()
    {
        QTest::addColumn<bool>("changedOnDisk");
        QTest::addColumn<bool>("fitsInPlace");
        QTest::newRow("two names") << false << false;
        // Written into the file itself: both names see the edit, nothing to ask.
        QTest::newRow("two names, in place") << false << true;
        QTest::newRow("changed by another program") << true << false;
    }
    void savesThatNeedTheUser()
    {
        QFETCH(bool, changedOnDisk);
        QFETCH(bool, fitsInPlace);
        fixtures::Spec spec = docfix::spec(100);
        if (fitsInPlace)
            spec.bext = fixtures::bextRecord("d", "o", "r", "2024-01-01", "00:00:00", 0, 1, "", "");
        const QString path = docfix::make(m_dir, QStringLiteral("user.wav"), spec);
        const QString other = m_dir.filePath("user-2.wav"), stale = m_dir.filePath(ReplacementFile::temporaryPrefix(path) + '0');
        QFile::remove(other);
        QVERIFY(::link(QFile::encodeName(path), QFile::encodeName(other)) == 0 && docfix::writeFileBytes(stale, "killed"));
        SoundFileWindow *w = docfix::openWindow(path);
        QVERIFY(!QFile::exists(stale) && (!changedOnDisk || QFile::remove(other)));
        (fitsInPlace ? w->ui.bextDescription : w->ui.stringTitle)->setText(QStringLiteral("x"));
        QFile disk(path);
        QVERIFY(!changedOnDisk || (disk.open(QIODevice::Append) && disk.write("more") == 4));
        disk.close();
        w->saveAction->trigger();
        if (fitsInPlace) {
            QTRY_VERIFY(!w->isWindowModified());
            QVERIFY(!w->findChild<QMessageBox *>(QStringLiteral("replaceQuestion")));
            for (const QString &name : {path, other})
                QCOMPARE(bextFieldBytes(docfix::metadataOf(name).bext, BextField::Description), QByteArray("x"));
            return;
        }
        // The failure comes back from the save's worker.
        QMessageBox *box = nullptr;
        QTRY_VERIFY((box = changedOnDisk ? w->failureAlert() : w->findChild<QMessageBox *>(QStringLiteral("replaceQuestion"))));
        QVERIFY((box->text() + box->informativeText()).contains(changedOnDisk ? "was changed by another program"
                                                                       : "has 2 names; saving will give this name a file of its own"));
        for (QAbstractButton *button : box->buttons())
            if (button->text() == (changedOnDisk ? "Revert" : "Save"))
                button->click();
        QTRY_VERIFY(!w->isWindowModified());
        QCOMPARE(docfix::metadataOf(path).strings[0].value_or(""), changedOnDisk ? "" : "x");
        QCOMPARE(w->ui.stringTitle->text(), changedOnDisk ? "" : "x");
        QVERIFY(changedOnDisk || !docfix::metadataOf(other).strings[0]);
    }

    // SIGTERM closes every document without asking, unsaved edits dropped,
    // and asks for the status a shell expects.
    void terminationClosesTheDocuments()
    {
        TerminationWatcher watcher;
        QSignalSpy ended(&watcher, &TerminationWatcher::terminated);
        const QString path = docfix::make(m_dir, QStringLiteral("term.wav"), docfix::spec(100));
        const QByteArray before = docfix::fileBytes(path);
        docfix::openWindow(path)->ui.stringTitle->setText(QStringLiteral("unsaved"));
        ::raise(SIGTERM);
        QTRY_COMPARE(ended.count(), 1);
        QCOMPARE(ended.first().first().toInt(), 143);
        QVERIFY(controller().documents().isEmpty());
        QCOMPARE(docfix::fileBytes(path), before);
    }

    void closePromptCancelThenDiscard()
    {
        QPointer<SoundFileWindow> w = docfix::openWindow(m_dir, QStringLiteral("prompt.wav"), docfix::spec(100));
        w->ui.stringComment->setText(QStringLiteral("changed"));
        QVERIFY(!w->close());
        w->closePrompt()->button(QMessageBox::Cancel)->click();
        QTRY_VERIFY(!w->closePrompt());
        QCOMPARE(controller().documents().size(), 1);
        QVERIFY(!w->close());
        w->closePrompt()->button(QMessageBox::Discard)->click();
        QTRY_VERIFY(controller().documents().isEmpty());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(w.isNull());
    }

    // Convert asks for a name in a window-modal panel; the new file opens as
    // a document of its own, and what its format cannot keep is reported.
    void convertThroughThePanel()
    {
        fixtures::Spec spec = docfix::spec(70000, 4);
        spec.strings[5] = QByteArray("2026-12-06");
        SoundFileWindow *w = docfix::openWindow(m_dir, QStringLiteral("four.1.wav"), spec);
        w->ui.convertFormat->setCurrentIndex(majorFormatIndex(SF_FORMAT_AIFF));
        w->convertAction->trigger();
        auto *panel = w->findChild<QFileDialog *>(QStringLiteral("convertPanel"));
        QVERIFY(panel && panel->windowModality() == Qt::WindowModal);
        QVERIFY(panel->selectedFiles().value(0).endsWith(QStringLiteral("/four.1.aiff")));
        QMetaObject::invokeMethod(panel, "accept");
        QTRY_COMPARE(controller().documents().size(), 2);
        QVERIFY(controller().documentForURL(QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("four.1.aiff")))));
        QVERIFY(w->ui.convertProgress->value() == 100 && w->ui.convertSheet->isHidden());
        auto *warning = w->findChild<QMessageBox *>(QStringLiteral("rewriteWarningAlert"));
        QVERIFY(warning && warning->informativeText().contains(QStringLiteral("the date")));
    }

    void openingThroughTheController()
    {
        const QString a = docfix::make(m_dir, QStringLiteral("a.wav"), docfix::spec(10));
        const QString b = docfix::make(m_dir, QStringLiteral("b.flac"), docfix::spec(10, 2, SF_FORMAT_FLAC | SF_FORMAT_PCM_16));
        QVERIFY(docfix::writeFileBytes(m_dir.filePath(QStringLiteral("notes.wav")), "not sound"));
        // A link to an open file brings its window forward instead.
        QVERIFY(QFile::link(a, m_dir.filePath(QStringLiteral("link.wav"))));
        const QList<QMessageBox *> alerts = controller().openFiles(
            {a, b, m_dir.filePath(QStringLiteral("notes.wav")), m_dir.filePath(QStringLiteral("link.wav"))}, nullptr);
        QCOMPARE(controller().documents().size(), 2);
        QVERIFY(SoundFileWindow::forDocument(controller().documents()[0]) != SoundFileWindow::forDocument(controller().documents()[1]));
        QVERIFY(alerts.size() == 1 && alerts[0]->text().startsWith(QStringLiteral("notes.wav")));
    }
};

QTEST_MAIN(TestWindowActions)
#include "tst_windowactions.moc"
