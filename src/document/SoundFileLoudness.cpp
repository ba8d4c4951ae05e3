// The document's loudness measurement. LoudnessScan's workers read the file
// through handles of their own, so the shared handle, playback and the
// window carry on meanwhile and nothing here waits for them; only close()
// joins them, after cancelling, which takes one read of each worker.
#include "document/SoundFile.h"

#include "filelogic/BextLoudness.h"

bool SoundFile::isMeasuringLoudness() const
{
    return m_loudnessScan && m_loudnessScan->isRunning();
}

void SoundFile::measureLoudness()
{
    if (m_closed || !m_sndfile || isMeasuringLoudness())
        return;
    if (!m_loudnessScan) {
        m_loudnessScan = new LoudnessScan(this);
        connect(m_loudnessScan, &LoudnessScan::progress, this, &SoundFile::loudnessProgress);
        connect(m_loudnessScan, &LoudnessScan::finished, this, &SoundFile::loudnessFinished);
    }
    m_loudnessScan->start(m_fileURL.toLocalFile());
    emit loudnessStarted();
}

void SoundFile::cancelLoudness()
{
    if (m_loudnessScan)
        m_loudnessScan->cancel();
}

void SoundFile::loudnessFinished(const LoudnessResult &result)
{
    if (result.ok)
        m_loudness = result;
    else if (!result.cancelled)
        presentError(DocumentError{QStringLiteral("loudnessError"), -1, tr("The loudness could not be measured"),
                                   result.error});
    emit loudnessMeasured();
}

void SoundFile::copyLoudnessToBext(QObject *)
{
    if (!m_loudness.ok)
        return;
    using F = MetadataField;
    setText(F::LoudnessValue, bextLoudnessTextFor(m_loudness.integrated));
    setText(F::LoudnessRange, bextLoudnessTextFor(m_loudness.range));
    setText(F::MaxTruePeakLevel, bextLoudnessTextFor(m_loudness.truePeak));
    setText(F::MaxMomentaryLoudness, bextLoudnessTextFor(m_loudness.maxMomentary));
    setText(F::MaxShortTermLoudness, bextLoudnessTextFor(m_loudness.maxShortTerm));
    emit textsReplaced();
}

void SoundFile::forgetLoudness()
{
    // The file may hold other sound now: a running measurement would
    // describe the old one.
    cancelLoudness();
    m_loudness = LoudnessResult{};
}

void SoundFile::stopLoudness()
{
    // Its destructor cancels and joins the workers; what they posted goes
    // with it.
    delete m_loudnessScan;
    m_loudnessScan = nullptr;
}
