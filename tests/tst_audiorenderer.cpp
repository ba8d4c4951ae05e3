// The playback engine: buffer, render procedure, notifications and the SDL
// output. Most cases drive the render procedure directly, as the audio
// thread would; two play through SDL's disk driver and read back what the
// device was given.
#include "playback/AudioRenderer.h"

#include "Fixtures.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTimer>
#include <QtTest>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

// Nonzero in every item (so silence can be told apart from sound), different
// in every channel and without a short period, and exact in PCM_16.
double testSample(sf_count_t frame, int channel)
{
    quint64 h = quint64(frame) * 0x9E3779B97F4A7C15ull + quint64(channel) * 0xC2B2AE3D27D4EB4Full;
    h ^= h >> 29;
    return double(h % 16000 + 1) / 32768.0;
}

QString writeFile(const QTemporaryDir &dir, const QString &name, int channels, sf_count_t frames,
                  int rate = 44100)
{
    fixtures::Spec spec;
    spec.channels = channels;
    spec.frames = frames;
    spec.samplerate = rate;
    const QString path = dir.filePath(name);
    return fixtures::write(path, spec, testSample) ? path : QString();
}

std::vector<float> readFloats(const QString &path)
{
    SF_INFO info{};
    std::vector<float> items;
    SNDFILE *f = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!f)
        return items;
    items.resize(size_t(info.frames) * size_t(info.channels));
    items.resize(size_t(sf_readf_float(f, items.data(), info.frames)) * size_t(info.channels));
    sf_close(f);
    return items;
}

struct OpenFile
{
    SNDFILE *handle = nullptr;
    SF_INFO info{};
    explicit OpenFile(const QString &path)
    {
        handle = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    }
    ~OpenFile()
    {
        if (handle)
            sf_close(handle);
    }
};

// Sends stdout to a file while alive; text() restores it and returns what
// was printed.
class StdoutCapture
{
public:
    StdoutCapture()
    {
        m_file.open();
        std::fflush(stdout);
        m_saved = dup(STDOUT_FILENO);
        dup2(m_file.handle(), STDOUT_FILENO);
    }
    ~StdoutCapture() { restore(); }
    QString text()
    {
        restore();
        m_file.seek(0);
        return QString::fromLocal8Bit(m_file.readAll());
    }

private:
    void restore()
    {
        if (m_saved < 0)
            return;
        std::fflush(stdout);
        dup2(m_saved, STDOUT_FILENO);
        close(m_saved);
        m_saved = -1;
    }
    QTemporaryFile m_file;
    int m_saved = -1;
};

// Records the renderer's signals in the order they arrive.
struct EventLog
{
    QStringList events;
    explicit EventLog(AudioRenderer *r)
    {
        QObject::connect(r, &AudioRenderer::filePositionChanged, r, [this] { events << "pos"; });
        QObject::connect(r, &AudioRenderer::eof, r, [this] { events << "eof"; });
    }
    int count(const char *what) const { return int(events.count(QLatin1String(what))); }
};

// One call of the render procedure for `frames` frames, appended to `out`.
void renderInto(AudioRenderer *r, std::vector<float> &out, int frames)
{
    const size_t at = out.size();
    out.resize(at + 2 * size_t(frames));
    AudioRenderer::sf_coreaudio_render_proc(r, out.data() + at, frames);
}

// Plays like the output and the timer together: render, top up, deliver,
// until the end is reported (or maxCalls). Returns what went to stdout.
QString playToEnd(AudioRenderer *r, const EventLog &log, std::vector<float> &out, int framesPerCall,
                  int maxCalls = 1000000)
{
    StdoutCapture capture;
    for (int i = 0; i < maxCalls && log.count("eof") == 0; ++i) {
        renderInto(r, out, framesPerCall);
        r->update_buffer();
        r->deliverNotifications();
    }
    return capture.text();
}

