// Writes the example file that `scripts/run` opens when no file is given:
// a few seconds of stereo 48 kHz 24-bit Broadcast Wave with all six strings
// and a broadcast record, so every part of the window has something to show.
#include "filelogic/SoundHandle.h"

#include <sndfile.h>

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.wav\n", argv[0]);
        return 2;
    }
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
    SoundHandle file(sf_open(argv[1], SFM_WRITE, &info));
    SNDFILE *f = file.get();
    if (!f) {
        std::fprintf(stderr, "%s: %s\n", argv[1], sf_strerror(nullptr));
        return 1;
    }

    SF_BROADCAST_INFO bext{};
    std::strncpy(bext.description, "WavQuill example: a chord that fades in on the left and out on the right", sizeof bext.description);
    std::strncpy(bext.originator, "WavQuill", sizeof bext.originator);
    std::strncpy(bext.originator_reference, "WQ-EXAMPLE-0001", sizeof bext.originator_reference);
    std::memcpy(bext.origination_date, "2026-01-01", 10);
    std::memcpy(bext.origination_time, "12:00:00", 8);
    const unsigned long long reference = 48000ull * 3600; // 01:00:00 at 48 kHz
    bext.time_reference_low = unsigned(reference & 0xffffffffu);
    bext.time_reference_high = unsigned(reference >> 32);
    bext.version = 2;
    const char history[] = "A=PCM,F=48000,W=24,M=stereo,T=WavQuill example\r\n";
    std::memcpy(bext.coding_history, history, sizeof history - 1);
    bext.coding_history_size = sizeof history - 1;
    sf_command(f, SFC_SET_BROADCAST_INFO, &bext, sizeof bext);

    sf_set_string(f, SF_STR_TITLE, "Example chord");
    sf_set_string(f, SF_STR_COPYRIGHT, "Public domain");
    sf_set_string(f, SF_STR_SOFTWARE, "WavQuill example generator");
    sf_set_string(f, SF_STR_ARTIST, "WavQuill");
    sf_set_string(f, SF_STR_COMMENT, "Generated for trying the program out");
    sf_set_string(f, SF_STR_DATE, "2026-01-01");

    const int frames = 48000 * 4;
    std::vector<double> buf(size_t(frames) * 2);
    for (int i = 0; i < frames; ++i) {
        const double t = double(i) / 48000.0;
        const double chord = (std::sin(2 * M_PI * 220 * t) + std::sin(2 * M_PI * 277.18 * t) + std::sin(2 * M_PI * 329.63 * t)) / 4.0;
        const double fade = double(i) / frames;
        buf[size_t(i) * 2] = chord * fade;
        buf[size_t(i) * 2 + 1] = chord * (1.0 - fade);
    }
    sf_writef_double(f, buf.data(), frames);
    return file.close() == 0 ? 0 : 1;
}
