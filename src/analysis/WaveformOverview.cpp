#include "analysis/WaveformOverview.h"

#include "container/SoundFileOpen.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <mutex>
#include <numeric>

#if defined(__x86_64__) && defined(__GNUC__)
#define WAVQUILL_OVERVIEW_SSE 1
#include <immintrin.h>
#endif

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr qint64 kNoEnd = std::numeric_limits<qint64>::max();
constexpr sf_count_t kBlockItems = 65536;
constexpr auto kPublishEvery = std::chrono::milliseconds(100);

// Lowers lo[c] and raises hi[c] to channel c's extremes over `frames` frames
// of interleaved items; channels from `tracked` on are skipped. NaN never
// gets in: only a strictly smaller or larger value replaces one held.
void reduceFrames(const float *items, sf_count_t frames, int channels, int tracked, float *lo, float *hi)
{
    for (sf_count_t i = 0; i < frames; ++i) {
        const float *frame = items + i * channels;
        for (int c = 0; c < tracked; ++c) {
            const float v = frame[c];
            lo[c] = v < lo[c] ? v : lo[c];
            hi[c] = v > hi[c] ? v : hi[c];
        }
    }
}

#ifdef WAVQUILL_OVERVIEW_SSE

// Several running extremes over the interleaved items, as the peak scan
// keeps them: lane k holds channel k % Channels. minps(x, m) answers m when
// x is NaN, the same rule as the frame loop. Returns the frames reduced.
template <int Channels>
sf_count_t reduceLanes(const float *items, sf_count_t frames, float *lo, float *hi)
{
    constexpr int base = Channels * 4 / std::gcd(Channels, 4);
    constexpr int Lanes = base * ((8 + base - 1) / base);
    constexpr int Vectors = Lanes / 4;
    const sf_count_t groups = frames * Channels / Lanes;
    __m128 l[Vectors], h[Vectors];
    for (int v = 0; v < Vectors; ++v) {
        l[v] = _mm_set1_ps(kInf);
        h[v] = _mm_set1_ps(-kInf);
    }
    for (sf_count_t g = 0; g < groups; ++g) {
        const float *p = items + g * Lanes;
        for (int v = 0; v < Vectors; ++v) {
            const __m128 x = _mm_loadu_ps(p + 4 * v);
            l[v] = _mm_min_ps(x, l[v]);
            h[v] = _mm_max_ps(x, h[v]);
        }
    }
    float laneLo[Lanes], laneHi[Lanes];
    for (int v = 0; v < Vectors; ++v) {
        _mm_storeu_ps(laneLo + 4 * v, l[v]);
        _mm_storeu_ps(laneHi + 4 * v, h[v]);
    }
    for (int k = 0; k < Lanes; ++k) {
        lo[k % Channels] = std::min(lo[k % Channels], laneLo[k]);
        hi[k % Channels] = std::max(hi[k % Channels], laneHi[k]);
    }
    return groups * Lanes / Channels;
}

sf_count_t reduceVector(const float *items, sf_count_t frames, int channels, float *lo, float *hi)
{
    switch (channels) {
    case 1: return reduceLanes<1>(items, frames, lo, hi);
    case 2: return reduceLanes<2>(items, frames, lo, hi);
    case 3: return reduceLanes<3>(items, frames, lo, hi);
    case 4: return reduceLanes<4>(items, frames, lo, hi);
    case 5: return reduceLanes<5>(items, frames, lo, hi);
    case 6: return reduceLanes<6>(items, frames, lo, hi);
    case 7: return reduceLanes<7>(items, frames, lo, hi);
    case 8: return reduceLanes<8>(items, frames, lo, hi);
    default: return 0;
    }
}

#endif

void reduce(const float *items, sf_count_t frames, int channels, int tracked, float *lo, float *hi)
{
    sf_count_t done = 0;
#ifdef WAVQUILL_OVERVIEW_SSE
    if (tracked == channels)
        done = reduceVector(items, frames, channels, lo, hi);
#endif
    reduceFrames(items + done * channels, frames - done, channels, tracked, lo, hi);
}

} // namespace

int WaveformSnapshot::bucketOf(qint64 frame) const
{
    if (planned <= 0 || span <= 0)
        return 0;
    const auto b = static_cast<__int128>(std::max<qint64>(frame, 0)) * planned / span;
    return int(std::min<__int128>(b, planned - 1));
}