// Empty when out[outFrame...] holds `count` frames of `ref` from `fromFrame`
// on, mapped; else a description of the first difference.
QString compareMapped(const std::vector<float> &out, size_t outFrame, const std::vector<float> &ref,
                      int channels, int left, int right, size_t fromFrame, size_t count)
{
    if (out.size() < 2 * (outFrame + count))
        return QStringLiteral("output has %1 frames, need %2").arg(out.size() / 2).arg(outFrame + count);
    if (ref.size() < size_t(channels) * (fromFrame + count))
        return QStringLiteral("reference too short");
    for (size_t i = 0; i < count; ++i) {
        const float *o = &out[2 * (outFrame + i)];
        const float *f = &ref[size_t(channels) * (fromFrame + i)];
        if (o[0] != f[left] || o[1] != f[right])
            return QStringLiteral("frame %1 (file frame %2): got %3/%4, want %5/%6")
                .arg(outFrame + i).arg(fromFrame + i).arg(o[0]).arg(o[1]).arg(f[left]).arg(f[right]);
    }
    return QString();
}

bool silentFrom(const std::vector<float> &out, size_t frame)
{
    for (size_t i = 2 * frame; i < out.size(); ++i)
        if (out[i] != 0.0f)
            return false;
    return true;
}

} // namespace

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
    void seeking();
    void oddCallSizes_data();
    void oddCallSizes();
    void shortRead_data();
    void shortRead();
    void noDeviceAtOddRate();
    void degenerateInput();
    void endToEndThroughDisk();
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

    // Long enough to need several refills, except the widest file.
    QTest::newRow("mono on both sides") << 1 << 1200000 << 0 << 0 << 0 << 0 << 512;
    QTest::newRow("stereo") << 2 << 700000 << 0 << 1 << 0 << 1 << 512;
    QTest::newRow("stereo swapped") << 2 << 700000 << 1 << 0 << 1 << 0 << 2048;
    QTest::newRow("stereo second channel twice") << 2 << 300000 << 1 << 1 << 1 << 1 << 512;
    // 524288 is not a multiple of 6: the ring holds 87381 whole frames.
    QTest::newRow("6 channels") << 6 << 300000 << 5 << 2 << 5 << 2 << 1000;
    QTest::newRow("6 channels, mappings out of range") << 6 << 100000 << 9 << -4 << 5 << 0 << 512;
    // 512 frames of buffer: the callback's halves are served in pieces.
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

    const QString path = writeFile(m_dir, QStringLiteral("mapped.wav"), channels, frames);
    QVERIFY(!path.isEmpty());
    const std::vector<float> ref = readFloats(path);
    OpenFile file(path);
    QVERIFY(file.handle);
    auto r = std::make_unique<AudioRenderer>();
    EventLog log(r.get());
    r->set_sndfile(file.handle, &file.info);
    r->setLeftOutputMapping(left);
    r->setRightOutputMapping(right);

    std::vector<float> out;
    const QString printed = playToEnd(r.get(), log, out, framesPerCall);

    const QString diff = compareMapped(out, 0, ref, channels, heardLeft, heardRight, 0, size_t(frames));
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    QVERIFY(silentFrom(out, size_t(frames)));
    QCOMPARE(r->currentPosition(), qint64(frames));
    QCOMPARE(log.count("eof"), 1);
    QCOMPARE(log.events.last(), QStringLiteral("eof"));
    QCOMPARE(r->underrunCount(), quint64(0));
    const bool longerThanBuffer = qint64(frames) * channels > AudioRenderer::kBufferItems;
    QCOMPARE(printed.contains(QLatin1String("rebuffering.\n")), longerThanBuffer);
    QCOMPARE(printed.count(QLatin1Char('\n')), printed.count(QLatin1String("rebuffering.\n")));

    // Destroying the renderer leaves the borrowed handle open and usable.
    r.reset();
    QCOMPARE(sf_seek(file.handle, 0, SEEK_SET), sf_count_t(0));
    float first[1024];
    QCOMPARE(sf_readf_float(file.handle, first, 1), sf_count_t(1));
    QCOMPARE(first[0], ref[0]);
}

