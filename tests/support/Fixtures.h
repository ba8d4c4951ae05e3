// Sound files generated in code for the tests: nothing binary is checked in.
#pragma once

#include <sndfile.h>

#include <QByteArray>
#include <QString>

#include <array>
#include <functional>
#include <optional>
#include <vector>

namespace fixtures {

// String metadata to put into a generated file; unset entries are not written.
// Indexed by libsndfile string id - 1 (title, copyright, software, artist,
// comment, date).
using Strings = std::array<std::optional<QByteArray>, 6>;

struct Spec {
    int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    int channels = 2;
    int samplerate = 44100;
    sf_count_t frames = 0;
    Strings strings;
    // Raw broadcast record bytes (an SF_BROADCAST_INFO_VAR of any size), if any.
    std::optional<QByteArray> bext;
};

// Sample value for (frame, channel), full scale +-1.0.
using Generator = std::function<double(sf_count_t frame, int channel)>;

// A deterministic test signal: a different sine per channel.
double sineSample(sf_count_t frame, int channel);

// Writes a file through libsndfile with doubles (normalised). Returns false and
// prints libsndfile's text on failure.
bool write(const QString &path, const Spec &spec, const Generator &gen = sineSample);

// Writes integer items exactly as given (sf_write_int, interleaved).
bool writeInts(const QString &path, const Spec &spec, const std::vector<int> &items);

// Writes doubles with normalisation off (values reach the file unscaled).
bool writeRawDoubles(const QString &path, const Spec &spec, const std::vector<double> &items);

// Reads every item of a file as int / as raw doubles (normalisation off).
std::vector<int> readInts(const QString &path, SF_INFO *info = nullptr);
std::vector<double> readRawDoubles(const QString &path, SF_INFO *info = nullptr);

// Builds an 864-byte (or larger, with a longer coding history) bext record.
QByteArray bextRecord(const QByteArray &description, const QByteArray &originator,
                      const QByteArray &originatorRef, const QByteArray &date,
                      const QByteArray &time, quint64 timeReference, short version,
                      const QByteArray &umid, const QByteArray &codingHistory);

// Folder where tests leave screenshots for a person to look at.
QString artifactsDir();

// True when the named program is on PATH.
bool haveProgram(const char *name);

} // namespace fixtures
