#include "document/LoudnessJob.h"

LoudnessJob::LoudnessJob(QObject *parent) : QObject(parent)
{
    connect(&m_job, &Job::progress, this, &LoudnessJob::progress);
}

void LoudnessJob::start(const QString &path)
{
    const auto measure = [path](JobControl &control) {
        return measureLoudness(path, &control.cancelFlag(), [&control](double percent) { control.progress(percent); });
    };
    const auto apply = [this](const LoudnessResult &result) {
        if (result.ok)
            m_result = result;
        else if (!result.cancelled)
            emit failed(result.error);
        emit finished();
    };
    if (!isRunning() && m_job.start(measure, apply))
        emit started();
}

void LoudnessJob::forget()
{
    const bool wasRunning = isRunning();
    m_job.abandon();
    m_result = LoudnessResult{};
    if (wasRunning)
        emit finished();
}