void TestAudioRenderer::mappingChangeTakesEffectAtOnce()
{
    const QString path = writeFile(m_dir, QStringLiteral("remap.wav"), 3, 10000);
    const std::vector<float> ref = readFloats(path);
    OpenFile file(path);
    QVERIFY(file.handle);
    auto r = std::make_unique<AudioRenderer>();
    r->set_sndfile(file.handle, &file.info);
    r->setLeftOutputMapping(0);
    r->setRightOutputMapping(1);
    std::vector<float> out;
    renderInto(r.get(), out, 100);
    r->setLeftOutputMapping(2);
    r->setRightOutputMapping(2);
    renderInto(r.get(), out, 100);
    QString diff = compareMapped(out, 0, ref, 3, 0, 1, 0, 100);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    diff = compareMapped(out, 100, ref, 3, 2, 2, 100, 100);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
}

void TestAudioRenderer::endOfFileOrder()
{
    // Shorter than the buffer, and not a whole number of calls.
    const int frames = 1000;
    const QString path = writeFile(m_dir, QStringLiteral("short.wav"), 2, frames);
    const std::vector<float> ref = readFloats(path);
    OpenFile file(path);
    QVERIFY(file.handle);
    auto r = std::make_unique<AudioRenderer>();
    EventLog log(r.get());
    QSignalSpy eofSpy(r.get(), &AudioRenderer::eof);
    QSignalSpy posSpy(r.get(), &AudioRenderer::filePositionChanged);
    r->set_sndfile(file.handle, &file.info);
    r->setRightOutputMapping(1);

    std::vector<float> out;
    renderInto(r.get(), out, 512);
    r->deliverNotifications();
    QCOMPARE(log.events, QStringList({"pos"}));
    QCOMPARE(r->currentPosition(), qint64(512));

    // The call that reaches the end plays the last 488 frames, then silence.
    renderInto(r.get(), out, 512);
    QCOMPARE(r->currentPosition(), qint64(frames));
    QCOMPARE(eofSpy.count(), 0); // nothing is emitted on the audio side
    r->deliverNotifications();
    QCOMPARE(log.events, QStringList({"pos", "pos", "eof"}));
    QCOMPARE(eofSpy.count(), 1);
    QCOMPARE(posSpy.count(), 2);
    QString diff = compareMapped(out, 0, ref, 2, 0, 1, 0, size_t(frames));
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    QVERIFY(silentFrom(out, size_t(frames)));

    // Further calls stay silent and do not report the end again.
    for (int i = 0; i < 3; ++i)
        renderInto(r.get(), out, 512);
    r->deliverNotifications();
    QCOMPARE(eofSpy.count(), 1);
    QVERIFY(silentFrom(out, size_t(frames)));
    QCOMPARE(r->underrunCount(), quint64(0));

    // Rewinding plays the file again and reports its end once more.
    r->seek(0);
    out.clear();
    renderInto(r.get(), out, 2048);
    r->deliverNotifications();
    QCOMPARE(eofSpy.count(), 2);
    QCOMPARE(log.events.mid(log.events.size() - 2), QStringList({"pos", "eof"}));
    diff = compareMapped(out, 0, ref, 2, 0, 1, 0, size_t(frames));
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
}

