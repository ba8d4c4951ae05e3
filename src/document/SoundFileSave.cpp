// The document's saving and converting: a save plan from the texts as edited
// and the conversion choices, run as a job, and its result taken back into
// the document.
#include "document/SoundFile.h"

#include "document/Transport.h"
#include "container/SoundFileOpen.h"
#include "filelogic/FilePath.h"
#include "filelogic/FormatList.h"
#include "rewrite/IxmlSave.h"

#include <QFileInfo>

#include <memory>

namespace {

DocumentError writeError(const QString &reason)
{
    return DocumentError{QStringLiteral("rewriteError"), -1, SoundFile::tr("Unable to write file"), reason};
}

// A refusal because another program changed the file is one the window
// offers a way out of.
DocumentError writeError(const QString &reason, const ReplacementFile *temp)
{
    DocumentError error = writeError(reason);
    if (temp && temp->targetChanged())
        error.code = DocumentError::kChangedOnDisk;
    return error;
}

QString absolutePath(const QUrl &url)
{
    return absolutePathAsGiven(url.toLocalFile());
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
    // The folder the file is in, links resolved: a path's ".." cleaned as
    // text could name another folder.
    emit convertTargetWanted(QFileInfo(path).canonicalPath(), proposedConvertName(path, extension));
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
    // An edit the iXML chunk cannot take is never half written.
    if (const QString problem = rewrite::ixmlTextProblem(m_texts, m_metadata); !problem.isEmpty()) {
        *error = writeError(problem.at(0).toUpper() + problem.mid(1) + u'.');
        return false;
    }
    const QString own = absolutePath(m_fileURL);
    const QString target = absolutePath(url);
    // The user agreed to replace that file as it is: its other names keep
    // the old contents. Agreed for this save only.
    const bool agreed = m_replaceAgreed.isValid() && m_replaceAgreed.sameFile(fileIdentityOf(target));
    m_replaceAgreed = FileIdentity{};
    auto plan = std::make_shared<rewrite::SavePlan>(rewrite::planSave({own, m_sfinfo, m_metadata, m_texts,
                                                                       rewrite::UmidText::Shown, m_modified, target,
                                                                       task.conversion, {m_identity, agreed}}));
    addMarkerLabels(&plan->engine, &plan->fileLoses);
    if (plan->engine.chunks)
        plan->engine.chunks->chunks += m_chunkEdits;
    const SoundFile *other = plan->inPlace || !m_findDocument ? nullptr : m_findDocument(plan->job.targetPath);
    const QString name = QFileInfo(plan->job.targetPath).fileName();
    QString why = plan->error;
    if (why.isEmpty() && other && other != this)
        why = tr("“%1” is open in another window. Close it there first.").arg(name);
    else if (why.isEmpty() && rewrite::isReadOnlyFile(plan->job.targetPath))
        why = tr("“%1” is read-only.").arg(name);
    // Another file's replacement is made first, so a target that cannot be
    // written fails before any progress shows; the document's own file is
    // replaced only once its edit is known not to fit in place.
    if (!why.isEmpty() || !plan->prepare(&why)) {
        *error = writeError(why, plan->replacement());
        return false;
    }
    // Asked before the save: it reads the file.
    const QString note = rewrite::saveNote(plan->engine);
    const bool started = m_saveJob.start(
        [plan](JobControl &control) { return plan->run([&control](double percent) { return control.progress(percent); }); },
        [this, plan, task, note](const RewriteResult &result) { finishRewrite(*plan, task, result, note); });
    if (!started) {
        *error = writeError(tr("No thread could be started for the save."));
        return false;
    }
    emit rewriteStarted();
    emit rewriteProgress(0);
    return true;
}

void SoundFile::finishRewrite(const rewrite::SavePlan &plan, const SaveTask &task, const RewriteResult &result,
                              const QString &note)
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
        m_saveError = ok ? DocumentError{} : writeError(result.detail, plan.replacement());
    if (ok && task.clearsEdited)
        setModified(false);
    if (ok && !note.isEmpty())
        emit warningRaised(note.left(1).toUpper() + note.mid(1) + QLatin1Char('.'), QString());
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
                               openError.oneLine()};
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
QString SoundFile::replaceQuestion(const QUrl &url) const
{
    SaveTarget target;
    QString ignored;
    if (!url.isLocalFile() || !target.open(absolutePathAsGiven(url.toLocalFile()), SaveTarget::Access::Read, &ignored)
        || (m_replaceAgreed.isValid() && m_replaceAgreed.sameFile(target.identity())))
        return {};
    const QString name = url.fileName();
    QStringList questions;
    const nlink_t names = target.status().st_nlink;
    if (names > 1)
        questions << tr("“%1” has %2 names; saving will give this name a file of its own.").arg(name).arg(names);
    if (!target.ownerKeptByCopy())
        questions << tr("“%1” belongs to %2; the saved file will belong to you.").arg(name, target.ownerText());
    return questions.join(u' ');
}
void SoundFile::allowReplacing(const QUrl &url)
{
    m_replaceAgreed = fileIdentityOf(url.toLocalFile());
}
