// The document's measurements: each an object of its own running a job
// that reads the file through a handle of its own while playback and
// editing go on. The overview starts when first asked for: a document
// without a window never reads its file a second time.
#include "document/SoundFile.h"

#include "document/ChecksumJob.h"
#include "document/LoudnessJob.h"
#include "document/PeakJob.h"
#include "document/WaveformJob.h"
#include "filelogic/BextLoudness.h"

void SoundFile::connectMeasurements()
{
    m_peakScan = new PeakJob(this);
    m_loudness = new LoudnessJob(this);
    m_checksum = new ChecksumJob(this);
    connect(m_peakScan, &PeakJob::failed, this, [this](const QString &reason) {
        presentError(DocumentError{QStringLiteral("peakError"), -1, tr("The peak level could not be measured"), reason});
    });
    connect(m_loudness, &LoudnessJob::failed, this, [this](const QString &reason) {
        presentError(DocumentError{QStringLiteral("loudnessError"), -1, tr("The loudness could not be measured"), reason});
    });
}

void SoundFile::calculatePeak(QObject *)
{
    if (!m_closed)
        m_peakScan->start(m_fileURL.toLocalFile(), m_file.info);
}

void SoundFile::measureLoudness()
{
    if (!m_closed)
        m_loudness->start(m_fileURL.toLocalFile());
}

void SoundFile::copyLoudnessToBext(QObject *)
{
    const LoudnessResult &measured = m_loudness->result();
    if (!measured.ok)
        return;
    using F = MetadataField;
    setText(F::LoudnessValue, bextLoudnessTextFor(measured.integrated));
    setText(F::LoudnessRange, bextLoudnessTextFor(measured.range));
    setText(F::MaxTruePeakLevel, bextLoudnessTextFor(measured.truePeak));
    setText(F::MaxMomentaryLoudness, bextLoudnessTextFor(measured.maxMomentary));
    setText(F::MaxShortTermLoudness, bextLoudnessTextFor(measured.maxShortTerm));
    emit textsReplaced();
}

WaveformJob *SoundFile::waveform()
{
    if (m_waveform)
        return m_waveform;
    m_waveform = new WaveformJob(this);
    const auto restart = [this] {
        if (!m_closed)
            m_waveform->start(m_fileURL.toLocalFile(), m_file.info);
    };
    // After a save in place or a revert the file (and its name) may be
    // another: refilled comes once both are known.
    connect(this, &SoundFile::refilled, m_waveform, restart);
    restart();
    return m_waveform;
}