void TestAudioRenderer::underrunHoldsPosition()
{
    const int frames = 600000;
    const QString path = writeFile(m_dir, QStringLiteral("underrun.wav"), 1, frames);
    const std::vector<float> ref = readFloats(path);
    OpenFile file(path);
    QVERIFY(file.handle);
    auto r = std::make_unique<AudioRenderer>();
    EventLog log(r.get());
    r->set_sndfile(file.handle, &file.info);

    // Use the whole buffer up without topping it up.
    std::vector<float> out;
    const int full = AudioRenderer::kBufferItems;
    for (int i = 0; i < full / 4096; ++i)
        renderInto(r.get(), out, 4096);
    QCOMPARE(r->current_buffer_start(), full);
    QCOMPARE(r->currentPosition(), qint64(full));
    QCOMPARE(r->underrunCount(), quint64(0));
    r->deliverNotifications();
    log.events.clear();

    std::vector<float> starved;
    renderInto(r.get(), starved, 512);
    QVERIFY(silentFrom(starved, 0));
    QCOMPARE(r->currentPosition(), qint64(full));
    QVERIFY(r->underrunCount() > 0);
    r->deliverNotifications();
    QCOMPARE(log.events, QStringList({"pos"}));

    // The next top-up refills the whole buffer and playback goes on from the
    // frame where it stood.
    StdoutCapture capture;
    r->update_buffer();
    const QString printed = capture.text();
    QCOMPARE(printed, QStringLiteral("rebuffering.\n"));
    QCOMPARE(r->current_buffer_start(), 0);
    renderInto(r.get(), out, 4096);
    const QString diff = compareMapped(out, 0, ref, 1, 0, 0, 0, size_t(full) + 4096);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
}

void TestAudioRenderer::refillThreshold()
{
    const QString path = writeFile(m_dir, QStringLiteral("threshold.wav"), 1, 800000);
    const std::vector<float> ref = readFloats(path);
    OpenFile file(path);
    QVERIFY(file.handle);
    auto r = std::make_unique<AudioRenderer>();
    r->set_sndfile(file.handle, &file.info);
    QCOMPARE(r->current_buffer_start(), 0);

    std::vector<float> out;
    renderInto(r.get(), out, 262144);
    QCOMPARE(r->current_buffer_start(), 262144);
    {
        StdoutCapture capture;
        r->update_buffer();
        QCOMPARE(capture.text(), QString());
    }
    QCOMPARE(r->current_buffer_start(), 262144);

    renderInto(r.get(), out, 1);
    QCOMPARE(r->current_buffer_start(), 262145);
    {
        StdoutCapture capture;
        r->update_buffer();
        QCOMPARE(capture.text(), QStringLiteral("rebuffering.\n"));
    }
    QCOMPARE(r->current_buffer_start(), 0);

    // That refill read exactly the 262145 items used: the buffer now holds a
    // full 524288 frames, correct to the last, and not one more.
    renderInto(r.get(), out, 524288);
    QCOMPARE(r->underrunCount(), quint64(0));
    QCOMPARE(r->currentPosition(), qint64(262145 + 524288));
    const QString diff = compareMapped(out, 0, ref, 1, 0, 0, 0, 262145 + 524288);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    std::vector<float> starved;
    renderInto(r.get(), starved, 2);
    QVERIFY(silentFrom(starved, 0));
    QCOMPARE(r->underrunCount(), quint64(2)); // one for each half of the call
}

