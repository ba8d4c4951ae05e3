// The Peak tab's Fixity group: each verdict as the window shows it, and the
// computed MD5 stored in a WAV or RF64 file by Store in file and a save,
// where a later title save keeps it (each save's refill reads it back).
#include "DocumentFixture.h"

#include "document/ChecksumJob.h"
#include "window/SoundFileWindow.h"

class TestFixityUi : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    // Clicks Compute and applies the result.
    static void compute(SoundFileWindow *w)
    {
        QTest::mouseClick(w->ui.md5Compute, Qt::LeftButton);
        QCOMPARE(w->ui.md5Compute->text(), QStringLiteral("Cancel"));
        w->document()->checksum()->waitForFinished();
        QCOMPARE(w->ui.md5Compute->text(), QStringLiteral("Compute"));
    }

private slots:
    void cleanup() { docfix::closeAllDocuments(); }

    void showsEachVerdict_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<bool>("embeds");
        QTest::addColumn<QString>("verdict"); // before anything is stored
        const QString none = QStringLiteral("no checksum stored");
        QTest::newRow("pcm16.wav") << (SF_FORMAT_WAV | SF_FORMAT_PCM_16) << true << none;
        QTest::newRow("pcm24.rf64") << (SF_FORMAT_RF64 | SF_FORMAT_PCM_24) << true << none;
        QTest::newRow("pcm16.aiff") << (SF_FORMAT_AIFF | SF_FORMAT_PCM_16) << false << none;
        QTest::newRow("pcm16.flac") << (SF_FORMAT_FLAC | SF_FORMAT_PCM_16) << false << QStringLiteral("matches the stored checksum");
    }
    void showsEachVerdict()
    {
        QFETCH(int, format);
        QFETCH(bool, embeds);
        QFETCH(QString, verdict);
        SoundFileWindow *w = docfix::openWindow(m_dir, QTest::currentDataTag(), docfix::spec(4410, 2, format));
        w->ui.tabView->setCurrentWidget(w->ui.Peak);
        const QString path = w->document()->fileURL().toLocalFile();
        compute(w);
        const QString digest = md5Text(computeAudioChecksum(path).computed);
        QCOMPARE(w->ui.md5Computed->text(), digest);
        QCOMPARE(w->ui.md5Status->text(), verdict);
        QCOMPARE(w->ui.md5Stored->text(), verdict.startsWith(u'm') ? digest : QStringLiteral("none stored"));
        QCOMPARE(w->ui.md5Embed->isVisible(), embeds);
        if (!embeds)
            return;

        // Stored as an edit; the save writes it and the refill reads it back.
        QVERIFY(w->ui.md5Embed->isEnabled() && !w->isWindowModified());
        QTest::mouseClick(w->ui.md5Embed, Qt::LeftButton);
        QVERIFY(w->isWindowModified() && !w->ui.md5Embed->isEnabled());
        QVERIFY(docfix::save(*w->document()));
        QCOMPARE(w->ui.md5Stored->text(), digest);
        QCOMPARE(w->ui.md5Computed->text(), QStringLiteral("—"));
        compute(w);
        QCOMPARE(w->ui.md5Status->text(), QStringLiteral("matches the stored checksum"));
        QVERIFY(w->grab().save(fixtures::artifactsDir() + QStringLiteral("/fixity-%1.png").arg(QTest::currentDataTag())));

        // A title save leaves the chunk as it was.
        w->ui.stringTitle->setText(QStringLiteral("title"));
        QVERIFY(docfix::save(*w->document()));
        QCOMPARE(w->ui.md5Stored->text(), digest);

        // One audio byte changed behind the document's back.
        QByteArray bytes = docfix::fileBytes(path);
        bytes[bytes.size() / 2] = char(bytes[bytes.size() / 2] ^ 0x5a);
        QVERIFY(docfix::writeFileBytes(path, bytes));
        compute(w);
        QCOMPARE(w->ui.md5Status->text(), QStringLiteral("does not match: the audio differs from when the checksum was stored"));
        QVERIFY(w->ui.md5Embed->isEnabled());
    }
};

QTEST_MAIN(TestFixityUi)
#include "tst_fixityui.moc"
