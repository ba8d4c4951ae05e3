// The document's peak scan: every sample read once, on a Job's worker
// through a handle of its own, for each listed channel's peak level.
//
// GUI thread.
#pragma once

#include "document/Job.h"

#include <sndfile.h>

#include <QObject>
#include <QString>

#include <vector>

class PeakJob : public QObject
{
    Q_OBJECT

public:
    explicit PeakJob(QObject *parent = nullptr);

    // Starts scanning path, which must still hold the stream `info`
    // describes; nothing while a scan runs.
    void start(const QString &path, const SF_INFO &info);
    // Drops a running scan and what was measured: the file may hold other
    // sound now.
    void forget();
    void waitForFinished() { m_job.waitForFinished(); }
    bool isRunning() const { return m_job.isRunning(); }

    bool measured() const { return m_measured; }
    // Per listed channel, at the file's integer scale (see peakDecibels).
    const std::vector<double> &peaks() const { return m_peaks; }

signals:
    void started();
    void progress(int percent);
    // A scan ended: measured() says whether it measured, or failed
    // (failed() said why first).
    void finished();
    void failed(const QString &reason);

private:
    Job m_job;
    std::vector<double> m_peaks;
    bool m_measured = false;
};
