// The document's waveform overview: started when first asked for (a document
// without a window never reads its file a second time), restarted by every
// refill, cancelled by close().
#include "document/SoundFile.h"

#include "analysis/WaveformOverview.h"

WaveformOverview *SoundFile::waveform()
{
    if (m_waveform)
        return m_waveform;
    m_waveform = new WaveformOverview(this);
    const auto restart = [this] {
        if (!m_closed && m_sndfile)
            m_waveform->start(m_fileURL.toLocalFile(), m_sfinfo);
    };
    // After a save in place or a revert the file (and its name) may be
    // another: refilled comes once both are known.
    connect(this, &SoundFile::refilled, m_waveform, restart);
    restart();
    return m_waveform;
}

void SoundFile::stopWaveform()
{
    if (m_waveform)
        m_waveform->cancel();
}
