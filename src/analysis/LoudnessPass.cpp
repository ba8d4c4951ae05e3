#include "analysis/LoudnessPass.h"

#include "analysis/TruePeak.h"
#include "container/SoundFileOpen.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>

// How segments join exactly.
//
// libebur128 emits a gating block (400 ms) every 100 ms and a short-term
// block (3 s, for the range) every second, both counted from where a state
// began. A single pass over the file thus has gating blocks starting at 0,
// 100 ms, 200 ms, ... and short-term blocks starting at 0, 1 s, 2 s, ...
// Segment borders lie on whole seconds, and each segment owns the blocks
// that start inside it:
//
// - Its gated state (MODE_I | MODE_LRA) is fed the 300 ms before its border,
//   too little for a gating block, and then restarted: window emptied, block
//   clock back to zero, K-weighting filter memory kept (settle()). From the
//   border on it emits what a state begun there would, from the filter
//   output a single pass has there. It runs on to 300 ms past the next
//   border, where the last gating block starting before that border ends;
//   its last short-term block starts 3 s before the next border.
// - The two short-term blocks starting 2 s and 1 s before its border end
//   after it. A small second state (MODE_LRA without MODE_I: no gating
//   blocks) is settled the same way 2 s before the border and runs to 2 s
//   after it.
//
// So every gating and short-term block of a single pass comes from exactly
// one state, with the same value but for rounding, and
// ebur128_loudness_global_multiple() and ebur128_loudness_range_multiple()
// over all states give the single pass's result. libebur128's momentary and
// short-term windows are 4 and 30 whole 100 ms blocks; each segment records
// its own blocks' weighted energies (ebur128_loudness_window() over 100 ms)
// and the join takes the loudest run of 4 and of 30 over the whole file.
// True peak: each segment's meter is primed with the frames before its
// border and measures only its own frames.

namespace {

constexpr sf_count_t kBlocksPerSecond = 10;
constexpr sf_count_t kGatingBlocks = 4;     // 400 ms
constexpr sf_count_t kSettleBlocks = kGatingBlocks - 1; // fed before a border, too few for a gating block
constexpr sf_count_t kTailBlocks = kGatingBlocks - 1;   // a gating block starting 100 ms before a border ends this far after it
constexpr sf_count_t kBorderSeconds = 2;    // short-term blocks are 3 s long, one a second
constexpr sf_count_t kMinSegmentSeconds = 3;
constexpr sf_count_t kAutoMinSegmentSeconds = 30;
constexpr sf_count_t kSegmentsPerThread = 4; // spare pieces for a thread that gets less of a shared core
constexpr sf_count_t kChunkItems = 1 << 18;
constexpr unsigned long kWindowMs = 3000;   // libebur128's window with MODE_S
constexpr int kModeGated = EBUR128_MODE_I | EBUR128_MODE_LRA;
constexpr int kModeBorder = EBUR128_MODE_LRA;

// ebur128_init() rewrites the library's static gate constants (always with
// the same values); one at a time.
std::mutex ebur128InitMutex;

int typeForPosition(int position)
{
    switch (position) {
    case SF_CHANNEL_MAP_LFE:
        return EBUR128_UNUSED;
    case SF_CHANNEL_MAP_LEFT:
    case SF_CHANNEL_MAP_FRONT_LEFT:
    case SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER:
        return EBUR128_LEFT;
    case SF_CHANNEL_MAP_RIGHT:
    case SF_CHANNEL_MAP_FRONT_RIGHT:
    case SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER:
        return EBUR128_RIGHT;
    case SF_CHANNEL_MAP_REAR_LEFT:
        return EBUR128_LEFT_SURROUND;
    case SF_CHANNEL_MAP_REAR_RIGHT:
        return EBUR128_RIGHT_SURROUND;
    case SF_CHANNEL_MAP_SIDE_LEFT:
        return EBUR128_Mp090;
    case SF_CHANNEL_MAP_SIDE_RIGHT:
        return EBUR128_Mm090;
    case SF_CHANNEL_MAP_REAR_CENTER:
        return EBUR128_Mp180;
    default: // mono, centre, height and ambisonic channels all weigh 1.0
        return EBUR128_CENTER;
    }
}

int typeForIndex(int index)
{
    static const int order[] = {EBUR128_LEFT, EBUR128_RIGHT, EBUR128_CENTER,
                                EBUR128_UNUSED, EBUR128_LEFT_SURROUND, EBUR128_RIGHT_SURROUND};
    return index < 6 ? order[index] : EBUR128_CENTER;
}

// Uncompressed codings seek to the exact frame; codecs may not.
bool seeksExactly(const SF_INFO &info)
{
    switch (info.format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_PCM_16:
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_DOUBLE:
    case SF_FORMAT_ULAW:
    case SF_FORMAT_ALAW:
        return info.seekable != 0;
    default:
        return false;
    }
}

// Reads whole blocks at a time through one handle, seeking only when asked
// for a frame other than the next one.
class Reader
{
public:
    Reader(SNDFILE *file, const LoudnessPlan &plan)
        : m_file(file),
          m_chunk(std::max<sf_count_t>(1, kChunkItems / (plan.blockFrames * plan.channels)) * plan.blockFrames),
          m_buffer(size_t(m_chunk * plan.channels)), m_frames(plan.frames)
    {
    }
    const float *data() const { return m_buffer.data(); }
    sf_count_t chunkFrames() const { return m_chunk; }

