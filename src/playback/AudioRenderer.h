// The playback engine of one document: a read-ahead buffer of decoded float
// samples, filled on the main thread from a handle that only playback reads,
// drained by the render procedure on the audio thread, which maps two of the
// file's channels onto a stereo output.
//
// Threads: the buffer is an SpscRing. The main thread is the producer
// (set_sndfile, update_buffer, seek) and the only reader of the handle; the
// audio thread is the consumer (sf_coreaudio_render_proc, read_buffered) and
// only copies memory and updates atomics: it never allocates, locks, waits or
// reads the file.
// Notifications raised on the audio thread are flags that
// deliverNotifications turns into signals on the main thread.
#pragma once

#include "playback/SdlAudio.h"
#include "playback/SpscRing.h"

#include <sndfile.h>

#include <QObject>
#include <QTimer>

#include <atomic>
#include <cstdint>

class AudioRenderer : public QObject
{
    Q_OBJECT

public:
    // Size of the read-ahead buffer in items (one item = one sample of one
    // channel). Files whose channel count does not divide it use the largest
    // whole number of frames that fits.
    static constexpr int kBufferItems = 524288;

    explicit AudioRenderer(QObject *parent = nullptr);
    // Main thread. Closes the output if it is open; the SNDFILE stays open.
    ~AudioRenderer() override;

    // Main thread. Borrows `sndfile` (never closed here), copies `sfinfo`,
    // checks once per rate that an output can be opened at the file's rate
    // ("Unable to find a usable audio output unit component" on stdout when
    // not) and closes it again, then fills the buffer from the handle's
    // current position. May be called again with another handle. No output stays open: with drivers that allow one device at
    // a time, every open document can play in turn.
    void set_sndfile(SNDFILE *sndfile, const SF_INFO *sfinfo);

    // Main thread. play opens the output and starts it; 0 on success. When no
    // output can be opened it prints "Unable to find a usable audio output
    // unit component" and "AudioOutputUnitStart returned -1" and returns -1.
    int play();
    // Main thread. Stops the output and closes it (waiting about two device
    // buffers for SDL's thread to end); 0 on success, and when it was not
    // running. After a failed attempt to open the output it prints
    // "AudioOutputUnitStop returned -1" and returns -1.
    int pause();

    // Audio thread, only from the render procedure. Hands out up to `count`
    // items (whole frames) of contiguous buffered samples through `out` and
    // moves the position past them. Returns the items handed out: fewer than
    // asked at the end of the file, at the buffer's wrap-around or when not
    // enough is buffered; 0 when nothing can be handed out. The items stay
    // reserved (the main thread will not overwrite them) until the render
    // procedure has copied them and releases them.
    int read_buffered(float **out, int count);

    // Main thread (playback timer). When more than half of the buffer has been
    // used since it was last full, prints "rebuffering." and tops it up.
    void update_buffer();

    // Main thread. Moves playback to `frame` (clamped to 0..frames) and
    // refills the whole buffer; a running output is held paused meanwhile
    // and continues from there.
    void seek(qint64 frame);

    // Any thread. Frame index of the next frame to be played.
    qint64 currentPosition() const;

    // Main thread. Which channel of a frame feeds the left / right output.
    // Out-of-range values are clamped to the file's channels when used.
    void setLeftOutputMapping(int channel);
    void setRightOutputMapping(int channel);

    // Audio thread (or any thread while the output is stopped). Writes
    // exactly `frames` stereo frames (two interleaved floats each) into
    // `output`: the mapped channels of the buffered frames, silence for
    // whatever cannot be served. Always returns 0. `context` is the renderer.
    static int sf_coreaudio_render_proc(void *context, float *output, int frames);

    // Main thread. Emits the notifications the audio thread has raised since
    // the last call: filePositionChanged(), then eof() if the end was reached.
    // A timer calls this while the output runs.
    void deliverNotifications();

    // Test hooks.
    // Main thread: items handed out since the buffer was last full (0 right
    // after a fill).
    int current_buffer_start() const;
    // Any thread: render passes that found nothing buffered before the end.
    quint64 underrunCount() const;

signals:
    // Both emitted on the main thread by deliverNotifications; every
    // filePositionChanged comes before the eof that follows it.
    void filePositionChanged();
    void eof();

private:
    void render(float *output, int frames);
    void copyFrames(float *output, const float *items, int frames, int left, int right) const;
    // Main thread. Reads whole frames into the free part of the ring, as far
    // as the ring last saw the consumer release.
    void fill();
    void resetRing(qint64 frame);
    void lowerPlayable(qint64 frame);
    SdlAudio::DeviceId openDevice();
    void closeDevice();

    static void sdlCallback(void *userdata, quint8 *stream, int len);

    // Set up on the main thread while no output runs; read-only afterwards.
    SNDFILE *m_sndfile = nullptr;
    SF_INFO m_sfinfo{};
    int m_channels = 0;          // 0: nothing playable

    // Main thread only. The device is open only from play to pause; while it
    // is closed there is no audio thread at all.
    SdlAudio::DeviceId m_device = 0;
    bool m_outputFailed = false;   // the last attempt to open the output failed
    int m_checkedRate = 0;         // the rate set_sndfile last tried an output at
    bool m_running = false;
    bool m_exhausted = false;      // the file delivered its last frame
    qint64 m_writeFrame = 0;       // file frame of the next item written
    std::uint64_t m_fillBase = 0;  // items released when the ring was last topped up
    QTimer m_notifyTimer;

    // Shared between the threads.
    alignas(64) std::atomic<qint64> m_position{0};     // frame after the last one handed out
    std::atomic<qint64> m_playable{0};                 // frames the file really has
    std::atomic<int> m_leftMapping{0};
    std::atomic<int> m_rightMapping{0};
    std::atomic<bool> m_eofLatched{false}; // end reached and reported once
    std::atomic<bool> m_positionPending{false};
    std::atomic<bool> m_eofPending{false};
    std::atomic<quint64> m_underruns{0};

    // Decoded items; its capacity is a multiple of m_channels, and every
    // span written or taken is whole frames.
    SpscRing<float, kBufferItems> m_ring;
};
