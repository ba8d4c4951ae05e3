// Texts of the Properties tab, computed without any window so they can be
// tested on their own.
#pragma once

#include <QString>


// "HH:MM:SS.mmm" from a frame count and a sample rate; milliseconds are
// truncated, hours take as many digits as they need. "unknown" for a rate of 0
// or below, which a damaged file can report, and for SF_COUNT_MAX frames,
// libsndfile's answer for a stream whose length it cannot tell.
QString lengthText(qint64 frames, int samplerate);

// The frame count, or "unknown" for SF_COUNT_MAX (a stream whose length
// libsndfile cannot tell) and for negative counts.
QString framesText(qint64 frames);

// "512.00  Bytes", "1.50 KB", ... from a byte count. The count is rounded to
// single precision first, as the units are only ever approximate.
QString sizeText(qint64 bytes);

// The byte rate of uncompressed data, or "unknown" for codings without a
// fixed sample size. Computed in 64 bits: 8-byte samples of 1024 channels at high rates
// do not fit in 32.
QString bytesPerSecondText(int format, int samplerate, int channels);
QString bytesPerSampleText(int format);

// A channel's peak as the Peak tab shows it: "%.2f dB" of peakDecibels, with
// "-inf dB" for silence.
QString peakText(double peak, int format);

// "Channel #3": how tables and pop-ups name a channel (counted from 0).
QString channelName(int channel);
