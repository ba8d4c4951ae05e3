// The document's transport: play/pause, the position, the output channel
// choice, and the renderer's notifications.
#include "document/SoundFile.h"

#include "filelogic/SoundFileOpen.h"
#include "playback/AudioRenderer.h"

#include <QVariant>

#include <algorithm>

void SoundFile::setUpTransport()
{
    // A refill replaces the renderer; whatever played through the old one
    // has stopped with it.
    stopTransport();
    m_sliderScale = SliderScale::forFrames(m_sfinfo.frames);
    const int listed = std::min(std::max(m_sfinfo.channels, 0), kListedChannels);
    m_leftChannel = 0;
    m_rightChannel = listed > 1 ? 1 : 0;
    createRenderer();
    m_position = 0;
    emit positionChanged(0);
}

void SoundFile::createRenderer()
{
    // A refill after a save keeps its renderer: it has tried the output at
    // this rate already, and trying again costs as much as the save's copy.
    if (!m_renderer) {
        m_renderer = new AudioRenderer(this);
        connect(m_renderer, &AudioRenderer::filePositionChanged, this, &SoundFile::filePositionChanged);
        connect(m_renderer, &AudioRenderer::eof, this, &SoundFile::eof);
    }
    m_renderer->set_sndfile(m_sndfile.get(), &m_sfinfo);
    m_renderer->setLeftOutputMapping(m_leftChannel);
    m_renderer->setRightOutputMapping(m_rightChannel);
}

void SoundFile::rewindUnseekable()
{
    // Back to the start the only way such a file allows: open it again.
    SoundHandle reopened = reopenSoundFile(m_fileURL.toLocalFile(), m_sfinfo, false);
    if (!reopened)
        return;
    const bool wasPlaying = m_playing;
    stopTransport();
    delete m_renderer;
    m_renderer = nullptr;
    m_sndfile = std::move(reopened);
    createRenderer();
    if (wasPlaying)
        play(this);
}

void SoundFile::play(QObject *)
{
    m_playing = !m_playing;
    if (m_playing) {
        if (m_renderer)
            m_renderer->play();
        m_timer.start();
    } else {
        if (m_renderer)
            m_renderer->pause();
        m_timer.stop();
    }
    emit playingChanged(m_playing);
}

void SoundFile::stopTransport()
{
    if (m_playing)
        play(this);
}

void SoundFile::timerCallback()
{
    // A rewrite or scan reads the shared file handle between its event
    // passes; a refill now would take samples out from under it.
    if (m_busy)
        return;
    if (m_renderer)
        m_renderer->update_buffer();
}

void SoundFile::setPosition(qint64 frame)
{
    m_position = std::clamp<qint64>(frame, 0, std::max<qint64>(m_sfinfo.frames, 0));
    emit positionChanged(m_position);
}

void SoundFile::seekToFrame(qint64 frame)
{
    setPosition(frame);
    if (!m_renderer)
        return;
    if (m_sfinfo.seekable)
        m_renderer->seek(m_position);
    else if (m_position == 0)
        rewindUnseekable();
}

void SoundFile::playSliderMoved(QObject *sender)
{
    const QVariant value = sender ? sender->property("value") : QVariant();
    seekToFrame(value.isValid() ? m_sliderScale.frameForValue(value.toInt()) : m_position);
}

void SoundFile::setOutputChannel(bool left, int channel)
{
    if (channel < 0)
        return;
    (left ? m_leftChannel : m_rightChannel) = channel;
    if (!m_renderer)
        return;
    if (left)
        m_renderer->setLeftOutputMapping(channel);
    else
        m_renderer->setRightOutputMapping(channel);
}

void SoundFile::setOutputMapping(QObject *sender)
{
    if (!sender)
        return;
    const QVariant index = sender->property("currentIndex");
    if (index.isValid())
        setOutputChannel(sender->objectName() == QLatin1String("leftChannel"), index.toInt());
}

void SoundFile::filePositionChanged()
{
    if (m_renderer)
        setPosition(m_renderer->currentPosition());
}

void SoundFile::eof()
{
    // The renderer may report an end that a stop already overtook.
    if (m_playing)
        play(this);
    seekToFrame(0);
}
