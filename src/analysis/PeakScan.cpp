#include "analysis/PeakScan.h"

#include "container/SoundFileOpen.h"


#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

// x86-64 always has SSE2; AVX is used where the processor has it, through
// functions compiled for it and chosen at run time.
#if defined(__x86_64__) && defined(__GNUC__)
#define WAVQUILL_PEAK_X86 1
#include <immintrin.h>
#endif

namespace {

constexpr sf_count_t kBlockItems = 65536;

// Any channel count, frame by frame. Also takes what a lane loop leaves
// over, and a damaged file's last partial frame.
void reduceFrames(const double *block, sf_count_t items, int channels, int tracked, double *maxima)
{
    for (sf_count_t i = 0; i < items; i += channels) {
        const double *frame = block + i;
        const int n = int(std::min<sf_count_t>(tracked, items - i));
        for (int c = 0; c < n; ++c) {
            const double a = std::fabs(frame[c]);
            maxima[c] = a > maxima[c] ? a : maxima[c];
        }
    }
}

#ifdef WAVQUILL_PEAK_X86

// The lane loops keep several independent running maxima over the
// interleaved items, so no compare waits for the one before it. Lane k holds
// channel k % Channels; the lane count is a multiple of both the vector width
// and the channel count. maxpd(a, m) answers m when a is NaN or equal: the
// same "strictly greater" rule as the scalar loop.
template <int Channels, int Width, int MinLanes>
constexpr int laneCount()
{
    constexpr int base = Channels * Width / std::gcd(Channels, Width);
    return base * ((MinLanes + base - 1) / base);
}

template <int Channels, int Lanes>
void foldLanes(const double (&lane)[Lanes], double *maxima)
{
    for (int k = 0; k < Lanes; ++k)
        maxima[k % Channels] = lane[k] > maxima[k % Channels] ? lane[k] : maxima[k % Channels];
}

// Returns the number of items reduced: a whole number of lane groups, which
// is a whole number of frames.
template <int Channels>
sf_count_t reduceSse2(const double *block, sf_count_t items, double *maxima)
{
    constexpr int Lanes = laneCount<Channels, 2, 8>();
    constexpr int Vectors = Lanes / 2;
    const sf_count_t groups = items / Lanes;
    const __m128d absMask = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffffLL));
    __m128d m[Vectors];
    for (int v = 0; v < Vectors; ++v)
        m[v] = _mm_setzero_pd();
    for (sf_count_t g = 0; g < groups; ++g) {
        const double *p = block + g * Lanes;
        for (int v = 0; v < Vectors; ++v)
            m[v] = _mm_max_pd(_mm_and_pd(_mm_loadu_pd(p + 2 * v), absMask), m[v]);
    }
    double lane[Lanes];
    for (int v = 0; v < Vectors; ++v)
        _mm_storeu_pd(lane + 2 * v, m[v]);
    foldLanes<Channels>(lane, maxima);
    return groups * Lanes;
}

template <int Channels>
__attribute__((target("avx"))) sf_count_t reduceAvx(const double *block, sf_count_t items, double *maxima)
{
    constexpr int Lanes = laneCount<Channels, 4, 16>();
    constexpr int Vectors = Lanes / 4;
    const sf_count_t groups = items / Lanes;
    const __m256d absMask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffffLL));
    __m256d m[Vectors];
    for (int v = 0; v < Vectors; ++v)
        m[v] = _mm256_setzero_pd();
    for (sf_count_t g = 0; g < groups; ++g) {
        const double *p = block + g * Lanes;
        for (int v = 0; v < Vectors; ++v)
            m[v] = _mm256_max_pd(_mm256_and_pd(_mm256_loadu_pd(p + 4 * v), absMask), m[v]);
    }
    double lane[Lanes];
    for (int v = 0; v < Vectors; ++v)
        _mm256_storeu_pd(lane + 4 * v, m[v]);
    foldLanes<Channels>(lane, maxima);
    return groups * Lanes;
}

template <template <int> class Kernel>
sf_count_t reduceLanes(const double *block, sf_count_t items, int channels, double *maxima)
{
    switch (channels) {
    case 1: return Kernel<1>::run(block, items, maxima);
    case 2: return Kernel<2>::run(block, items, maxima);
    case 3: return Kernel<3>::run(block, items, maxima);
    case 4: return Kernel<4>::run(block, items, maxima);
    case 5: return Kernel<5>::run(block, items, maxima);
    case 6: return Kernel<6>::run(block, items, maxima);
    case 7: return Kernel<7>::run(block, items, maxima);
    case 8: return Kernel<8>::run(block, items, maxima);
    default: return 0; // wider frames: the frame loop does it all
    }
}