qint64 WaveformSnapshot::firstFrame(int bucket) const
{
    if (planned <= 0)
        return 0;
    // The smallest f with floor(f * planned / span) >= bucket.
    const auto scaled = static_cast<__int128>(std::clamp(bucket, 0, planned)) * span;
    return qint64((scaled + planned - 1) / planned);
}

struct WaveformShared {
    mutable std::mutex mutex;
    int planned = 0;
    qint64 span = 0;
    bool complete = false;
    bool failed = false;
    std::vector<std::vector<float>> minima, maxima;
};

namespace {

// The worker's own side: buckets are filled here and copied to the shared
// state in batches, so the lock is held only for the copy.
class BucketFiller
{
public:
    BucketFiller(const SF_INFO &info, int asked)
        : m_channels(info.channels), m_tracked(std::min(info.channels, kWaveformChannels)),
          m_known(info.frames != SF_COUNT_MAX), m_frames(std::max<sf_count_t>(info.frames, 0)), m_asked(asked),
          m_planned(m_known ? int(std::min<qint64>(asked, m_frames)) : 0), m_lo(size_t(m_tracked)),
          m_hi(size_t(m_tracked)), m_curLo(size_t(m_tracked), kInf), m_curHi(size_t(m_tracked), -kInf)
    {
        m_bucketEnd = nextEnd();
    }

    void add(const float *items, sf_count_t frames)
    {
        if (m_known && m_planned == 0)
            return;
        while (frames > 0) {
            const sf_count_t take = sf_count_t(std::min<qint64>(frames, m_bucketEnd - m_frame));
            reduce(items, take, m_channels, m_tracked, m_curLo.data(), m_curHi.data());
            items += take * m_channels;
            frames -= take;
            m_frame += take;
            if (m_frame == m_bucketEnd)
                closeBucket();
        }
    }

    // The data ended: the bucket read so far counts.
    void finish()
    {
        if (m_frame > m_bucketStart)
            closeBucket();
    }

    void publish(WaveformShared &shared, bool complete, bool failed);

private:
    qint64 nextEnd() const
    {
        if (!m_known)
            return (m_bucket + 1) * m_framesPerBucket;
        // The last bucket ends where the reading ends.
        if (m_bucket + 1 >= m_planned)
            return kNoEnd;
        return qint64((static_cast<__int128>(m_bucket + 1) * m_frames + m_planned - 1) / m_planned);
    }

    void closeBucket()
    {
        for (size_t c = 0; c < size_t(m_tracked); ++c) {
            // A bucket of NaN only reads as silence.
            const bool any = m_curLo[c] <= m_curHi[c];
            m_lo[c].push_back(any ? m_curLo[c] : 0.0f);
            m_hi[c].push_back(any ? m_curHi[c] : 0.0f);
            m_curLo[c] = kInf;
            m_curHi[c] = -kInf;
        }
        ++m_bucket;
        if (!m_known && m_bucket == 2 * m_asked)
            mergePairs();
        m_bucketStart = m_frame;
        m_bucketEnd = nextEnd();
    }

    // Unknown length: twice as many frames per bucket, half as many buckets.
    void mergePairs()
    {
        for (size_t c = 0; c < size_t(m_tracked); ++c) {
            for (size_t i = 0; i < size_t(m_asked); ++i) {
                m_lo[c][i] = std::min(m_lo[c][2 * i], m_lo[c][2 * i + 1]);
                m_hi[c][i] = std::max(m_hi[c][2 * i], m_hi[c][2 * i + 1]);
            }
            m_lo[c].resize(size_t(m_asked));
            m_hi[c].resize(size_t(m_asked));
        }
        m_bucket = m_asked;
        m_framesPerBucket *= 2;
        m_republish = true;
    }

