// Playback driven through the document: play/pause, seeking, the output
// channels, the end of the file, the peak scan while playing, closing.
#include "DocumentFixture.h"

#include "document/SoundFile.h"
#include "playback/AudioRenderer.h"

#include <QtTest>

class TestTransport : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    std::unique_ptr<SoundFile> tone(const QString &name, const fixtures::Spec &spec)
    {
        const QString path = docfix::make(m_dir, name, spec);
        return path.isEmpty() ? nullptr : docfix::open(path);
    }

private slots:
    void playPauseAndSeek()
    {
        auto doc = tone(QStringLiteral("toggle.wav"), docfix::spec(44100 * 10));
        QVERIFY(doc);
        QSignalSpy playing(doc.get(), &SoundFile::playingChanged);
        doc->play(nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(doc->position() > 0, 10000);
        doc->play(nullptr);
        QCOMPARE(playing.count(), 2);
        QVERIFY(!doc->isPlaying());

        QObject slider;
        slider.setProperty("value", 100000);
        doc->playSliderMoved(&slider);
        QCOMPARE(doc->position(), qint64(100000));
        QCOMPARE(doc->renderer()->currentPosition(), qint64(100000));
        // Without a sender the document stays where it is.
        doc->playSliderMoved(nullptr);
        QCOMPARE(doc->renderer()->currentPosition(), qint64(100000));
        // Closing while playing stops the output before the file goes.
        doc->play(nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(doc->renderer()->currentPosition() > 100000, 10000);
        doc->close();
        QVERIFY(!doc->renderer() && !doc->handle());
    }

    void outputMappingFollowsSenders()
    {
        const QString path = docfix::make(m_dir, QStringLiteral("mapping.wav"), docfix::spec(4410, 4));
        auto doc = docfix::open(path);
        QVERIFY(doc);
        QObject left, right, other;
        left.setObjectName(QStringLiteral("leftChannel"));
        left.setProperty("currentIndex", 2);
        right.setProperty("currentIndex", 0);
        doc->setOutputMapping(&left);
        doc->setOutputMapping(&right);
        doc->setOutputMapping(&other);
        doc->setOutputMapping(nullptr);
        float out[8];
        AudioRenderer::sf_coreaudio_render_proc(doc->renderer(), out, 4);
        const std::vector<double> items = fixtures::readRawDoubles(path);
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(out[2 * i], float(items[size_t(4 * i + 2)] / 32768.0));
            QCOMPARE(out[2 * i + 1], float(items[size_t(4 * i)] / 32768.0));
        }
    }

    void playsToTheEndAndRewinds_data()
    {
        QTest::addColumn<int>("format");
        QTest::newRow("seekable") << (SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        // GSM in WAV cannot seek: rewinding opens the file again.
        QTest::newRow("unseekable") << (SF_FORMAT_WAV | SF_FORMAT_GSM610);
    }
    void playsToTheEndAndRewinds()
    {
        QFETCH(int, format);
        auto doc = tone(QStringLiteral("short-%1.wav").arg(format), docfix::spec(2000, 1, format, 8000));
        QVERIFY(doc);
        for (int round = 0; round < 2; ++round) {
            doc->play(nullptr);
            QTRY_VERIFY_WITH_TIMEOUT(!doc->isPlaying(), 20000);
            QCOMPARE(doc->position(), qint64(0));
            QCOMPARE(doc->renderer()->currentPosition(), qint64(0));
        }
        // The scan reads through a handle of its own where the file cannot seek.
        doc->calculatePeak(nullptr);
        QVERIFY(doc->peaks().at(0) > 0);
    }

    void scanWhilePlayingResumesWhereItWas()
    {
        auto doc = tone(QStringLiteral("scan.wav"), docfix::spec(44100 * 30));
        QVERIFY(doc);
        doc->seekToFrame(44100 * 5);
        doc->calculatePeak(nullptr);
        QCOMPARE(doc->renderer()->currentPosition(), qint64(44100 * 5));
        doc->play(nullptr);
        const qint64 before = doc->position();
        doc->calculatePeak(nullptr);
        QVERIFY(doc->isPlaying());
        QVERIFY(doc->renderer()->currentPosition() >= before);
        QVERIFY(doc->renderer()->currentPosition() < before + 44100);
        doc->play(nullptr);
    }

};

QTEST_GUILESS_MAIN(TestTransport)
#include "tst_transport.moc"
