// The playback engine: buffer, render procedure, notifications and the SDL
// output. Most cases call the render procedure as the audio thread would;
// the last ones play through SDL and read back what the device was given.
#include "EngineFixtures.h"

#include "playback/AudioRenderer.h"
#include "playback/SdlAudio.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using namespace fixtures;

namespace {

// Nonzero in every item (so silence stands out), different in every
// channel, without a short period, and exact in PCM_16.
double testSample(sf_count_t frame, int channel)
{
    const quint64 h = quint64(frame) * 0x9E3779B97F4A7C15ull + quint64(channel) * 0xC2B2AE3D27D4EB4Full;
    return double((h ^ (h >> 29)) % 16000 + 1) / 32768.0;
}

// A generated PCM_16 WAV, its samples, the open handle and a renderer on it
// whose signals are logged in arrival order ("pos", "eof").
struct Player {
    std::vector<float> ref;
    std::unique_ptr<OpenSoundFile> file;
    std::unique_ptr<AudioRenderer> r; // after file: destroyed first
    QStringList events;
    bool overrun = false; // a render call wrote past its frames

    bool open(const QString &path, int channels, sf_count_t frames, int rate = 44100)
    {
        if (!write(path, Spec{SF_FORMAT_WAV | SF_FORMAT_PCM_16, channels, rate, frames}, testSample))
            return false;
        file.reset(new OpenSoundFile{path});
        ref.resize(size_t(frames * channels));
        sf_readf_float(file->sf, ref.data(), frames);
        sf_seek(file->sf, 0, SEEK_SET);
        return attach().isEmpty();
    }
    // Returns what set_sndfile printed.
    QString attach()
    {
        r = std::make_unique<AudioRenderer>();
        QObject::connect(r.get(), &AudioRenderer::filePositionChanged, r.get(), [this] { events << "pos"; });
        QObject::connect(r.get(), &AudioRenderer::eof, r.get(), [this] { events << "eof"; });
        StdoutCapture capture;
        r->set_sndfile(file->sf, &file->info);
        return capture.text();
    }
    // One call of the render procedure, appended to `out`.
    void render(std::vector<float> &out, int frames)
    {
        const size_t at = out.size();
        out.resize(at + 2 * size_t(frames) + 8, 1234.5f);
        AudioRenderer::sf_coreaudio_render_proc(r.get(), out.data() + at, frames);
        overrun |= std::any_of(out.end() - 8, out.end(), [](float v) { return v != 1234.5f; });
        out.resize(at + 2 * size_t(frames));
    }
    // The output and the playback timer together, until the end is reported.
    void playToEnd(std::vector<float> &out, int framesPerCall, int maxCalls = 10000000)
    {
        StdoutCapture quiet;
        for (int i = 0; i < maxCalls && !events.contains("eof"); ++i) {
            render(out, framesPerCall);
            r->update_buffer();
            r->deliverNotifications();
        }
    }
    // True when out[at...] holds `count` frames of the file from `from` on,
    // with `left` and `right` as the output channels.
    bool played(const std::vector<float> &out, size_t at, int left, int right, size_t from, size_t count) const
    {
        const size_t ch = size_t(file->info.channels);
        if (ch * (from + count) > ref.size())
            return false;
        for (size_t i = 0; i < count; ++i)
            if (2 * (at + i) + 1 >= out.size() || out[2 * (at + i)] != ref[ch * (from + i) + size_t(left)]
                || out[2 * (at + i) + 1] != ref[ch * (from + i) + size_t(right)])
                return false;
        return true;
    }
};

bool silentFrom(const std::vector<float> &out, size_t frame)
{
    return std::all_of(out.begin() + std::min(out.size(), 2 * frame), out.end(), [](float v) { return v == 0.0f; });
}

const QString kNoOutput = QStringLiteral("Unable to find a usable audio output unit component\n");

} // namespace

