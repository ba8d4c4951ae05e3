// Samples through the rewrite engine: exact copies, channel selection,
// clipping, conversions and the source handle.
#include "Fixtures.h"
#include "RewriteFixtures.h"

#include "rewrite/FileRewriter.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <climits>
#include <cmath>
#include <cstring>
#include <limits>

using namespace fixtures;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Extremes first, then a pseudo-random pattern that sets every bit.
std::vector<int> fullRangeInts(size_t count)
{
    std::vector<int> v(count);
    quint32 x = 12345;
    for (int &item : v) {
        x = x * 1664525u + 1013904223u;
        item = int(x);
    }
    const int extremes[] = {INT_MIN, INT_MAX, 0, -1, 1, INT_MIN + 1};
    std::copy(std::begin(extremes), std::end(extremes), v.begin());
    return v;
}

// Values a float file may hold that integers cannot: beyond full scale,
// negative zero, NaN, infinities, a subnormal float.
std::vector<double> floatSpecials(size_t count)
{
    std::vector<double> v(count);
    for (size_t i = 0; i < count; ++i)
        v[i] = 1.5 * std::sin(double(i) * 0.001) + 1e-3 * double(i % 7);
    const double specials[] = {1.5, -1.5, -0.0, kNaN, kInf, -kInf, 1e-40, 3e38, 0.1};
    std::copy(std::begin(specials), std::end(specials), v.begin());
    return v;
}

bool sameDoubles(const std::vector<double> &a, const std::vector<double> &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const bool bothNaN = std::isnan(a[i]) && std::isnan(b[i]);
        if (!bothNaN && std::memcmp(&a[i], &b[i], sizeof(double)) != 0)
            return false;
    }
    return true;
}

bool isCompressed(int format)
{
    const int codec = format & SF_FORMAT_SUBMASK;
    return (format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC || (codec >= SF_FORMAT_ALAC_16 && codec <= SF_FORMAT_ALAC_32);
}

} // namespace

class FileRewriterTest : public QObject {
    Q_OBJECT

private slots:
    void sameFormatCopyIsExact_data();
    void sameFormatCopyIsExact();
    void emptyFileKeepsMetadata();
    void selectedChannelsMakeEachFrame();
    void allChannelsConversion();
    void floatsClipIntoIntegers_data();
    void floatsClipIntoIntegers();
    void companderTargetsTakeAnyInput_data();
    void companderTargetsTakeAnyInput();
    void honestConversionsPassTheCheck_data();
    void honestConversionsPassTheCheck();
    void sourceHandleStaysUsable();
    void unseekableSourceSaves_data();
    void unseekableSourceSaves();
    void sndfileConvertAgrees_data();
    void sndfileConvertAgrees();

private:
    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }
};

void FileRewriterTest::sameFormatCopyIsExact_data()
{
    QTest::addColumn<int>("format");
    const struct { int type; const char *name; } containers[] = {
        {SF_FORMAT_WAV, "wav"}, {SF_FORMAT_AIFF, "aiff"}, {SF_FORMAT_CAF, "caf"}, {SF_FORMAT_FLAC, "flac"}};
    const struct { int codec; const char *name; } codecs[] = {
        {SF_FORMAT_PCM_S8, "s8"}, {SF_FORMAT_PCM_U8, "u8"}, {SF_FORMAT_PCM_16, "16"}, {SF_FORMAT_PCM_24, "24"},
        {SF_FORMAT_PCM_32, "32"}, {SF_FORMAT_FLOAT, "float"}, {SF_FORMAT_DOUBLE, "double"},
        {SF_FORMAT_ULAW, "ulaw"}, {SF_FORMAT_ALAW, "alaw"}, {SF_FORMAT_ALAC_16, "alac16"}, {SF_FORMAT_ALAC_24, "alac24"}};
    for (const auto &c : containers) {
        for (const auto &k : codecs) {
            SF_INFO info{};
            info.format = c.type | k.codec;
            info.channels = 2;
            info.samplerate = 44100;
            if (sf_format_check(&info))
                QTest::addRow("%s %s", c.name, k.name) << info.format;
        }
    }
}

