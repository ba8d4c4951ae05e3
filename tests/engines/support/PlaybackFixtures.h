// Helpers for the playback tests: generated files with a signal that is never
// zero, reference reads, stdout capture, and a renderer set up on a file.
#pragma once

#include "playback/AudioRenderer.h"

#include <sndfile.h>

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <memory>
#include <vector>

namespace playbackfixtures {

// Nonzero in every item (so silence can be told apart from sound), different
// in every channel, without a short period, and exact in PCM_16.
double testSample(sf_count_t frame, int channel);

// Every item of a file as sf_read_float gives it.
std::vector<float> readFloats(const QString &path);

// What SDL's disk driver wrote: interleaved stereo floats.
std::vector<float> readRaw(const QString &path);

// A file open for reading, closed on destruction.
struct OpenFile
{
    SNDFILE *handle = nullptr;
    SF_INFO info{};
    explicit OpenFile(const QString &path);
    ~OpenFile();
    OpenFile(const OpenFile &) = delete;
    OpenFile &operator=(const OpenFile &) = delete;
};

// Sends stdout to a file while alive; text() restores it and returns what
// was printed.
class StdoutCapture
{
public:
    StdoutCapture();
    ~StdoutCapture();
    QString text();

private:
    void restore();
    QTemporaryFile m_file;
    int m_saved = -1;
};

// A generated PCM_16 WAV file, its reference samples, the open handle and a
// renderer on it whose signals are logged in arrival order ("pos", "eof").
struct Player
{
    QString path;
    std::vector<float> ref;
    std::unique_ptr<OpenFile> file;
    std::unique_ptr<AudioRenderer> r; // declared after file: destroyed first
    QStringList events;
    QString setupOutput; // what set_sndfile printed
    QString raw;         // where SDL's disk driver writes while this one plays
    QByteArray delay;    // the disk driver's milliseconds per buffer

    // Writes and opens the file and sets the renderer up on it. With `raw`,
    // SDL's disk driver writes the device's output there when play() opens
    // it, `delay` ms a buffer.
    bool open(const QTemporaryDir &dir, const QString &name, int channels, sf_count_t frames,
              int rate = 44100, const QString &raw = QString(), const char *delay = "0");
    // Starts the renderer with the disk driver pointed at `raw` (the device
    // opens here, and the driver reads its settings when it opens).
    int play();
    // Starts logging the renderer's signals into `events`.
    void logSignals();
    int count(const char *what) const;
};

// One call of the render procedure for `frames` frames, appended to `out`.
void renderInto(AudioRenderer *r, std::vector<float> &out, int frames);

// Plays like the output and the playback timer together: render, top up,
// deliver, until the end is reported (or maxCalls). Returns the stdout text.
QString playToEnd(Player &p, std::vector<float> &out, int framesPerCall, int maxCalls = 1000000);

// Empty when out[outFrame...] holds `count` frames of `ref` from `fromFrame`
// on with `left`/`right` as the output channels; else the first difference.
QString compareMapped(const std::vector<float> &out, size_t outFrame, const std::vector<float> &ref,
                      int channels, int left, int right, size_t fromFrame, size_t count);

// True when every sample from stereo frame `frame` on is 0.
bool silentFrom(const std::vector<float> &out, size_t frame);

} // namespace playbackfixtures