class TestAudioRenderer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        // SDL picks its driver once per process: the disk driver lets the
        // last case read back what was played.
        qputenv("SDL_AUDIODRIVER", "disk");
        qputenv("SDL_DISKAUDIOFILE", "/dev/null");
    }

    void mappedOutput_data()
    {
        QTest::addColumn<QVector<int>>("row"); // channels, frames, left, right, heard left, heard right, frames a call
        QTest::newRow("mono on both sides, refills") << QVector<int>{1, 1200000, 0, 0, 0, 0, 512};
        QTest::newRow("stereo swapped") << QVector<int>{2, 700000, 1, 0, 1, 0, 2048};
        // 524288 items are not whole frames of 6: the ring holds 87381.
        QTest::newRow("6 channels, mappings clamped") << QVector<int>{6, 300000, 9, -4, 5, 0, 1000};
        QTest::newRow("1024 channels") << QVector<int>{1024, 3000, 1023, 511, 1023, 511, 256};
        QTest::newRow("calls of 1 frame") << QVector<int>{2, 5000, 0, 1, 0, 1, 1};
        QTest::newRow("calls of 511 frames") << QVector<int>{3, 5000, 2, 1, 2, 1, 511};
        QTest::newRow("calls of 4097 frames") << QVector<int>{2, 5000, 0, 1, 0, 1, 4097};
    }

    void mappedOutput()
    {
        QFETCH(QVector<int>, row);
        Player p;
        QVERIFY(p.open(path("mapped.wav"), row[0], row[1]));
        p.r->setLeftOutputMapping(row[2]);
        p.r->setRightOutputMapping(row[3]);
        std::vector<float> out;
        p.playToEnd(out, row[6]);
        QVERIFY(p.played(out, 0, row[4], row[5], 0, size_t(row[1])) && silentFrom(out, size_t(row[1])) && !p.overrun);
        QVERIFY(p.r->currentPosition() == row[1] && p.r->underrunCount() == 0);
        QVERIFY(p.events.count("eof") == 1 && p.events.last() == "eof");
        p.r.reset(); // the borrowed handle stays open
        QCOMPARE(sf_seek(p.file->sf, 0, SEEK_SET), sf_count_t(0));
    }

    // The end is reported once, after the position; a seek drops a pending
    // end (it described the old place), and a mapping changes at once.
    void endSeekAndMapping()
    {
        Player p;
        QVERIFY(p.open(path("short.wav"), 3, 1000));
        std::vector<float> out;
        p.render(out, 512);
        p.r->deliverNotifications();
        QCOMPARE(p.events, QStringList({"pos"}));
        p.r->setRightOutputMapping(2);
        for (int i = 0; i < 4; ++i)
            p.render(out, 512); // the last 488 frames, then silence
        QCOMPARE(p.events, QStringList({"pos"})); // nothing is emitted on the audio thread
        p.r->deliverNotifications();
        QCOMPARE(p.events, QStringList({"pos", "pos", "eof"}));
        QVERIFY(p.played(out, 0, 0, 0, 0, 512) && p.played(out, 512, 0, 2, 512, 488) && silentFrom(out, 1000));
        p.r->seek(1000);
        p.render(out, 8);
        p.r->seek(400);
        p.r->deliverNotifications();
        QCOMPARE(p.events.count("eof"), 1);
        out.clear();
        p.render(out, 2048);
        p.r->deliverNotifications();
        QVERIFY(p.events.count("eof") == 2 && p.played(out, 0, 0, 2, 400, 600));
        p.r->seek(1100); // clamped to the file
        const qint64 atEnd = p.r->currentPosition();
        p.r->seek(-5);
        QVERIFY(atEnd == 1000 && p.r->currentPosition() == 0);
    }

    // A top-up comes once more than half of the ring was used, reads just
    // what was released, and never overwrites items still being copied; when
    // the ring runs dry the position waits for the next top-up.
    void refills()
    {
        const int half = AudioRenderer::kBufferItems / 2;
        Player p;
        QVERIFY(p.open(path("refill.wav"), 1, 1000000));
        std::vector<float> out;
        p.render(out, half);
        StdoutCapture capture;
        p.r->update_buffer(); // exactly half: not yet
        QCOMPARE(p.r->current_buffer_start(), half);
        p.render(out, 1);
        float *items = nullptr;
        QCOMPARE(p.r->read_buffered(&items, 4096), 4096); // handed out, not yet released
        p.r->update_buffer();
        QVERIFY(capture.text() == "rebuffering.\n" && p.r->current_buffer_start() == 0);
        QVERIFY(std::equal(items, items + 4096, p.ref.begin() + half + 1));

        const size_t taken = size_t(half) + 1 + 4096;
        const size_t end = size_t(half) + 1 + AudioRenderer::kBufferItems; // where the ring ends now
        p.render(out, int(end - taken));
        QCOMPARE(p.r->underrunCount(), quint64(0));
        p.render(out, 2);
        QVERIFY(p.r->underrunCount() == 2 && p.r->currentPosition() == qint64(end)); // an underrun in each half

        StdoutCapture quiet;
        p.r->update_buffer();
        p.render(out, 100);
        QVERIFY(p.played(out, 0, 0, 0, 0, size_t(half) + 1) && p.played(out, size_t(half) + 1, 0, 0, taken, end - taken));
        QVERIFY(out[2 * (end - 4096)] == 0.0f && p.played(out, end - 4096 + 2, 0, 0, end, 100));
    }

    void shortRead_data()
    {
        QTest::addColumn<QVector<int>>("row"); // channels, frames reported, frames delivered
        QTest::newRow("ends inside the first fill") << QVector<int>{2, 100000, 60001};
        QTest::newRow("ends at a refill") << QVector<int>{2, 700000, 400000};
        QTest::newRow("delivers nothing") << QVector<int>{3, 50000, 0};
    }

    // The data is cut behind the open handle, inside a frame: the handle
    // reports more frames than it can deliver.
    void shortRead()
    {
        QFETCH(QVector<int>, row);
        const int channels = row[0], reported = row[1], delivered = row[2];
        Player p;
        QVERIFY(p.open(path("cut.wav"), channels, reported));
        QFile f(p.file->path);
        QVERIFY(f.resize(f.size() - qint64(reported - delivered) * 2 * channels + 2));
        QCOMPARE(sf_seek(p.file->sf, 0, SEEK_SET), sf_count_t(0)); // the first renderer read ahead
        p.attach();
        p.r->setLeftOutputMapping(channels - 1);
        std::vector<float> out;
        p.playToEnd(out, 2048, reported / 2048 + 10);
        QVERIFY(p.events.count("eof") == 1 && p.r->currentPosition() == delivered);
        QVERIFY(p.played(out, 0, channels - 1, 0, 0, size_t(delivered)) && silentFrom(out, size_t(delivered)));
        p.r->seek(reported - 10); // past what there is: the end at once
        out.clear();
        p.render(out, 8);
        p.r->deliverNotifications();
        QVERIFY(silentFrom(out, 0) && p.events.count("eof") == 2);
    }

    // No file, no renderer, no buffer, no frames: silence, and for a
    // renderer without a file the end right away.
    void degenerateInput()
    {
        AudioRenderer r;
        QSignalSpy eofSpy(&r, &AudioRenderer::eof);
        StdoutCapture capture;
        r.set_sndfile(nullptr, nullptr);
        QCOMPARE(capture.text(), kNoOutput);
        r.update_buffer();
        r.seek(100);
        float *items = nullptr;
        for (AudioRenderer *renderer : {&r, static_cast<AudioRenderer *>(nullptr)}) {
            std::vector<float> out(64, 1.0f);
            QVERIFY(AudioRenderer::sf_coreaudio_render_proc(renderer, out.data(), 32) == 0 && silentFrom(out, 0));
            QVERIFY(AudioRenderer::sf_coreaudio_render_proc(renderer, nullptr, 32) + AudioRenderer::sf_coreaudio_render_proc(renderer, out.data(), -3) == 0);
        }
        r.deliverNotifications();
        QVERIFY(eofSpy.count() == 1 && r.currentPosition() == 0 && r.read_buffered(&items, 100) + r.read_buffered(nullptr, 100) == 0);
    }

    // The dummy driver, like ALSA without dmix, gives out one output at a
    // time. A renderer holds it only while it plays, so two open files play
    // one after the other; one that gets no output says so.
    void outputsTakeTurns()
    {
        QVERIFY(SdlAudio::selectDriverForTesting("dummy"));
        const auto backToDisk = qScopeGuard([] { SdlAudio::selectDriverForTesting("disk"); });
        Player a, b;
        QVERIFY(a.open(path("turn-a.wav"), 1, 4000, 8000));
        QVERIFY(b.open(path("turn-b.wav"), 2, 11025, 44100)); // the trial output of a was closed again
        QCOMPARE(b.r->pause(), 0); // not playing: nothing to stop
        QCOMPARE(a.r->play(), 0);
        StdoutCapture capture;
        QVERIFY(b.r->play() == -1 && b.r->pause() == -1);
        QCOMPARE(capture.text(), kNoOutput + "AudioOutputUnitStart returned -1\nAudioOutputUnitStop returned -1\n");
        QTRY_COMPARE_WITH_TIMEOUT(a.events.count("eof"), 1, 60000);
        QCOMPARE(a.r->pause(), 0);
        QCOMPARE(b.r->play(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(b.events.count("eof"), 1, 60000);
        QVERIFY(b.r->pause() == 0 && b.r->currentPosition() == 11025 && b.r->underrunCount() == 0);
        Player odd; // SDL misbehaves at such rates: no output at all, but a buffer
        QVERIFY(!odd.open(path("rate500.wav"), 1, 3000, 500) && odd.r);
        std::vector<float> out;
        odd.render(out, 3000);
        QVERIFY(odd.played(out, 0, 0, 0, 0, 3000));
    }

    // SDL's thread plays while the main thread tops the ring up and seeks.
    // With the silence of underruns taken out, the device got the file's
    // frames in order, up to the seek and from its target to the end, in
    // whole buffers of the size asked for at the rate (about 20 ms).
    void playsWhileRefillingAndSeeking()
    {
        const int frames = 1200000;
        const qint64 target = 900000;
        const QString raw = path("long.raw");
        Player p;
        QVERIFY(p.open(path("long.wav"), 4, frames, 48000));
        p.r->setLeftOutputMapping(2);
        QTimer refill;
        QObject::connect(&refill, &QTimer::timeout, p.r.get(), [&p] { p.r->update_buffer(); });
        StdoutCapture capture;
        refill.start(5);
        // SDL's disk driver writes what the device gets to the file named
        // when the device opens, a buffer a millisecond.
        qputenv("SDL_DISKAUDIOFILE", QFile::encodeName(raw));
        qputenv("SDL_DISKAUDIODELAY", "1");
        QCOMPARE(p.r->play(), 0);
        qputenv("SDL_DISKAUDIOFILE", "/dev/null");
        QElapsedTimer clock;
        clock.start();
        while (p.r->currentPosition() < 200000 && clock.elapsed() < 120000)
            QTest::qWait(1);
        p.r->seek(target);
        // The renderer's own timer delivers the end while the event loop runs.
        QTRY_COMPARE_WITH_TIMEOUT(p.events.count("eof"), 1, 120000);
        refill.stop();
        QVERIFY(p.r->pause() == 0 && p.r->currentPosition() == frames); // closing the device closes its file

        const QByteArray bytes = fileBytes(raw);
        const float *all = reinterpret_cast<const float *>(bytes.constData());
        QVERIFY(SdlAudio::bufferFrames(48000) == 1024 && bytes.size() % (1024 * 2 * 4) == 0);
        std::vector<float> sound;
        for (int i = 0; i + 1 < bytes.size() / 4; i += 2)
            if (all[i] != 0.0f || all[i + 1] != 0.0f)
                sound.insert(sound.end(), {all[i], all[i + 1]});
        size_t before = 0;
        while (p.played(sound, before, 2, 0, before, 1))
            ++before;
        QVERIFY(before >= 200000 && sound.size() / 2 == before + size_t(frames - target));
        QVERIFY(p.played(sound, before, 2, 0, size_t(target), size_t(frames - target)));
    }

private:
    QTemporaryDir m_dir;
    QString path(const char *name) const { return m_dir.filePath(QString::fromLatin1(name)); }
};

QTEST_GUILESS_MAIN(TestAudioRenderer)
#include "tst_audiorenderer.moc"
