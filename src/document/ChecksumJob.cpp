#include "document/ChecksumJob.h"

ChecksumJob::ChecksumJob(QObject *parent) : QObject(parent)
{
    connect(&m_job, &Job::progress, this, &ChecksumJob::progress);
}

void ChecksumJob::reset(const QString &path)
{
    m_job.abandon();
    m_result = AudioChecksum{};
    const std::optional<StoredChecksum> stored = readStoredChecksum(path, &m_result.error);
    m_canCompute = stored.has_value();
    if (stored)
        m_result.stored = *stored;
}

void ChecksumJob::start(const QString &path)
{
    const auto compute = [path](JobControl &control) {
        return computeAudioChecksum(path, &control.cancelFlag(), [&control](double percent) { control.progress(percent); });
    };
    const auto apply = [this](AudioChecksum result) {
        // A cancelled computation leaves what was shown before.
        if (!result.cancelled)
            m_result = std::move(result);
        emit finished();
    };
    if (m_canCompute && !isRunning() && m_job.start(compute, apply))
        emit started();
}
