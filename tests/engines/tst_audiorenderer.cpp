// The playback engine: buffer, render procedure, notifications and the SDL
// output. Most cases drive the render procedure directly, as the audio
// thread would; two play through SDL's disk driver and read back what the
// device was given.
#include "playback/AudioRenderer.h"
#include "playback/SdlAudio.h"

#include "Fixtures.h"
#include "PlaybackFixtures.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <memory>
#include <vector>

using namespace playbackfixtures;


#define VERIFY_PLAYED(comparison)                                                                  \
    do {                                                                                           \
        const QString difference_ = (comparison);                                                  \
        QVERIFY2(difference_.isEmpty(), qPrintable(difference_));                                  \
    } while (false)

class TestAudioRenderer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void mappedOutput_data();
    void mappedOutput();
    void mappingChangeTakesEffectAtOnce();
    void endOfFileOrder();
    void underrunHoldsPosition();
    void refillThreshold();
    void handedOutItemsSurviveARefill();
    void seeking();
    void oddCallSizes_data();
    void oddCallSizes();
    void shortRead_data();
    void shortRead();
    void noDeviceAtOddRate();
    void degenerateInput();
    void bufferFramesFollowRate_data();
    void bufferFramesFollowRate();
    void endToEndThroughDisk();
    void outputsTakeTurns();
    void playsWhileRefillingAndSeeking();

private:
    QTemporaryDir m_dir;
};

void TestAudioRenderer::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // SDL picks its driver once per process, at the first initialisation: the
    // disk driver lets the end-to-end cases read back what was played. The
    // other cases write to /dev/null at the driver's real-time pace.
    qputenv("SDL_AUDIODRIVER", "disk");
    qputenv("SDL_DISKAUDIOFILE", "/dev/null");
    qunsetenv("SDL_DISKAUDIODELAY");
}

void TestAudioRenderer::mappedOutput_data()
{
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("frames");
    QTest::addColumn<int>("left");
    QTest::addColumn<int>("right");
    QTest::addColumn<int>("heardLeft");
    QTest::addColumn<int>("heardRight");
    QTest::addColumn<int>("framesPerCall");

    // Long enough to need several refills.
    QTest::newRow("mono on both sides") << 1 << 1200000 << 0 << 0 << 0 << 0 << 512;
    QTest::newRow("stereo") << 2 << 700000 << 0 << 1 << 0 << 1 << 512;
    QTest::newRow("stereo swapped") << 2 << 700000 << 1 << 0 << 1 << 0 << 2048;
    QTest::newRow("stereo second channel twice") << 2 << 300000 << 1 << 1 << 1 << 1 << 512;
    // 524288 is not a multiple of 6: the ring holds 87381 whole frames.
    QTest::newRow("6 channels") << 6 << 300000 << 5 << 2 << 5 << 2 << 1000;
    QTest::newRow("6 channels, mappings out of range") << 6 << 100000 << 9 << -4 << 5 << 0 << 512;
    // A buffer of 512 frames.
    QTest::newRow("1024 channels") << 1024 << 3000 << 1023 << 511 << 1023 << 511 << 256;
}

void TestAudioRenderer::mappedOutput()
{
    QFETCH(int, channels);
    QFETCH(int, frames);
    QFETCH(int, left);
    QFETCH(int, right);
    QFETCH(int, heardLeft);
    QFETCH(int, heardRight);
    QFETCH(int, framesPerCall);

    Player p;
    QVERIFY(p.open(m_dir, QStringLiteral("mapped.wav"), channels, frames));
    p.r->setLeftOutputMapping(left);
    p.r->setRightOutputMapping(right);
    std::vector<float> out;
    const QString printed = playToEnd(p, out, framesPerCall);

    VERIFY_PLAYED(compareMapped(out, 0, p.ref, channels, heardLeft, heardRight, 0, size_t(frames)));
    QVERIFY(silentFrom(out, size_t(frames)));
    QCOMPARE(p.r->currentPosition(), qint64(frames));
    QCOMPARE(p.count("eof"), 1);
    QCOMPARE(p.events.last(), QStringLiteral("eof"));
    QCOMPARE(p.r->underrunCount(), quint64(0));
    QCOMPARE(printed.count(QLatin1Char('\n')), printed.count(QLatin1String("rebuffering.\n")));
    QVERIFY(printed.contains(QLatin1String("rebuffering.\n")));

    // Destroying the renderer leaves the borrowed handle open and usable.
    p.r.reset();
    QCOMPARE(sf_seek(p.file->handle, 0, SEEK_SET), sf_count_t(0));
    std::vector<float> first(static_cast<size_t>(channels));
    QCOMPARE(sf_readf_float(p.file->handle, first.data(), 1), sf_count_t(1));
    QCOMPARE(first[0], p.ref[0]);
}

