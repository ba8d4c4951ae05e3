// The document's saving and converting: a save plan from the texts as edited
// and the conversion choices, run as a job, and its result taken back into
// the document.
#include "document/SoundFile.h"

#include "filelogic/FilePath.h"
#include "rewrite/InPlaceSave.h"
#include "rewrite/IxmlSave.h"

#include <QFileInfo>

void SoundFile::convert(QObject *)
{
    if (isBusy() || m_closed)
        return;
    if (m_conversion.format() == 0) {
        presentError(SaveJob::writeError(tr("The chosen format offers no encoding to write.")));
        return;
    }
    const QString path = m_fileURL.toLocalFile();
    // The folder the file is in, links resolved: a path's ".." cleaned as
    // text could name another folder.
    emit convertTargetWanted(QFileInfo(path).canonicalPath(), m_conversion.proposedName(path));
}

void SoundFile::convertCancel(QObject *)
{
    if (isBusy())
        m_save->cancel();
    else
        emit rewriteFinished(false);
}

std::shared_ptr<rewrite::SavePlan> SoundFile::planRewrite(const QUrl &url, const SaveTask &task, bool agreed) const
{
    const QString target = absolutePathAsGiven(url.toLocalFile());
    auto plan = std::make_shared<rewrite::SavePlan>(rewrite::planSave(
        {absolutePathAsGiven(m_fileURL.toLocalFile()), m_file.info, m_file.metadata, m_texts, rewrite::UmidText::Shown,
         m_modified, target, task.conversion, {m_file.identity, agreed, false, {}}}));
    m_markers.addTo(&plan->engine, &plan->fileLoses);
    return plan;
}

bool SoundFile::startRewrite(const QUrl &url, const SaveTask &task, DocumentError *error)
{
    if (isBusy() || m_closed || !url.isLocalFile()) {
        *error = SaveJob::writeError(tr("The document cannot be written now."));
        return false;
    }
    // An edit the iXML chunk cannot take is never half written.
    if (const QString problem = rewrite::ixmlTextProblem(m_texts, m_file.metadata); !problem.isEmpty()) {
        *error = SaveJob::writeError(problem.at(0).toUpper() + problem.mid(1) + u'.');
        return false;
    }
    // The user agreed to replace that file as it is: its other names keep
    // the old contents.
    const auto plan = planRewrite(url, task, m_targetCheck.takeAgreement(absolutePathAsGiven(url.toLocalFile())));
    const SoundFile *other = plan->inPlace || !m_findDocument ? nullptr : m_findDocument(plan->job.targetPath);
    const auto finish = [this, task](const rewrite::SavePlan &done, const RewriteResult &result) {
        finishRewrite(done, task, result);
    };
    if (!m_save->start(plan, other && other != this, finish, error))
        return false;
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
    const bool ok = m_save->conclude(plan, result, reopened ? nullptr : &reopenError);
    if (ok && task.clearsEdited)
        setModified(false);
    if (const QString &note = m_save->note(); ok && !note.isEmpty())
        emit warningRaised(note.left(1).toUpper() + note.mid(1) + QLatin1Char('.'), QString());
    if (ok && !plan.inPlace && task.openWritten)
        emit convertedFileWritten(QUrl::fromLocalFile(plan.job.targetPath));
    if (const QStringList notKept = plan.textsLost + plan.fileLoses; ok && !notKept.isEmpty())
        emit warningRaised(tr("The file's format cannot store everything that was entered."),
                           tr("Not stored: %1.").arg(notKept.join(QStringLiteral("; "))));
    emit rewriteFinished(ok);
    if (!ok && !task.waited)
        presentError(m_save->error());
}

bool SoundFile::save(const QUrl &url, SaveTask task, bool wait, DocumentError *error)
{
    DocumentError failure;
    task.waited = wait;
    // One format is never written under another's name without the user's
    // say; the window asks and then saves in the other format.
    const QString nameProblem = task.ownFormatName ? SaveTargetCheck::formatNameProblem(url, m_fileURL, m_file.info.format)
                                                   : QString();
    if (!nameProblem.isEmpty())
        failure = SaveJob::writeError(nameProblem);
    const bool started = nameProblem.isEmpty() && startRewrite(url, task, &failure);
    if (started && wait) {
        m_save->waitForFinished();
        failure = m_save->error();
    }
    if (error)
        *error = failure;
    else if (!wait && !started)
        presentError(failure);
    return started && (!wait || m_save->succeeded());
}

SaveTask SoundFile::formatTask(int format) const
{
    // The record goes along where the file has one or its description
    // holds text.
    return SaveTask::inFormat(format, m_file.info.channels,
                              m_file.metadata.hasBext || !text(MetadataField::Description).isEmpty());
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

bool SoundFile::reopenAfterReplace(const QString &path, DocumentError *error)
{
    DocumentError openError;
    SoundHandle reopened = FileAsRead::open(path, &m_file, &openError);
    if (!reopened) {
        // Playback still reads the previous contents; the document stays
        // usable on them, and the user learns what happened.
        *error = DocumentError{QStringLiteral("libsndfileError"), -1, tr("The saved file could not be opened again"),
                               openError.oneLine()};
        return false;
    }
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
QString SoundFile::replaceQuestion(const QUrl &url, bool converting) const
{
    const QString question = m_targetCheck.replaceQuestion(url);
    // Saved in place, the file keeps every name, its owner and its inode.
    if (question.isEmpty() || converting || m_closed || !savesInPlace(planRewrite(url, SaveTask{}, false)->engine))
        return question;
    return {};
}
