// The waveform overview: each channel's smallest and largest sample in each
// of a fixed number of stretches ("buckets") of a file, computed once and
// handed out as it grows, so a view can draw it while it is still being read.
//
// compute() opens the file with a handle of its own and reads it once from
// the start, so files libsndfile cannot seek in get an overview too.
//
// Threading: compute() runs on one thread at a time (a worker: the
// document's overview job) and publishes what it has, behind one mutex,
// about every 100 ms; snapshot() may be called from any thread meanwhile.
#pragma once

#include <sndfile.h>

#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

// Enough for one bucket per device pixel of a view up to 4096 pixels wide
// (2048 logical pixels at 2x).
constexpr int kWaveformBuckets = 4096;
// Channels measured; those beyond are read but not tracked (the channel
// pop-ups list no more).
constexpr int kWaveformChannels = 256;

// What has been computed so far, for the channels asked for.
//
// Bucket b holds the frames f with bucketOf(f) == b, i.e. floor(f * planned /
// span): the planned buckets divide `span` frames evenly (to a frame). For a
// file of known length, planned is the count asked for (or the frame count,
// when smaller) and span is the frame count. For a file whose length
// libsndfile does not know (SF_COUNT_MAX), buckets cover a power-of-two
// number of frames that doubles, merging neighbours, whenever the count
// would reach twice the count asked for: planned then equals filled, and
// span = planned * frames per bucket, so the last bucket may reach past the
// end of the data.
struct WaveformSnapshot {
    int planned = 0;
    // Buckets computed, from the first on.
    int filled = 0;
    qint64 span = 0;
    // The file has been read to its end (a cancelled or failed run never is).
    bool complete = false;
    // The reopen or a read failed; what was computed before stays.
    bool failed = false;
    // Per channel asked for, `filled` values each, normalised (+-1.0 full
    // scale; float files may go beyond). A channel the file does not have is
    // left empty.
    std::vector<std::vector<float>> minima;
    std::vector<std::vector<float>> maxima;

    int bucketOf(qint64 frame) const;
    qint64 firstFrame(int bucket) const;
};

// What the worker publishes, behind its mutex (WaveformOverview.cpp).
struct WaveformShared;

class WaveformOverview
{
public:
    WaveformOverview();

    // Any thread. Drops what was computed; `channels` of the next file.
    void clear(int channels);
    // Clears what was computed, then reads path, which must still hold the
    // stream `expected` describes (format, channels, frames; see
    // reopenSoundFile), to its end or until *cancel is set. buckets below 1
    // count as 1. published(percent) is called on this thread after each
    // publication but the last, and once before the first read.
    void compute(const QString &path, const SF_INFO &expected, int buckets, const std::atomic<bool> &cancel,
                 const std::function<void(double percent)> &published = {});

    // Any thread. A copy of the published buckets of the listed channels.
    WaveformSnapshot snapshot(const std::vector<int> &channels) const;

private:
    std::shared_ptr<WaveformShared> m_shared;
};
