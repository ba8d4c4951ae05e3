// The document's save or conversion: a plan whose target is checked and
// prepared here, run on a Job's worker, and its outcome kept for a caller
// that waited.
//
// GUI thread.
#pragma once

#include "document/Job.h"
#include "filelogic/DocumentError.h"
#include "rewrite/SavePlan.h"

#include <QObject>

#include <functional>
#include <memory>
#include <optional>

// What a save of the document is and what follows it.
struct SaveTask {
    std::optional<rewrite::ConversionSettings> conversion;
    bool clearsEdited = false;  // a plain Save
    bool openWritten = false;   // a conversion's new file is offered to open
    bool ownFormatName = false; // another format's name is refused
    bool waited = false;        // a caller waits: its failure is returned, not shown

    // A copy in another format with every channel.
    static SaveTask inFormat(int format, int channels, bool keepBext);
};

class SaveJob : public QObject
{
    Q_OBJECT

public:
    explicit SaveJob(QObject *parent = nullptr);

    // "Unable to write file" for this reason; a refusal because another
    // program changed the target (as temp found it) is one the window
    // offers a way out of.
    static DocumentError writeError(const QString &reason, const ReplacementFile *temp = nullptr);

    // Refuses a target another document shows (shownElsewhere) or that is
    // read-only, prepares the plan, and runs it on the worker; then applies
    // finish(plan, result) on this thread, after which the plan (and the
    // lock its new file holds on the target) goes. False with *error when
    // nothing started.
    using Finish = std::function<void(const rewrite::SavePlan &, const RewriteResult &)>;
    bool start(const std::shared_ptr<rewrite::SavePlan> &plan, bool shownElsewhere, Finish finish,
               DocumentError *error);
    bool isRunning() const { return m_job.isRunning(); }
    // Stops after the current block; the result still arrives.
    void cancel() { m_job.cancel(); }
    // Waits for the worker and drops its result. A save that was replacing
    // its file finishes that first: the file is the old one or the new one.
    void abandon() { m_job.abandon(); }
    void waitForFinished() { m_job.waitForFinished(); }

    // The note the running or last save's engine had for the user (taken
    // before the save: it reads the file).
    const QString &note() const { return m_note; }
    // Records how the plan's save ended (reopenError: the document could
    // not open its replaced file again) and returns whether it succeeded.
    bool conclude(const rewrite::SavePlan &plan, const RewriteResult &result, const DocumentError *reopenError);
    bool succeeded() const { return m_ok; }
    const DocumentError &error() const { return m_error; }

signals:
    void progress(int percent);

private:
    Job m_job;
    QString m_note;
    bool m_ok = false;
    DocumentError m_error;
};
