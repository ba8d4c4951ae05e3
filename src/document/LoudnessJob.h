// The document's loudness measurement (LoudnessScan.h) on a Job's worker,
// whose own workers read the file through handles of their own.
//
// GUI thread.
#pragma once

#include "analysis/LoudnessScan.h"
#include "document/Job.h"

#include <QObject>
#include <QString>

class LoudnessJob : public QObject
{
    Q_OBJECT

public:
    explicit LoudnessJob(QObject *parent = nullptr);

    // Starts measuring path; nothing while a measurement runs.
    void start(const QString &path);
    // Stops a running measurement; finished() follows, result() unchanged.
    void cancel() { m_job.cancel(); }
    // Drops a running measurement and the last result: the file may hold
    // other sound now. finished() follows when one was running.
    void forget();
    // Drops a running measurement without a word (its document closes).
    void abandon() { m_job.abandon(); }
    void waitForFinished() { m_job.waitForFinished(); }
    bool isRunning() const { return m_job.isRunning(); }

    // The last complete measurement (not ok before one, nor after forget()).
    const LoudnessResult &result() const { return m_result; }

signals:
    void started();
    void progress(int percent);
    // A measurement ended: complete (result() holds it), cancelled, or
    // failed (failed() said why first).
    void finished();
    void failed(const QString &reason);

private:
    Job m_job;
    LoudnessResult m_result;
};
