// What the program knows about each libsndfile coding (subtype), in one
// table: the size of a stored sample, the scale its decoder delivers, and how
// its samples can be copied without loss.
//
// Pure and constant: callable from any thread.
#pragma once

enum class CodecKind {
    Integer, // sf_read_int/sf_write_int give back every decoded sample
    Float,   // floating-point data: only doubles keep it
    Lossy,   // decoded values need no integer form and do not survive a re-encode
};

struct CodecFacts {
    int codec = 0;            // SF_FORMAT_* subtype; 0 for codings not in the table
    int bytesPerSample = 0;   // stored bytes per sample; 0 when not fixed (companded, ADPCM, codecs)
    // Full scale of sf_read_double with normalisation off. Some decoders
    // deliver other scales than their coded width (measured): ALAC and DWVW
    // left-aligned 32-bit, DPCM 8 on 8 bits, Vorbis and Opus as floats.
    double rawFullScale = 32768.0;
    CodecKind kind = CodecKind::Lossy;
    // One step of a lossless integer coding on the normalised scale; 0 when
    // samples cannot be compared one by one. 8-bit codings get two steps:
    // libsndfile truncates there.
    double step = 0.0;
    // µ-law loses its negative zero when decoded; only its bytes keep it.
    bool onlyBytesExact = false;
    // libsndfile decodes it but has no encoder (MPEG layers I and II): a
    // file of it cannot be opened for writing, whatever sf_format_check says.
    bool decodeOnly = false;
    // The one major type libsndfile writes it in (MPEG layer III: only as
    // an MP3 file, not inside a WAV); 0 for any that passes the check.
    int encodedOnlyIn = 0;
};

// The facts for the subtype of a format word (other bits are ignored).
const CodecFacts &codecFacts(int format);

// The level in dB relative to full scale of a peak measured with
// normalisation off in a file of the given format; -inf for 0.
double peakDecibels(double peak, int format);
