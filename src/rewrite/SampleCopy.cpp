#include "rewrite/SampleCopy.h"

#include "filelogic/CodecTable.h"
#include "filelogic/SoundHandle.h"

#include <QCoreApplication>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>

namespace rewrite {
namespace {

// Every text here ends up in the alert of a failed save.
QString tr(const char *text)
{
    return QCoreApplication::translate("SampleCopy", text);
}

bool isFloatCodec(int codec)
{
    return codecFacts(codec).kind == CodecKind::Float;
}

bool isIntegerCodec(int codec)
{
    return codecFacts(codec).kind == CodecKind::Integer;
}

// Read and write calls of one path, counted in items. unit is the number of
// T that make one item (bytes per sample for raw data, else 1).
template <typename T>
struct ItemIo {
    sf_count_t (*read)(SNDFILE *, T *, sf_count_t items, int unit);
    sf_count_t (*write)(SNDFILE *, const T *, sf_count_t items, int unit);
    int unit;
};

sf_count_t readInts(SNDFILE *f, int *p, sf_count_t n, int) { return sf_read_int(f, p, n); }
sf_count_t writeInts(SNDFILE *f, const int *p, sf_count_t n, int) { return sf_write_int(f, p, n); }
sf_count_t readDoubles(SNDFILE *f, double *p, sf_count_t n, int) { return sf_read_double(f, p, n); }
sf_count_t writeDoubles(SNDFILE *f, const double *p, sf_count_t n, int) { return sf_write_double(f, p, n); }

sf_count_t readRaw(SNDFILE *f, unsigned char *p, sf_count_t n, int unit)
{
    const sf_count_t bytes = sf_read_raw(f, p, n * unit);
    return bytes > 0 ? bytes / unit : 0;
}

sf_count_t writeRaw(SNDFILE *f, const unsigned char *p, sf_count_t n, int unit)
{
    const sf_count_t bytes = sf_write_raw(f, p, n * unit);
    return bytes > 0 ? bytes / unit : 0;
}

constexpr ItemIo<int> kIntIo{readInts, writeInts, 1};
constexpr ItemIo<double> kDoubleIo{readDoubles, writeDoubles, 1};

// Builds frames of the kept channels from whole source frames.
template <typename T>
void selectChannels(const T *in, T *out, sf_count_t frames, int sourceChannels,
                    const std::vector<int> &keep, int unit)
{
    const size_t kept = keep.size();
    if (unit == 1) {
        for (sf_count_t f = 0; f < frames; ++f) {
            const T *src = in + f * sourceChannels;
            T *dst = out + f * sf_count_t(kept);
            for (size_t j = 0; j < kept; ++j)
                dst[j] = src[keep[j]];
        }
        return;
    }
    for (sf_count_t f = 0; f < frames; ++f) {
        for (size_t j = 0; j < kept; ++j)
            std::memcpy(out + (f * sf_count_t(kept) + sf_count_t(j)) * unit,
                        in + (f * sourceChannels + keep[j]) * unit, size_t(unit) * sizeof(T));
    }
}

// Makes a block safe for the target's encoder.
void fixUp(int *p, sf_count_t n, const CopyPlan &plan)
{
    if (!plan.avoidIntMin)
        return;
    for (sf_count_t i = 0; i < n; ++i) {
        if (p[i] == INT_MIN)
            p[i] = -INT_MAX;
    }
}

void fixUp(double *p, sf_count_t n, const CopyPlan &plan)
{
    if (!plan.clampToFullScale)
        return;
    for (sf_count_t i = 0; i < n; ++i) {
        const double v = p[i];
        p[i] = std::isnan(v) ? 0.0 : std::clamp(v, -1.0, 1.0);
    }
}

void fixUp(unsigned char *, sf_count_t, const CopyPlan &) {}

double percentOf(sf_count_t done, sf_count_t total)
{
    if (total <= 0)
        return 100.0;
    return std::min(100.0, double(done) * 100.0 / double(total));
}

QString writeFailureText(SNDFILE *output, int savedErrno)
{
    if (sf_error(output) != SF_ERR_NO_ERROR)
        return QString::fromLocal8Bit(sf_strerror(output));
    if (savedErrno != 0)
        return QString::fromLocal8Bit(std::strerror(savedErrno));
    return tr("The new file took fewer samples than it was given.");
}

// How the source is cut into blocks and what each block becomes: the same
// for the copy and for the check that reads it back.
struct BlockShape {
    explicit BlockShape(const CopyStreams &s)
        : sourceChannels(s.sourceChannels), allChannels(s.keep.empty()),
          outputChannels(allChannels ? sourceChannels : int(s.keep.size())),
          framesPerBlock(std::max(1, kBlockItems / sourceChannels))
    {
    }
    int sourceChannels;
    bool allChannels;
    int outputChannels;
    sf_count_t framesPerBlock;
};

template <typename T>
CopyOutcome copyLoop(const CopyStreams &s, const CopyPlan &plan, const ItemIo<T> &io,
                     const std::function<bool(double)> &progress)
{
    CopyOutcome result;
    const BlockShape shape(s);
    const int sourceChannels = shape.sourceChannels;
    const bool allChannels = shape.allChannels;
    const int outputChannels = shape.outputChannels;
    const sf_count_t framesPerBlock = shape.framesPerBlock;
    const int unit = io.unit;

    // The two block buffers live for the whole copy.
    std::vector<T> in(size_t(framesPerBlock * sourceChannels * unit));
    std::vector<T> out(allChannels ? 0 : size_t(framesPerBlock * outputChannels * unit));

    for (;;) {
        const sf_count_t items = io.read(s.source, in.data(), framesPerBlock * sourceChannels, unit);
        const sf_count_t frames = items > 0 ? items / sourceChannels : 0;
        if (frames <= 0)
            break;
        T *block = in.data();
        if (!allChannels) {
            selectChannels(in.data(), out.data(), frames, sourceChannels, s.keep, unit);
            block = out.data();
        }
        const sf_count_t want = frames * outputChannels;
        fixUp(block, want, plan);
        errno = 0;
        const sf_count_t wrote = io.write(s.output, block, want, unit);
        if (wrote != want) {
            result.status = CopyOutcome::WriteFailed;
            result.detail = writeFailureText(s.output, errno);
            return result;
        }
        result.frames += frames;
        if (progress && !progress(percentOf(result.frames, s.sourceFrames))) {
            result.status = CopyOutcome::Cancelled;
            return result;
        }
    }
    // A read that ends early without a system error is a short or damaged
    // file and is copied as far as it goes; an I/O error is not.
    if (sf_error(s.source) == SF_ERR_SYSTEM) {
        result.status = CopyOutcome::ReadFailed;
        result.detail = tr("The open file could not be read: %1")
                            .arg(QString::fromLocal8Bit(sf_strerror(s.source)));
    }
    return result;
}

bool sameDouble(double a, double b)
{
    if (std::isnan(a) || std::isnan(b))
        return std::isnan(a) && std::isnan(b);
    return std::memcmp(&a, &b, sizeof a) == 0;
}

bool equalItems(int expected, int got, const CopyPlan &plan)
{
    if (plan.check == ReadBackCheck::Exact)
        return expected == got;
    return std::llabs(qint64(expected) - qint64(got)) <= plan.intStep;
}

bool equalItems(unsigned char a, unsigned char b, const CopyPlan &) { return a == b; }

bool equalItems(double expected, double got, const CopyPlan &plan)
{
    if (plan.check == ReadBackCheck::Exact || plan.targetCodec == SF_FORMAT_DOUBLE)
        return sameDouble(expected, got);
    if (plan.targetCodec == SF_FORMAT_FLOAT) {
        if (std::isnan(expected))
            return std::isnan(got);
        // Beyond the float range the file holds the largest float or an
        // infinity of the same sign.
        if (std::fabs(expected) > double(FLT_MAX))
            return std::signbit(expected) == std::signbit(got) && std::fabs(got) >= double(FLT_MAX);
        return sameDouble(double(float(expected)), got);
    }
    // Integer target: out-of-range values were clipped, NaN written as 0.
    const double e = std::isnan(expected) ? 0.0 : std::clamp(expected, -1.0, 1.0);
    return std::fabs(e - got) <= plan.step;
}

void corruptItem(int &v) { v ^= 0x40000000; }
void corruptItem(unsigned char &v) { v ^= 0x40; }
void corruptItem(double &v) { v = std::isnan(v) ? 0.0 : v + 0.5; }

CheckOutcome mismatch(const QString &what)
{
    CheckOutcome r;
    r.status = CheckOutcome::Mismatch;
    r.detail = tr("The written file did not read back correctly: %1.").arg(what);
    return r;
}

// Reads up to frames whole frames, going on after short reads.
template <typename T>
sf_count_t readFrames(SNDFILE *f, T *buffer, sf_count_t frames, int channels, const ItemIo<T> &io)
{
    sf_count_t done = 0;
    while (done < frames) {
        const sf_count_t items = io.read(f, buffer + done * channels * io.unit, (frames - done) * channels, io.unit);
        const sf_count_t got = items > 0 ? items / channels : 0;
        if (got <= 0)
            break;
        done += got;
    }
    return done;
}

// s.source is read from its start: seeked there, unless it is a fresh handle
// (atStart) that cannot seek at all.
template <typename T>
CheckOutcome compareLoop(const CopyStreams &s, const CopyPlan &plan, const ItemIo<T> &io, SNDFILE *written,
                         sf_count_t framesWritten, const std::function<bool(double)> &progress, bool corrupt,
                         bool atStart)
{
    if (!atStart && sf_seek(s.source, 0, SEEK_SET) < 0)
        return mismatch(tr("the open file cannot be read again from its start (%1)")
                            .arg(QString::fromLocal8Bit(sf_strerror(s.source))));

    const BlockShape shape(s);
    const int sourceChannels = shape.sourceChannels;
    const bool allChannels = shape.allChannels;
    const int outputChannels = shape.outputChannels;
    const sf_count_t framesPerBlock = shape.framesPerBlock;
    const int unit = io.unit;

    std::vector<T> in(size_t(framesPerBlock * sourceChannels * unit));
    std::vector<T> expected(allChannels ? 0 : size_t(framesPerBlock * outputChannels * unit));
    std::vector<T> got(size_t(framesPerBlock * outputChannels * unit));

    sf_count_t done = 0;
    for (;;) {
        const sf_count_t items = io.read(s.source, in.data(), framesPerBlock * sourceChannels, unit);
        const sf_count_t frames = items > 0 ? items / sourceChannels : 0;
        if (frames <= 0)
            break;
        const T *want = in.data();
        if (!allChannels) {
            selectChannels(in.data(), expected.data(), frames, sourceChannels, s.keep, unit);
            want = expected.data();
        }
        const sf_count_t gotFrames = readFrames(written, got.data(), frames, outputChannels, io);
        if (corrupt && gotFrames > 0) {
            corruptItem(got[0]);
            corrupt = false;
        }
        if (gotFrames < frames)
            return mismatch(tr("it ends after %1 frames, the open file has more").arg(done + gotFrames));
        const sf_count_t n = frames * outputChannels * unit;
        for (sf_count_t k = 0; k < n; ++k) {
            if (!equalItems(want[k], got[k], plan)) {
                const sf_count_t item = k / unit;
                return mismatch(tr("frame %1, channel %2 differs from the open file")
                                    .arg(done + item / outputChannels)
                                    .arg(item % outputChannels));
            }
        }
        done += frames;
        if (progress && !progress(100.0)) {
            CheckOutcome r;
            r.status = CheckOutcome::Cancelled;
            return r;
        }
    }
    if (readFrames(written, got.data(), 1, outputChannels, io) > 0)
        return mismatch(tr("it holds more than the %1 frames of the open file").arg(done));
    if (done != framesWritten)
        return mismatch(tr("the open file gave %1 frames when read again, %2 were written")
                            .arg(done)
                            .arg(framesWritten));
    return {};
}

// For lossy targets: the decoded length must cover everything written (block
// codecs pad the last block).
CheckOutcome countFrames(SNDFILE *written, int channels, sf_count_t framesWritten,
                         const std::function<bool(double)> &progress)
{
    const sf_count_t framesPerBlock = std::max(1, kBlockItems / channels);
    std::vector<double> block(size_t(framesPerBlock * channels));
    sf_count_t frames = 0;
    for (;;) {
        const sf_count_t got = readFrames(written, block.data(), framesPerBlock, channels, kDoubleIo);
        if (got <= 0)
            break;
        frames += got;
        if (progress && !progress(100.0)) {
            CheckOutcome r;
            r.status = CheckOutcome::Cancelled;
            return r;
        }
    }
    if (frames < framesWritten)
        return mismatch(tr("it holds %1 frames, %2 were written").arg(frames).arg(framesWritten));
    return {};
}

} // namespace

CopyPlan planCopy(int sourceFormat, int targetFormat)
{
    const int from = sourceFormat & SF_FORMAT_SUBMASK;
    const int to = targetFormat & SF_FORMAT_SUBMASK;
    CopyPlan plan;
    plan.targetCodec = to;
    plan.step = codecFacts(to).step;
    plan.intStep = qint64(std::ldexp(plan.step, 31));
    const bool floatTarget = isFloatCodec(to);

    if (from == to && codecFacts(from).onlyBytesExact) {
        // Decoding µ-law loses its negative zero; only the bytes keep it.
        plan.path = SamplePath::Raw;
        plan.rawBytesPerItem = 1;
        plan.check = ReadBackCheck::Exact;
    } else if (from == to && isFloatCodec(from)) {
        plan.path = SamplePath::ExactDouble;
        plan.check = ReadBackCheck::Exact;
    } else if (from == to && isIntegerCodec(from)) {
        plan.path = SamplePath::Int;
        plan.check = ReadBackCheck::Exact;
    } else if (isIntegerCodec(from) && isIntegerCodec(to)) {
        plan.path = SamplePath::Int;
        plan.avoidIntMin = to == SF_FORMAT_ULAW || to == SF_FORMAT_ALAW;
        plan.check = plan.step > 0 ? ReadBackCheck::WithinStep : ReadBackCheck::FrameCount;
    } else {
        // Floating-point data never travels through integers, and lossy
        // codecs decode to values that need no integer form.
        plan.path = SamplePath::Double;
        plan.clampToFullScale = !floatTarget;
        plan.check = (floatTarget || plan.step > 0) ? ReadBackCheck::WithinStep : ReadBackCheck::FrameCount;
    }
    // Re-encoding a lossy coding into itself changes the samples.
    if (from == to && plan.path == SamplePath::Double)
        plan.check = ReadBackCheck::FrameCount;
    return plan;
}

void prepareHandles(SNDFILE *source, SNDFILE *output, const CopyPlan &plan)
{
    const int normalise = plan.path == SamplePath::ExactDouble ? SF_FALSE : SF_TRUE;
    sf_command(source, SFC_SET_NORM_DOUBLE, nullptr, normalise);
    sf_command(output, SFC_SET_NORM_DOUBLE, nullptr, normalise);
    if (!isFloatCodec(plan.targetCodec))
        sf_command(output, SFC_SET_CLIPPING, nullptr, SF_TRUE);
}

CopyOutcome copySamples(const CopyStreams &streams, const CopyPlan &plan,
                        const std::function<bool(double)> &progress)
{
    switch (plan.path) {
    case SamplePath::Int:
        return copyLoop(streams, plan, kIntIo, progress);
    case SamplePath::Raw:
        return copyLoop(streams, plan, ItemIo<unsigned char>{readRaw, writeRaw, plan.rawBytesPerItem}, progress);
    case SamplePath::ExactDouble:
    case SamplePath::Double:
        break;
    }
    return copyLoop(streams, plan, kDoubleIo, progress);
}

CheckOutcome checkWrittenFile(const CopyStreams &copied, const CopyPlan &plan,
                              const QString &path, const SF_INFO &targetInfo,
                              sf_count_t framesWritten,
                              const std::function<bool(double)> &progress, bool corrupt)
{
    // The source is read again from its start: through the second handle
    // when there is one, else through the first, seeked back.
    CopyStreams streams = copied;
    const bool atStart = copied.rereadSource != nullptr;
    if (atStart)
        streams.source = copied.rereadSource;

    SF_INFO info{};
    if ((targetInfo.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_RAW) {
        // A headerless file says nothing about itself.
        info.format = targetInfo.format;
        info.channels = targetInfo.channels;
        info.samplerate = targetInfo.samplerate;
    }
    const SoundHandle handle(sf_open(QFile::encodeName(path).constData(), SFM_READ, &info));
    SNDFILE *written = handle.get();
    if (!written)
        return mismatch(tr("it cannot be opened (%1)").arg(QString::fromLocal8Bit(sf_strerror(nullptr))));

    const int outputChannels = streams.keep.empty() ? streams.sourceChannels : int(streams.keep.size());
    CheckOutcome result;
    if (info.channels != outputChannels) {
        result = mismatch(tr("it has %1 channels instead of %2").arg(info.channels).arg(outputChannels));
    } else if (plan.check == ReadBackCheck::FrameCount) {
        result = countFrames(written, outputChannels, framesWritten, progress);
    } else if (info.frames != framesWritten) {
        result = mismatch(tr("it reports %1 frames, %2 were written").arg(info.frames).arg(framesWritten));
    } else if (plan.path == SamplePath::Int) {
        // Integer codings compare on libsndfile's integer scale, exactly or
        // within a step: cheaper than going through doubles.
        result = compareLoop(streams, plan, kIntIo, written, framesWritten, progress, corrupt, atStart);
    } else if (plan.check == ReadBackCheck::WithinStep) {
        sf_command(streams.source, SFC_SET_NORM_DOUBLE, nullptr, SF_TRUE);
        sf_command(written, SFC_SET_NORM_DOUBLE, nullptr, SF_TRUE);
        result = compareLoop(streams, plan, kDoubleIo, written, framesWritten, progress, corrupt, atStart);
    } else if (plan.path == SamplePath::Raw) {
        const ItemIo<unsigned char> rawIo{readRaw, writeRaw, plan.rawBytesPerItem};
        result = compareLoop(streams, plan, rawIo, written, framesWritten, progress, corrupt, atStart);
    } else {
        const int normalise = plan.path == SamplePath::ExactDouble ? SF_FALSE : SF_TRUE;
        sf_command(streams.source, SFC_SET_NORM_DOUBLE, nullptr, normalise);
        sf_command(written, SFC_SET_NORM_DOUBLE, nullptr, normalise);
        result = compareLoop(streams, plan, kDoubleIo, written, framesWritten, progress, corrupt, atStart);
    }
    return result;
}

} // namespace rewrite