void TestAudioRenderer::mappingChangeTakesEffectAtOnce()
{
    Player p;
    QVERIFY(p.open(m_dir, QStringLiteral("remap.wav"), 3, 10000));
    p.r->setRightOutputMapping(1);
    std::vector<float> out;
    renderInto(p.r.get(), out, 100);
    p.r->setLeftOutputMapping(2);
    p.r->setRightOutputMapping(2);
    renderInto(p.r.get(), out, 100);
    VERIFY_PLAYED(compareMapped(out, 0, p.ref, 3, 0, 1, 0, 100));
    VERIFY_PLAYED(compareMapped(out, 100, p.ref, 3, 2, 2, 100, 100));
}

void TestAudioRenderer::endOfFileOrder()
{
    // Shorter than the buffer, and not a whole number of calls.
    const int frames = 1000;
    Player p;
    QVERIFY(p.open(m_dir, QStringLiteral("short.wav"), 2, frames));
    QSignalSpy eofSpy(p.r.get(), &AudioRenderer::eof);
    QSignalSpy posSpy(p.r.get(), &AudioRenderer::filePositionChanged);
    p.r->setRightOutputMapping(1);

    std::vector<float> out;
    renderInto(p.r.get(), out, 512);
    p.r->deliverNotifications();
    QCOMPARE(p.events, QStringList({"pos"}));
    QCOMPARE(p.r->currentPosition(), qint64(512));

    // The call that reaches the end plays the last 488 frames, then silence.
    renderInto(p.r.get(), out, 512);
    QCOMPARE(p.r->currentPosition(), qint64(frames));
    QCOMPARE(eofSpy.count(), 0); // nothing is emitted on the audio side
    p.r->deliverNotifications();
    QCOMPARE(p.events, QStringList({"pos", "pos", "eof"}));
    QCOMPARE(eofSpy.count(), 1);
    QCOMPARE(posSpy.count(), 2);
    VERIFY_PLAYED(compareMapped(out, 0, p.ref, 2, 0, 1, 0, size_t(frames)));
    QVERIFY(silentFrom(out, size_t(frames)));

    // Further calls stay silent and do not report the end again.
    for (int i = 0; i < 3; ++i)
        renderInto(p.r.get(), out, 512);
    p.r->deliverNotifications();
    QCOMPARE(eofSpy.count(), 1);
    QVERIFY(silentFrom(out, size_t(frames)));
    QCOMPARE(p.r->underrunCount(), quint64(0));

    // Rewinding plays the file again and reports its end once more.
    p.r->seek(0);
    out.clear();
    renderInto(p.r.get(), out, 2048);
    p.r->deliverNotifications();
    QCOMPARE(eofSpy.count(), 2);
    QCOMPARE(p.events.mid(p.events.size() - 2), QStringList({"pos", "eof"}));
    VERIFY_PLAYED(compareMapped(out, 0, p.ref, 2, 0, 1, 0, size_t(frames)));
}

