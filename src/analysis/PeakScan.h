// The peak scan: reads every sample of an open file once and raises each
// channel's peak.
//
// Threading: the thread that uses the handle (the document's peak job, the
// command line); the handle is the caller's alone meanwhile.
#pragma once

#include <sndfile.h>

#include <functional>
#include <vector>

// Channels whose peaks are kept; those beyond are read but not tracked.
constexpr int kPeakChannels = 256;

// Items asked for per read: 65536, rounded down to whole frames.
sf_count_t peakScanBlockItems(int channels);

// How a block of interleaved items is reduced to per-channel maxima. All
// give the same result; the vector ones are faster. scanPeaks() takes the
// best available; the choice is open so tests can hold each to the others.
enum class PeakKernel { Scalar, Sse2, Avx };
bool peakKernelAvailable(PeakKernel kernel);
PeakKernel bestPeakKernel();

// Raises maxima[c] (c below `tracked`) to the largest absolute value of
// channel c among `items` interleaved items; channels from `tracked` on are
// skipped. "Larger" is strictly greater, so NaN never gets in and the result
// equals raising each maximum per item with a strict comparison. `items` may
// end mid-frame. An unavailable kernel falls back to Scalar.
void reducePeakBlock(const double *block, sf_count_t items, int channels, int tracked, double *maxima,
                     PeakKernel kernel);

// Turns double normalisation off, seeks to frame 0 and reads the file to its
// end in blocks of peakScanBlockItems() items, raising peaks[c] to channel c's
// largest absolute value at the file's integer scale (NaN ignored; see
// peakDecibels). peaks grows to min(channels, kPeakChannels) entries; earlier
// peaks are never lowered. After every block, afterBlock (may be empty) gets
// the share of all sfinfo.channels x sfinfo.frames items read so far, in
// percent; returning false stops the scan there. The scan ends at the first
// read that returns 0 (end of data or a read error), so a file shorter than
// reported ends cleanly. Normalisation is restored; the read position is
// left where the scan stopped.
// Returns the number of items read.
sf_count_t scanPeaks(SNDFILE *sndfile, const SF_INFO &sfinfo, std::vector<double> &peaks,
                     const std::function<bool(double percent)> &afterBlock);