    // Up to min(count, chunkFrames()) frames from `at`; fewer only at the end
    // of the data or of the plan's frames, or on a read error; 0 when there
    // is nothing more.
    sf_count_t read(sf_count_t at, sf_count_t count)
    {
        if (at != m_position && sf_seek(m_file, at, SEEK_SET) != at) {
            m_position = -1;
            return 0;
        }
        count = std::min({count, m_chunk, m_frames - at});
        const sf_count_t got = count > 0 ? std::max<sf_count_t>(0, sf_readf_float(m_file, m_buffer.data(), count)) : 0;
        m_position = at + got;
        return got;
    }

private:
    SNDFILE *m_file;
    sf_count_t m_chunk;
    std::vector<float> m_buffer;
    sf_count_t m_frames;
    sf_count_t m_position = -1;
};

EbuState makeState(const LoudnessPlan &plan, int mode)
{
    ebur128_state *state = nullptr;
    {
        std::lock_guard<std::mutex> lock(ebur128InitMutex);
        state = ebur128_init(unsigned(plan.channels), static_cast<unsigned long>(plan.rate), mode);
    }
    if (!state)
        return {};
    for (int c = 0; c < plan.channels; ++c)
        ebur128_set_channel(state, unsigned(c), plan.channelTypes[size_t(c)]);
    return EbuState(state);
}

// Feeds [from, to) or up to the end of the data; false on a libebur128
// error. `primed` gets the frames as filter memory.
bool feed(Reader &reader, ebur128_state *state, sf_count_t from, sf_count_t to, TruePeakMeter *primed)
{
    for (sf_count_t at = from; at < to;) {
        const sf_count_t got = reader.read(at, to - at);
        if (got <= 0)
            break;
        if (ebur128_add_frames_float(state, reader.data(), size_t(got)) != EBUR128_SUCCESS)
            return false;
        if (primed)
            primed->prime(reader.data(), size_t(got));
        at += got;
    }
    return true;
}

// Restarts libebur128's block clock and empties its window as at init,
// keeping the filter memory: what ebur128_set_max_window() does when the
// window changes. libebur128 1.2.6 sizes that buffer as rate x window,
// without the /1000 of its other calls, so the window goes in counted in
// frames with the rate field at 1 for the call. A library that divides gets
// a buffer short of 3 s, which the check finds; it is then called as
// documented.
bool restartBlocks(ebur128_state *state)
{
    const unsigned long rate = state->samplerate;
    state->samplerate = 1;
    ebur128_set_max_window(state, 3 * rate + 1);
    state->samplerate = rate;
    double unused = 0.0;
    if (ebur128_loudness_window(state, kWindowMs, &unused) == EBUR128_SUCCESS)
        return true;
    const unsigned long window = 3 * rate + 1 == kWindowMs + 100 ? kWindowMs + 200 : kWindowMs + 100;
    return ebur128_set_max_window(state, window) == EBUR128_SUCCESS
        && ebur128_loudness_window(state, kWindowMs, &unused) == EBUR128_SUCCESS;
}

// Makes `state` continue at frame `at` as a state that began there but with
// the filter memory of a single pass. The K-weighting filter is recursive; a
// fresh one lacks the past. The 300 ms before `at` bring its memory to a
// single pass's to rounding: the slowest part, the 38 Hz high-pass, decays by
// about e^-70 in that time. 300 ms stays short of the 400 ms of the first
// gating block, so nothing of it is counted before the restart.
bool settle(Reader &reader, ebur128_state *state, sf_count_t at, sf_count_t blockFrames, TruePeakMeter *primed)
{
    return feed(reader, state, at - kSettleBlocks * blockFrames, at, primed) && restartBlocks(state);
}

// The state for the two short-term blocks across `border`.
EbuState measureBorder(Reader &reader, const LoudnessPlan &plan, sf_count_t border)
{
    const sf_count_t span = kBorderSeconds * kBlocksPerSecond * plan.blockFrames;
    EbuState state = makeState(plan, kModeBorder);
    if (!state || !settle(reader, state.get(), border - span, plan.blockFrames, nullptr)
        || !feed(reader, state.get(), border - span, border + span, nullptr))
        return {};
    return state;
}

// Whether restartBlocks() does its job with this library at this rate.
bool restartWorks(int rate)
{
    LoudnessPlan mono;
    mono.channels = 1;
    mono.rate = rate;
    mono.channelTypes = {EBUR128_CENTER};
    const EbuState state = makeState(mono, kModeBorder);
    return state && restartBlocks(state.get());
}

double energyOf(double lufs)
{
    return lufs == -HUGE_VAL ? 0.0 : std::pow(10.0, (lufs + 0.691) / 10.0);
}

double loudnessOf(double energy)
{
    return energy > 0.0 ? 10.0 * std::log10(energy) - 0.691 : -HUGE_VAL;
}

// Called after each whole block the segment owns.
void recordBlock(ebur128_state *state, const LoudnessPlan &plan, SegmentMeasure &out)
{
    double value = -HUGE_VAL;
    if (plan.blockEnergies) {
        ebur128_loudness_window(state, 100, &value);
        out.blockEnergy.push_back(energyOf(value));
        return;
    }
    if (ebur128_loudness_momentary(state, &value) == EBUR128_SUCCESS && value > out.maxMomentary)
        out.maxMomentary = value;
    if (ebur128_loudness_shortterm(state, &value) == EBUR128_SUCCESS && value > out.maxShortTerm)
        out.maxShortTerm = value;
}

// Feeds the gated state from `start` to 300 ms past `end` (-1: to the end of
// the data), one block per call so each owned block can be recorded; the true
// peak covers the owned frames only.
SegmentOutcome runGated(Reader &reader, const LoudnessPlan &plan, sf_count_t start, sf_count_t end,
                        TruePeakMeter &meter, SegmentMeasure &out,
                        const std::function<bool(sf_count_t)> &carryOn)
{
    const sf_count_t block = plan.blockFrames;
    const sf_count_t owned = end < 0 ? std::numeric_limits<sf_count_t>::max() : end;
    const sf_count_t stop = end < 0 ? owned : end + kTailBlocks * block;
    for (sf_count_t at = start; at < stop;) {
        const sf_count_t asked = std::min(stop - at, reader.chunkFrames());
        const sf_count_t got = reader.read(at, asked);
        if (got <= 0)
            break;
        const float *frames = reader.data();
        const sf_count_t mine = std::clamp<sf_count_t>(owned - at, 0, got);
        meter.process(frames, size_t(mine));
        for (sf_count_t offset = 0; offset < got; offset += block) {
            const sf_count_t n = std::min(block, got - offset);
            if (ebur128_add_frames_float(out.gated.get(), frames + offset * plan.channels, size_t(n)) != EBUR128_SUCCESS)
                return SegmentOutcome::Failed;
            if (n == block && at + offset < owned)
                recordBlock(out.gated.get(), plan, out);
        }
        at += got;
        if (!carryOn(mine))
            return SegmentOutcome::Stopped;
        if (got < asked) // end of the data, or a read error that ends it
            break;
    }
    return SegmentOutcome::Done;
}

// The loudest mean over `width` consecutive blocks, with silence before the
// first block as in libebur128's windows at the start of a file.
double loudestWindow(const std::vector<double> &energy, size_t width)
{
    double best = 0.0;
    for (size_t j = 0; j < energy.size(); ++j) {
        double sum = 0.0;
        for (size_t k = j + 1 > width ? j + 1 - width : 0; k <= j; ++k)
            sum += energy[k];
        best = sum > best ? sum : best;
    }
    return loudnessOf(best / double(width));
}

} // namespace

