// The document's saving and converting: gathers the edited metadata and the
// conversion choices into a rewrite job, runs it with progress and takes the
// result back into the document.
#include "document/SoundFile.h"

#include "filelogic/ContainerTable.h"
#include "filelogic/FileText.h"
#include "filelogic/SoundFileOpen.h"
#include "filelogic/Timecode.h"
#include "playback/AudioRenderer.h"
#include "document/SaveEngine.h"
#include "rewrite/CopySave.h"
#include "rewrite/FileRewriter.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QVariant>

#include <cstring>

namespace {

// What a field holds as bytes for the file: the bytes it was read from when
// the user left it alone, otherwise its text as UTF-8.
QByteArray fieldBytes(const QString &text, const QByteArray &original)
{
    return text == decodeFileText(original) ? original : text.toUtf8();
}

// Cuts UTF-8 text to at most `width` bytes without splitting a character.
QByteArray cutUtf8(const QByteArray &bytes, int width)
{
    if (bytes.size() <= width)
        return bytes;
    int end = width;
    while (end > 0 && (uchar(bytes[end]) & 0xC0) == 0x80)
        --end;
    return bytes.left(end);
}

void storeField(char *field, int width, const QString &text, const QByteArray &original)
{
    if (text == decodeFileText(original))
        return; // untouched: the record keeps the bytes it was read with
    const QByteArray bytes = cutUtf8(text.toUtf8(), width);
    std::memset(field, 0, size_t(width));
    std::memcpy(field, bytes.constData(), size_t(bytes.size()));
}

DocumentError writeError(const QString &reason)
{
    return DocumentError{QStringLiteral("rewriteError"), -1, SoundFile::tr("Unable to write file"), reason};
}

} // namespace

QString proposedConvertName(const QString &documentPath, const QString &extension)
{
    // The file name without its last extension; dots in folder names play no
    // part, and a name that is only an extension (".wav") keeps nothing.
    QString base = documentPath.mid(documentPath.lastIndexOf(QLatin1Char('/')) + 1);
    const int dot = base.lastIndexOf(QLatin1Char('.'));
    if (dot >= 0)
        base.truncate(dot);
    return extension.isEmpty() ? base : base + QLatin1Char('.') + extension;
}

void SoundFile::presentError(const DocumentError &error)
{
    if (!error.isCancellation())
        emit errorPresented(error);
}

void SoundFile::convertFormatSelected(QObject *sender)
{
    const QVariant index = sender ? sender->property("currentIndex") : QVariant();
    if (index.isValid())
        m_convertMajor = index.toInt();
    m_convertSubformats = writableSubformats(m_convertMajor);
    m_convertFormat = m_convertSubformats.isEmpty() ? 0 : m_convertSubformats.first().format;
    emit subformatsListed();
}

void SoundFile::convert(QObject *)
{
    if (m_busy || !m_sndfile)
        return;
    if (m_convertFormat == 0) {
        presentError(writeError(tr("The chosen format offers no encoding to write.")));
        return;
    }
    const QList<FormatEntry> majors = majorFormats();
    const QString extension = m_convertMajor >= 0 && m_convertMajor < majors.size() ? majors[m_convertMajor].extension
                                                                                     : QString();
    const QString path = m_fileURL.toLocalFile();
    emit convertTargetWanted(QFileInfo(path).absolutePath(), proposedConvertName(path, extension));
}

void SoundFile::convertCancel(QObject *)
{
    if (m_busy)
        m_cancelRequested = true;
    else
        emit rewriteFinished();
}

