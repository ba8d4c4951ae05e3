#include "filelogic/HandleCloser.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {

class Closer
{
public:
    ~Closer()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }

    void add(SoundHandle file)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_queue.push_back(std::move(file));
            if (!m_thread.joinable())
                m_thread = std::thread(&Closer::run, this);
        }
        m_wake.notify_all();
    }

private:
    void run()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [&] { return m_stopping || !m_queue.empty(); });
            if (m_queue.empty())
                return;
            SoundHandle file = std::move(m_queue.front());
            m_queue.pop_front();
            lock.unlock();
            file.close();
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<SoundHandle> m_queue;
    bool m_stopping = false;
    std::thread m_thread;
};

Closer &closer()
{
    static Closer instance;
    return instance;
}

} // namespace

namespace HandleCloser {

void closeLater(SoundHandle file)
{
    if (file)
        closer().add(std::move(file));
}

} // namespace HandleCloser
