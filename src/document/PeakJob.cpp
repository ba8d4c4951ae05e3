#include "document/PeakJob.h"

#include "analysis/PeakScan.h"
#include "document/ConversionChoices.h"
#include "container/SoundFileOpen.h"

#include <algorithm>

namespace {

struct Scan {
    std::vector<double> peaks;
    QString error; // why the file could not be read; empty when scanned
};

Scan scanFile(const QString &path, const SF_INFO &info, JobControl &control)
{
    Scan scan;
    // Reopened only while it holds the stream the document read: a file
    // changed since is not measured.
    const SoundHandle handle = reopenSoundFile(path, info, true, &scan.error);
    if (handle)
        scanPeaks(handle.get(), info, scan.peaks, [&control](double percent) { return control.progress(percent); });
    scan.peaks.resize(size_t(std::clamp(info.channels, 0, kListedChannels)), 0.0);
    return scan;
}

} // namespace

PeakJob::PeakJob(QObject *parent) : QObject(parent)
{
    connect(&m_job, &Job::progress, this, &PeakJob::progress);
}

void PeakJob::start(const QString &path, const SF_INFO &info)
{
    const auto apply = [this](Scan scan) {
        if (scan.error.isEmpty()) {
            m_peaks = std::move(scan.peaks);
            m_measured = true;
        } else {
            emit failed(scan.error);
        }
        emit finished();
    };
    if (!isRunning() && m_job.start([path, info](JobControl &control) { return scanFile(path, info, control); }, apply))
        emit started();
}

void PeakJob::forget()
{
    m_job.abandon();
    m_peaks.clear();
    m_measured = false;
}
