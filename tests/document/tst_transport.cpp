// Play/pause, the position slider and text, the channel pop-ups and the end
// of the file, driven through the document.
#include "DocumentFixture.h"
#include "Fixtures.h"

#include "document/SoundFile.h"
#include "playback/AudioRenderer.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

class TestTransport : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    SoundFile *openTone(const QString &name, int channels, sf_count_t frames, int rate = 44100)
    {
        const QString path = m_dir.filePath(name);
        fixtures::Spec spec;
        spec.channels = channels;
        spec.frames = frames;
        spec.samplerate = rate;
        return fixtures::write(path, spec) ? fixtures::openDocument(path) : nullptr;
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }
    void cleanup() { fixtures::closeAllDocuments(); }

    void playTogglesState()
    {
        SoundFile *doc = openTone(QStringLiteral("toggle.wav"), 2, 44100 * 10);
        QVERIFY(doc);
        QCOMPARE(doc->playButton->text(), QStringLiteral("play"));
        QVERIFY(!doc->timer);
        doc->playButton->click();
        QVERIFY(doc->isPlaying);
        QVERIFY(doc->timer);
        QCOMPARE(doc->timer->interval(), 100);
        QCOMPARE(doc->playButton->text(), QStringLiteral("pause"));
        doc->play(nullptr);
        QVERIFY(!doc->isPlaying);
        QVERIFY(!doc->timer);
        QCOMPARE(doc->playButton->text(), QStringLiteral("play"));
    }

    void sliderMovesWhileStopped()
    {
        SoundFile *doc = openTone(QStringLiteral("slider.wav"), 2, 44100 * 10);
        QVERIFY(doc);
        doc->playSlider->setValue(100000);
        QCOMPARE(doc->playPos->text(), QStringLiteral("0:00:02.267"));
        QCOMPARE(doc->audioRenderer->currentPosition(), qint64(100000));
        // The text follows the slider, never the renderer directly.
        doc->updatePlayPos();
        QCOMPARE(doc->playPos->text(), QStringLiteral("0:00:02.267"));
    }

    void outputMappingFollowsPopUps()
    {
        SoundFile *doc = openTone(QStringLiteral("mapping.wav"), 4, 4410);
        QVERIFY(doc);
        // Render straight from the renderer: left gets channel 2, right channel 0.
        doc->leftChannel->setCurrentIndex(2);
        doc->rightChannel->setCurrentIndex(0);
        float out[8];
        AudioRenderer::sf_coreaudio_render_proc(doc->audioRenderer, out, 4);
        std::vector<double> items = fixtures::readRawDoubles(m_dir.filePath(QStringLiteral("mapping.wav")));
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(double(out[2 * i]), double(float(items[size_t(4 * i + 2)] / 32768.0)));
            QCOMPARE(double(out[2 * i + 1]), double(float(items[size_t(4 * i)] / 32768.0)));
        }
        // Senders that are not pop-ups change nothing and do not crash.
        doc->setOutputMapping(nullptr);
        doc->setOutputMapping(doc->playButton);
    }

    void nullSendersAreSafe()
    {
        SoundFile *doc = openTone(QStringLiteral("null.wav"), 1, 1000);
        QVERIFY(doc);
        doc->playSliderMoved(nullptr);
        doc->convertFormatSelected(nullptr);
        doc->filePositionChanged();
        doc->eof();
        QVERIFY(!doc->isPlaying);
        QCOMPARE(doc->playSlider->value(), 0);
    }

    void playsToTheEndAndRewinds()
    {
        SoundFile *doc = openTone(QStringLiteral("short.wav"), 2, 44100 / 4);
        QVERIFY(doc);
        QSignalSpy eofSpy(doc->audioRenderer, &AudioRenderer::eof);
        doc->play(doc->playButton);
        QVERIFY(doc->isPlaying);
        QTRY_VERIFY_WITH_TIMEOUT(!doc->isPlaying, 20000);
        QCOMPARE(eofSpy.count(), 1);
        QCOMPARE(doc->playButton->text(), QStringLiteral("play"));
        QVERIFY(!doc->timer);
        QCOMPARE(doc->playSlider->value(), 0);
        QCOMPARE(doc->playPos->text(), QStringLiteral("0:00:00.000"));
        QCOMPARE(doc->audioRenderer->currentPosition(), qint64(0));
    }

    void sliderFollowsPlayback()
    {
        SoundFile *doc = openTone(QStringLiteral("follow.wav"), 1, 44100 * 5);
        QVERIFY(doc);
        doc->play(doc->playButton);
        QTRY_VERIFY_WITH_TIMEOUT(doc->playSlider->value() > 0, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(doc->playPos->text() != QStringLiteral("0:00:00.000"), 10000);
        doc->play(doc->playButton);
        const qint64 stoppedAt = doc->audioRenderer->currentPosition();
        QTest::qWait(200);
        QCOMPARE(doc->audioRenderer->currentPosition(), stoppedAt);
    }

    void closingWhilePlayingStopsFirst()
    {
        SoundFile *doc = openTone(QStringLiteral("close.wav"), 2, 44100 * 5);
        QVERIFY(doc);
        doc->play(doc->playButton);
        QTest::qWait(50);
        doc->close();
        QVERIFY(!doc->audioRenderer);
        QVERIFY(!doc->timer);
        QVERIFY(!doc->sndfile);
    }
};

QTEST_MAIN(TestTransport)
#include "tst_transport.moc"
