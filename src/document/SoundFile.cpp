#include "document/SoundFile.h"

#include "container/SoundFileOpen.h"
#include "container/TagReader.h"
#include "document/ChecksumJob.h"
#include "document/LoudnessJob.h"
#include "document/PeakJob.h"
#include "document/Transport.h"
#include "document/WaveformJob.h"
#include "filelogic/ContainerTable.h"
#include "rewrite/ChunkSave.h"
#include "rewrite/MetadataSave.h"
#include "rewrite/ReplacementFile.h"
#include "rewrite/TagWriter.h"

#include <QFileInfo>
#include <QVariant>

SoundFile::SoundFile(QObject *parent) : QObject(parent), m_transport(new Transport(this))
{
    connect(&m_saveJob, &Job::progress, this, &SoundFile::rewriteProgress);
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
    SoundHandle handle = openSoundFile(path, &m_sfinfo, &m_fileSize, error);
    if (!handle)
        return false;
    m_fileURL = url;
    m_fileType = QFileInfo(path).suffix().toLower();
    fillFromFile(std::move(handle));
    return true;
}

void SoundFile::setWindowForSheet(QWidget *window, QObject *windowObject)
{
    m_window = window;
    m_windowObject = windowObject;
}

void SoundFile::fillFromFile(SoundHandle handle)
{
    const QString path = m_fileURL.toLocalFile();
    m_identity = fileIdentityOf(path);
    m_metadata = readSavedMetadata(handle.get(), m_sfinfo.format, path);
    // Every field shows what the file holds now, empty where it holds
    // nothing: text of an earlier fill must never reach a later save.
    m_texts = rewrite::metadataTexts(m_metadata, m_sfinfo.samplerate);
    m_channelPositions = channelPositions(handle.get(), m_sfinfo.channels);
    m_chunkError.clear();
    m_chunks = chunkSaveSupported(m_sfinfo.format) ? readChunksOf(path, &m_chunkError) : std::nullopt;
    m_chunkNames = chunksNotCarried(path, m_sfinfo.format);
    readMarkers();
    m_chunkEdits.clear();
    m_conversion.reset(m_sfinfo.format, m_sfinfo.channels, m_metadata.hasBext);
    // A scan or measurement of the file as it was describes other sound.
    m_peakScan->forget();
    m_loudness->forget();
    m_checksum->reset(path);
    // Nothing has read samples from the handle: it stands at the start.
    m_transport->setFile(std::move(handle), path, m_sfinfo);
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

void SoundFile::setModified(bool value)
{
    if (m_modified == value)
        return;
    m_modified = value;
    emit modificationChanged(value);
}

QStringList SoundFile::conversionLoses() const
{
    const rewrite::ConversionSettings settings = m_conversion.settings();
    if (settings.format == m_sfinfo.format && int(settings.channels.size()) == m_sfinfo.channels)
        return {};
    return m_chunkNames + rewrite::tagsNotCarried(m_fileURL.toLocalFile(), settings.format);
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
    m_saveJob.waitForFinished();
    m_loudness->waitForFinished();
    m_checksum->waitForFinished();
}

void SoundFile::close()
{
    if (m_closed)
        return;
    m_closed = true;
    // Every worker stops after its current block and is joined; what it
    // would have handed back is dropped. A save that was replacing its file
    // finishes that first: the file is the old one or the new one.
    m_saveJob.abandon();
    m_peakScan->forget();
    m_loudness->abandon();
    m_checksum->abandon();
    if (m_waveform)
        m_waveform->cancel();
    m_transport->close();
    emit closed();
}