std::vector<int> loudnessChannelTypes(SNDFILE *file, int channels)
{
    std::vector<int> map(size_t(std::max(channels, 0)), SF_CHANNEL_MAP_INVALID);
    const bool mapped = file && channels > 0
        && sf_command(file, SFC_GET_CHANNEL_MAP_INFO, map.data(), int(map.size() * sizeof(int))) == SF_TRUE;
    std::vector<int> types(map.size());
    for (size_t c = 0; c < map.size(); ++c)
        types[c] = mapped && map[c] != SF_CHANNEL_MAP_INVALID ? typeForPosition(map[c]) : typeForIndex(int(c));
    return types;
}

LoudnessPlan planLoudness(SNDFILE *file, const SF_INFO &info, int threads, int segmentSeconds)
{
    LoudnessPlan plan;
    plan.channels = info.channels;
    plan.rate = info.samplerate;
    plan.blockFrames = std::max<sf_count_t>(1, (sf_count_t(info.samplerate) + 5) / 10);
    plan.blockEnergies = sf_count_t(info.samplerate) * 100 / 1000 == plan.blockFrames;
    plan.channelTypes = loudnessChannelTypes(file, info.channels);
    plan.frames = framesToRead(info);
    plan.borders.push_back(0);
    if (!plan.blockEnergies || !seeksExactly(info))
        return plan;
    const sf_count_t second = kBlocksPerSecond * plan.blockFrames;
    const sf_count_t seconds = info.frames / second;
    sf_count_t length = segmentSeconds;
    if (segmentSeconds <= 0) {
        if (threads <= 1)
            return plan;
        const sf_count_t pieces = sf_count_t(threads) * kSegmentsPerThread;
        length = std::max(kAutoMinSegmentSeconds, (seconds + pieces - 1) / pieces);
    }
    length = std::max(length, kMinSegmentSeconds);
    if (length >= seconds || !restartWorks(info.samplerate))
        return plan;
    for (sf_count_t s = length; s < seconds; s += length)
        plan.borders.push_back(s * second);
    return plan;
}

