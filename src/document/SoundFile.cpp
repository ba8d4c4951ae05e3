#include "document/SoundFile.h"

#include "container/TagReader.h"
#include "filelogic/ContainerTable.h"
#include "filelogic/FileText.h"
#include "filelogic/SoundFileOpen.h"
#include "filelogic/Timecode.h"
#include "playback/AudioRenderer.h"
#include "playback/SdlVersion.h"
#include "rewrite/ChunkSave.h"
#include "rewrite/FileRewriter.h"
#include "rewrite/MetadataSave.h"
#include "rewrite/TagWriter.h"

#include <QFile>
#include <QFileInfo>

namespace {

// Every open document, for "is this file open elsewhere?".
QList<SoundFile *> &openDocuments()
{
    static QList<SoundFile *> documents;
    return documents;
}

} // namespace

SoundFile::SoundFile(QObject *parent) : QObject(parent)
{
    m_timer.setInterval(100);
    connect(&m_timer, &QTimer::timeout, this, &SoundFile::timerCallback);
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
    if (!url.isLocalFile() || m_sndfile)
        return false;
    const QString path = url.toLocalFile();
    m_sndfile = openSoundFile(path, &m_sfinfo, &m_fileSize, error);
    if (!m_sndfile)
        return false;
    m_fileURL = url;
    m_fileType = QFileInfo(path).suffix().toLower();
    openDocuments().append(this);
    fillFromFile();
    return true;
}

SoundFile *SoundFile::documentShowing(const QString &path)
{
    const QString wanted = QFileInfo(path).absoluteFilePath();
    for (SoundFile *doc : openDocuments()) {
        const QString own = QFileInfo(doc->m_fileURL.toLocalFile()).absoluteFilePath();
        if (own == wanted || isSameFile(own, wanted))
            return doc;
    }
    return nullptr;
}

QString SoundFile::libraryVersions()
{
    return sdlVersionText();
}

void SoundFile::setWindowForSheet(QWidget *window, QObject *windowObject)
{
    m_window = window;
    m_windowObject = windowObject;
}

void SoundFile::fillFromFile()
{
    m_metadata = readSavedMetadata(m_sndfile.get(), m_sfinfo.format, m_fileURL.toLocalFile());
    fillTexts();
    m_chunkError.clear();
    m_chunks = chunkSaveSupported(m_sfinfo.format) ? readChunksOf(m_fileURL.toLocalFile(), &m_chunkError) : std::nullopt;
    m_chunkNames = chunksNotCarried(m_fileURL.toLocalFile(), m_sfinfo.format);
    m_convertMajor = majorFormatIndex(m_sfinfo.format);
    m_convertSubformats = writableSubformats(m_convertMajor);
    m_convertFormat = m_convertSubformats.isEmpty() ? 0 : m_convertSubformats.first().format;
    m_channelKept.assign(size_t(kListedChannels), true);
    m_keepBext = m_metadata.hasBext;
    m_peaks.clear();
    m_peaksMeasured = false;
    forgetLoudness();
    setUpTransport();
}

void SoundFile::fillTexts()
{
    // Every field shows what the file holds now, empty where it holds
    // nothing: text of an earlier fill must never reach a later save.
    m_texts = rewrite::metadataTexts(m_metadata, m_sfinfo.samplerate);
}

void SoundFile::bextUpdateTimecodeFromFile()
{
    m_texts[size_t(MetadataField::Timecode)] = timecodeText(timeReference(m_metadata.bext), m_sfinfo.samplerate);
}

void SoundFile::setText(MetadataField field, const QString &text)
{
    QString &held = m_texts[size_t(field)];
    if (held == text)
        return;
    held = text;
    setModified(true);
}

void SoundFile::setModified(bool value)
{
    if (m_modified == value)
        return;
    m_modified = value;
    emit modificationChanged(value);
}

bool SoundFile::channelKept(int channel) const
{
    // Channels beyond the list cannot be deselected.
    if (channel >= kListedChannels)
        return true;
    return channel >= 0 && size_t(channel) < m_channelKept.size() && m_channelKept[size_t(channel)];
}

void SoundFile::setChannelKept(int channel, bool kept)
{
    if (channel >= 0 && size_t(channel) < m_channelKept.size())
        m_channelKept[size_t(channel)] = kept;
}

std::vector<int> SoundFile::selectedChannels() const
{
    std::vector<int> channels;
    for (int c = 0; c < m_sfinfo.channels; ++c)
        if (channelKept(c))
            channels.push_back(c);
    return channels;
}

QStringList SoundFile::conversionLoses() const
{
    const bool keepsBytes = m_convertFormat == m_sfinfo.format && int(selectedChannels().size()) == m_sfinfo.channels;
    if (keepsBytes)
        return {};
    return m_chunkNames + rewrite::tagsNotCarried(m_fileURL.toLocalFile(), m_convertFormat);
}

SNDFILE *SoundFile::readingHandle()
{
    if (m_sfinfo.seekable || !m_sndfile)
        return m_sndfile.get();
    m_ownReader = reopenSoundFile(m_fileURL.toLocalFile(), m_sfinfo, false);
    return m_ownReader.get();
}

void SoundFile::releaseReadingHandle(SNDFILE *handle)
{
    if (handle == m_ownReader.get())
        m_ownReader.close();
}

void SoundFile::setBusy(bool busy)
{
    m_busy = busy;
}

void SoundFile::close()
{
    if (m_closed)
        return;
    m_closed = true;
    openDocuments().removeAll(this);
    stopLoudness();
    stopWaveform();
    // The renderer goes first: releasing it stops the audio output, so no
    // callback can run while the file underneath it is closed.
    m_timer.stop();
    delete m_renderer;
    m_renderer = nullptr;
    m_playing = false;
    m_sndfile.close();
    emit closed();
}