void FileRewriterTest::sameFormatCopyIsExact()
{
    QFETCH(int, format);
    const QString tag = QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-');
    const QString source = path(tag + "-source");
    const QString target = path(tag + "-copy");
    const sf_count_t frames = 40000; // two blocks of stereo
    Spec spec;
    spec.format = format;
    spec.frames = frames;
    const int codec = format & SF_FORMAT_SUBMASK;
    const bool floating = codec == SF_FORMAT_FLOAT || codec == SF_FORMAT_DOUBLE;
    if (floating) {
        QVERIFY(writeRawDoubles(source, spec, floatSpecials(size_t(frames * 2))));
    } else if (codec == SF_FORMAT_ULAW) {
        QByteArray codes(int(frames * 2), '\0');
        for (int i = 0; i < codes.size(); ++i)
            codes[i] = char(i & 0xff); // every code, negative zero 0x7f included
        QVERIFY(writeRawBytes(source, format, 2, codes));
    } else if (codec == SF_FORMAT_ALAC_16 || codec == SF_FORMAT_ALAC_24) {
        // A quiet signal: libsndfile's ALAC encoder is only exact there.
        QVERIFY(write(source, spec, [](sf_count_t f, int c) { return 0.05 * sineSample(f, c); }));
    } else {
        QVERIFY(writeInts(source, spec, fullRangeInts(size_t(frames * 2))));
    }

    OpenSoundFile in(source);
    QVERIFY(in.sf);
    const RewriteResult r = FileRewriter().run(sameFormatJob(in, target), {});
    QVERIFY2(r.ok, qPrintable(r.detail));
    QCOMPARE(r.framesWritten, frames);
    SF_INFO written{};
    if (floating) {
        QVERIFY(sameDoubles(readRawDoubles(target, &written), readRawDoubles(source)));
    } else {
        QCOMPARE(readInts(target, &written), readInts(source));
    }
    QCOMPARE(written.format, format);
    if (!isCompressed(format))
        QCOMPARE(readRawBytes(target), readRawBytes(source));
}

void FileRewriterTest::emptyFileKeepsMetadata()
{
    Spec spec;
    spec.frames = 0;
    spec.bext = bextRecord("empty take", "WavQuill", "ref", "2024-01-02", "03:04:05", 48000, 1, "", "");
    const QString source = path("empty.wav");
    const QString target = path("empty-copy.wav");
    QVERIFY(write(source, spec));

    OpenSoundFile in(source);
    RewriteJob job = sameFormatJob(in, target);
    job.strings[SF_STR_TITLE - 1] = QByteArray("Silence");
    job.strings[SF_STR_COMMENT - 1] = QByteArray("nothing here");
    job.bext.emplace();
    QVERIFY(readBext(source, &*job.bext));
    int calls = 0;
    const RewriteResult r = FileRewriter().run(job, [&](double) { ++calls; return true; });
    QVERIFY2(r.ok, qPrintable(r.detail));
    QCOMPARE(r.framesWritten, sf_count_t(0));
    QCOMPARE(calls, 0);

    SF_INFO info{};
    QVERIFY(readInts(target, &info).empty());
    QCOMPARE(info.frames, sf_count_t(0));
    QCOMPARE(readString(target, SF_STR_TITLE), QByteArray("Silence"));
    QCOMPARE(readString(target, SF_STR_COMMENT), QByteArray("nothing here"));
    BextRecord back;
    QVERIFY(readBext(target, &back));
    QCOMPARE(QByteArray(back.description), QByteArray("empty take"));
    QCOMPARE(back.time_reference_low, 48000u);
}

void FileRewriterTest::selectedChannelsMakeEachFrame()
{
    const sf_count_t frames = 100000;
    std::vector<int> items(size_t(frames * 4));
    for (size_t i = 0; i < items.size(); ++i)
        items[i] = int(i) * 8 - 400000; // item value names its frame and channel
    Spec spec;
    spec.format = SF_FORMAT_WAV | SF_FORMAT_PCM_32;
    spec.channels = 4;
    spec.frames = frames;
    const QString source = path("four.wav");
    const QString target = path("two.wav");
    QVERIFY(writeInts(source, spec, items));

    OpenSoundFile in(source);
    RewriteJob job = sameFormatJob(in, target);
    job.targetInfo.channels = 2;
    job.channels = {0, 2};
    std::vector<double> seen;
    const RewriteResult r = FileRewriter().run(job, [&](double p) { seen.push_back(p); return true; });
    QVERIFY2(r.ok, qPrintable(r.detail));
    QCOMPARE(r.framesWritten, frames);

    SF_INFO info{};
    const std::vector<int> out = readInts(target, &info);
    QCOMPARE(info.channels, 2);
    QCOMPARE(info.frames, frames);
    for (sf_count_t f = 0; f < frames; ++f) {
        if (out[size_t(2 * f)] != items[size_t(4 * f)] || out[size_t(2 * f + 1)] != items[size_t(4 * f + 2)])
            QFAIL(qPrintable(QStringLiteral("frame %1 is not (channel 0, channel 2)").arg(f)));
    }
    // Blocks hold at most 65536 items: 16384 frames of four channels.
    QVERIFY(!seen.empty());
    QCOMPARE(seen.front(), 16384 * 100.0 / double(frames));
    QCOMPARE(seen.back(), 100.0);
    QVERIFY(std::is_sorted(seen.begin(), seen.end()));
}