void TestAudioRenderer::seeking()
{
    const int frames = 300000;
    const QString path = writeFile(m_dir, QStringLiteral("seek.wav"), 2, frames);
    const std::vector<float> ref = readFloats(path);
    OpenFile file(path);
    QVERIFY(file.handle);
    auto r = std::make_unique<AudioRenderer>();
    EventLog log(r.get());
    r->set_sndfile(file.handle, &file.info);
    r->setRightOutputMapping(1);

    std::vector<float> out;
    renderInto(r.get(), out, 1000);
    r->seek(123457);
    QCOMPARE(r->currentPosition(), qint64(123457));
    QCOMPARE(r->current_buffer_start(), 0);
    out.clear();
    renderInto(r.get(), out, 1000);
    QString diff = compareMapped(out, 0, ref, 2, 0, 1, 123457, 1000);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));

    // At the last position the next pass is the end.
    r->deliverNotifications();
    log.events.clear();
    r->seek(frames);
    out.clear();
    renderInto(r.get(), out, 512);
    QVERIFY(silentFrom(out, 0));
    r->deliverNotifications();
    QCOMPARE(log.events, QStringList({"pos", "eof"}));
    QCOMPARE(r->currentPosition(), qint64(frames));

    // Staying at the end reports it only once; a pending end is dropped by a
    // seek, since it described the old position.
    renderInto(r.get(), out, 512);
    r->deliverNotifications();
    QCOMPARE(log.count("eof"), 1);
    r->seek(frames);
    renderInto(r.get(), out, 512);
    r->seek(0);
    r->deliverNotifications();
    QCOMPARE(log.count("eof"), 1);

    // Positions outside the file are clamped to it.
    r->seek(frames + 100);
    QCOMPARE(r->currentPosition(), qint64(frames));
    r->seek(-5);
    QCOMPARE(r->currentPosition(), qint64(0));
    out.clear();
    renderInto(r.get(), out, 10);
    diff = compareMapped(out, 0, ref, 2, 0, 1, 0, 10);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
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
    const QString path = writeFile(m_dir, QStringLiteral("odd.wav"), 2, frames);
    const std::vector<float> ref = readFloats(path);
    OpenFile file(path);
    QVERIFY(file.handle);
    auto r = std::make_unique<AudioRenderer>();
    EventLog log(r.get());
    r->set_sndfile(file.handle, &file.info);
    r->setRightOutputMapping(1);

    // Every call writes exactly its frames (a guard zone behind them stays
    // untouched) and moves the position by as many frames until the end.
    const float guard = 1234.5f;
    std::vector<float> played;
    std::vector<float> block(2 * size_t(framesPerCall) + 16);
    qint64 expected = 0;
    for (int call = 0; call <= frames / framesPerCall + 2; ++call) {
        std::fill(block.begin(), block.end(), guard);
        AudioRenderer::sf_coreaudio_render_proc(r.get(), block.data(), framesPerCall);
        for (size_t i = 2 * size_t(framesPerCall); i < block.size(); ++i)
            QCOMPARE(block[i], guard);
        expected = std::min<qint64>(frames, expected + framesPerCall);
        QCOMPARE(r->currentPosition(), expected);
        played.insert(played.end(), block.begin(), block.begin() + 2 * framesPerCall);
    }
    r->deliverNotifications();
    const QString diff = compareMapped(played, 0, ref, 2, 0, 1, 0, size_t(frames));
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    QVERIFY(silentFrom(played, size_t(frames)));
    QCOMPARE(log.events, QStringList({"pos", "eof"}));
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

    const QString path = writeFile(m_dir, QStringLiteral("truncated.wav"), channels, reported);
    const std::vector<float> ref = readFloats(path);
    OpenFile file(path);
    QVERIFY(file.handle);
    QCOMPARE(file.info.frames, sf_count_t(reported));

    // Cut the data on disk behind the open handle, in the middle of a frame,
    // so the handle reports more frames than it can deliver.
    QFile f(path);
    const qint64 frameBytes = 2 * channels;
    const qint64 dataStart = f.size() - qint64(reported) * frameBytes;
    QVERIFY(f.resize(dataStart + qint64(delivered) * frameBytes + 2));
    {
        OpenFile reopened(path);
        QCOMPARE(reopened.info.frames, sf_count_t(delivered));
    }

    auto r = std::make_unique<AudioRenderer>();
    EventLog log(r.get());
    r->set_sndfile(file.handle, &file.info);
    r->setLeftOutputMapping(channels - 1);
    std::vector<float> out;
    playToEnd(r.get(), log, out, 2048, reported / 2048 + 10);

    QCOMPARE(log.count("eof"), 1);
    QCOMPARE(log.events.last(), QStringLiteral("eof"));
    QCOMPARE(r->currentPosition(), qint64(delivered));
    const QString diff = compareMapped(out, 0, ref, channels, channels - 1, 0, 0, size_t(delivered));
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    QVERIFY(silentFrom(out, size_t(delivered)));

    // Seeking back plays what there is again; seeking past it ends at once.
    r->seek(0);
    out.clear();
    renderInto(r.get(), out, 8);
    QCOMPARE(r->currentPosition(), qint64(std::min(8, delivered)));
    r->seek(reported - 10);
    out.clear();
    renderInto(r.get(), out, 8);
    QVERIFY(silentFrom(out, 0));
    r->deliverNotifications();
    QCOMPARE(log.count("eof"), 2);
}