void TestAudioRenderer::underrunHoldsPosition()
{
    Player p;
    QVERIFY(p.open(m_dir, QStringLiteral("underrun.wav"), 1, 600000));

    // Use the whole buffer up without topping it up.
    std::vector<float> out;
    const int full = AudioRenderer::kBufferItems;
    for (int i = 0; i < full / 4096; ++i)
        renderInto(p.r.get(), out, 4096);
    QCOMPARE(p.r->current_buffer_start(), full);
    QCOMPARE(p.r->currentPosition(), qint64(full));
    QCOMPARE(p.r->underrunCount(), quint64(0));
    p.r->deliverNotifications();
    p.events.clear();

    std::vector<float> starved;
    renderInto(p.r.get(), starved, 512);
    QVERIFY(silentFrom(starved, 0));
    QCOMPARE(p.r->currentPosition(), qint64(full));
    QVERIFY(p.r->underrunCount() > 0);
    p.r->deliverNotifications();
    QCOMPARE(p.events, QStringList({"pos"}));

    // The next top-up refills the whole buffer and playback goes on from the
    // frame where it stood.
    StdoutCapture capture;
    p.r->update_buffer();
    QCOMPARE(capture.text(), QStringLiteral("rebuffering.\n"));
    QCOMPARE(p.r->current_buffer_start(), 0);
    renderInto(p.r.get(), out, 4096);
    VERIFY_PLAYED(compareMapped(out, 0, p.ref, 1, 0, 0, 0, size_t(full) + 4096));
}

void TestAudioRenderer::refillThreshold()
{
    Player p;
    QVERIFY(p.open(m_dir, QStringLiteral("threshold.wav"), 1, 800000));
    QCOMPARE(p.r->current_buffer_start(), 0);

    std::vector<float> out;
    renderInto(p.r.get(), out, 262144);
    QCOMPARE(p.r->current_buffer_start(), 262144);
    {
        StdoutCapture capture;
        p.r->update_buffer();
        QCOMPARE(capture.text(), QString());
    }
    QCOMPARE(p.r->current_buffer_start(), 262144);

    renderInto(p.r.get(), out, 1);
    QCOMPARE(p.r->current_buffer_start(), 262145);
    {
        StdoutCapture capture;
        p.r->update_buffer();
        QCOMPARE(capture.text(), QStringLiteral("rebuffering.\n"));
    }
    QCOMPARE(p.r->current_buffer_start(), 0);

    // That refill read exactly the 262145 items used: the buffer now holds a
    // full 524288 frames, correct to the last, and not one more.
    renderInto(p.r.get(), out, 524288);
    QCOMPARE(p.r->underrunCount(), quint64(0));
    QCOMPARE(p.r->currentPosition(), qint64(262145 + 524288));
    VERIFY_PLAYED(compareMapped(out, 0, p.ref, 1, 0, 0, 0, 262145 + 524288));
    std::vector<float> starved;
    renderInto(p.r.get(), starved, 2);
    QVERIFY(silentFrom(starved, 0));
    QCOMPARE(p.r->underrunCount(), quint64(2)); // one for each half of the call
}

void TestAudioRenderer::handedOutItemsSurviveARefill()
{
    // Items handed out to the render procedure are not given back to the
    // refill before they have been copied, even when the refill comes while
    // they are being copied.
    Player p;
    QVERIFY(p.open(m_dir, QStringLiteral("handout.wav"), 1, 1000000));
    std::vector<float> out;
    renderInto(p.r.get(), out, 400000);
    float *items = nullptr;
    QCOMPARE(p.r->read_buffered(&items, 4096), 4096);
    StdoutCapture capture;
    p.r->update_buffer();
    QCOMPARE(capture.text(), QStringLiteral("rebuffering.\n"));
    QVERIFY(std::equal(items, items + 4096, p.ref.begin() + 400000));
}

