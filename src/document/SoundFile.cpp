#include "document/SoundFile.h"

#include "document/ChecksumJob.h"
#include "document/LoudnessJob.h"
#include "document/PeakJob.h"
#include "document/Transport.h"
#include "document/WaveformJob.h"
#include "rewrite/ReplacementFile.h"

#include <QFileInfo>
#include <QVariant>

SoundFile::SoundFile(QObject *parent) : QObject(parent), m_transport(new Transport(this)), m_save(new SaveJob(this))
{
    connect(m_save, &SaveJob::progress, this, &SoundFile::rewriteProgress);
    connectMeasurements();
}

SoundFile::~SoundFile()
{
    close();
}

bool SoundFile::readFromURL(const QUrl &url, const QString &typeName, DocumentError *error)
{
    Q_UNUSED(typeName);
    if (error)
        *error = DocumentError{};
    if (!url.isLocalFile() || !m_fileURL.isEmpty())
        return false;
    const QString path = url.toLocalFile();
    // What a save killed before it replaced this file left beside it.
    ReplacementFile::removeStaleTemporaries(path);
    SoundHandle handle = FileAsRead::open(path, &m_file, error);
    if (!handle)
        return false;
    m_fileURL = url;
    m_fileType = QFileInfo(path).suffix().toLower();
    fillFromFile(std::move(handle));
    return true;
}

void SoundFile::fillFromFile(SoundHandle handle)
{
    // Every field shows what the file holds now, empty where it holds
    // nothing: text of an earlier fill must never reach a later save.
    m_texts = rewrite::metadataTexts(m_file.metadata, m_file.info.samplerate);
    m_markers.read(m_file.path, m_file.chunks);
    m_conversion.reset(m_file.info.format, m_file.info.channels, m_file.metadata.hasBext);
    // A scan or measurement of the file as it was describes other sound.
    m_peakScan->forget();
    m_loudness->forget();
    m_checksum->reset(m_file.path);
    // Nothing has read samples from the handle: it stands at the start.
    m_transport->setFile(std::move(handle), m_file.path, m_file.info);
}

void SoundFile::setText(MetadataField field, const QString &text)
{
    QString &held = m_texts[size_t(field)];
    if (held == text)
        return;
    held = text;
    setModified(true);
}

QString SoundFile::trackName(int channel) const
{
    const auto found = m_texts.trackNames.find(channel);
    return found == m_texts.trackNames.end() ? QString() : found->second;
}

void SoundFile::setTrackName(int channel, const QString &name)
{
    if (channel < 1 || trackName(channel) == name)
        return;
    m_texts.trackNames[channel] = name;
    setModified(true);
}

void SoundFile::setMarkerLabel(int index, const QString &label)
{
    if (m_markers.setLabel(index, label))
        setModified(true);
}

void SoundFile::setChunk(const ChunkPayload &chunk)
{
    if (!m_file.chunks)
        return;
    m_markers.setChunk(chunk);
    setModified(true);
}

void SoundFile::setModified(bool value)
{
    if (m_modified == value)
        return;
    m_modified = value;
    emit modificationChanged(value);
}

void SoundFile::convertFormatSelected(QObject *sender)
{
    const QVariant index = sender ? sender->property("currentIndex") : QVariant();
    m_conversion.selectMajor(index.isValid() ? index.toInt() : m_conversion.majorIndex());
    emit subformatsListed();
}

void SoundFile::play(QObject *)
{
    m_transport->togglePlay();
}

void SoundFile::playSliderMoved(QObject *sender)
{
    const QVariant value = sender ? sender->property("value") : QVariant();
    m_transport->seekToFrame(value.isValid() ? m_transport->sliderScale().frameForValue(value.toInt())
                                             : m_transport->position());
}

void SoundFile::setOutputMapping(QObject *sender)
{
    if (!sender)
        return;
    const QVariant index = sender->property("currentIndex");
    if (index.isValid())
        m_transport->setOutputChannel(sender->property(kFeedsLeftOutput).toBool(), index.toInt());
}

void SoundFile::waitForJobs()
{
    m_peakScan->waitForFinished();
    m_save->waitForFinished();
    m_loudness->waitForFinished();
    m_checksum->waitForFinished();
}

void SoundFile::close()
{
    if (m_closed)
        return;
    m_closed = true;
    // Every worker stops after its current block and is joined; what it
    // would have handed back is dropped.
    m_save->abandon();
    m_peakScan->forget();
    m_loudness->abandon();
    m_checksum->abandon();
    if (m_waveform)
        m_waveform->cancel();
    m_transport->close();
    emit closed();
}
