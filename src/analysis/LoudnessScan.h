// Loudness of a sound file after EBU R128 / ITU-R BS.1770-4: integrated
// loudness, loudness range, maximum true peak, maximum momentary and
// short-term loudness. libebur128 measures the gated loudness; the true peak
// is measured here (TruePeak.h).
//
// The file is cut into time segments measured in parallel, each worker
// through a libsndfile handle of its own, and the segments are joined so the
// result is the one a single pass gives (LoudnessPass.cpp says how).
//
// Threading: measureLoudness() runs on any thread and blocks it (the
// document runs it as a job). The text functions are pure and run anywhere.
#pragma once

#include <QMetaType>
#include <QString>

#include <atomic>
#include <cmath>
#include <functional>

struct LoudnessResult {
    double integrated = -HUGE_VAL;   // LUFS; -inf when no block passes the -70 LUFS gate
    double range = 0.0;              // LU
    double truePeak = -HUGE_VAL;     // dBTP, loudest channel (LFE included); -inf for silence
    double maxMomentary = -HUGE_VAL; // LUFS, 400 ms windows every 100 ms
    double maxShortTerm = -HUGE_VAL; // LUFS, 3 s windows every 100 ms
    bool ok = false;
    bool cancelled = false;
    QString error;
};
Q_DECLARE_METATYPE(LoudnessResult)

struct LoudnessOptions {
    int threads = 0;        // workers; 0: QThread::idealThreadCount()
    int segmentSeconds = 0; // forced segment length (at least 3 s); 0: chosen from the length and threads
};

// Measures the file at `path`. `progress` (may be empty) gets the share of
// the file done in percent on the calling thread: 0 before the workers start,
// then about every 50 ms, and 100 after a complete measurement. Setting *cancel (may be null) to true stops every worker within
// one read of at most about a megabyte; the result is then `cancelled`.
LoudnessResult measureLoudness(const QString &path, const std::atomic<bool> *cancel = nullptr,
                               const std::function<void(double percent)> &progress = {},
                               const LoudnessOptions &options = {});

// One decimal: "-23.0 LUFS", "4.2 LU", "-1.3 dBTP"; "-inf LUFS" and
// "-inf dBTP" for silence.
QString loudnessText(double lufs);
QString loudnessRangeText(double lu);
QString truePeakText(double dbtp);
