// The document's peak scan: drives scanPeaks with a progress bar and pauses
// playback around it.
#include "document/SoundFile.h"

#include "analysis/ChannelTableSource.h"
#include "analysis/PeakScan.h"
#include "document/SoundFileWindow.h"
#include "playback/AudioRenderer.h"

#include <QAction>
#include <QCoreApplication>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QTableView>

void SoundFile::calculatePeak(QObject *)
{
    if (m_busy || !sndfile || !peakTableSource || !peakProgress)
        return;

    peakProgress->setRange(0, 100);
    peakProgress->setValue(0);
    peakProgress->show();
    // Whatever started the scan (button or menu), the button goes: the
    // table replaces it.
    peakCalculate->hide();
    if (m_window)
        m_window->peakAction->setEnabled(false);
    peakTableSource->setSFinfo(&sfinfo);

    const bool wasPlaying = isPlaying;
    const qint64 savedFrame = sliderFrame();
    if (wasPlaying)
        play(this);

    // The scan handles pending events once per block so the window redraws,
    // but takes no user input meanwhile: nothing can close the document or
    // move the shared file position under it.
    m_busy = true;
    SNDFILE *handle = readingHandle();
    scanPeaks(handle, sfinfo, *peakTableSource, [this](double percent) {
        peakProgress->setValue(int(percent + 0.5));
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    });
    releaseReadingHandle(handle);
    m_busy = false;

    peakProgress->hide();
    peakNotYet->hide();
    peakTable->setModel(peakTableSource);
    peakTable->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    peakTable->show();
    peakTableSource->peaksChanged();

    // The scan moved the file position the renderer reads from: put the
    // renderer back at the frame the slider shows, and resume if it played.
    setSliderFrame(savedFrame);
    if (sfinfo.seekable)
        playSliderMoved(playSlider);
    if (wasPlaying)
        play(this);
}
