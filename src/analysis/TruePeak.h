// True-peak meter after ITU-R BS.1770-4 Annex 2: the signal is oversampled
// by a polyphase FIR and the largest absolute value of the oversampled
// signal is kept.
//
// The interpolator is the one libebur128 designs, so the two agree to float
// rounding: 49 taps of a Hann-windowed sinc, 4x below 96 kHz, 2x below
// 192 kHz and none from there on (the sample peak is then the true peak).
// Phase 0 of that filter is the input itself, so the meter reports
// max(sample peak, interpolated peak), as ebur128_true_peak() does.
//
// Threading: a meter is used by one thread at a time; the free functions
// are pure and run on any thread.
#pragma once

#include <cstddef>
#include <vector>

// The oversampled filter runs on float lanes; Avx2 needs AVX2 and FMA.
enum class TruePeakKernel { Scalar, Avx2 };
bool truePeakKernelAvailable(TruePeakKernel kernel);
TruePeakKernel bestTruePeakKernel();

// 4, 2 or 1, as libebur128 chooses for the rate.
int truePeakOversampling(int sampleRate);

class TruePeakMeter
{
public:
    // An unavailable kernel falls back to Scalar.
    TruePeakMeter(int channels, int sampleRate, TruePeakKernel kernel = bestTruePeakKernel());

    // Fills the filter's memory with the last frames before the ones to be
    // measured, without raising the peak. Before any call the memory holds
    // silence, as at the start of a file.
    void prime(const float *frames, size_t count);
    // Raises the peak over `count` interleaved frames.
    void process(const float *frames, size_t count);
    // Linear, over all channels; 0 until a non-silent frame was processed.
    double peak() const { return m_peak; }

private:
    void loadChannel(const float *frames, size_t count, int channel);

    int m_channels;
    int m_factor;
    int m_taps; // per phase; the filter memory is m_taps - 1 frames
    TruePeakKernel m_kernel;
    std::vector<float> m_coefficients; // phases 1..factor-1, newest sample first
    std::vector<float> m_memory;       // per channel, oldest first
    std::vector<float> m_work;         // memory followed by the channel's new samples
    double m_peak = 0.0;
};