void SoundFile::fillJobMetadata(bool calledFromConvert, RewriteJob *job)
{
    using F = MetadataField;
    for (int i = 0; i < kStringFieldCount; ++i) {
        const QByteArray original = m_metadata.strings[size_t(i)].value_or(QByteArray());
        const QByteArray bytes = fieldBytes(m_texts[size_t(i)], original);
        if (!bytes.isEmpty())
            job->strings[size_t(i)] = bytes;
    }
    bool writeBext = m_keepBext;
    if (!calledFromConvert) {
        writeBext = false;
        for (F f : {F::Description, F::CodingHistory, F::OriginationDate, F::OriginationTime, F::Originator,
                    F::OriginatorRef, F::UMID, F::Timecode})
            writeBext = writeBext || !text(f).isEmpty();
    }
    if (!writeBext)
        return;
    BextRecord record = m_metadata.bext;
    // The timecode text stands for the time reference only once edited: its
    // text may be coarser than the reference read.
    quint64 reference = 0;
    const QString timecode = text(F::Timecode);
    if (timecode != timecodeText(timeReference(m_metadata.bext), m_sfinfo.samplerate)
        && parseTimecode(timecode, m_sfinfo.samplerate, &reference))
        setTimeReference(record, reference);
    // Edited fields go into the record; untouched ones keep their bytes,
    // binary UMID included.
    const BextRecord &read = m_metadata.bext;
    storeField(record.description, 256, text(F::Description), bextFieldBytes(read, BextField::Description));
    storeField(record.originator, 32, text(F::Originator), bextFieldBytes(read, BextField::Originator));
    storeField(record.originator_reference, 32, text(F::OriginatorRef), bextFieldBytes(read, BextField::OriginatorRef));
    storeField(record.origination_date, 10, text(F::OriginationDate), bextFieldBytes(read, BextField::OriginationDate));
    storeField(record.origination_time, 8, text(F::OriginationTime), bextFieldBytes(read, BextField::OriginationTime));
    storeField(record.umid, 64, text(F::UMID), bextFieldBytes(read, BextField::UMID));
    // A text edit shows CR LF as one line break; compare what it shows.
    const QString history = text(F::CodingHistory);
    if (history != plainTextAsShown(decodeFileText(bextFieldBytes(read, BextField::CodingHistory)))) {
        const QByteArray bytes = history.toUtf8().left(kBextCodingHistoryCapacity);
        std::memset(record.coding_history, 0, sizeof record.coding_history);
        std::memcpy(record.coding_history, bytes.constData(), size_t(bytes.size()));
        record.coding_history_size = quint32(bytes.size());
    }
    bool versionOk = false;
    const int version = text(F::Version).trimmed().toInt(&versionOk);
    if (versionOk && version >= -32768 && version <= 32767)
        record.version = short(version);
    job->bext = record;
}

bool SoundFile::buildRewriteJob(const QUrl &url, bool calledFromConvert, RewriteJob *job, bool *inPlace,
                                DocumentError *error)
{
    const QString target = QFileInfo(url.toLocalFile()).absoluteFilePath();
    const QString own = QFileInfo(m_fileURL.toLocalFile()).absoluteFilePath();
    // By identity, not spelling: a link to the open file is the open file.
    *inPlace = isSameFile(target, own) || target == own;

    // Another window showing the target would go on showing, and later save,
    // what the file held before.
    SoundFile *other = documentShowing(target);
    if (!*inPlace && other && other != this) {
        *error = writeError(tr("“%1” is open in another window. Close it there first.").arg(QFileInfo(target).fileName()));
        return false;
    }
    const QFileInfo targetInfo(*inPlace ? own : target);
    // A file nobody may write to is kept as it is, even for a user the
    // system would let replace it.
    const QFileDevice::Permissions anyWrite = QFileDevice::WriteOwner | QFileDevice::WriteGroup | QFileDevice::WriteOther;
    if (targetInfo.exists() && (!targetInfo.isWritable() || !(targetInfo.permissions() & anyWrite))) {
        *error = writeError(tr("“%1” is read-only.").arg(targetInfo.fileName()));
        return false;
    }
    job->source = readingHandle();
    if (!job->source) {
        *error = writeError(tr("The file can no longer be read from its start."));
        return false;
    }
    job->sourceInfo = m_sfinfo;
    job->sourcePath = own;
    // Replacing the file must never shorten it: what cannot be decoded now
    // may still be recoverable from the original.
    job->requireAllFrames = *inPlace;
    // In place, the document's own path is replaced, whatever spelling or
    // link the caller used for it.
    job->targetPath = *inPlace ? own : target;
    job->targetInfo = m_sfinfo;
    job->owner = this;
    if (calledFromConvert) {
        job->targetInfo.format = m_convertFormat;
        job->channels = selectedChannels();
        job->targetInfo.channels = int(job->channels.size());
        if (job->targetInfo.channels == m_sfinfo.channels)
            job->channels.clear();
    }
    fillJobMetadata(calledFromConvert, job);
    return true;
}