template <int Channels>
struct Sse2Kernel {
    static sf_count_t run(const double *b, sf_count_t n, double *m) { return reduceSse2<Channels>(b, n, m); }
};
template <int Channels>
struct AvxKernel {
    static sf_count_t run(const double *b, sf_count_t n, double *m) { return reduceAvx<Channels>(b, n, m); }
};

#endif // WAVQUILL_PEAK_X86

} // namespace

bool peakKernelAvailable(PeakKernel kernel)
{
    switch (kernel) {
    case PeakKernel::Scalar:
        return true;
#ifdef WAVQUILL_PEAK_X86
    case PeakKernel::Sse2:
        return true;
    case PeakKernel::Avx:
        return __builtin_cpu_supports("avx");
#endif
    default:
        return false;
    }
}

PeakKernel bestPeakKernel()
{
    if (peakKernelAvailable(PeakKernel::Avx))
        return PeakKernel::Avx;
    if (peakKernelAvailable(PeakKernel::Sse2))
        return PeakKernel::Sse2;
    return PeakKernel::Scalar;
}

void reducePeakBlock(const double *block, sf_count_t items, int channels, int tracked, double *maxima,
                     PeakKernel kernel)
{
    if (!block || !maxima || channels <= 0 || items <= 0 || tracked <= 0)
        return;
    tracked = std::min(tracked, channels);
    sf_count_t done = 0;
#ifdef WAVQUILL_PEAK_X86
    // The lane loops track every channel of a frame.
    if (tracked == channels && peakKernelAvailable(kernel)) {
        if (kernel == PeakKernel::Avx)
            done = reduceLanes<AvxKernel>(block, items, channels, maxima);
        else if (kernel == PeakKernel::Sse2)
            done = reduceLanes<Sse2Kernel>(block, items, channels, maxima);
    }
#else
    (void)kernel;
#endif
    reduceFrames(block + done, items - done, channels, tracked, maxima);
}

sf_count_t peakScanBlockItems(int channels)
{
    if (channels <= 0)
        return 0;
    return (kBlockItems / channels) * channels;
}

sf_count_t scanPeaks(SNDFILE *sndfile, const SF_INFO &sfinfo, std::vector<double> &peaks,
                     const std::function<bool(double percent)> &afterBlock)
{
    const int channels = sfinfo.channels;
    const sf_count_t blockItems = peakScanBlockItems(channels);
    if (!sndfile || blockItems <= 0)
        return 0;

    // Integer-coded samples come at their integer scale with normalisation
    // off; peakDecibels() scales them back.
    const int savedNorm = int(sf_command(sndfile, SFC_GET_NORM_DOUBLE, nullptr, 0));
    sf_command(sndfile, SFC_SET_NORM_DOUBLE, nullptr, SF_FALSE);
    sf_seek(sndfile, 0, SEEK_SET);

    // Channels beyond the listed ones are read but not tracked.
    const int tracked = std::min(channels, kPeakChannels);
    if (int(peaks.size()) < tracked)
        peaks.resize(size_t(tracked), 0.0);
    const PeakKernel kernel = bestPeakKernel();
    std::vector<double> block(static_cast<size_t>(blockItems));
    std::vector<double> maxima(static_cast<size_t>(tracked));
    const double totalItems = double(channels) * double(sfinfo.frames);

    const sf_count_t frames = framesToRead(sfinfo);
    const sf_count_t items = frames < SF_COUNT_MAX / channels ? frames * channels : SF_COUNT_MAX;
    sf_count_t itemsRead = 0;
    sf_count_t n;
    while (itemsRead < items && (n = sf_read_double(sndfile, block.data(), std::min(blockItems, items - itemsRead))) > 0) {
        itemsRead += n;
        std::fill(maxima.begin(), maxima.end(), 0.0);
        reducePeakBlock(block.data(), n, channels, tracked, maxima.data(), kernel);
        for (int c = 0; c < tracked; ++c)
            peaks[size_t(c)] = std::max(peaks[size_t(c)], maxima[size_t(c)]);
        if (afterBlock && !afterBlock(totalItems > 0 ? double(itemsRead) * 100.0 / totalItems : 100.0))
            break;
    }

    sf_command(sndfile, SFC_SET_NORM_DOUBLE, nullptr, savedNorm);
    return itemsRead;
}
