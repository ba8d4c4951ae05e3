#include "filelogic/CodecTable.h"

#include <sndfile.h>

#include <cmath>

namespace {

constexpr double k8 = 128.0;
constexpr double k16 = 32768.0;
constexpr double k24 = 8388608.0;
constexpr double k32 = 2147483648.0;

using K = CodecKind;

const CodecFacts kCodecs[] = {
    // codec              bytes scale kind        step
    {SF_FORMAT_PCM_S8,    1,    k8,   K::Integer, 2.0 / k8},
    {SF_FORMAT_PCM_U8,    1,    k8,   K::Integer, 2.0 / k8},
    {SF_FORMAT_DPCM_8,    1,    k8,   K::Integer, 2.0 / k8},
    {SF_FORMAT_PCM_16,    2,    k16,  K::Integer, 1.0 / k16},
    {SF_FORMAT_DPCM_16,   2,    k16,  K::Integer, 1.0 / k16},
    {SF_FORMAT_PCM_24,    3,    k24,  K::Integer, 1.0 / k24},
    {SF_FORMAT_PCM_32,    4,    k32,  K::Integer, 1.0 / k32},
    {SF_FORMAT_FLOAT,     4,    1.0,  K::Float,   0.0},
    {SF_FORMAT_DOUBLE,    8,    1.0,  K::Float,   0.0},
    {SF_FORMAT_ULAW,      0,    k16,  K::Integer, 0.0, true},
    {SF_FORMAT_ALAW,      0,    k16,  K::Integer, 0.0},
    {SF_FORMAT_DWVW_12,   1,    k32,  K::Integer, 1.0 / 2048.0},
    {SF_FORMAT_DWVW_16,   2,    k32,  K::Integer, 1.0 / k16},
    {SF_FORMAT_DWVW_24,   3,    k32,  K::Integer, 1.0 / k24},
    {SF_FORMAT_DWVW_N,    0,    k32,  K::Integer, 0.0},
    {SF_FORMAT_ALAC_16,   0,    k32,  K::Integer, 1.0 / k16},
    {SF_FORMAT_ALAC_20,   0,    k32,  K::Integer, 1.0 / 524288.0},
    {SF_FORMAT_ALAC_24,   0,    k32,  K::Integer, 1.0 / k24},
    {SF_FORMAT_ALAC_32,   0,    k32,  K::Integer, 1.0 / k32},
    {SF_FORMAT_VORBIS,    0,    1.0,  K::Lossy,   0.0},
    {SF_FORMAT_OPUS,      0,    1.0,  K::Lossy,   0.0},
    {SF_FORMAT_MPEG_LAYER_I,   0, k16, K::Lossy,  0.0, false, true},
    {SF_FORMAT_MPEG_LAYER_II,  0, k16, K::Lossy,  0.0, false, true},
    {SF_FORMAT_MPEG_LAYER_III, 0, k16, K::Lossy,  0.0, false, false, SF_FORMAT_MPEG},
};

const CodecFacts kUnlisted{};

} // namespace

const CodecFacts &codecFacts(int format)
{
    const int codec = format & SF_FORMAT_SUBMASK;
    for (const CodecFacts &facts : kCodecs)
        if (facts.codec == codec)
            return facts;
    return kUnlisted;
}

double peakDecibels(double peak, int format)
{
    return 20.0 * std::log10(peak / codecFacts(format).rawFullScale);
}
