// The iXML tab and the channel names it brings: fields edited as the
// strings are, the track table, a chunk that must stay as it is, and the
// names of channels wherever one is chosen (routing pop-ups, the Convert
// and Peak tables, --peak).
#include "DocumentFixture.h"

#include "container/ChunkList.h"
#include "window/ChannelTableSource.h"
#include "window/IxmlTab.h"
#include "window/SoundFileWindow.h"
#include "window/TrackTableModel.h"

#include "CommandRun.h"
#include "RecorderTake.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using F = MetadataField;

class TestIxmlTab : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString write(const QString &name, const QByteArray &bytes)
    {
        const QString path = m_dir.filePath(name);
        return docfix::writeFileBytes(path, bytes) ? path : QString();
    }

private slots:
    void cleanup() { docfix::closeAllDocuments(); }

    void namesWhereChannelsAreChosen_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("names");
        const QStringList tracks{"Boom", "Lav 1", "Lav 2", "Plant", "Mix L", "Mix R"};
        QTest::newRow("track list") << recorder::take(6, recorder::ixml(tracks)) << tracks;
        QTest::newRow("channel mask, 5.1") << recorder::take(6, {}, 0x3f) << QStringList{"L", "R", "C", "LFE", "Ls", "Rs"};
        QTest::newRow("track list over mask") << recorder::take(2, recorder::ixml({"", "Lav"}), 0x3)
                                              << QStringList{"L", "Lav"};
        QTest::newRow("neither") << recorder::take(2, {}) << QStringList{"", ""};
    }
    void namesWhereChannelsAreChosen()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, names);
        const QString path = write(QStringLiteral("names.wav"), bytes);
        SoundFileWindow *w = docfix::openWindow(path);
        w->document()->calculatePeak(nullptr);
        QTRY_VERIFY(w->document()->peakScan()->measured());
        const CommandRun peak = runWavquill({"--peak", path});
        const QJsonArray json = QJsonDocument::fromJson(runWavquill({"--peak", "--json", path}).out.toUtf8())["peak"].toArray();
        for (int c = 0; c < names.size(); ++c) {
            const QString label = QStringLiteral("Channel #%1").arg(c) + (names[c].isEmpty() ? "" : " · " + names[c]);
            QCOMPARE(w->ui.leftChannel->itemText(c), label);
            QCOMPARE(w->ui.rightChannel->itemText(c), label);
            for (ChannelTableSource *model : {w->convertModel(), w->peakModel()})
                QCOMPARE(model->index(c, ChannelTableSource::NameColumn).data().toString(), names[c]);
            QVERIFY(peak.out.contains("\n  " + label + ": "));
            QCOMPARE(json[c]["name"].toString(), names[c]);
        }
        const bool unnamed = names.join(QString()).isEmpty();
        QCOMPARE(w->ui.convertTable->isColumnHidden(ChannelTableSource::NameColumn), unnamed);
        QCOMPARE(w->ui.peakTable->isColumnHidden(ChannelTableSource::NameColumn), unnamed);
    }

    // Typed like the strings: the document is edited, undo works, Revert
    // restores, and a save changes only the edited texts of the chunk.
    void tabEditsLikeTheStrings()
    {
        const QByteArray chunk = recorder::ixml();
        const QString path = write(QStringLiteral("take.wav"), recorder::take(2, chunk));
        SoundFileWindow *w = docfix::openWindow(path);
        SoundFile *doc = w->document();
        QVERIFY(w->ui.tabView->indexOf(w->ui.iXML) == w->ui.tabView->indexOf(w->ui.BEXT) + 1);
        QVERIFY(w->ui.ixmlProject->text() == "Nächte 🎬" && w->ui.ixmlScene->text() == "12A" && !w->ui.ixmlCircled->isChecked());
        QCOMPARE(w->ui.ixmlNote->toPlainText(), QStringLiteral("Wind & rain <3 é"));
        QCOMPARE(w->ui.ixmlSpeed->text(), QStringLiteral("25/1 · file 48000 Hz"));
        QVERIFY(w->ui.ixmlWarning->isHidden() && w->ui.ixmlText->isHidden());

        w->ui.ixmlScene->selectAll();
        w->ui.ixmlScene->insert(QStringLiteral("12B"));
        QVERIFY(doc->isDocumentEdited() && doc->text(F::IxmlScene) == "12B");
        w->ui.ixmlScene->undo();
        QCOMPARE(doc->text(F::IxmlScene), QStringLiteral("12A"));
        w->ui.ixmlScene->redo();
        w->ui.ixmlCircled->setChecked(true);
        TrackTableModel *tracks = qobject_cast<TrackTableModel *>(w->ui.ixmlTrackTable->model());
        QVERIFY(tracks->setData(tracks->index(1, TrackTableModel::NameColumn), QStringLiteral("Lav 2")));
        QCOMPARE(w->ui.leftChannel->itemText(1), QStringLiteral("Channel #1 · Lav 2"));
        w->ui.tabView->setCurrentWidget(w->ui.iXML);
        QVERIFY(w->grab().save(fixtures::artifactsDir() + QStringLiteral("/ixml-tab.png")));

        QVERIFY(docfix::save(*doc));
        QCOMPARE(readChunkOf(path, "iXML").value_or(""),
                 QByteArray(chunk).replace("12A", "12B").replace("FALSE", "TRUE").replace("Lav \xc3\x9c", "Lav 2"));
        w->ui.ixmlTake->setText(QStringLiteral("4"));
        DocumentError error;
        QVERIFY(doc->revertToSaved(&error));
        QVERIFY(!doc->isDocumentEdited() && w->ui.ixmlTake->text() == "3" && w->ui.ixmlCircled->isChecked());
        QCOMPARE(tracks->index(1, TrackTableModel::NameColumn).data().toString(), QStringLiteral("Lav 2"));
    }

    // A chunk that is not well-formed is shown as text, its fields cannot
    // be edited, and a save of other fields keeps it byte for byte.
    void malformedChunkIsKept()
    {
        const QByteArray chunk("<BWFXML><SCENE>5</SCENE><TRACK_LIST><TRACK><CHANNEL_INDEX>1</CHANNEL_INDEX>");
        const QString path = write(QStringLiteral("broken.wav"), recorder::take(2, chunk));
        SoundFileWindow *w = docfix::openWindow(path);
        SoundFile *doc = w->document();
        QVERIFY(w->ui.ixmlScene->isReadOnly() && w->ui.ixmlScene->text() == "5" && !w->ui.ixmlCircled->isEnabled());
        QVERIFY(!w->ui.ixmlWarning->isHidden() && w->ui.ixmlText->toPlainText() == QString::fromLatin1(chunk));
        QAbstractItemModel *tracks = w->ui.ixmlTrackTable->model();
        QVERIFY(!(tracks->flags(tracks->index(0, TrackTableModel::NameColumn)) & Qt::ItemIsEditable));
        doc->setText(F::IxmlScene, QStringLiteral("6"));
        DocumentError error;
        QVERIFY(!docfix::save(*doc, &error) && error.localizedFailureReason.contains("not well-formed"));
        doc->setText(F::IxmlScene, QStringLiteral("5"));
        doc->setText(F::Title, QStringLiteral("Kept"));
        QVERIFY(docfix::save(*doc));
        QCOMPARE(readChunkOf(path, "iXML").value_or(""), chunk);
    }
};

QTEST_MAIN(TestIxmlTab)
#include "tst_ixmltab.moc"
