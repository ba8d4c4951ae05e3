// The document window filling itself from its document: the Properties
// labels, the tabs a container offers, the channel lists, the metadata
// fields, the peak tab; and the names a screen reader announces.
#include "DocumentFixture.h"

#include "cli/FileReport.h"
#include "window/FieldControls.h"
#include "window/SoundFileWindow.h"

#include <QAccessible>

class TestWindowSetup : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void cleanup() { docfix::closeAllDocuments(); }

    void tabsAndLists_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("channels");
        QTest::addColumn<bool>("strings");
        QTest::addColumn<bool>("bext");
        QTest::newRow("wav") << (SF_FORMAT_WAV | SF_FORMAT_PCM_16) << 1 << true << true;
        QTest::newRow("rf64") << (SF_FORMAT_RF64 | SF_FORMAT_PCM_16) << 2 << true << true;
        QTest::newRow("aiff") << (SF_FORMAT_AIFF | SF_FORMAT_PCM_16) << 2 << true << false;
        QTest::newRow("flac") << (SF_FORMAT_FLAC | SF_FORMAT_PCM_16) << 2 << true << false;
        QTest::newRow("au, 300 channels") << (SF_FORMAT_AU | SF_FORMAT_PCM_16) << 300 << false << false;
    }
    void tabsAndLists()
    {
        QFETCH(int, format);
        QFETCH(int, channels);
        QFETCH(bool, strings);
        QFETCH(bool, bext);
        SoundFileWindow *w = docfix::openWindow(m_dir, QString::fromLatin1(QTest::currentDataTag()), docfix::spec(100, channels, format));
        QVERIFY((w->ui.tabView->indexOf(w->ui.Strings) >= 0) == strings && (w->ui.tabView->indexOf(w->ui.BEXT) >= 0) == bext);
        // AIFF keeps no date: the field says so instead of taking text.
        const bool noDate = (format & SF_FORMAT_TYPEMASK) == SF_FORMAT_AIFF || !strings;
        QVERIFY(w->ui.stringDate->isReadOnly() == noDate && w->ui.stringDate->toolTip().isEmpty() != noDate);
        // The Properties labels show the command line's report, label by label.
        const SoundFile *doc = w->document();
        for (const ReportField &field : propertiesSection(nullptr, doc->info(), doc->fileSize()).fields)
            QVERIFY2(reportLabel(w->ui, field.key)->text() == field.text, qPrintable(field.key));
        // Up to 256 channels are listed; a note says so when there are more.
        const int listed = std::min(channels, 256);
        for (QComboBox *popUp : {w->ui.leftChannel, w->ui.rightChannel})
            QVERIFY(popUp->count() == listed && popUp->itemText(listed - 1).startsWith(QStringLiteral("Channel #%1").arg(listed - 1)));
        QVERIFY(w->ui.rightChannel->currentIndex() == (channels > 1) && w->ui.convertTable->model()->rowCount() == listed);
        QCOMPARE(w->ui.convertChannelsNote->isHidden(), channels <= 256);
    }

    // A conversion onto the document's own path refills the window for
    // another container: tabs go and come back, in place and once each.
    void tabsReturnAfterAConversionInPlace()
    {
        SoundFileWindow *w = docfix::openWindow(m_dir, QStringLiteral("inplace.wav"), docfix::spec(100));
        QTabWidget *tabs = w->ui.tabView;
        const int count = tabs->count();
        for (int format : {SF_FORMAT_AU | SF_FORMAT_PCM_16, SF_FORMAT_WAV | SF_FORMAT_PCM_16}) {
            QVERIFY(docfix::chooseConvertFormat(*w->document(), format) && w->document()->convertToURL(w->document()->fileURL(), true));
            QCOMPARE(tabs->indexOf(w->ui.BEXT) >= 0, (format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAV);
        }
        QVERIFY(tabs->count() == count && tabs->indexOf(w->ui.Strings) == 1 && tabs->indexOf(w->ui.BEXT) == 2);
    }

    void fieldsShowTheDocument_data()
    {
        QTest::addColumn<bool>("withBext");
        QTest::newRow("broadcast wave") << true;
        QTest::newRow("plain wave") << false;
    }
    void fieldsShowTheDocument()
    {
        QFETCH(bool, withBext);
        fixtures::Spec spec = docfix::spec(4800, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_24, 48000);
        for (int i = 0; i < 6; ++i)
            spec.strings[size_t(i)] = QByteArray("String ") + char('1' + i);
        if (withBext)
            spec.bext = fixtures::bextRecord(QByteArray(256, 'd'), "WavQuill", "WQ-0001", "2026-12-06", "09:30:00",
                                             48000ull * 3600 + 1234, 2, QByteArray("\x06\x0a\x2b\0\x01\x01", 6),
                                             "A=PCM,F=48000,W=24,M=stereo,T=Recorder\r\nA=PCM,T=WavQuill\r\n");
        SoundFileWindow *w = docfix::openWindow(m_dir, QStringLiteral("fields-%1.wav").arg(withBext), spec);
        for (int i = 0; i < kMetadataFieldCount; ++i) {
            if (fieldFacts(MetadataField(i)).store == FieldStore::Ixml)
                continue; // the iXML tab's own tests
            QWidget *control = fieldControl(w->ui, MetadataField(i));
            auto *edit = qobject_cast<QPlainTextEdit *>(control);
            const QString text = edit ? edit->toPlainText() : qobject_cast<QLineEdit *>(control)->text();
            QVERIFY(text == w->document()->text(MetadataField(i)) && text.isEmpty() == (!withBext && i >= kStringFieldCount));
        }
        QVERIFY(w->ui.convertKeepBEXT->isEnabled() == withBext && w->ui.convertKeepBEXT->isChecked() == withBext
                && !w->isWindowModified() && !w->document()->isDocumentEdited());
        if (!withBext)
            return;
        QVERIFY(w->ui.bextDescription->text().size() == 256 && w->ui.bextTimecode->text() == "001:00:00:1234");
        // Typing stops where the record's field is full.
        w->ui.bextOriginationTime->clear();
        QTest::keyClicks(w->ui.bextOriginationTime, "10:11:12:13");
        QCOMPARE(w->ui.bextOriginationTime->text(), QStringLiteral("10:11:12"));
        // The binary UMID in full, in hexadecimal.
        QCOMPARE(w->ui.bextUMID->toolTip().left(13), QStringLiteral("060a2b00 0101"));
    }

    void peakTab()
    {
        const QString path = m_dir.filePath(QStringLiteral("peaks.wav"));
        QVERIFY(fixtures::writeRawDoubles(path, docfix::spec(0), {-32768, 100, 32767, -200}));
        SoundFileWindow *w = docfix::openWindow(path);
        QVERIFY(w->ui.peakTable->isHidden() && !w->ui.peakNotYet->isHidden());
        w->ui.peakCalculate->click();
        w->document()->waitForJobs();
        QVERIFY(!w->ui.peakTable->isHidden() && w->ui.peakNotYet->isHidden() && w->ui.peakCalculate->isHidden()
                && w->ui.peakProgress->isHidden() && !w->peakAction->isEnabled());
        QCOMPARE(w->ui.peakTable->model()->index(0, 1).data().toString(), QStringLiteral("0.00 dB"));
        QCOMPARE(w->ui.peakTable->model()->index(1, 1).data().toString(), QStringLiteral("-44.29 dB"));
        // A refill (after a save in place) starts the tab afresh.
        w->ui.stringTitle->setText(QStringLiteral("saved"));
        w->saveAction->trigger();
        w->document()->waitForJobs();
        QVERIFY(!w->document()->isDocumentEdited() && w->ui.peakTable->isHidden() && !w->ui.peakCalculate->isHidden()
                && w->peakAction->isEnabled());
    }

    // Every named control of the window (uic names form labels after their
    // text) has a name for screen readers; those a user operates differ.
    void everyControlIsNamed()
    {
        SoundFileWindow *window = docfix::openWindow(m_dir, QStringLiteral("names.wav"), docfix::spec(100));
        QHash<QString, QString> controls;
        int named = 0;
        for (QWidget *w : window->findChildren<QWidget *>()) {
            if (w->objectName().isEmpty() || w->objectName().startsWith(QLatin1String("qt_")))
                continue;
            ++named;
            QVERIFY2(!QAccessible::queryAccessibleInterface(w)->text(QAccessible::Name).isEmpty(), qPrintable(w->objectName()));
            if (w->focusPolicy() == Qt::NoFocus)
                continue;
            QVERIFY2(!controls.contains(w->accessibleName()), qPrintable(controls.value(w->accessibleName()) + " and " + w->objectName()));
            controls.insert(w->accessibleName(), w->objectName());
        }
        QVERIFY2(named >= 50, qPrintable(QString::number(named)));
        QVERIFY(QAccessible::queryAccessibleInterface(window)->text(QAccessible::Name).contains(QStringLiteral("names.wav")));
    }
};

QTEST_MAIN(TestWindowSetup)
#include "tst_windowsetup.moc"
