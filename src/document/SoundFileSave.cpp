// The document's saving and converting: a save plan from the texts as edited
// and the conversion choices, run as a job, and its result taken back into
// the document.
#include "document/SoundFile.h"

#include "document/Transport.h"
#include "filelogic/FormatList.h"
#include "filelogic/SoundFileOpen.h"

#include <QFileInfo>

#include <memory>

namespace {

DocumentError writeError(const QString &reason)
{
    return DocumentError{QStringLiteral("rewriteError"), -1, SoundFile::tr("Unable to write file"), reason};
}

QString absolutePath(const QUrl &url)
{
    return QFileInfo(url.toLocalFile()).absoluteFilePath();
}

} // namespace

void SoundFile::presentError(const DocumentError &error)
{
    if (!error.isCancellation())
        emit errorPresented(error);
}

void SoundFile::convert(QObject *)
{
    if (isBusy() || m_closed)
        return;
    if (m_conversion.format() == 0) {
        presentError(writeError(tr("The chosen format offers no encoding to write.")));
        return;
    }
    const QList<FormatEntry> majors = majorFormats();
    const int major = m_conversion.majorIndex();
    const QString extension = major >= 0 && major < majors.size() ? majors[major].extension : QString();
    const QString path = m_fileURL.toLocalFile();
    emit convertTargetWanted(QFileInfo(path).absolutePath(), proposedConvertName(path, extension));
}

void SoundFile::convertCancel(QObject *)
{
    if (isBusy())
        m_saveJob.cancel();
    else
        emit rewriteFinished(false);
}

bool SoundFile::startRewrite(const QUrl &url, const SaveTask &task, DocumentError *error)
{
    if (isBusy() || m_closed || !url.isLocalFile()) {
        *error = writeError(tr("The document cannot be written now."));
        return false;
    }
    const QString own = absolutePath(m_fileURL);
    auto plan = std::make_shared<rewrite::SavePlan>(rewrite::planSave(
        {own, m_sfinfo, m_metadata, m_texts, rewrite::UmidText::Shown, m_modified, absolutePath(url), task.conversion}));
    const SoundFile *other = plan->inPlace || !m_findDocument ? nullptr : m_findDocument(plan->job.targetPath);
    const QString target = QFileInfo(plan->job.targetPath).fileName();
    QString why = plan->error;
    if (why.isEmpty() && other && other != this)
        why = tr("“%1” is open in another window. Close it there first.").arg(target);
    else if (why.isEmpty() && rewrite::isReadOnlyFile(plan->job.targetPath))
        why = tr("“%1” is read-only.").arg(target);
    // The new file first: a target that cannot be written fails here,
    // before any progress shows.
    if (!why.isEmpty() || !plan->prepare(&why)) {
        *error = writeError(why);
        return false;
    }
    const bool started = m_saveJob.start(
        [plan](JobControl &control) { return plan->run([&control](double percent) { return control.progress(percent); }); },
        [this, plan, task](const RewriteResult &result) { finishRewrite(*plan, task, result); });
    if (!started) {
        *error = writeError(tr("No thread could be started for the save."));
        return false;
    }
    emit rewriteStarted();
    emit rewriteProgress(0);
    return true;
}

void SoundFile::finishRewrite(const rewrite::SavePlan &plan, const SaveTask &task, const RewriteResult &result)
{
    // Replaced even when it then failed (its folder could not be flushed):
    // the document must show the file that is there now.
    DocumentError reopenError;
    const bool reopened = !(plan.inPlace && result.replaced) || reopenAfterReplace(plan.job.targetPath, &reopenError);
    const bool ok = result.ok && reopened;
    if (!reopened)
        m_saveError = reopenError;
    else if (result.cancelled)
        m_saveError = DocumentError{QStringLiteral("rewriteError"), DocumentError::kUserCancelled, {}, {}};
    else
        m_saveError = ok ? DocumentError{} : writeError(result.detail);
    if (ok && task.clearsEdited)
        setModified(false);
    if (ok && !plan.inPlace && task.openWritten)
        emit convertedFileWritten(QUrl::fromLocalFile(plan.job.targetPath));
    if (const QStringList notKept = plan.textsLost + plan.fileLoses; ok && !notKept.isEmpty())
        emit warningRaised(tr("The file's format cannot store everything that was entered."),
                           tr("Not stored: %1.").arg(notKept.join(QStringLiteral("; "))));
    m_saveOk = ok;
    emit rewriteFinished(ok);
    if (!ok && !task.waited)
        presentError(m_saveError);
}