void FileRewriterTest::allChannelsConversion()
{
    Spec spec;
    spec.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
    spec.channels = 3;
    spec.frames = 50000;
    const QString source = path("three.wav");
    const QString target = path("three.flac");
    QVERIFY(writeInts(source, spec, fullRangeInts(size_t(spec.frames * 3))));

    OpenSoundFile in(source);
    RewriteJob job = sameFormatJob(in, target);
    job.targetInfo.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_24;
    const RewriteResult r = FileRewriter().run(job, {});
    QVERIFY2(r.ok, qPrintable(r.detail));
    SF_INFO info{};
    QCOMPARE(readInts(target, &info), readInts(source));
    QCOMPARE(info.format, SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
    QCOMPARE(info.channels, 3);
}

void FileRewriterTest::floatsClipIntoIntegers_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("bits");
    QTest::newRow("wav 16") << (SF_FORMAT_WAV | SF_FORMAT_PCM_16) << 16;
    QTest::newRow("wav 24") << (SF_FORMAT_WAV | SF_FORMAT_PCM_24) << 24;
    QTest::newRow("wav 32") << (SF_FORMAT_WAV | SF_FORMAT_PCM_32) << 32;
    QTest::newRow("flac 16") << (SF_FORMAT_FLAC | SF_FORMAT_PCM_16) << 16;
    QTest::newRow("caf alac 16") << (SF_FORMAT_CAF | SF_FORMAT_ALAC_16) << 16;
}

void FileRewriterTest::floatsClipIntoIntegers()
{
    QFETCH(int, format);
    QFETCH(int, bits);
    Spec spec;
    spec.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    spec.channels = 1;
    const std::vector<double> items = {1.5, -1.5, kNaN, kInf, -kInf, 0.5, -0.25, 0.0};
    const QString source = path(QStringLiteral("loud-%1.wav").arg(QTest::currentDataTag()));
    const QString target = path(QStringLiteral("clipped-%1").arg(QTest::currentDataTag()));
    QVERIFY(writeRawDoubles(source, spec, items));

    OpenSoundFile in(source);
    RewriteJob job = sameFormatJob(in, target);
    job.targetInfo.format = format;
    const RewriteResult r = FileRewriter().run(job, {});
    QVERIFY2(r.ok, qPrintable(r.detail));

    // Integers read back left-justified in 32 bits.
    const int top = int((quint32(1) << (bits - 1)) - 1) * int(quint32(1) << (32 - bits));
    const std::vector<int> expected = {top, INT_MIN, 0, top, INT_MIN, 0x40000000, -0x20000000, 0};
    QCOMPARE(readInts(target), expected);
}

void FileRewriterTest::companderTargetsTakeAnyInput_data()
{
    QTest::addColumn<int>("codec");
    QTest::newRow("ulaw") << int(SF_FORMAT_ULAW);
    QTest::newRow("alaw") << int(SF_FORMAT_ALAW);
}

