#include "analysis/LoudnessScan.h"

#include "analysis/LoudnessPass.h"
#include "filelogic/SoundHandle.h"

#include <QFile>
#include <QThread>

#include <algorithm>
#include <exception>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <vector>

namespace {

// libebur128's limits.
constexpr int kMaxChannels = 64;
constexpr int kMinRate = 16;
constexpr int kMaxRate = 2822400;
constexpr auto kProgressInterval = std::chrono::milliseconds(50);

// What the workers of one measurement share.
struct Scan {
    Scan(const QByteArray &name, const LoudnessPlan &plan, sf_count_t frames, const std::atomic<bool> *cancel)
        : name(name), plan(plan), frames(frames), cancel(cancel), segments(plan.borders.size())
    {
    }

    bool stopping() const { return failed.load() || (cancel && cancel->load()); }
    void fail(const QString &message)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (error.isEmpty())
            error = message;
        failed = true;
    }
    double percent() const { return std::min(100.0, 100.0 * double(done.load()) / double(std::max<sf_count_t>(frames, 1))); }

    const QByteArray name;
    const LoudnessPlan &plan;
    const sf_count_t frames;
    const std::atomic<bool> *const cancel;
    std::vector<SegmentMeasure> segments; // [k] is written by the worker that took k
    std::atomic<size_t> next{0};
    std::atomic<sf_count_t> done{0};
    std::atomic<bool> failed{false};
    std::mutex mutex;
    std::condition_variable wake;
    int running = 0; // guarded by mutex
    QString error;   // guarded by mutex
};

// One worker: a handle of its own, then segments until none is left.
void work(Scan &scan)
{
    try {
        SF_INFO info{};
        const SoundHandle file(sf_open(scan.name.constData(), SFM_READ, &info));
        if (!file) {
            scan.fail(QString::fromUtf8(sf_strerror(nullptr)));
        } else if (info.channels != scan.plan.channels || info.samplerate != scan.plan.rate) {
            scan.fail(QStringLiteral("The file changed while it was being measured."));
        } else {
            const auto carryOn = [&scan](sf_count_t frames) {
                scan.done += frames;
                return !scan.stopping();
            };
            for (size_t k = scan.next++; k < scan.segments.size() && !scan.stopping(); k = scan.next++) {
                if (measureSegment(file.get(), scan.plan, k, scan.segments[k], carryOn) == SegmentOutcome::Failed)
                    scan.fail(QStringLiteral("Out of memory while measuring loudness."));
            }
        }
    } catch (const std::exception &e) {
        scan.fail(QStringLiteral("Loudness measurement failed: %1").arg(QString::fromLocal8Bit(e.what())));
    }
    std::lock_guard<std::mutex> lock(scan.mutex);
    --scan.running;
    scan.wake.notify_all();
}

// Runs up to `count` workers and reports progress from this thread until
// all are done. Without any thread to be had, measures here.
void runWorkers(Scan &scan, int count, const std::function<void(double)> &progress)
{
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) {
        std::lock_guard<std::mutex> lock(scan.mutex);
        try {
            threads.emplace_back(work, std::ref(scan));
            ++scan.running;
        } catch (const std::system_error &) {
            break;
        }
    }
    if (threads.empty()) {
        scan.running = 1;
        work(scan);
    }
    std::unique_lock<std::mutex> lock(scan.mutex);
    while (scan.running > 0) {
        scan.wake.wait_for(lock, kProgressInterval);
        if (progress && scan.running > 0) {
            lock.unlock();
            progress(scan.percent());
            lock.lock();
        }
    }
    lock.unlock();
    for (std::thread &thread : threads)
        thread.join();
}

QString levelText(double value, const char *unit)
{
    // QString::number() writes infinities as "inf" and "-inf".
    return QString::number(value, 'f', 1) + QLatin1Char(' ') + QLatin1String(unit);
}

} // namespace

LoudnessResult measureLoudness(const QString &path, const std::atomic<bool> *cancel,
                               const std::function<void(double percent)> &progress, const LoudnessOptions &options)
{
    LoudnessResult result;
    const QByteArray name = QFile::encodeName(path);
    SF_INFO info{};
    SoundHandle probe(sf_open(name.constData(), SFM_READ, &info));
    if (!probe) {
        result.error = QString::fromUtf8(sf_strerror(nullptr));
        return result;
    }
    if (info.channels > kMaxChannels || info.samplerate < kMinRate || info.samplerate > kMaxRate) {
        result.error = QStringLiteral("Loudness is measured for up to %1 channels at %2 to %3 Hz.")
                           .arg(kMaxChannels).arg(kMinRate).arg(kMaxRate);
        return result;
    }
    const int threads = options.threads > 0 ? options.threads : std::max(1, QThread::idealThreadCount());
    const LoudnessPlan plan = planLoudness(probe.get(), info, threads, options.segmentSeconds);
    probe.close();

    Scan scan(name, plan, info.frames, cancel);
    if (progress)
        progress(0.0);
    runWorkers(scan, int(std::min<size_t>(size_t(threads), scan.segments.size())), progress);
    if (cancel && cancel->load()) {
        result.cancelled = true;
        return result;
    }
    if (scan.failed) {
        result.error = scan.error;
        return result;
    }
    if (!joinSegments(scan.segments, result)) {
        result.error = QStringLiteral("Out of memory while measuring loudness.");
        return result;
    }
    if (progress)
        progress(100.0);
    return result;
}

QString loudnessText(double lufs)
{
    return levelText(lufs, "LUFS");
}

QString loudnessRangeText(double lu)
{
    return levelText(lu, "LU");
}

QString truePeakText(double dbtp)
{
    return levelText(dbtp, "dBTP");
}