bool SoundFile::save(const QUrl &url, SaveTask task, bool wait, DocumentError *error)
{
    DocumentError failure;
    task.waited = wait;
    const bool started = checkSaveTarget(url, task, &failure) && startRewrite(url, task, &failure);
    if (started && wait) {
        m_saveJob.waitForFinished();
        failure = m_saveError;
    }
    if (error)
        *error = failure;
    else if (!wait && !started)
        presentError(failure);
    return started && (!wait || m_saveOk);
}

SoundFile::SaveTask SoundFile::formatTask(int format) const
{
    // Every channel, and the record where the file has one or its
    // description holds text.
    rewrite::ConversionSettings settings{format, {}, m_metadata.hasBext || !text(MetadataField::Description).isEmpty()};
    for (int c = 0; c < m_sfinfo.channels; ++c)
        settings.channels.push_back(c);
    return SaveTask{settings};
}

bool SoundFile::convertToURL(const QUrl &url, bool calledFromConvert, DocumentError *error)
{
    return save(url, calledFromConvert ? SaveTask{m_conversion.settings(), false, true} : SaveTask{}, true, error);
}

bool SoundFile::convertToURL(const QUrl &url, bool calledFromConvert)
{
    DocumentError error;
    const bool ok = convertToURL(url, calledFromConvert, &error);
    if (!ok)
        presentError(error);
    return ok;
}

bool SoundFile::saveToURL(const QUrl &url, const QString &typeName, SaveOperationType operation, DocumentError *error)
{
    Q_UNUSED(typeName);
    return save(url, SaveTask{std::nullopt, operation == SaveOperationType::Save, false, true}, true, error);
}

bool SoundFile::saveAsFormat(const QUrl &url, int format, DocumentError *error)
{
    return save(url, formatTask(format), true, error);
}

bool SoundFile::startSave(const QUrl &url, SaveOperationType operation)
{
    return save(url, SaveTask{std::nullopt, operation == SaveOperationType::Save, false, true}, false, nullptr);
}

bool SoundFile::startConversion(const QUrl &url)
{
    return save(url, SaveTask{m_conversion.settings(), false, true}, false, nullptr);
}

bool SoundFile::startSaveAsFormat(const QUrl &url, int format)
{
    return save(url, formatTask(format), false, nullptr);
}

int SoundFile::formatImpliedBy(const QUrl &url) const
{
    const QList<int> majors = majorFormatsForExtension(QFileInfo(url.toLocalFile()).suffix());
    return majors.isEmpty() || majors.contains(m_sfinfo.format & SF_FORMAT_TYPEMASK) ? 0 : majors.first();
}

bool SoundFile::checkSaveTarget(const QUrl &url, const SaveTask &task, DocumentError *error) const
{
    // One format is never written under another's name without the user's
    // say; the window asks and then saves in the other format. The
    // document's own file keeps its name, whatever it says.
    const bool ownFile = absolutePath(url) == absolutePath(m_fileURL) || isSameFile(url.toLocalFile(), m_fileURL.toLocalFile());
    const int implied = !task.ownFormatName || ownFile ? 0 : formatImpliedBy(url);
    if (implied)
        *error = writeError(tr("The name “%1” is for another format (%2); this document is %3.")
                                .arg(QFileInfo(url.toLocalFile()).fileName(),
                                     majorFormats().value(majorFormatIndex(implied)).name,
                                     majorFormats().value(majorFormatIndex(m_sfinfo.format)).name));
    return !implied;
}

bool SoundFile::reopenAfterReplace(const QString &path, DocumentError *error)
{
    SF_INFO info{};
    qint64 size = 0;
    DocumentError openError;
    SoundHandle reopened = openSoundFile(path, &info, &size, &openError);
    if (!reopened) {
        // Playback still reads the previous contents; the document stays
        // usable on them, and the user learns what happened.
        *error = DocumentError{QStringLiteral("libsndfileError"), -1, tr("The saved file could not be opened again"),
                               openError.localizedDescription};
        return false;
    }
    m_sfinfo = info;
    m_fileSize = size;
    const bool edited = m_modified;
    const QUrl url = QUrl::fromLocalFile(path);
    const bool renamed = url != m_fileURL;
    m_fileURL = url;
    fillFromFile(std::move(reopened));
    m_modified = edited;
    if (renamed)
        emit fileURLChanged(url);
    emit refilled();
    return true;
}

bool SoundFile::revertToSaved(DocumentError *error)
{
    if (isBusy() || m_closed)
        return false;
    if (!reopenAfterReplace(m_fileURL.toLocalFile(), error))
        return false;
    setModified(false);
    return true;
}