void FileRewriterTest::companderTargetsTakeAnyInput()
{
    QFETCH(int, codec);
    const QString tag = QString::fromLatin1(QTest::currentDataTag());
    Spec spec;
    spec.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    spec.channels = 1;
    const QString floats = path("wild-" + tag + ".wav");
    QVERIFY(writeRawDoubles(floats, spec, {1e10, -1e10, kInf, -kInf, kNaN, 1.5, -1.5, 0.5}));
    OpenSoundFile in(floats);
    RewriteJob job = sameFormatJob(in, path("compand-" + tag + ".wav"));
    job.targetInfo.format = SF_FORMAT_WAV | codec;
    RewriteResult r = FileRewriter().run(job, {});
    QVERIFY2(r.ok, qPrintable(r.detail));
    std::vector<int> out = readInts(job.targetPath);
    QCOMPARE(out.size(), size_t(8));
    const int loudest = 0x7d000000; // both companders top out above 31 x 2^10 on the 16-bit scale
    for (int i : {0, 2, 5})
        QVERIFY2(out[size_t(i)] > loudest, qPrintable(QString::number(out[size_t(i)])));
    for (int i : {1, 3, 6})
        QVERIFY2(out[size_t(i)] < -loudest, qPrintable(QString::number(out[size_t(i)])));
    QVERIFY(std::abs(out[4]) <= (16 << 16)); // NaN became silence
    QVERIFY(std::abs(out[7] - 0x40000000) < 0x40000000 / 16);

    // Integers take the other road; the most negative one must stay negative.
    spec.format = SF_FORMAT_WAV | SF_FORMAT_PCM_32;
    const QString ints = path("extreme-" + tag + ".wav");
    QVERIFY(writeInts(ints, spec, {INT_MIN, INT_MAX}));
    OpenSoundFile in32(ints);
    job = sameFormatJob(in32, path("compand32-" + tag + ".wav"));
    job.targetInfo.format = SF_FORMAT_WAV | codec;
    r = FileRewriter().run(job, {});
    QVERIFY2(r.ok, qPrintable(r.detail));
    out = readInts(job.targetPath);
    QCOMPARE(out.size(), size_t(2));
    QVERIFY(out[0] < -loudest);
    QVERIFY(out[1] > loudest);
}

void FileRewriterTest::honestConversionsPassTheCheck_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("rate");
    QTest::newRow("24 to 16") << (SF_FORMAT_WAV | SF_FORMAT_PCM_24) << (SF_FORMAT_WAV | SF_FORMAT_PCM_16) << 2 << 44100;
    QTest::newRow("16 to float") << (SF_FORMAT_WAV | SF_FORMAT_PCM_16) << (SF_FORMAT_AIFF | SF_FORMAT_FLOAT) << 2 << 44100;
    QTest::newRow("float to 24") << (SF_FORMAT_WAV | SF_FORMAT_FLOAT) << (SF_FORMAT_WAV | SF_FORMAT_PCM_24) << 2 << 44100;
    QTest::newRow("double to float") << (SF_FORMAT_WAV | SF_FORMAT_DOUBLE) << (SF_FORMAT_CAF | SF_FORMAT_FLOAT) << 2 << 44100;
    QTest::newRow("float to u8") << (SF_FORMAT_WAV | SF_FORMAT_FLOAT) << (SF_FORMAT_WAV | SF_FORMAT_PCM_U8) << 2 << 44100;
    QTest::newRow("16 to s8") << (SF_FORMAT_WAV | SF_FORMAT_PCM_16) << (SF_FORMAT_AIFF | SF_FORMAT_PCM_S8) << 2 << 44100;
    QTest::newRow("aiff to flac") << (SF_FORMAT_AIFF | SF_FORMAT_PCM_16) << (SF_FORMAT_FLAC | SF_FORMAT_PCM_16) << 2 << 44100;
    QTest::newRow("ulaw wav to au") << (SF_FORMAT_WAV | SF_FORMAT_ULAW) << (SF_FORMAT_AU | SF_FORMAT_ULAW) << 2 << 8000;
    QTest::newRow("ulaw to 16") << (SF_FORMAT_WAV | SF_FORMAT_ULAW) << (SF_FORMAT_WAV | SF_FORMAT_PCM_16) << 2 << 8000;
    QTest::newRow("24 to quiet alac") << (SF_FORMAT_WAV | SF_FORMAT_PCM_24) << (SF_FORMAT_CAF | SF_FORMAT_ALAC_24) << 2 << 44100;
    QTest::newRow("dwvw to 16") << (SF_FORMAT_AIFF | SF_FORMAT_DWVW_16) << (SF_FORMAT_WAV | SF_FORMAT_PCM_16) << 1 << 44100;
    QTest::newRow("16 to gsm") << (SF_FORMAT_WAV | SF_FORMAT_PCM_16) << (SF_FORMAT_WAV | SF_FORMAT_GSM610) << 1 << 8000;
    QTest::newRow("16 to vorbis") << (SF_FORMAT_WAV | SF_FORMAT_PCM_16) << (SF_FORMAT_OGG | SF_FORMAT_VORBIS) << 2 << 44100;
    QTest::newRow("16 to headerless") << (SF_FORMAT_WAV | SF_FORMAT_PCM_16) << (SF_FORMAT_RAW | SF_FORMAT_PCM_16) << 2 << 44100;
    QTest::newRow("ima to ima") << (SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM) << (SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM) << 2 << 44100;
    QTest::newRow("ima to 16") << (SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM) << (SF_FORMAT_WAV | SF_FORMAT_PCM_16) << 2 << 44100;
}

