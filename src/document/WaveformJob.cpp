#include "document/WaveformJob.h"

WaveformJob::WaveformJob(QObject *parent) : QObject(parent)
{
    // A report from the worker means new buckets are out.
    connect(&m_job, &Job::progress, this, &WaveformJob::updated);
}

void WaveformJob::start(const QString &path, const SF_INFO &expected)
{
    m_job.abandon();
    // The view drops the old file's picture at once.
    m_overview.clear(expected.channels);
    emit updated();
    WaveformOverview *overview = &m_overview;
    const bool started = m_job.start(
        [overview, path, expected](JobControl &control) {
            overview->compute(path, expected, kWaveformBuckets, control.cancelFlag(),
                              [&control](double percent) { control.progress(percent); });
            return true;
        },
        [this](bool) {
            emit updated();
            emit finished();
        });
    if (!started)
        emit finished();
}

void WaveformJob::cancel()
{
    // The buckets published so far stay for the view.
    m_job.abandon();
}
