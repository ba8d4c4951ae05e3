// The document's waveform overview: WaveformOverview's buckets, computed by
// a Job (a worker reading the file through a handle of its own) and handed
// out as they grow.
//
// GUI thread, except snapshot(), which any thread may call.
#pragma once

#include "analysis/WaveformOverview.h"
#include "document/Job.h"

#include <QObject>

class WaveformJob : public QObject
{
    Q_OBJECT

public:
    explicit WaveformJob(QObject *parent = nullptr);

    // Stops a running computation, clears what was computed and starts on
    // path, which must still hold the stream `expected` describes.
    void start(const QString &path, const SF_INFO &expected);
    // Stops the worker after its current block; what was computed stays.
    void cancel();
    // Waits without an event pass until the file has been read to its end
    // (or failed), then emits what updated() and finished() owe.
    void waitForFinished() { m_job.waitForFinished(); }
    bool isRunning() const { return m_job.isRunning(); }

    WaveformSnapshot snapshot(const std::vector<int> &channels) const { return m_overview.snapshot(channels); }

signals:
    // New buckets were published, or start() cleared them.
    void updated();
    // The worker ended: the file was read to its end, or failed.
    void finished();

private:
    WaveformOverview m_overview;
    // After the buckets it fills: destroyed first, it stops the worker.
    Job m_job;
};
