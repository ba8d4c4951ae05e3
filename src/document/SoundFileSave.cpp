// The document's saving and converting: gathers the edited metadata and the
// conversion choices into a rewrite job, runs it with progress and takes the
// result back into the document.
#include "document/SoundFile.h"

#include "filelogic/ContainerTable.h"
#include "filelogic/HandleCloser.h"
#include "filelogic/SoundFileOpen.h"
#include "playback/AudioRenderer.h"
#include "rewrite/SavePlan.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QVariant>

namespace {

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

bool SoundFile::prepareRewrite(rewrite::SavePlan &plan, DocumentError *error)
{
    // Another window showing the target would go on showing, and later save,
    // what the file held before.
    SoundFile *other = documentShowing(plan.job.targetPath);
    const QString target = QFileInfo(plan.job.targetPath).fileName();
    QString why = plan.error;
    if (why.isEmpty() && !plan.inPlace && other && other != this)
        why = tr("“%1” is open in another window. Close it there first.").arg(target);
    else if (why.isEmpty() && rewrite::isReadOnlyFile(plan.job.targetPath))
        why = tr("“%1” is read-only.").arg(target);
    // The new file first: a target that cannot be written fails here,
    // before any progress shows or playback stops.
    if (!why.isEmpty() || !plan.prepare(&why)) {
        *error = writeError(why);
        return false;
    }
    return true;
}

bool SoundFile::runRewrite(rewrite::SavePlan &plan, DocumentError *error)
{
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
    const RewriteResult result = plan.run(progress);

    setBusy(false);
    emit rewriteFinished();

    if (!result.ok)
        *error = result.cancelled ? DocumentError{QStringLiteral("rewriteError"), DocumentError::kUserCancelled, {}, {}}
                                  : writeError(result.detail);
    if (plan.inPlace && result.replaced) {
        DocumentError reopenError;
        if (!reopenAfterReplace(plan.job.targetPath, &reopenError)) {
            resumePlaybackAfterFileUse(wasRunning);
            *error = reopenError;
            return false;
        }
        return result.ok;
    }
    resumePlaybackAfterFileUse(wasRunning);
    return result.ok;
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
    std::optional<rewrite::ConversionSettings> conversion;
    if (calledFromConvert)
        conversion = rewrite::ConversionSettings{m_convertFormat, selectedChannels(), m_keepBext};
    rewrite::SavePlan plan = rewrite::planSave({QFileInfo(m_fileURL.toLocalFile()).absoluteFilePath(), m_sfinfo,
                                                m_metadata, m_texts, rewrite::UmidText::Shown, m_modified,
                                                QFileInfo(url.toLocalFile()).absoluteFilePath(), conversion});
    if (!prepareRewrite(plan, error) || !runRewrite(plan, error))
        return false;
    if (!plan.inPlace && calledFromConvert && m_openConverted)
        emit convertedFileWritten(QUrl::fromLocalFile(plan.job.targetPath));
    if (const QStringList notKept = plan.textsLost + plan.fileLoses; !notKept.isEmpty())
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
    // The document's own file keeps its name, whatever it says.
    const bool ownFile = isSameFile(url.toLocalFile(), m_fileURL.toLocalFile())
        || QFileInfo(url.toLocalFile()).absoluteFilePath() == QFileInfo(m_fileURL.toLocalFile()).absoluteFilePath();
    if (const int implied = ownFile ? 0 : formatImpliedBy(url)) {
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
    SoundHandle reopened = openSoundFile(path, &info, &size, &openError);
    if (!reopened) {
        // The old handle still reads the previous contents; the document
        // stays usable on it, and the user learns what happened.
        *error = DocumentError{QStringLiteral("libsndfileError"), -1, tr("The saved file could not be opened again"),
                               openError.localizedDescription};
        return false;
    }
    // The renderer reads through the old handle: it stops before the handle
    // goes, and reads the new one from the refill on.
    stopTransport();
    if (m_renderer)
        m_renderer->pause();
    // The old handle may be the replaced file's last: closing it frees that
    // file, which the save need not wait for.
    HandleCloser::closeLater(std::move(m_sndfile));
    m_sndfile = std::move(reopened);
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