void TestAudioRenderer::seeking()
{
    const int frames = 300000;
    Player p;
    QVERIFY(p.open(m_dir, QStringLiteral("seek.wav"), 2, frames));
    p.r->setRightOutputMapping(1);

    std::vector<float> out;
    renderInto(p.r.get(), out, 1000);
    p.r->seek(123457);
    QCOMPARE(p.r->currentPosition(), qint64(123457));
    QCOMPARE(p.r->current_buffer_start(), 0);
    out.clear();
    renderInto(p.r.get(), out, 1000);
    VERIFY_PLAYED(compareMapped(out, 0, p.ref, 2, 0, 1, 123457, 1000));

    // At the last position the next pass is the end.
    p.r->deliverNotifications();
    p.events.clear();
    p.r->seek(frames);
    out.clear();
    renderInto(p.r.get(), out, 512);
    QVERIFY(silentFrom(out, 0));
    p.r->deliverNotifications();
    QCOMPARE(p.events, QStringList({"pos", "eof"}));
    QCOMPARE(p.r->currentPosition(), qint64(frames));

    // Staying at the end reports it only once; a pending end is dropped by a
    // seek, since it described the old position.
    renderInto(p.r.get(), out, 512);
    p.r->deliverNotifications();
    QCOMPARE(p.count("eof"), 1);
    p.r->seek(frames);
    renderInto(p.r.get(), out, 512);
    p.r->seek(0);
    p.r->deliverNotifications();
    QCOMPARE(p.count("eof"), 1);

    // Positions outside the file are clamped to it.
    p.r->seek(frames + 100);
    QCOMPARE(p.r->currentPosition(), qint64(frames));
    p.r->seek(-5);
    QCOMPARE(p.r->currentPosition(), qint64(0));
    out.clear();
    renderInto(p.r.get(), out, 10);
    VERIFY_PLAYED(compareMapped(out, 0, p.ref, 2, 0, 1, 0, 10));
}

void TestAudioRenderer::oddCallSizes_data()
{
    QTest::addColumn<int>("framesPerCall");
    QTest::newRow("1") << 1;
    QTest::newRow("3") << 3;
    QTest::newRow("511") << 511;
    QTest::newRow("4097") << 4097;
}

void TestAudioRenderer::oddCallSizes()
{
    QFETCH(int, framesPerCall);
    const int frames = 5000;
    Player p;
    QVERIFY(p.open(m_dir, QStringLiteral("odd.wav"), 2, frames));
    p.r->setRightOutputMapping(1);

    // Every call writes exactly its frames (a guard zone behind them stays
    // untouched) and moves the position by as many frames until the end.
    const float guard = 1234.5f;
    std::vector<float> played;
    std::vector<float> block(2 * size_t(framesPerCall) + 16);
    qint64 expected = 0;
    for (int call = 0; call <= frames / framesPerCall + 2; ++call) {
        std::fill(block.begin(), block.end(), guard);
        AudioRenderer::sf_coreaudio_render_proc(p.r.get(), block.data(), framesPerCall);
        for (size_t i = 2 * size_t(framesPerCall); i < block.size(); ++i)
            QCOMPARE(block[i], guard);
        expected = std::min<qint64>(frames, expected + framesPerCall);
        QCOMPARE(p.r->currentPosition(), expected);
        played.insert(played.end(), block.begin(), block.begin() + 2 * framesPerCall);
    }
    p.r->deliverNotifications();
    VERIFY_PLAYED(compareMapped(played, 0, p.ref, 2, 0, 1, 0, size_t(frames)));
    QVERIFY(silentFrom(played, size_t(frames)));
    QCOMPARE(p.events, QStringList({"pos", "eof"}));
}

void TestAudioRenderer::shortRead_data()
{
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("reported");
    QTest::addColumn<int>("delivered");

    QTest::newRow("ends inside the first fill") << 2 << 100000 << 60001;
    QTest::newRow("ends at a refill") << 2 << 700000 << 400000;
    QTest::newRow("delivers nothing") << 3 << 50000 << 0;
}

