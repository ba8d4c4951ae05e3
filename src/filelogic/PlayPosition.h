// Position text and slider scaling for the transport controls.
#pragma once

#include <QString>
#include <QtGlobal>

// "H:MM:SS.mmm" for a frame index at a sample rate; hours do not wrap.
// Negative frames count as 0; a rate of 0 or below gives "0:00:00.000".
QString playPosText(qint64 frame, int samplerate);

// Maps frame positions onto an int slider range. Files longer than INT_MAX
// frames would wrap an int slider, so then each slider step covers `step`
// frames (the smallest step that keeps the range inside an int).
struct SliderScale
{
    qint64 frames = 0;
    qint64 step = 1;

    static SliderScale forFrames(qint64 frames);
    // The slider's maximum (its minimum is 0).
    int maximum() const;
    // Slider value for a frame, within 0..maximum().
    int valueForFrame(qint64 frame) const;
    // First frame of a slider value, within 0..frames.
    qint64 frameForValue(int value) const;
};