void TestAudioRenderer::noDeviceAtOddRate()
{
    const QString path = writeFile(m_dir, QStringLiteral("rate500.wav"), 1, 3000, 500);
    const std::vector<float> ref = readFloats(path);
    OpenFile file(path);
    QVERIFY(file.handle);
    QCOMPARE(file.info.samplerate, 500);
    auto r = std::make_unique<AudioRenderer>();
    {
        StdoutCapture capture;
        r->set_sndfile(file.handle, &file.info);
        QCOMPARE(capture.text(), QStringLiteral("Unable to find a usable audio output unit component\n"));
    }
    {
        StdoutCapture capture;
        const int started = r->play();
        const int stopped = r->pause();
        const QString printed = capture.text();
        QVERIFY(started != 0);
        QVERIFY(stopped != 0);
        QCOMPARE(printed, QStringLiteral("AudioOutputUnitStart returned %1\nAudioOutputUnitStop returned %2\n")
                              .arg(started).arg(stopped));
    }
    // The buffer was filled all the same.
    std::vector<float> out;
    renderInto(r.get(), out, 3000);
    const QString diff = compareMapped(out, 0, ref, 1, 0, 0, 0, 3000);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
}

void TestAudioRenderer::degenerateInput()
{
    // No file at all: silence, and the "end" right away.
    auto r = std::make_unique<AudioRenderer>();
    EventLog log(r.get());
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
    QCOMPARE(log.events, QStringList({"pos", "eof"}));

    // No renderer, no output pointer, no frames: nothing happens.
    std::fill(out.begin(), out.end(), 1.0f);
    QCOMPARE(AudioRenderer::sf_coreaudio_render_proc(nullptr, out.data(), 32), 0);
    QVERIFY(silentFrom(out, 0));
    QCOMPARE(AudioRenderer::sf_coreaudio_render_proc(r.get(), nullptr, 32), 0);
    QCOMPARE(AudioRenderer::sf_coreaudio_render_proc(r.get(), out.data(), -3), 0);
    float *p = nullptr;
    QCOMPARE(r->read_buffered(&p, 100), 0);
    QCOMPARE(r->read_buffered(nullptr, 100), 0);
}

void TestAudioRenderer::endToEndThroughDisk()
{
    const int frames = 50000;
    const QString path = writeFile(m_dir, QStringLiteral("four.wav"), 4, frames, 48000);
    const std::vector<float> ref = readFloats(path);
    OpenFile file(path);
    QVERIFY(file.handle);
    const QString raw = m_dir.filePath(QStringLiteral("four.raw"));

    auto r = std::make_unique<AudioRenderer>();
    QSignalSpy eofSpy(r.get(), &AudioRenderer::eof);
    {
        // The disk driver reads these when the device opens.
        qputenv("SDL_DISKAUDIOFILE", QFile::encodeName(raw));
        qputenv("SDL_DISKAUDIODELAY", "0");
        StdoutCapture capture;
        r->set_sndfile(file.handle, &file.info);
        const QString printed = capture.text();
        qputenv("SDL_DISKAUDIOFILE", "/dev/null");
        qunsetenv("SDL_DISKAUDIODELAY");
        QCOMPARE(printed, QString());
    }
    r->setLeftOutputMapping(2);
    r->setRightOutputMapping(0);
    {
        StdoutCapture capture;
        const int started = r->play();
        QCOMPARE(capture.text(), QString());
        QCOMPARE(started, 0);
    }
    // The renderer's own timer delivers the end while the event loop runs.
    QTRY_COMPARE_WITH_TIMEOUT(eofSpy.count(), 1, 60000);
    QCOMPARE(r->pause(), 0);
    QCOMPARE(r->currentPosition(), qint64(frames));
    r.reset(); // closes the device, which closes its file

    QFile in(raw);
    QVERIFY(in.open(QIODevice::ReadOnly));
    const QByteArray bytes = in.readAll();
    std::vector<float> out(size_t(bytes.size()) / sizeof(float));
    std::memcpy(out.data(), bytes.constData(), out.size() * sizeof(float));
    // Silence while paused comes first; the signal starts at its first frame.
    size_t start = 0;
    while (start < out.size() && out[start] == 0.0f)
        ++start;
    QVERIFY(start % 2 == 0);
    const QString diff = compareMapped(out, start / 2, ref, 4, 2, 0, 0, size_t(frames));
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    QVERIFY(silentFrom(out, start / 2 + frames));
}

