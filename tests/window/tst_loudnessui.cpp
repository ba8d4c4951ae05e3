// Loudness in the window and on the command line: the Peak tab's labels and
// --loudness show the engine's texts (JSON its numbers, null for silence);
// while a measurement runs the window takes typing, playback plays and the
// button cancels.
#include "DocumentFixture.h"

#include "filelogic/BextLoudness.h"
#include "CommandRun.h"
#include "window/SoundFileWindow.h"

#include <QJsonDocument>
#include <QJsonObject>

class TestLoudnessUi : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_long;

    static QStringList shown(SoundFileWindow *w)
    {
        QStringList texts;
        for (QLabel *label : {w->ui.loudnessIntegrated, w->ui.loudnessRange, w->ui.loudnessTruePeak,
                              w->ui.loudnessMaxMomentary, w->ui.loudnessMaxShortTerm})
            texts << label->text();
        return texts;
    }
    // What the command line prints; its complaints when it fails.
    static QString run(const QStringList &args)
    {
        const CommandRun r = runWavquill(args);
        return r.status == 0 && r.err.isEmpty() ? r.out : r.err;
    }

private slots:
    void initTestCase()
    {
        // 15 minutes, so a measurement outlasts the checks made during it;
        // written a period at a time, as a generator per sample is slow.
        SF_INFO info{0, 48000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0, 0};
        m_long = m_dir.filePath(QStringLiteral("long.wav"));
        SNDFILE *f = sf_open(QFile::encodeName(m_long).constData(), SFM_WRITE, &info);
        std::vector<short> period(4800);
        for (size_t i = 0; i < period.size(); ++i)
            period[i] = short(int(i % 97) * 60 - 2900);
        for (int i = 0; f && i < 15 * 600; ++i)
            sf_writef_short(f, period.data(), 4800);
        QVERIFY(f && sf_close(f) == 0);
    }
    void cleanup() { docfix::closeAllDocuments(); }

    void windowAndCommandLineShowTheEngine_data()
    {
        QTest::addColumn<double>("dbfs");
        QTest::newRow("-23 dBFS sine") << -23.0;
        QTest::newRow("silence") << -HUGE_VAL;
    }
    void windowAndCommandLineShowTheEngine()
    {
        QFETCH(double, dbfs);
        const QString path = docfix::make(m_dir, QStringLiteral("%1.wav").arg(QTest::currentDataTag()),
                                          {SF_FORMAT_WAV | SF_FORMAT_PCM_24, 2, 48000, 5 * 48000, {}, {}},
                                          [a = std::pow(10.0, dbfs / 20)](sf_count_t n, int) { return a * std::sin(n * 2 * M_PI / 48); });
        SoundFileWindow *w = docfix::openWindow(path);
        QSignalSpy measured(w->document()->loudness(), &LoudnessJob::finished);
        QTest::mouseClick(w->ui.loudnessMeasure, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(measured.count(), 1, 120000);
        const LoudnessResult r = measureLoudness(path);
        const QStringList texts{loudnessText(r.integrated), loudnessRangeText(r.range), truePeakText(r.truePeak),
                                loudnessText(r.maxMomentary), loudnessText(r.maxShortTerm)};
        QCOMPARE(shown(w), texts);
        QVERIFY(w->ui.loudnessMeasure->text() == QStringLiteral("Measure Loudness") && w->ui.loudnessProgress->isHidden());

        const char *captions[] = {"Integrated loudness", "Loudness range", "True peak", "Maximum momentary", "Maximum short-term"};
        const char *keys[] = {"integrated", "range", "truePeak", "maxMomentary", "maxShortTerm"};
        const double values[] = {r.integrated, r.range, r.truePeak, r.maxMomentary, r.maxShortTerm};
        QString expected = path + "\nLoudness";
        for (int i = 0; i < 5; ++i)
            expected += QStringLiteral("\n  %1: %2").arg(QLatin1String(captions[i]), texts[i]);
        QCOMPARE(run({"--loudness", path}), expected + u'\n');
        // Copy to BEXT fills the record's fields; a value of -inf leaves its field empty.
        QVERIFY(w->ui.loudnessCopyToBext->isEnabled() && !w->isWindowModified());
        QTest::mouseClick(w->ui.loudnessCopyToBext, Qt::LeftButton);
        const QLineEdit *fields[] = {w->ui.bextLoudnessValue, w->ui.bextLoudnessRange, w->ui.bextMaxTruePeakLevel,
                                     w->ui.bextMaxMomentaryLoudness, w->ui.bextMaxShortTermLoudness};
        for (int i = 0; i < 5; ++i)
            QCOMPARE(fields[i]->text(), bextLoudnessTextFor(values[i]));
        QVERIFY(w->isWindowModified() && fields[0]->text().isEmpty() == !std::isfinite(r.integrated));
        const QJsonObject json = QJsonDocument::fromJson(run({"--loudness", "--json", path}).toUtf8())["loudness"].toObject();
        QCOMPARE(json.size(), 5);
        for (int i = 0; i < 5; ++i)
            QVERIFY2(std::isfinite(values[i]) ? json[keys[i]].toDouble(qQNaN()) == values[i] : json[keys[i]].isNull(), keys[i]);
    }

    // libebur128 takes up to 64 channels: the file is named, and why.
    void refusedOnTheCommandLine()
    {
        const QString path = docfix::make(m_dir, QStringLiteral("wide.wav"), {SF_FORMAT_WAV | SF_FORMAT_PCM_16, 65, 44100, 100, {}, {}});
        QVERIFY2(run({"--loudness", path}).startsWith("wavquill: " + path + ": Loudness is measured for up to 64"), qPrintable(path));
    }

    void typingAndPlaybackGoOnWhileMeasuring()
    {
        SoundFileWindow *w = docfix::openWindow(m_long);
        SoundFile *doc = w->document();
        doc->play(nullptr);
        QTest::mouseClick(w->ui.loudnessMeasure, Qt::LeftButton);
        QVERIFY(doc->loudness()->isRunning() && w->ui.loudnessMeasure->text() == QStringLiteral("Cancel"));
        w->ui.tabView->setCurrentWidget(w->ui.Strings);
        QTest::keyClicks(w->ui.stringTitle, QStringLiteral("typed"));
        QCOMPARE(doc->text(MetadataField::Title), QStringLiteral("typed"));
        const qint64 start = doc->transport()->renderer()->currentPosition();
        QTRY_VERIFY_WITH_TIMEOUT(doc->transport()->renderer()->currentPosition() > start, 30000);
        QTRY_VERIFY(w->ui.loudnessProgress->value() > 0);
        QVERIFY(doc->transport()->isPlaying() && doc->loudness()->isRunning());

        // The button cancels: nothing is kept, playback goes on.
        QTest::mouseClick(w->ui.loudnessMeasure, Qt::LeftButton);
        QTRY_VERIFY(!doc->loudness()->isRunning());
        QVERIFY(!doc->loudness()->result().ok && doc->transport()->isPlaying() && w->ui.loudnessProgress->isHidden());
        QCOMPARE(w->ui.loudnessMeasure->text(), QStringLiteral("Measure Loudness"));
        QCOMPARE(shown(w), QStringList(5, QStringLiteral("—")));
    }
};

QTEST_MAIN(TestLoudnessUi)
#include "tst_loudnessui.moc"
