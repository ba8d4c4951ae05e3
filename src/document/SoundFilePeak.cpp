// The document's peak scan: reads every sample once, reporting progress, and
// pauses playback around it.
#include "document/SoundFile.h"

#include "analysis/PeakScan.h"
#include "playback/AudioRenderer.h"

#include <QCoreApplication>

void SoundFile::calculatePeak(QObject *)
{
    if (m_busy || !m_sndfile)
        return;
    emit peakScanStarted();

    const bool wasPlaying = m_playing;
    const qint64 savedFrame = m_position;
    if (wasPlaying)
        play(this);

    // The scan handles pending events once per block so the window redraws,
    // but takes no user input meanwhile: nothing can close the document or
    // move the shared file position under it.
    setBusy(true);
    SNDFILE *handle = readingHandle();
    std::vector<double> peaks;
    scanPeaks(handle, m_sfinfo, peaks, [this](double percent) {
        emit peakProgress(int(percent + 0.5));
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    });
    releaseReadingHandle(handle);
    setBusy(false);
    m_peaks = peaks;
    m_peaks.resize(size_t(std::min(std::max(m_sfinfo.channels, 0), kListedChannels)), 0.0);
    m_peaksMeasured = true;
    emit peaksCalculated();

    // The scan moved the file position the renderer reads from: put the
    // renderer back at the frame the slider shows, and resume if it played.
    if (m_sfinfo.seekable)
        seekToFrame(savedFrame);
    if (wasPlaying)
        play(this);
}