void TestAudioRenderer::playsWhileRefillingAndSeeking()
{
    // The output runs on SDL's thread while the main thread tops the buffer
    // up and seeks. With the frames of silence (underruns) taken out, the
    // device must have received the file's frames in order, from the start
    // to the seek and from the seek's target to the end.
    const int frames = 1200000;
    const qint64 target = 900000;
    const QString path = writeFile(m_dir, QStringLiteral("long.wav"), 2, frames);
    const std::vector<float> ref = readFloats(path);
    OpenFile file(path);
    QVERIFY(file.handle);
    const QString raw = m_dir.filePath(QStringLiteral("long.raw"));

    auto r = std::make_unique<AudioRenderer>();
    EventLog log(r.get());
    qputenv("SDL_DISKAUDIOFILE", QFile::encodeName(raw));
    qputenv("SDL_DISKAUDIODELAY", "1");
    r->set_sndfile(file.handle, &file.info);
    qputenv("SDL_DISKAUDIOFILE", "/dev/null");
    qunsetenv("SDL_DISKAUDIODELAY");
    r->setRightOutputMapping(1);

    QTimer refill;
    refill.setInterval(5);
    QObject::connect(&refill, &QTimer::timeout, r.get(), [&r] { r->update_buffer(); });
    StdoutCapture capture; // "rebuffering." lines
    refill.start();
    QCOMPARE(r->play(), 0);
    bool seeked = false;
    QElapsedTimer clock;
    clock.start();
    while (log.count("eof") == 0 && clock.elapsed() < 120000) {
        QTest::qWait(1);
        if (!seeked && r->currentPosition() >= 200000) {
            r->seek(target);
            seeked = true;
        }
    }
    refill.stop();
    QCOMPARE(r->pause(), 0);
    capture.text();
    QVERIFY(seeked);
    QCOMPARE(log.count("eof"), 1);
    QCOMPARE(log.events.last(), QStringLiteral("eof"));
    QCOMPARE(r->currentPosition(), qint64(frames));
    r.reset();

    QFile in(raw);
    QVERIFY(in.open(QIODevice::ReadOnly));
    const QByteArray bytes = in.readAll();
    const float *all = reinterpret_cast<const float *>(bytes.constData());
    std::vector<float> sound;
    for (qsizetype i = 0; i + 1 < bytes.size() / qsizetype(sizeof(float)); i += 2)
        if (all[i] != 0.0f || all[i + 1] != 0.0f)
            sound.insert(sound.end(), {all[i], all[i + 1]});
    size_t before = 0;
    while (before < sound.size() / 2 && sound[2 * before] == ref[2 * before]
           && sound[2 * before + 1] == ref[2 * before + 1])
        ++before;
    QVERIFY(before >= 200000);
    const size_t after = size_t(frames - target);
    QCOMPARE(sound.size() / 2, before + after);
    const QString diff = compareMapped(sound, before, ref, 2, 0, 1, size_t(target), after);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
}

QTEST_GUILESS_MAIN(TestAudioRenderer)
#include "tst_audiorenderer.moc"