bool SoundFile::runRewrite(const RewriteJob &job, const SaveEngine &engine, bool inPlace, DocumentError *error)
{
    // The new file first: a target that cannot be written fails here,
    // before any progress shows or playback stops.
    ReplacementFile temp;
    QString why;
    if ((engine.chunks || engine.copy) && !temp.create(job.targetPath, &why)) {
        releaseReadingHandle(job.source);
        *error = writeError(why);
        return false;
    }
    const bool wasRunning = m_playing;
    if (m_renderer)
        m_renderer->pause();
    setBusy(true);
    m_cancelRequested = false;
    emit rewriteStarted();
    emit rewriteProgress(0);

    const auto progress = [this](double percent) {
        emit rewriteProgress(int(percent + 0.5));
        // One event pass per block: the sheet redraws and its Cancel works.
        QCoreApplication::processEvents();
        return !m_cancelRequested;
    };
    const RewriteResult result = engine.chunks ? saveChunks(*engine.chunks, temp, progress)
                                 : engine.copy ? saveCopy(*engine.copy, temp, progress)
                                               : FileRewriter().run(job, progress);

    setBusy(false);
    emit rewriteFinished();
    releaseReadingHandle(job.source);

    if (!result.ok)
        *error = result.cancelled ? DocumentError{QStringLiteral("rewriteError"), DocumentError::kUserCancelled, {}, {}}
                                  : writeError(result.detail);
    if (inPlace && result.replaced) {
        DocumentError reopenError;
        if (!reopenAfterReplace(job.targetPath, &reopenError)) {
            resumePlaybackAfterFileUse(wasRunning);
            *error = reopenError;
            return false;
        }
        return result.ok;
    }
    resumePlaybackAfterFileUse(wasRunning);
    return result.ok;
}

SaveEngine SoundFile::saveEngineFor(const RewriteJob &job, bool calledFromConvert, QStringList *notKept) const
{
    SaveEngine engine;
    // Only a save that keeps format and channels can keep the file's bytes.
    if (job.targetInfo.format != m_sfinfo.format || !job.channels.empty()
        || job.targetInfo.channels != m_sfinfo.channels)
        return engine;
    StringBytes strings;
    for (size_t i = 0; i < strings.size(); ++i) {
        const QByteArray want = job.strings[i].value_or(QByteArray());
        if (want != m_metadata.strings[i].value_or(QByteArray()))
            strings[i] = want;
    }
    const bool bextChanges = calledFromConvert ? m_keepBext != m_metadata.hasBext : false;
    if (!m_modified && !bextChanges) {
        engine.copy = CopySaveJob{job.sourcePath, job.targetPath, m_sfinfo, std::nullopt};
    } else if (chunkSaveSupported(m_sfinfo.format)) {
        QString why;
        if (!readChunksOf(job.sourcePath, &why)) {
            // Never edited on guesses: libsndfile writes the file anew.
            *notKept << tr("the file's other chunks (its structure could not be read: %1)").arg(why);
            return engine;
        }
        ChunkSaveJob chunks{job.sourcePath, job.targetPath, m_sfinfo, strings, m_metadata.bext, job.bext, false};
        chunks.removeBext = !job.bext && m_metadata.hasBext;
        engine.chunks = chunks;
    } else if (rewrite::tagFormatSupported(m_sfinfo.format)) {
        engine.copy = CopySaveJob{job.sourcePath, job.targetPath, m_sfinfo, strings};
    }
    return engine;
}

bool SoundFile::convertToURL(const QUrl &url, bool calledFromConvert, DocumentError *error)
{
    DocumentError ignored;
    if (!error)
        error = &ignored;
    *error = DocumentError{};
    if (m_busy || !m_sndfile || !url.isLocalFile()) {
        *error = writeError(tr("The document cannot be written now."));
        return false;
    }
    RewriteJob job;
    bool inPlace = false;
    if (!buildRewriteJob(url, calledFromConvert, &job, &inPlace, error))
        return false;
    QStringList notKept = metadataNotKept(job.targetInfo.format, job.strings, job.bext.has_value());
    const SaveEngine engine = saveEngineFor(job, calledFromConvert, &notKept);
    if (!runRewrite(job, engine, inPlace, error))
        return false;
    if (!inPlace && calledFromConvert && m_openConverted)
        emit convertedFileWritten(QUrl::fromLocalFile(job.targetPath));
    if (!notKept.isEmpty())
        emit warningRaised(tr("The file's format cannot store everything that was entered."),
                           tr("Not stored: %1.").arg(notKept.join(QStringLiteral("; "))));
    return true;
}

