// The document's transport: play/pause, the position slider and text, the
// output channel choice, and the renderer's notifications.
#include "document/SoundFile.h"

#include "playback/AudioRenderer.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QTimer>

void SoundFile::play(QObject *)
{
    isPlaying = !isPlaying;
    if (isPlaying) {
        timer = new QTimer(this);
        timer->setInterval(100);
        connect(timer, &QTimer::timeout, this, &SoundFile::timerCallback);
        if (audioRenderer)
            audioRenderer->play();
        timer->start();
        if (playButton)
            playButton->setText(QStringLiteral("pause"));
    } else {
        if (audioRenderer)
            audioRenderer->pause();
        delete timer;
        timer = nullptr;
        if (playButton)
            playButton->setText(QStringLiteral("play"));
    }
}

void SoundFile::stopTransport()
{
    if (isPlaying)
        play(this);
}

void SoundFile::timerCallback()
{
    // A rewrite or scan reads the shared file handle between its event
    // passes; a refill now would take samples out from under it.
    if (m_busy)
        return;
    if (audioRenderer)
        audioRenderer->update_buffer();
    updatePlayPos();
}

qint64 SoundFile::sliderFrame() const
{
    return playSlider ? m_sliderScale.frameForValue(playSlider->value()) : 0;
}

void SoundFile::setSliderFrame(qint64 frame)
{
    // Never under the user's hand: the drag decides where playback goes.
    if (!playSlider || playSlider->isSliderDown())
        return;
    // Moving the slider from here must not read as the user seeking.
    const QSignalBlocker blocker(playSlider);
    playSlider->setValue(m_sliderScale.valueForFrame(frame));
}

void SoundFile::updatePlayPos()
{
    if (playPos)
        playPos->setText(playPosText(sliderFrame(), sfinfo.samplerate));
}

void SoundFile::playSliderMoved(QObject *sender)
{
    auto *slider = qobject_cast<QSlider *>(sender);
    if (!slider)
        slider = playSlider;
    if (!slider)
        return;
    if (slider != playSlider)
        setSliderFrame(m_sliderScale.frameForValue(slider->value()));
    updatePlayPos();
    if (!audioRenderer)
        return;
    if (sfinfo.seekable)
        audioRenderer->seek(sliderFrame());
    else if (sliderFrame() == 0)
        rewindUnseekable();
}

void SoundFile::setOutputMapping(QObject *sender)
{
    auto *popUp = qobject_cast<QComboBox *>(sender);
    if (!popUp || !audioRenderer || popUp->currentIndex() < 0)
        return;
    if (popUp == leftChannel)
        audioRenderer->setLeftOutputMapping(popUp->currentIndex());
    else
        audioRenderer->setRightOutputMapping(popUp->currentIndex());
}

void SoundFile::filePositionChanged()
{
    if (audioRenderer)
        setSliderFrame(audioRenderer->currentPosition());
}

void SoundFile::eof()
{
    // The renderer may report an end that a stop already overtook.
    if (isPlaying)
        play(this);
    setSliderFrame(0);
    playSliderMoved(playSlider);
}
