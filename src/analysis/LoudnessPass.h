// The parts of a loudness scan: how a file is cut into time segments, how
// one segment is measured, and how the segments' measurements are joined.
// measureLoudness() (LoudnessScan.h) runs them on worker threads.
//
// Threading: every function runs on any thread. A SNDFILE handle and a
// SegmentMeasure are used by one thread at a time; joinSegments() runs after
// every segment is done.
#pragma once

#include "analysis/LoudnessScan.h"

#include <ebur128.h>
#include <sndfile.h>

#include <functional>
#include <memory>
#include <vector>

// libebur128 channel types for the file's channels. Where libsndfile reports
// a channel map its positions decide (LFE unused, surround and side 1.41,
// others 1.0); otherwise the order is L, R, C, LFE, Ls, Rs. Channels past
// those, and positions BS.1770 gives no weight, count with weight 1.0. A
// mono channel counts once, as ffmpeg's ebur128 filter does by default.
std::vector<int> loudnessChannelTypes(SNDFILE *file, int channels);

struct EbuStateDeleter {
    void operator()(ebur128_state *state) const { ebur128_destroy(&state); }
};
using EbuState = std::unique_ptr<ebur128_state, EbuStateDeleter>;

struct LoudnessPlan {
    int channels = 0;
    int rate = 0;
    sf_count_t blockFrames = 0;      // libebur128's "100 ms"
    std::vector<sf_count_t> borders; // segment starts, first 0, whole seconds apart
    std::vector<int> channelTypes;
    // Momentary and short-term maxima come from the 100 ms block energies,
    // which segments can share; where libebur128's 100 ms window is not one
    // block (rates ending in 5..9) the file is one segment asking libebur128
    // for each value instead.
    bool blockEnergies = true;
    // The file's length as opened: nothing beyond it is measured.
    sf_count_t frames = SF_COUNT_MAX;
};

// `threads` workers; segmentSeconds > 0 forces that segment length (at
// least 3 s). Only formats that seek to the exact frame are cut.
LoudnessPlan planLoudness(SNDFILE *file, const SF_INFO &info, int threads, int segmentSeconds);

// What one segment leaves for the join.
struct SegmentMeasure {
    EbuState gated;   // gating blocks and short-term blocks the segment owns
    EbuState border;  // the two short-term blocks across its start (not in the first)
    sf_count_t firstBlock = 0;
    std::vector<double> blockEnergy; // weighted mean square per owned block
    double maxMomentary = -HUGE_VAL; // LUFS, without block energies only
    double maxShortTerm = -HUGE_VAL;
    double peak = 0.0;               // linear true peak
};

enum class SegmentOutcome { Done, Stopped, Failed };

// Measures segment `index` of `plan` through `file`. After each read,
// carryOn gets the number of the segment's own frames just measured and
// answers false to stop.
SegmentOutcome measureSegment(SNDFILE *file, const LoudnessPlan &plan, size_t index, SegmentMeasure &out,
                              const std::function<bool(sf_count_t frames)> &carryOn);

// Integrated loudness and range from all segments' states at once, maxima by
// max. Sets every value of the result and ok; false when libebur128 runs out
// of memory.
bool joinSegments(const std::vector<SegmentMeasure> &segments, LoudnessResult &result);