bool SoundFile::convertToURL(const QUrl &url, bool calledFromConvert)
{
    DocumentError error;
    const bool ok = convertToURL(url, calledFromConvert, &error);
    if (!ok)
        presentError(error);
    return ok;
}

int SoundFile::formatImpliedBy(const QUrl &url) const
{
    const QList<int> majors = majorFormatsForExtension(QFileInfo(url.toLocalFile()).suffix());
    return majors.isEmpty() || majors.contains(m_sfinfo.format & SF_FORMAT_TYPEMASK) ? 0 : majors.first();
}

bool SoundFile::saveAsFormat(const QUrl &url, int format, DocumentError *error)
{
    const auto kept = m_channelKept;
    const int chosen = m_convertFormat;
    const bool keepBext = m_keepBext;
    m_channelKept.assign(m_channelKept.size(), true);
    m_convertFormat = format;
    m_keepBext = m_metadata.hasBext || !text(MetadataField::Description).isEmpty();
    m_openConverted = false;
    const bool ok = convertToURL(url, true, error);
    m_openConverted = true;
    m_channelKept = kept;
    m_convertFormat = chosen;
    m_keepBext = keepBext;
    return ok;
}

bool SoundFile::saveToURL(const QUrl &url, const QString &typeName, SaveOperationType operation, DocumentError *error)
{
    Q_UNUSED(typeName);
    // One format is never written under another's name without the user's
    // say; the window asks and then calls saveAsFormat.
    if (const int implied = formatImpliedBy(url)) {
        if (error)
            *error = writeError(tr("The name “%1” is for another format (%2); this document is %3.")
                                    .arg(QFileInfo(url.toLocalFile()).fileName(),
                                         majorFormats().value(majorFormatIndex(implied)).name,
                                         majorFormats().value(majorFormatIndex(m_sfinfo.format)).name));
        return false;
    }
    const bool ok = convertToURL(url, false, error);
    if (ok && operation == SaveOperationType::Save)
        setModified(false);
    return ok;
}

void SoundFile::resumePlaybackAfterFileUse(bool resume)
{
    if (!m_renderer)
        return;
    // A file that cannot seek was read through a handle of its own; the
    // renderer's handle has not moved.
    if (m_sfinfo.seekable)
        m_renderer->seek(m_renderer->currentPosition());
    if (resume)
        m_renderer->play();
}

bool SoundFile::reopenAfterReplace(const QString &path, DocumentError *error)
{
    SF_INFO info{};
    qint64 size = 0;
    DocumentError openError;
    SNDFILE *reopened = openSoundFile(path, &info, &size, &openError);
    if (!reopened) {
        // The old handle still reads the previous contents; the document
        // stays usable on it, and the user learns what happened.
        *error = DocumentError{QStringLiteral("libsndfileError"), -1, tr("The saved file could not be opened again"),
                               openError.localizedDescription};
        return false;
    }
    // The renderer reads through the old handle: it goes before the handle.
    stopTransport();
    delete m_renderer;
    m_renderer = nullptr;
    sf_close(m_sndfile);
    m_sndfile = reopened;
    m_sfinfo = info;
    m_fileSize = size;
    const bool edited = m_modified;
    fillFromFile();
    m_modified = edited;
    const QUrl url = QUrl::fromLocalFile(path);
    if (url != m_fileURL) {
        m_fileURL = url;
        emit fileURLChanged(url);
    }
    emit refilled();
    return true;
}

bool SoundFile::revertToSaved(DocumentError *error)
{
    if (m_busy || !m_sndfile)
        return false;
    if (!reopenAfterReplace(m_fileURL.toLocalFile(), error))
        return false;
    setModified(false);
    return true;
}