void TestAudioRenderer::shortRead()
{
    QFETCH(int, channels);
    QFETCH(int, reported);
    QFETCH(int, delivered);

    // Cut the data on disk behind the open handle, in the middle of a frame,
    // so the handle reports more frames than it can deliver.
    const QString path = m_dir.filePath(QStringLiteral("truncated.wav"));
    QFile::remove(path);
    fixtures::Spec spec;
    spec.channels = channels;
    spec.frames = reported;
    QVERIFY(fixtures::write(path, spec, testSample));
    const std::vector<float> ref = readFloats(path);
    OpenFile file(path);
    QCOMPARE(file.info.frames, sf_count_t(reported));
    QFile f(path);
    const qint64 frameBytes = 2 * channels;
    const qint64 dataStart = f.size() - qint64(reported) * frameBytes;
    QVERIFY(f.resize(dataStart + qint64(delivered) * frameBytes + 2));
    QCOMPARE(OpenFile(path).info.frames, sf_count_t(delivered));

    Player p;
    p.ref = ref;
    p.r = std::make_unique<AudioRenderer>();
    p.logSignals();
    p.r->set_sndfile(file.handle, &file.info);
    p.r->setLeftOutputMapping(channels - 1);
    std::vector<float> out;
    playToEnd(p, out, 2048, reported / 2048 + 10);

    QCOMPARE(p.count("eof"), 1);
    QCOMPARE(p.events.last(), QStringLiteral("eof"));
    QCOMPARE(p.r->currentPosition(), qint64(delivered));
    VERIFY_PLAYED(compareMapped(out, 0, ref, channels, channels - 1, 0, 0, size_t(delivered)));
    QVERIFY(silentFrom(out, size_t(delivered)));

    // Seeking back plays what there is again; seeking past it ends at once.
    p.r->seek(0);
    out.clear();
    renderInto(p.r.get(), out, 8);
    QCOMPARE(p.r->currentPosition(), qint64(std::min(8, delivered)));
    p.r->seek(reported - 10);
    out.clear();
    renderInto(p.r.get(), out, 8);
    QVERIFY(silentFrom(out, 0));
    p.r->deliverNotifications();
    QCOMPARE(p.count("eof"), 2);
    p.r.reset(); // before the handle closes
}

void TestAudioRenderer::noDeviceAtOddRate()
{
    Player p;
    QVERIFY(p.open(m_dir, QStringLiteral("rate500.wav"), 1, 3000, 500));
    QCOMPARE(p.setupOutput, QStringLiteral("Unable to find a usable audio output unit component\n"));
    StdoutCapture capture;
    const int started = p.play();
    const int stopped = p.r->pause();
    const QString printed = capture.text();
    QVERIFY(started != 0);
    QVERIFY(stopped != 0);
    // play tries to open the output again and says why it cannot start.
    QCOMPARE(printed, QStringLiteral("Unable to find a usable audio output unit component\n"
                                     "AudioOutputUnitStart returned %1\nAudioOutputUnitStop returned %2\n")
                          .arg(started).arg(stopped));
    // The buffer was filled all the same.
    std::vector<float> out;
    renderInto(p.r.get(), out, 3000);
    VERIFY_PLAYED(compareMapped(out, 0, p.ref, 1, 0, 0, 0, 3000));
}

void TestAudioRenderer::degenerateInput()
{
    // No file at all: silence, and the "end" right away.
    auto r = std::make_unique<AudioRenderer>();
    QSignalSpy eofSpy(r.get(), &AudioRenderer::eof);
    std::vector<float> out(64, 1.0f);
    AudioRenderer::sf_coreaudio_render_proc(r.get(), out.data(), 32);
    QVERIFY(silentFrom(out, 0));
    r->update_buffer();
    r->seek(100);
    QCOMPARE(r->currentPosition(), qint64(0));
    {
        StdoutCapture capture;
        r->set_sndfile(nullptr, nullptr);
        QCOMPARE(capture.text(), QStringLiteral("Unable to find a usable audio output unit component\n"));
    }
    std::fill(out.begin(), out.end(), 1.0f);
    AudioRenderer::sf_coreaudio_render_proc(r.get(), out.data(), 32);
    QVERIFY(silentFrom(out, 0));
    r->deliverNotifications();
    QCOMPARE(eofSpy.count(), 1);

    // No renderer, no output pointer, no frames: nothing happens.
    std::fill(out.begin(), out.end(), 1.0f);
    QCOMPARE(AudioRenderer::sf_coreaudio_render_proc(nullptr, out.data(), 32), 0);
    QVERIFY(silentFrom(out, 0));
    QCOMPARE(AudioRenderer::sf_coreaudio_render_proc(r.get(), nullptr, 32), 0);
    QCOMPARE(AudioRenderer::sf_coreaudio_render_proc(r.get(), out.data(), -3), 0);
    float *items = nullptr;
    QCOMPARE(r->read_buffered(&items, 100), 0);
    QCOMPARE(r->read_buffered(nullptr, 100), 0);
}

