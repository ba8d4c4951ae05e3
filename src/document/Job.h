// Long work of a document on a worker thread of its own: the peak scan, a
// save or conversion, the loudness measurement, the waveform overview, the
// audio checksum. The work opens whatever file handles it needs itself and
// never touches the document; it reports progress, and hands back a result
// that is applied on the Job's own thread exactly once, after the worker has
// ended. One flag cancels it.
//
// Threads: a Job is started, cancelled, waited for and destroyed on the
// thread it lives in (the GUI thread), whose event loop delivers the queued
// reports unless it waits. The work runs on the worker and sees only its
// JobControl.
#pragma once

#include <QObject>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <type_traits>

class Job;

// What the work sees of its job, on the worker.
class JobControl
{
public:
    bool isCancelled() const { return m_cancel.load(std::memory_order_relaxed); }
    // For engines that watch a flag of their own.
    const std::atomic<bool> &cancelFlag() const { return m_cancel; }
    // Reports the share done; Job::progress() follows on the Job's thread.
    // Returns false once cancelled, so it serves as an engine's "go on?"
    // callback. While a test holds jobs, the worker waits here until it is
    // released or cancelled.
    bool progress(double percent);

private:
    friend class Job;
    void reset(Job *job);
    // Asks the Job's thread to look at what the worker left here. Only
    // atomics pass between the threads, and the call itself carries no
    // data of ours (a thread checker sees every hand-over).
    void post();

    Job *m_job = nullptr;
    std::atomic<bool> m_cancel{false};
    std::atomic<int> m_percent{0};
    std::atomic<bool> m_reportPending{false};
    std::atomic<bool> m_done{false};
};

class Job : public QObject
{
    Q_OBJECT

public:
    explicit Job(QObject *parent = nullptr);
    // Abandons a running job.
    ~Job() override;

    // Runs work(JobControl &) on a worker thread; apply(result) gets what it
    // returned on this thread once the worker has ended, unless the job is
    // abandoned first. A work that throws hands back a default result.
    // False, and nothing runs, while a job still runs or when no thread can
    // be had.
    template <typename Work, typename Apply>
    bool start(Work work, Apply apply)
    {
        using Result = std::invoke_result_t<Work &, JobControl &>;
        auto result = std::make_shared<std::optional<Result>>();
        return launch([work = std::move(work), result](JobControl &control) mutable { result->emplace(work(control)); },
                      [apply = std::move(apply), result]() mutable {
                          apply(result->has_value() ? std::move(**result) : Result{});
                      });
    }
    // Started and its result not yet applied (or the job abandoned).
    bool isRunning() const { return m_worker.joinable(); }
    // Asks the work to stop; its result still arrives.
    void cancel();
    // Cancels, waits for the worker and drops its result and reports.
    void abandon();
    // Waits for the worker without an event pass, then applies the result
    // now (for callers that want the result before they return).
    void waitForFinished();
    int percent() const { return m_control.m_percent.load(std::memory_order_relaxed); }

    // Test hook: while held, every job's worker stops at its progress
    // reports until released or cancelled.
    static void holdForTesting(bool hold);
    // Blocks the calling thread until `count` workers stand held.
    static void waitUntilHeldForTesting(int count);

signals:
    void progress(int percent);
    // After the result was applied.
    void finished();

private slots:
    // What the worker posted: a progress report, its end.
    void deliverReports();

private:
    bool launch(std::function<void(JobControl &)> work, std::function<void()> apply);
    // Joins the worker and applies its result, once.
    void deliver();

    JobControl m_control;
    std::thread m_worker;
    std::function<void()> m_apply;
};
