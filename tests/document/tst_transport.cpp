// Playback driven through the document: the output channels, play/pause,
// seeking, the end of the file, the peak scan while playing, closing.
#include "DocumentFixture.h"

class TestTransport : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void mapSeekPlayAndClose()
    {
        const QString path = docfix::make(m_dir, QStringLiteral("four.wav"), docfix::spec(44100 * 10, 4));
        auto doc = docfix::open(path);
        QObject left, right;
        left.setProperty(SoundFile::kFeedsLeftOutput, true);
        left.setProperty("currentIndex", 2);
        right.setProperty("currentIndex", 0);
        doc->setOutputMapping(&left);
        doc->setOutputMapping(&right);
        doc->setOutputMapping(nullptr);
        doc->transport()->seekToFrame(100);
        float out[2];
        AudioRenderer::sf_coreaudio_render_proc(doc->transport()->renderer(), out, 1);
        const std::vector<double> items = fixtures::readRawDoubles(path);
        QVERIFY(out[0] == float(items[402] / 32768) && out[1] == float(items[400] / 32768) && out[0] != out[1]);
        // After a save in place the renderer reads the new file's handle
        // (the old one is closed behind it), with the mapping set anew.
        doc->setText(MetadataField::Title, QStringLiteral("again"));
        QVERIFY(docfix::save(*doc));
        doc->transport()->seekToFrame(100);
        AudioRenderer::sf_coreaudio_render_proc(doc->transport()->renderer(), out, 1);
        QVERIFY(out[0] == float(items[400] / 32768) && out[1] == float(items[401] / 32768));

        QObject slider;
        slider.setProperty("value", 100000);
        doc->playSliderMoved(&slider);
        doc->playSliderMoved(nullptr);
        QVERIFY(doc->transport()->position() == 100000 && doc->transport()->renderer()->currentPosition() == 100000);
        QSignalSpy playing(doc->transport(), &Transport::playingChanged);
        doc->play(nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(doc->transport()->position() > 100000, 10000);
        // Closing while playing stops the output before the file goes.
        QSignalSpy closed(doc.get(), &SoundFile::closed);
        doc->close();
        doc->close();
        QVERIFY(playing.count() == 1 && closed.count() == 1 && !doc->transport()->renderer());
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
        auto doc = docfix::open(docfix::make(m_dir, QStringLiteral("end-%1.wav").arg(format), docfix::spec(2000, 1, format, 8000)));
        for (int round = 0; round < 2; ++round) {
            doc->play(nullptr);
            QTRY_VERIFY_WITH_TIMEOUT(!doc->transport()->isPlaying(), 20000);
            QVERIFY(doc->transport()->position() == 0 && doc->transport()->renderer()->currentPosition() == 0);
        }
        // The scan reads through a handle of its own where the file cannot seek.
        doc->calculatePeak(nullptr);
        doc->waitForJobs();
        QVERIFY(doc->peakScan()->peaks().at(0) > 0);
    }

    // The scan reads a handle of its own: what plays next follows on from
    // where playback stood, stopped or playing.
    void scanLeavesPlaybackAlone()
    {
        const QString path = docfix::make(m_dir, QStringLiteral("scan.wav"), docfix::spec(44100 * 30));
        auto doc = docfix::open(path);
        doc->transport()->seekToFrame(44100 * 5);
        doc->calculatePeak(nullptr);
        doc->waitForJobs();
        std::vector<float> out(2 * 200000);
        AudioRenderer::sf_coreaudio_render_proc(doc->transport()->renderer(), out.data(), 200000);
        doc->transport()->renderer()->update_buffer();
        AudioRenderer::sf_coreaudio_render_proc(doc->transport()->renderer(), out.data(), 200000);
        const std::vector<double> items = fixtures::readRawDoubles(path);
        const size_t last = (44100 * 5 + 399999) * 2;
        QVERIFY(out[399998] == float(items[last] / 32768) && out[399999] == float(items[last + 1] / 32768) && out[399999] != 0);
        doc->play(nullptr);
        const AudioRenderer *renderer = doc->transport()->renderer();
        const qint64 before = renderer->currentPosition();
        doc->calculatePeak(nullptr);
        doc->waitForJobs();
        QVERIFY(doc->transport()->isPlaying() && renderer->currentPosition() >= before && renderer->currentPosition() < before + 44100);
    }
};

QTEST_GUILESS_MAIN(TestTransport)
#include "tst_transport.moc"
