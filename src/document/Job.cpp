#include "document/Job.h"

#include <QPointer>

#include <condition_variable>
#include <mutex>
#include <system_error>

namespace {

// The test hook's state, shared by every job.
struct Hold {
    std::atomic<bool> on{false};
    std::mutex mutex;
    std::condition_variable wake;
    int waiting = 0; // guarded by mutex
};

Hold &hold()
{
    static Hold instance;
    return instance;
}

} // namespace

void JobControl::reset(Job *job)
{
    m_job = job;
    m_cancel = false;
    m_percent = 0;
    m_reportPending = false;
    m_done = false;
}

void JobControl::post()
{
    QMetaObject::invokeMethod(m_job, "deliverReports", Qt::QueuedConnection);
}

bool JobControl::progress(double percent)
{
    m_percent.store(int(percent + 0.5), std::memory_order_relaxed);
    // One report in flight at a time: the Job's thread reads the latest
    // share when it gets there, so a fast worker cannot flood it.
    if (!m_reportPending.exchange(true))
        post();
    Hold &h = hold();
    if (h.on.load()) {
        std::unique_lock<std::mutex> lock(h.mutex);
        ++h.waiting;
        h.wake.notify_all();
        h.wake.wait(lock, [&] { return !h.on.load() || isCancelled(); });
        --h.waiting;
    }
    return !isCancelled();
}

Job::Job(QObject *parent) : QObject(parent)
{
}

Job::~Job()
{
    abandon();
}

bool Job::launch(std::function<void(JobControl &)> work, std::function<void()> apply)
{
    if (m_worker.joinable())
        return false;
    m_control.reset(this);
    m_apply = std::move(apply);
    try {
        m_worker = std::thread([this, work = std::move(work)] {
            try {
                work(m_control);
            } catch (...) {
                // The default result says the work failed.
            }
            m_control.m_done = true;
            m_control.post();
        });
    } catch (const std::system_error &) {
        m_apply = nullptr;
        return false;
    }
    return true;
}

void Job::cancel()
{
    m_control.m_cancel = true;
    // Taking the lock orders the flag before a held worker's next look at it.
    Hold &h = hold();
    { const std::lock_guard<std::mutex> lock(h.mutex); }
    h.wake.notify_all();
}

void Job::abandon()
{
    // What the worker posted finds no worker and is dropped.
    if (!m_worker.joinable())
        return;
    cancel();
    m_worker.join();
    m_apply = nullptr;
}

void Job::waitForFinished()
{
    if (m_worker.joinable())
        deliver();
}

void Job::deliverReports()
{
    // Reports of an abandoned or already delivered run find no worker.
    if (!m_worker.joinable())
        return;
    if (m_control.m_reportPending.exchange(false))
        emit progress(percent());
    if (m_control.m_done.load())
        deliver();
}

void Job::deliver()
{
    // Exactly once: whichever comes first, the worker's own report or a
    // wait, joins the worker and applies; the other finds no worker.
    m_worker.join();
    const std::function<void()> apply = std::exchange(m_apply, nullptr);
    const QPointer<Job> self(this);
    if (apply)
        apply();
    if (self)
        emit finished();
}

void Job::holdForTesting(bool on)
{
    Hold &h = hold();
    {
        const std::lock_guard<std::mutex> lock(h.mutex);
        h.on = on;
    }
    h.wake.notify_all();
}

void Job::waitUntilHeldForTesting(int count)
{
    Hold &h = hold();
    std::unique_lock<std::mutex> lock(h.mutex);
    h.wake.wait(lock, [&] { return h.waiting >= count; });
}