SegmentOutcome measureSegment(SNDFILE *file, const LoudnessPlan &plan, size_t index, SegmentMeasure &out,
                              const std::function<bool(sf_count_t frames)> &carryOn)
{
    Reader reader(file, plan);
    const sf_count_t start = plan.borders[index];
    const sf_count_t end = index + 1 < plan.borders.size() ? plan.borders[index + 1] : -1;
    TruePeakMeter meter(plan.channels, plan.rate);
    out.firstBlock = start / plan.blockFrames;
    out.gated = makeState(plan, kModeGated);
    if (!out.gated)
        return SegmentOutcome::Failed;
    if (index > 0) {
        out.border = measureBorder(reader, plan, start);
        if (!out.border || !settle(reader, out.gated.get(), start, plan.blockFrames, &meter))
            return SegmentOutcome::Failed;
    }
    const SegmentOutcome outcome = runGated(reader, plan, start, end, meter, out, carryOn);
    out.peak = meter.peak();
    return outcome;
}

bool joinSegments(const std::vector<SegmentMeasure> &segments, LoudnessResult &result)
{
    std::vector<ebur128_state *> gated;
    std::vector<ebur128_state *> shortTerm;
    std::vector<double> energy;
    double peak = 0.0;
    result.maxMomentary = -HUGE_VAL;
    result.maxShortTerm = -HUGE_VAL;
    for (const SegmentMeasure &s : segments) {
        gated.push_back(s.gated.get());
        shortTerm.push_back(s.gated.get());
        if (s.border)
            shortTerm.push_back(s.border.get());
        // Placed by block number: a file shorter than it claims leaves later
        // segments short or empty.
        const size_t first = size_t(s.firstBlock);
        if (energy.size() < first + s.blockEnergy.size())
            energy.resize(first + s.blockEnergy.size(), 0.0);
        std::copy(s.blockEnergy.begin(), s.blockEnergy.end(), energy.begin() + ptrdiff_t(first));
        peak = s.peak > peak ? s.peak : peak;
        result.maxMomentary = std::max(result.maxMomentary, s.maxMomentary);
        result.maxShortTerm = std::max(result.maxShortTerm, s.maxShortTerm);
    }
    if (ebur128_loudness_global_multiple(gated.data(), gated.size(), &result.integrated) != EBUR128_SUCCESS
        || ebur128_loudness_range_multiple(shortTerm.data(), shortTerm.size(), &result.range) != EBUR128_SUCCESS)
        return false;
    result.maxMomentary = std::max(result.maxMomentary, loudestWindow(energy, 4));
    result.maxShortTerm = std::max(result.maxShortTerm, loudestWindow(energy, 30));
    result.truePeak = peak > 0.0 ? 20.0 * std::log10(peak) : -HUGE_VAL;
    result.ok = true;
    return true;
}
