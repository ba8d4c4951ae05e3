#include "document/SaveJob.h"

#include "rewrite/MetadataSave.h"

#include <QFileInfo>

SaveTask SaveTask::inFormat(int format, int channels, bool keepBext)
{
    rewrite::ConversionSettings settings{format, {}, keepBext};
    for (int c = 0; c < channels; ++c)
        settings.channels.push_back(c);
    return SaveTask{settings};
}

SaveJob::SaveJob(QObject *parent) : QObject(parent)
{
    connect(&m_job, &Job::progress, this, &SaveJob::progress);
}

DocumentError SaveJob::writeError(const QString &reason, const ReplacementFile *temp)
{
    DocumentError error{QStringLiteral("rewriteError"), -1, tr("Unable to write file"), reason};
    if (temp && temp->targetChanged())
        error.code = DocumentError::kChangedOnDisk;
    return error;
}

bool SaveJob::start(const std::shared_ptr<rewrite::SavePlan> &plan, bool shownElsewhere, Finish finish,
                    DocumentError *error)
{
    const QString name = QFileInfo(plan->job.targetPath).fileName();
    QString why = plan->error;
    if (why.isEmpty() && shownElsewhere)
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
    m_note = rewrite::saveNote(plan->engine);
    const bool started = m_job.start(
        [plan](JobControl &control) { return plan->run([&control](double percent) { return control.progress(percent); }); },
        [plan, finish = std::move(finish)](const RewriteResult &result) { finish(*plan, result); });
    if (!started)
        *error = writeError(tr("No thread could be started for the save."));
    return started;
}

bool SaveJob::conclude(const rewrite::SavePlan &plan, const RewriteResult &result, const DocumentError *reopenError)
{
    m_ok = result.ok && !reopenError;
    if (reopenError)
        m_error = *reopenError;
    else if (result.cancelled)
        m_error = DocumentError{QStringLiteral("rewriteError"), DocumentError::kUserCancelled, {}, {}};
    else
        m_error = m_ok ? DocumentError{} : writeError(result.detail, plan.replacement());
    return m_ok;
}