void FileRewriterTest::honestConversionsPassTheCheck()
{
    QFETCH(int, from);
    QFETCH(int, to);
    QFETCH(int, channels);
    QFETCH(int, rate);
    const QString tag = QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-');
    Spec spec;
    spec.format = from;
    spec.channels = channels;
    spec.samplerate = rate;
    spec.frames = 50000;
    const QString source = path("conv-" + tag + "-in");
    QVERIFY(write(source, spec, [](sf_count_t f, int c) { return 0.1 * sineSample(f, c); }));

    OpenSoundFile in(source);
    RewriteJob job = sameFormatJob(in, path("conv-" + tag + "-out"));
    job.targetInfo.format = to;
    const RewriteResult r = FileRewriter().run(job, {});
    QVERIFY2(r.ok, qPrintable(r.detail));
    QCOMPARE(r.framesWritten, in.info.frames);
    SF_INFO info{};
    if ((to & SF_FORMAT_TYPEMASK) == SF_FORMAT_RAW) {
        info.format = to;
        info.channels = channels;
        info.samplerate = rate;
    }
    SNDFILE *out = sf_open(QFile::encodeName(job.targetPath).constData(), SFM_READ, &info);
    QVERIFY(out);
    sf_close(out);
    QVERIFY(info.frames >= in.info.frames); // block codecs pad the last block
    QCOMPARE(info.format, to);
    if ((from & SF_FORMAT_SUBMASK) == SF_FORMAT_ULAW && (to & SF_FORMAT_SUBMASK) == SF_FORMAT_ULAW)
        QCOMPARE(readRawBytes(job.targetPath), readRawBytes(source));
}

void FileRewriterTest::sourceHandleStaysUsable()
{
    Spec spec;
    spec.frames = 70000;
    const QString source = path("handle.wav");
    QVERIFY(write(source, spec));
    OpenSoundFile in(source);
    sf_seek(in.sf, 12345, SEEK_SET); // wherever playback left it
    sf_command(in.sf, SFC_SET_NORM_DOUBLE, nullptr, SF_FALSE);

    const RewriteResult r = FileRewriter().run(sameFormatJob(in, path("handle-copy.wav")), {});
    QVERIFY2(r.ok, qPrintable(r.detail));
    QCOMPARE(r.framesWritten, spec.frames); // copied from the start

    QCOMPARE(sf_command(in.sf, SFC_GET_NORM_DOUBLE, nullptr, 0), SF_FALSE);
    QCOMPARE(sf_seek(in.sf, 0, SEEK_SET), sf_count_t(0));
    std::vector<int> again(size_t(spec.frames * 2));
    QCOMPARE(sf_read_int(in.sf, again.data(), sf_count_t(again.size())), sf_count_t(again.size()));
    QCOMPARE(again, readInts(source));
}

void FileRewriterTest::unseekableSourceSaves_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("to"); // 0: saved in place in its own format
    QTest::addColumn<bool>("exact"); // the samples come back unchanged

    const int gsm = SF_FORMAT_WAV | SF_FORMAT_GSM610;
    const int dpcm = SF_FORMAT_XI | SF_FORMAT_DPCM_16;
    const int wav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    // GSM is lossy: encoding it again changes the samples.
    QTest::newRow("wav gsm in place") << gsm << 8000 << 0 << false;
    QTest::newRow("wav gsm to 16") << gsm << 8000 << wav16 << true;
    QTest::newRow("xi dpcm 16 in place") << dpcm << 44100 << 0 << true;
    QTest::newRow("xi dpcm 16 to 16") << dpcm << 44100 << wav16 << true;
}

