// Writes the fuzzer's seed corpus: one small file for every major format
// libsndfile can write (raw excepted: it cannot be opened without being told
// its format), plus a few WAV codecs whose decoders are worth reaching. Files
// carry the six strings and, where the container holds one, a broadcast
// record, so the fuzzer starts from inputs that reach the metadata code.
//
// Usage: wavquill_make_corpus FOLDER
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr sf_count_t kFrames = 300;

void setStrings(SNDFILE *f)
{
    // Refused by containers without string support; that is fine here.
    sf_set_string(f, SF_STR_TITLE, "Seed title");
    sf_set_string(f, SF_STR_COPYRIGHT, "(c) nobody");
    sf_set_string(f, SF_STR_SOFTWARE, "wavquill corpus");
    sf_set_string(f, SF_STR_ARTIST, "Artist \xc3\xa9");
    sf_set_string(f, SF_STR_COMMENT, "A comment");
    sf_set_string(f, SF_STR_DATE, "2024-01-02");
}

void setBext(SNDFILE *f)
{
    SF_BROADCAST_INFO_VAR(256) info{};
    std::strncpy(info.description, "Seed description", sizeof info.description);
    std::strncpy(info.originator, "Originator", sizeof info.originator);
    std::strncpy(info.originator_reference, "REF0001", sizeof info.originator_reference);
    std::memcpy(info.origination_date, "2024-01-02", 10);
    std::memcpy(info.origination_time, "10:20:30", 8);
    info.time_reference_low = 8000 * 3600;
    info.version = 1;
    const char history[] = "A=PCM,F=8000,W=16,M=stereo,T=seed\r\n";
    std::memcpy(info.coding_history, history, sizeof history - 1);
    info.coding_history_size = sizeof history - 1;
    // Only WAV-like containers accept it; the others refuse silently.
    sf_command(f, SFC_SET_BROADCAST_INFO, &info, sizeof info);
}

// Tries to write one file in `format`; false when libsndfile refuses it.
bool writeSeed(const std::string &path, int format, int channels, int samplerate)
{
    SF_INFO info{};
    info.format = format;
    info.channels = channels;
    info.samplerate = samplerate;
    if (!sf_format_check(&info))
        return false;
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) {
        // A refused open can still leave an empty file behind.
        std::remove(path.c_str());
        return false;
    }
    setStrings(f);
    setBext(f);
    std::vector<double> items(size_t(kFrames * channels));
    for (sf_count_t i = 0; i < kFrames; ++i)
        for (int c = 0; c < channels; ++c)
            items[size_t(i * channels + c)] = 0.5 * std::sin(double(i) * 0.05 * (c + 1));
    const sf_count_t written = sf_write_double(f, items.data(), sf_count_t(items.size()));
    sf_close(f);
    if (written != sf_count_t(items.size())) {
        std::remove(path.c_str());
        return false;
    }
    // Some combinations write but cannot be read back; they make poor seeds.
    SF_INFO check{};
    SNDFILE *r = sf_open(path.c_str(), SFM_READ, &check);
    if (!r) {
        std::remove(path.c_str());
        return false;
    }
    sf_close(r);
    return true;
}

// Writes a seed with the first subtype of `major` libsndfile accepts, trying
// a few rates and channel counts (some codecs are mono only or need 48 kHz).
bool writeMajor(const std::string &folder, const SF_FORMAT_INFO &major, int subtypeOnly = 0)
{
    int subtypeCount = 0;
    sf_command(nullptr, SFC_GET_FORMAT_SUBTYPE_COUNT, &subtypeCount, sizeof subtypeCount);
    for (int s = 0; s < subtypeCount; ++s) {
        SF_FORMAT_INFO sub{};
        sub.format = s;
        sf_command(nullptr, SFC_GET_FORMAT_SUBTYPE, &sub, sizeof sub);
        if (subtypeOnly && sub.format != subtypeOnly)
            continue;
        for (int samplerate : {48000, 8000})
            for (int channels : {2, 1}) {
                char name[128];
                std::snprintf(name, sizeof name, "/seed-%06x-%04x-%dch.%s", unsigned(major.format),
                              unsigned(sub.format), channels, major.extension);
                const std::string path = folder + name;
                if (writeSeed(path, major.format | sub.format, channels, samplerate)) {
                    std::printf("%s\n", name + 1);
                    return true;
                }
            }
    }
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    int majorCount = 0;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &majorCount, sizeof majorCount);
    int written = 0;
    for (int m = 0; m < majorCount; ++m) {
        SF_FORMAT_INFO major{};
        major.format = m;
        sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &major, sizeof major);
        if (major.format == SF_FORMAT_RAW)
            continue;
        if (writeMajor(folder, major))
            ++written;
        else
            std::fprintf(stderr, "no seed for %s\n", major.name);
    }
    // More decoders behind the common containers.
    SF_FORMAT_INFO wav{};
    wav.format = SF_FORMAT_WAV;
    sf_command(nullptr, SFC_GET_FORMAT_INFO, &wav, sizeof wav);
    for (int subtype : {SF_FORMAT_PCM_24, SF_FORMAT_FLOAT, SF_FORMAT_ULAW, SF_FORMAT_ALAW, SF_FORMAT_IMA_ADPCM,
                        SF_FORMAT_MS_ADPCM, SF_FORMAT_GSM610, SF_FORMAT_G721_32})
        written += writeMajor(folder, wav, subtype) ? 1 : 0;
    const struct {
        int major, subtype;
    } extras[] = {{SF_FORMAT_RF64, SF_FORMAT_FLOAT}, {SF_FORMAT_OGG, SF_FORMAT_OPUS},
                  {SF_FORMAT_FLAC, SF_FORMAT_PCM_24}, {SF_FORMAT_CAF, SF_FORMAT_ALAC_16},
                  {SF_FORMAT_AIFF, SF_FORMAT_FLOAT}};
    for (const auto &extra : extras) {
        SF_FORMAT_INFO major{};
        major.format = extra.major;
        sf_command(nullptr, SFC_GET_FORMAT_INFO, &major, sizeof major);
        written += writeMajor(folder, major, extra.subtype) ? 1 : 0;
    }
    std::printf("%d seed files in %s\n", written, folder.c_str());
    return written > 0 ? 0 : 1;
}
