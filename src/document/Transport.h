// Playback of one document: the renderer, the handle it reads from (its own,
// which nothing else reads), play/pause, the position, and which channels
// feed the left and right output.
//
// GUI thread: every method and signal. The renderer's audio thread only
// drains the buffer the GUI thread fills from the handle (AudioRenderer.h).
#pragma once

#include "filelogic/PlayPosition.h"
#include "filelogic/SoundHandle.h"

#include <sndfile.h>

#include <QObject>
#include <QString>
#include <QTimer>

class AudioRenderer;

class Transport : public QObject
{
    Q_OBJECT

public:
    explicit Transport(QObject *parent = nullptr);
    // Stops the output before the handle goes.
    ~Transport() override;

    // Takes the handle playback reads from now on, standing at its first
    // frame; `path` is where a file that cannot seek is opened again to
    // rewind. Playback stops, the position goes to 0 and the outputs to the
    // first two channels. The handle it replaces is closed on another thread
    // (it may be a replaced file's last).
    void setFile(SoundHandle handle, const QString &path, const SF_INFO &info);
    // Stops playback, releases the renderer, then closes the handle.
    void close();

    bool isPlaying() const { return m_playing; }
    void togglePlay();
    void stop();
    AudioRenderer *renderer() const { return m_renderer; }
    const SliderScale &sliderScale() const { return m_sliderScale; }
    // The frame the position slider stands for.
    qint64 position() const { return m_position; }
    // Moves playback to a frame, as a slider move does. A file that cannot
    // seek can only go back to its start.
    void seekToFrame(qint64 frame);
    // Which channel feeds the left (or right) output; negative is ignored.
    void setOutputChannel(bool left, int channel);
    int outputChannel(bool left) const { return left ? m_leftChannel : m_rightChannel; }

signals:
    void playingChanged(bool playing);
    void positionChanged(qint64 frame);

private:
    void connectRenderer();
    void setPosition(qint64 frame);
    void rewindUnseekable();
    void filePositionChanged();
    void eof();

    SoundHandle m_handle;
    QString m_path;
    SF_INFO m_info{};
    AudioRenderer *m_renderer = nullptr;
    // Tops up the renderer's buffer while playing.
    QTimer m_timer;
    bool m_playing = false;
    SliderScale m_sliderScale;
    qint64 m_position = 0;
    int m_leftChannel = 0;
    int m_rightChannel = 0;
};
