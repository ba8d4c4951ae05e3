// The waveform overview: each channel's smallest and largest sample in each
// of a fixed number of stretches ("buckets") of a file, computed once on a
// worker thread and handed out as it grows, so a view can draw it while it
// is still being read.
//
// The worker opens the file with a handle of its own (never the document's,
// which playback reads on the main thread) and reads it once from the start,
// so files libsndfile cannot seek in get an overview too.
//
// Threading: the object lives on the main thread and every method but
// snapshot() runs there. The worker shares with it only the published state
// behind one mutex (snapshot() may be called from any thread) and the
// cancel flag; the main thread learns of new buckets by polling that state
// every 100 ms while the worker runs and emits updated() itself.
#pragma once

#include <sndfile.h>

#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <memory>
#include <thread>
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

class WaveformOverview : public QObject
{
    Q_OBJECT

public:
    explicit WaveformOverview(QObject *parent = nullptr);
    // Cancels and joins a running worker.
    ~WaveformOverview() override;

    // Main thread. Cancels a running worker, clears what was computed and
    // starts reading path, which must still hold the stream `expected`
    // describes (format, channels, frames; see reopenSoundFile). buckets
    // below 1 count as 1.
    void start(const QString &path, const SF_INFO &expected, int buckets = kWaveformBuckets);
    // Main thread. Asks the worker to stop after its current block and waits
    // for it; what was computed stays. Returns at once when none runs.
    void cancel();
    // Main thread. Waits until the worker has read the file to its end (or
    // failed), then emits what updated() and finished() owe.
    void waitForFinished();
    // Main thread. A worker has been started and has not ended yet.
    bool isRunning() const;

    // Any thread. A copy of the published buckets of the listed channels.
    WaveformSnapshot snapshot(const std::vector<int> &channels) const;

signals:
    // New buckets were published, or start() cleared them.
    void updated();
    // The worker ended: the file was read to its end, or failed.
    void finished();

private:
    void poll();

    std::shared_ptr<WaveformShared> m_shared;
    std::atomic<bool> m_cancel{false};
    std::thread m_worker;
    QTimer m_poll;
    quint64 m_seenVersion = 0;
    bool m_finishSeen = true;
};