void TestAudioRenderer::bufferFramesFollowRate_data()
{
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("frames");
    // The power of two nearest to 20 ms, within 256..4096.
    QTest::newRow("1000 Hz") << 1000 << 256;
    QTest::newRow("8000 Hz") << 8000 << 256;
    QTest::newRow("16000 Hz") << 16000 << 256;
    QTest::newRow("22050 Hz") << 22050 << 512;
    QTest::newRow("44100 Hz") << 44100 << 1024;
    QTest::newRow("48000 Hz") << 48000 << 1024;
    QTest::newRow("96000 Hz") << 96000 << 2048;
    QTest::newRow("192000 Hz") << 192000 << 4096;
    QTest::newRow("768000 Hz") << 768000 << 4096;
}

void TestAudioRenderer::bufferFramesFollowRate()
{
    QFETCH(int, rate);
    QFETCH(int, frames);
    QCOMPARE(SdlAudio::bufferFrames(rate), frames);
}

void TestAudioRenderer::endToEndThroughDisk()
{
    const int frames = 50000;
    const QString raw = m_dir.filePath(QStringLiteral("four.raw"));
    Player p;
    QVERIFY(p.open(m_dir, QStringLiteral("four.wav"), 4, frames, 48000, raw));
    QCOMPARE(p.setupOutput, QString()); // a device was opened
    p.r->setLeftOutputMapping(2);
    p.r->setRightOutputMapping(0);
    {
        StdoutCapture capture;
        const int started = p.play();
        QCOMPARE(capture.text(), QString());
        QCOMPARE(started, 0);
    }
    // The renderer's own timer delivers the end while the event loop runs.
    QTRY_COMPARE_WITH_TIMEOUT(p.count("eof"), 1, 60000);
    QCOMPARE(p.r->pause(), 0); // closes the device, which closes its file
    QCOMPARE(p.r->currentPosition(), qint64(frames));

    // The device took whole buffers of the size asked for at this rate.
    const std::vector<float> out = readRaw(raw);
    QCOMPARE(out.size() % (2 * size_t(SdlAudio::bufferFrames(48000))), size_t(0));
    // Silence while paused comes first; the signal starts at its first frame.
    size_t start = 0;
    while (start < out.size() && out[start] == 0.0f)
        ++start;
    QVERIFY(start % 2 == 0);
    VERIFY_PLAYED(compareMapped(out, start / 2, p.ref, 4, 2, 0, 0, size_t(frames)));
    QVERIFY(silentFrom(out, start / 2 + frames));
}

