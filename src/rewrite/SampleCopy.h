// The sample side of a rewrite: which libsndfile calls move the samples so
// that nothing is lost, the block copy with channel selection, and the read
// back that checks the finished file against the source.
//
// All functions run on the caller's thread (the main thread) and touch only
// the handles they are given.
#pragma once

#include <sndfile.h>

#include <QString>
#include <QtGlobal>

#include <functional>
#include <vector>

namespace rewrite {

// Largest block of items moved with one read and one write.
constexpr int kBlockItems = 65536;

enum class SamplePath {
    Int,         // sf_read_int / sf_write_int: integer codings, decoded exactly
    ExactDouble, // doubles with normalisation off: FLOAT and DOUBLE data as stored
    Raw,         // sf_read_raw / sf_write_raw: µ-law, the only way to keep every code
    Double,      // normalised doubles: conversions involving floats and lossy codecs
};

enum class ReadBackCheck {
    Exact,      // every item identical through the path used for the copy
    WithinStep, // normalised values within one step of the target's resolution
    FrameCount, // lossy target: only the number of frames can be checked
};

struct CopyPlan {
    SamplePath path = SamplePath::Double;
    ReadBackCheck check = ReadBackCheck::FrameCount;
    int targetCodec = 0;          // SF_CODEC of the new file's format
    int rawBytesPerItem = 0;      // Raw: bytes of one item
    bool clampToFullScale = false; // Double into a non-float target: NaN -> 0, clamp to [-1, 1]
    bool avoidIntMin = false;     // Int into µ-law/A-law, whose encoders flip INT_MIN
    double step = 0;              // WithinStep into an integer target: largest difference allowed
    qint64 intStep = 0;           // the same on libsndfile's 32-bit integer scale (Int path)
};

// Chooses how samples move from a file of sourceFormat into one of
// targetFormat and how the result is checked.
CopyPlan planCopy(int sourceFormat, int targetFormat);

// Handles and shapes of one copy. keep lists the source channels that make
// up an output frame, ascending; empty means every channel in order.
struct CopyStreams {
    SNDFILE *source = nullptr;
    int sourceChannels = 0;
    sf_count_t sourceFrames = 0; // as reported; used for the percentage only
    SNDFILE *output = nullptr;
    int outputChannels = 0;
    std::vector<int> keep;
    // A second handle on the source file, standing at frame 0, for sources
    // libsndfile cannot seek: the read-back check reads it instead of
    // seeking source back to the start. Null for seekable sources.
    SNDFILE *rereadSource = nullptr;
};

struct CopyOutcome {
    enum Status { Done, Cancelled, WriteFailed, ReadFailed };
    Status status = Done;
    sf_count_t frames = 0; // frames written to the output
    QString detail;
};

// Sets the handles up for the plan: normalisation of doubles on both, and
// clipping instead of wrapping on the output. The caller restores the
// source's normalisation setting afterwards.
void prepareHandles(SNDFILE *source, SNDFILE *output, const CopyPlan &plan);

// Copies from the source's current position until a read returns nothing.
// progress gets frames done x 100 / sourceFrames once per block.
CopyOutcome copySamples(const CopyStreams &streams, const CopyPlan &plan,
                        const std::function<bool(double)> &progress);

struct CheckOutcome {
    enum Status { Ok, Mismatch, Cancelled };
    Status status = Ok;
    QString detail;
};

// Reads the closed file at path back and compares it with the source, which
// it seeks to frame 0 first, or with streams.rereadSource when that is set
// (streams.output is not used). targetInfo gives the layout of headerless (RAW)
// files. progress(100) is called once per block compared; false cancels.
// corrupt alters one item read back, so tests can prove the comparison bites.
CheckOutcome checkWrittenFile(const CopyStreams &streams, const CopyPlan &plan,
                              const QString &path, const SF_INFO &targetInfo,
                              sf_count_t framesWritten,
                              const std::function<bool(double)> &progress, bool corrupt);

} // namespace rewrite
