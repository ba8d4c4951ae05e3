#include "analysis/TruePeak.h"

#include <algorithm>
#include <cmath>

#if defined(__x86_64__) && defined(__GNUC__)
#define WAVQUILL_TRUEPEAK_X86 1
#include <immintrin.h>
#endif

namespace {

constexpr int kFilterLength = 49; // libebur128's interpolator

// Sample peak and every interpolated phase for x[0..n); x[-(taps-1)..-1]
// is the filter memory. Sums run in double, the output is rounded to float
// and "larger" is strictly greater (NaN never gets in): libebur128's rules.
float peakScalar(const float *x, size_t n, const float *coef, int phases, int taps)
{
    float peak = 0.0f;
    for (size_t k = 0; k < n; ++k) {
        const float a = std::fabs(x[k]);
        peak = a > peak ? a : peak;
        for (int p = 0; p < phases; ++p) {
            const float *c = coef + p * taps;
            double acc = 0.0;
            for (int i = 0; i < taps; ++i)
                acc += double(x[ptrdiff_t(k) - i]) * double(c[i]);
            const float y = std::fabs(float(acc));
            peak = y > peak ? y : peak;
        }
    }
    return peak;
}

#ifdef WAVQUILL_TRUEPEAK_X86

// Eight outputs of every phase at a time; each input vector is loaded once
// and feeds all phases. maxps(a, m) answers m when a is NaN.
template <int Taps, int Phases>
__attribute__((target("avx2,fma"))) float peakAvx2(const float *x, size_t n, const float *coef)
{
    const __m256 absMask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
    __m256 peak = _mm256_setzero_ps();
    size_t k = 0;
    for (; k + 8 <= n; k += 8) {
        __m256 acc[Phases];
        for (int p = 0; p < Phases; ++p)
            acc[p] = _mm256_setzero_ps();
        for (int i = 0; i < Taps; ++i) {
            const __m256 v = _mm256_loadu_ps(x + ptrdiff_t(k) - i);
            for (int p = 0; p < Phases; ++p)
                acc[p] = _mm256_fmadd_ps(_mm256_broadcast_ss(coef + p * Taps + i), v, acc[p]);
        }
        peak = _mm256_max_ps(_mm256_and_ps(_mm256_loadu_ps(x + k), absMask), peak);
        for (int p = 0; p < Phases; ++p)
            peak = _mm256_max_ps(_mm256_and_ps(acc[p], absMask), peak);
    }
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, peak);
    float result = peakScalar(x + k, n - k, coef, Phases, Taps);
    for (float lane : lanes)
        result = lane > result ? lane : result;
    return result;
}

#endif // WAVQUILL_TRUEPEAK_X86

} // namespace

bool truePeakKernelAvailable(TruePeakKernel kernel)
{
    switch (kernel) {
    case TruePeakKernel::Scalar:
        return true;
#ifdef WAVQUILL_TRUEPEAK_X86
    case TruePeakKernel::Avx2:
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#endif
    default:
        return false;
    }
}

TruePeakKernel bestTruePeakKernel()
{
    return truePeakKernelAvailable(TruePeakKernel::Avx2) ? TruePeakKernel::Avx2 : TruePeakKernel::Scalar;
}

int truePeakOversampling(int sampleRate)
{
    if (sampleRate < 96000)
        return 4;
    return sampleRate < 192000 ? 2 : 1;
}

TruePeakMeter::TruePeakMeter(int channels, int sampleRate, TruePeakKernel kernel)
    : m_channels(std::max(channels, 1)),
      m_factor(truePeakOversampling(sampleRate)),
      m_taps(m_factor > 1 ? (kFilterLength - 1) / m_factor : 1),
      m_kernel(truePeakKernelAvailable(kernel) ? kernel : TruePeakKernel::Scalar),
      m_memory(size_t(m_channels) * size_t(m_taps - 1), 0.0f)
{
    // Tap j of the windowed sinc belongs to phase j % factor and weighs the
    // sample j / factor steps back. Phase 0 is the input itself.
    const double centre = (kFilterLength - 1) / 2.0;
    for (int p = 1; p < m_factor; ++p) {
        for (int i = 0; i < m_taps; ++i) {
            const int j = p + m_factor * i;
            const double m = (j - centre) * M_PI / m_factor;
            const double hann = 0.5 * (1.0 - std::cos(2.0 * M_PI * j / (kFilterLength - 1)));
            m_coefficients.push_back(float(std::sin(m) / m * hann));
        }
    }
}

void TruePeakMeter::loadChannel(const float *frames, size_t count, int channel)
{
    const size_t memory = size_t(m_taps - 1);
    m_work.resize(memory + count);
    float *mem = m_memory.data() + size_t(channel) * memory;
    std::copy(mem, mem + memory, m_work.begin());
    for (size_t i = 0; i < count; ++i)
        m_work[memory + i] = frames[i * size_t(m_channels) + size_t(channel)];
    std::copy(m_work.end() - ptrdiff_t(memory), m_work.end(), mem);
}

void TruePeakMeter::prime(const float *frames, size_t count)
{
    for (int c = 0; c < m_channels; ++c)
        loadChannel(frames, count, c);
}

void TruePeakMeter::process(const float *frames, size_t count)
{
    const int phases = m_factor - 1;
    const float *coef = m_coefficients.data();
    for (int c = 0; c < m_channels; ++c) {
        loadChannel(frames, count, c);
        const float *x = m_work.data() + (m_taps - 1);
        float peak = 0.0f;
#ifdef WAVQUILL_TRUEPEAK_X86
        if (m_kernel == TruePeakKernel::Avx2 && m_factor == 4)
            peak = peakAvx2<12, 3>(x, count, coef);
        else if (m_kernel == TruePeakKernel::Avx2 && m_factor == 2)
            peak = peakAvx2<24, 1>(x, count, coef);
        else
#endif
            peak = peakScalar(x, count, coef, phases, m_taps);
        m_peak = peak > m_peak ? double(peak) : m_peak;
    }
}