void TestAudioRenderer::outputsTakeTurns()
{
    // The dummy driver, like ALSA without dmix, gives out one output at a
    // time. A renderer holds it only while it plays, so two open files play
    // one after the other.
    QVERIFY(SdlAudio::selectDriverForTesting("dummy"));
    const auto backToDisk = qScopeGuard([] { SdlAudio::selectDriverForTesting("disk"); });
    struct Turn {
        const char *name;
        int channels;
        int frames;
        int rate;
    };
    const Turn turns[] = {{"turn-a.wav", 1, 4000, 8000}, {"turn-b.wav", 2, 11025, 44100}};
    Player players[2];
    for (int i = 0; i < 2; ++i) {
        const Turn &t = turns[i];
        QVERIFY(players[i].open(m_dir, QString::fromLatin1(t.name), t.channels, t.frames, t.rate));
        // The first renderer's trial output was closed again.
        QCOMPARE(players[i].setupOutput, QString());
    }
    Player &a = players[0];
    Player &b = players[1];
    {
        StdoutCapture capture;
        const int stopped = b.r->pause(); // not playing: nothing to stop
        QCOMPARE(capture.text(), QString());
        QCOMPARE(stopped, 0);
    }

    // While one plays, the other cannot; once it stops, the other can.
    QCOMPARE(a.play(), 0);
    {
        StdoutCapture capture;
        const int started = b.play();
        QCOMPARE(capture.text(), QStringLiteral("Unable to find a usable audio output unit component\n"
                                                "AudioOutputUnitStart returned -1\n"));
        QCOMPARE(started, -1);
    }
    QTRY_COMPARE_WITH_TIMEOUT(a.count("eof"), 1, 60000);
    QCOMPARE(a.r->pause(), 0);
    QCOMPARE(a.r->currentPosition(), qint64(turns[0].frames));
    for (int round = 0; round < 2; ++round) {
        StdoutCapture capture;
        const int started = b.play();
        QCOMPARE(capture.text(), QString());
        QCOMPARE(started, 0);
        QTRY_COMPARE_WITH_TIMEOUT(b.count("eof"), round + 1, 60000);
        QCOMPARE(b.r->pause(), 0);
        QCOMPARE(b.r->currentPosition(), qint64(turns[1].frames));
        b.r->seek(0);
    }
    QCOMPARE(b.r->underrunCount(), quint64(0));
}

void TestAudioRenderer::playsWhileRefillingAndSeeking()
{
    // The output runs on SDL's thread while the main thread tops the buffer
    // up and seeks. With the frames of silence (underruns) taken out, the
    // device must have received the file's frames in order, from the start
    // to the seek and from the seek's target to the end.
    const int frames = 1200000;
    const qint64 target = 900000;
    const QString raw = m_dir.filePath(QStringLiteral("long.raw"));
    Player p;
    QVERIFY(p.open(m_dir, QStringLiteral("long.wav"), 2, frames, 44100, raw, "1"));
    p.r->setRightOutputMapping(1);

    QTimer refill;
    refill.setInterval(5);
    QObject::connect(&refill, &QTimer::timeout, p.r.get(), [&p] { p.r->update_buffer(); });
    StdoutCapture capture; // "rebuffering." lines
    refill.start();
    const int started = p.play();
    bool seeked = false;
    QElapsedTimer clock;
    clock.start();
    while (p.count("eof") == 0 && clock.elapsed() < 120000) {
        QTest::qWait(1);
        if (!seeked && p.r->currentPosition() >= 200000) {
            p.r->seek(target);
            seeked = true;
        }
    }
    refill.stop();
    const int stopped = p.r->pause();
    capture.text();
    QCOMPARE(started, 0);
    QCOMPARE(stopped, 0);
    QVERIFY(seeked);
    QCOMPARE(p.count("eof"), 1);
    QCOMPARE(p.events.last(), QStringLiteral("eof"));
    QCOMPARE(p.r->currentPosition(), qint64(frames));
    p.r.reset();

    const std::vector<float> all = readRaw(raw);
    std::vector<float> sound;
    for (size_t i = 0; i + 1 < all.size(); i += 2)
        if (all[i] != 0.0f || all[i + 1] != 0.0f)
            sound.insert(sound.end(), {all[i], all[i + 1]});
    size_t before = 0;
    while (before < sound.size() / 2 && sound[2 * before] == p.ref[2 * before]
           && sound[2 * before + 1] == p.ref[2 * before + 1])
        ++before;
    QVERIFY(before >= 200000);
    const size_t after = size_t(frames - target);
    QCOMPARE(sound.size() / 2, before + after);
    VERIFY_PLAYED(compareMapped(sound, before, p.ref, 2, 0, 1, size_t(target), after));
}

QTEST_GUILESS_MAIN(TestAudioRenderer)
#include "tst_audiorenderer.moc"