void FileRewriterTest::unseekableSourceSaves()
{
    QFETCH(int, format);
    QFETCH(int, rate);
    QFETCH(int, to);
    QFETCH(bool, exact);
    const QString tag = QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-');
    const QString source = path("unseekable-" + tag);
    Spec spec;
    spec.format = format;
    spec.channels = 1;
    spec.samplerate = rate;
    spec.frames = 150000; // several copy blocks
    QVERIFY(write(source, spec, [](sf_count_t f, int c) { return 0.4 * sineSample(3 * f, c); }));
    const std::vector<int> before = readInts(source);

    // What the document hands over for such a file: a fresh handle at frame 0.
    OpenSoundFile in(source);
    QVERIFY(in.sf);
    QCOMPARE(in.info.seekable, 0);
    QVERIFY(sf_seek(in.sf, 0, SEEK_SET) < 0);
    const bool inPlace = to == 0;
    RewriteJob job = sameFormatJob(in, inPlace ? source : path("unseekable-" + tag + "-converted.wav"));
    if (!inPlace)
        job.targetInfo.format = to;
    job.requireAllFrames = inPlace;
    job.strings[SF_STR_TITLE - 1] = QByteArray("saved from a stream");
    const RewriteResult r = FileRewriter().run(job, {});
    QVERIFY2(r.ok, qPrintable(r.detail));
    QVERIFY(r.replaced);
    QCOMPARE(r.framesWritten, in.info.frames);

    SF_INFO info{};
    const std::vector<int> after = readInts(job.targetPath, &info);
    QCOMPARE(info.format, inPlace ? format : to);
    QCOMPARE(info.frames, in.info.frames);
    QCOMPARE(after.size(), before.size());
    if (exact)
        QCOMPARE(after, before);
    if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAV)
        QCOMPARE(readString(job.targetPath, SF_STR_TITLE), QByteArray("saved from a stream"));
    QCOMPARE(temporaryLeftovers(m_dir.path()), QStringList());
}

void FileRewriterTest::sndfileConvertAgrees_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");
    QTest::addColumn<QString>("option");
    QTest::addColumn<double>("tolerance"); // in units of the target as read unnormalised
    QTest::newRow("24 to 16") << (SF_FORMAT_WAV | SF_FORMAT_PCM_24) << (SF_FORMAT_WAV | SF_FORMAT_PCM_16) << "-pcm16" << 0.0;
    QTest::newRow("alaw to 16") << (SF_FORMAT_WAV | SF_FORMAT_ALAW) << (SF_FORMAT_WAV | SF_FORMAT_PCM_16) << "-pcm16" << 0.0;
    // The tool writes floats without clipping (scale 0x7fff), the engine
    // with clipping (scale 0x8000): one step apart at most. (The tool scales
    // integer input to its peak when writing floats, so that pair differs.)
    QTest::newRow("float to 16") << (SF_FORMAT_WAV | SF_FORMAT_FLOAT) << (SF_FORMAT_WAV | SF_FORMAT_PCM_16) << "-pcm16" << 1.0;
    QTest::newRow("float to 24") << (SF_FORMAT_WAV | SF_FORMAT_FLOAT) << (SF_FORMAT_WAV | SF_FORMAT_PCM_24) << "-pcm24" << 1.0;
}

void FileRewriterTest::sndfileConvertAgrees()
{
    if (!haveProgram("sndfile-convert"))
        QSKIP("sndfile-convert is not installed.");
    QFETCH(int, from);
    QFETCH(int, to);
    QFETCH(QString, option);
    QFETCH(double, tolerance);
    const QString tag = QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-');
    const QString source = path("peer-" + tag + ".wav");
    Spec spec;
    spec.format = from;
    spec.frames = 40000;
    QVERIFY(write(source, spec, [](sf_count_t f, int c) { return 0.9 * sineSample(f * 7, c); }));

    const QString theirs = path("peer-" + tag + "-tool.wav");
    QProcess tool;
    tool.start(QStringLiteral("sndfile-convert"), {option, source, theirs});
    QVERIFY(tool.waitForFinished(60000));
    QCOMPARE(tool.exitCode(), 0);

    OpenSoundFile in(source);
    RewriteJob job = sameFormatJob(in, path("peer-" + tag + "-ours.wav"));
    job.targetInfo.format = to;
    const RewriteResult r = FileRewriter().run(job, {});
    QVERIFY2(r.ok, qPrintable(r.detail));

    const std::vector<double> a = readRawDoubles(job.targetPath);
    const std::vector<double> b = readRawDoubles(theirs);
    QCOMPARE(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::fabs(a[i] - b[i]) > tolerance)
            QFAIL(qPrintable(QStringLiteral("item %1: %2 against %3").arg(i).arg(a[i]).arg(b[i])));
    }
}

QTEST_GUILESS_MAIN(FileRewriterTest)
#include "tst_filerewriter.moc"