    const int m_channels;
    const int m_tracked;
    const bool m_known;
    const qint64 m_frames;
    const int m_asked;
    const int m_planned;
    qint64 m_framesPerBucket = 1; // unknown length only
    int m_bucket = 0;
    qint64 m_frame = 0;
    qint64 m_bucketStart = 0;
    qint64 m_bucketEnd = 0;
    std::vector<std::vector<float>> m_lo, m_hi;
    std::vector<float> m_curLo, m_curHi;
    size_t m_published = 0;
    bool m_republish = false;
};

void BucketFiller::publish(WaveformShared &shared, bool complete, bool failed)
{
    const size_t from = m_republish ? 0 : m_published;
    const std::lock_guard<std::mutex> lock(shared.mutex);
    for (size_t c = 0; c < size_t(m_tracked); ++c) {
        shared.minima[c].resize(from);
        shared.maxima[c].resize(from);
        shared.minima[c].insert(shared.minima[c].end(), m_lo[c].begin() + qsizetype(from), m_lo[c].end());
        shared.maxima[c].insert(shared.maxima[c].end(), m_hi[c].begin() + qsizetype(from), m_hi[c].end());
    }
    const int filled = m_tracked > 0 ? int(m_lo[0].size()) : 0;
    shared.planned = m_known ? m_planned : filled;
    shared.span = m_known ? m_frames : filled * m_framesPerBucket;
    shared.complete = complete;
    shared.failed = failed;
    m_published = size_t(filled);
    m_republish = false;
}

void runOverview(const QString &path, const SF_INFO &expected, int buckets, WaveformShared &shared,
                 const std::atomic<bool> &cancel, const std::function<void(double)> &published)
{
    BucketFiller filler(expected, buckets);
    const SoundHandle handle = reopenSoundFile(path, expected, true);
    SNDFILE *file = handle.get();
    if (!file) {
        filler.publish(shared, false, true);
        return;
    }
    const sf_count_t blockFrames = std::max<sf_count_t>(1, kBlockItems / expected.channels);
    std::vector<float> block(size_t(blockFrames * expected.channels));
    const double frames = expected.frames > 0 && expected.frames != SF_COUNT_MAX ? double(expected.frames) : 0.0;
    sf_count_t done = 0;
    if (published)
        published(0.0);
    auto lastPublish = std::chrono::steady_clock::now();
    sf_count_t n = 0;
    for (sf_count_t left = framesToRead(expected); left > 0 && !cancel.load(std::memory_order_relaxed)
         && (n = sf_readf_float(file, block.data(), std::min(blockFrames, left))) > 0;
         left -= n) {
        filler.add(block.data(), n);
        done += n;
        const auto now = std::chrono::steady_clock::now();
        if (now - lastPublish >= kPublishEvery) {
            filler.publish(shared, false, false);
            lastPublish = now;
            if (published)
                published(frames > 0 ? std::min(100.0, 100.0 * double(done) / frames) : 0.0);
        }
    }
    const bool cancelled = cancel.load();
    const bool failed = !cancelled && sf_error(file) != SF_ERR_NO_ERROR;
    if (!cancelled)
        filler.finish();
    filler.publish(shared, !cancelled && !failed, failed);
}

} // namespace

WaveformOverview::WaveformOverview() : m_shared(std::make_shared<WaveformShared>())
{
}

void WaveformOverview::clear(int channels)
{
    const std::lock_guard<std::mutex> lock(m_shared->mutex);
    WaveformShared &s = *m_shared;
    s.planned = 0;
    s.span = 0;
    s.complete = s.failed = false;
    const size_t tracked = size_t(std::clamp(channels, 0, kWaveformChannels));
    s.minima.assign(tracked, {});
    s.maxima.assign(tracked, {});
}

void WaveformOverview::compute(const QString &path, const SF_INFO &expected, int buckets,
                               const std::atomic<bool> &cancel, const std::function<void(double)> &published)
{
    clear(expected.channels);
    if (expected.channels > 0)
        runOverview(path, expected, std::max(buckets, 1), *m_shared, cancel, published);
}

WaveformSnapshot WaveformOverview::snapshot(const std::vector<int> &channels) const
{
    WaveformSnapshot s;
    const std::lock_guard<std::mutex> lock(m_shared->mutex);
    s.planned = m_shared->planned;
    s.span = m_shared->span;
    s.complete = m_shared->complete;
    s.failed = m_shared->failed;
    s.filled = m_shared->minima.empty() ? 0 : int(m_shared->minima.front().size());
    for (int c : channels) {
        const bool has = c >= 0 && size_t(c) < m_shared->minima.size();
        s.minima.push_back(has ? m_shared->minima[size_t(c)] : std::vector<float>{});
        s.maxima.push_back(has ? m_shared->maxima[size_t(c)] : std::vector<float>{});
    }
    return s;
}
