#include "cli/BatchProgress.h"

#include <QFile>
#include <QTextStream>

#include <atomic>
#include <iterator>
#include <unistd.h>

namespace {

// The signal that asked to stop, 0 for none. Set by the handler, read by
// the saves' threads: a lock-free atomic is safe for both.
std::atomic<int> g_stop{0};
static_assert(std::atomic<int>::is_always_lock_free);

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void onStopSignal(int signal)
{
    g_stop = signal;
}

} // namespace

BatchRun::BatchRun(QTextStream &err, qsizetype total, const QString &left) : m_err(err), m_left(left), m_total(total)
{
    // A bar only where a person watches; a log gets one line per file.
    if (auto *file = qobject_cast<QFile *>(err.device()))
        m_terminal = file->handle() >= 0 && ::isatty(file->handle());
    bool ok = false;
    // Tests ask for progress from the first file on.
    const qint64 delay = qEnvironmentVariableIntValue("WAVQUILL_PROGRESS_AFTER_MS", &ok);
    if (ok && delay >= 0)
        m_delayMs = delay;
    // And a Ctrl+C (or another signal) of their own before a given file
    // (counted from 1), which no timing can make arrive at a known point.
    m_interruptBefore = qEnvironmentVariableIntValue("WAVQUILL_INTERRUPT_BEFORE_FILE");
    g_stop = 0;
    struct sigaction action{};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    // A second signal ends the program at once; the file being written has
    // no name yet, so nothing half-written is left even then.
    action.sa_flags = SA_RESETHAND;
    for (size_t i = 0; i < std::size(kStopSignals); ++i)
        sigaction(kStopSignals[i], &action, &m_previous[i]);
    m_clock.start();
}

BatchRun::~BatchRun()
{
    for (size_t i = 0; i < std::size(kStopSignals); ++i)
        sigaction(kStopSignals[i], &m_previous[i], nullptr);
    if (m_barShown) {
        m_err << '\n';
        m_err.flush();
    }
}

bool BatchRun::next(const QString &file)
{
    if (m_interruptBefore == m_started + 1) {
        const int signal = qEnvironmentVariableIntValue("WAVQUILL_INTERRUPT_SIGNAL");
        std::raise(signal > 0 ? signal : SIGINT);
    }
    if (g_stop)
        return false;
    ++m_started;
    if (m_clock.elapsed() < m_delayMs)
        return true;
    if (m_terminal)
        showBar();
    else
        m_err << "wavquill: [" << m_started << '/' << m_total << "] " << file << '\n';
    m_err.flush();
    return true;
}

void BatchRun::finished()
{
    ++m_finished;
    if (m_terminal && m_clock.elapsed() >= m_delayMs) {
        showBar();
        m_err.flush();
    }
}

void BatchRun::report(const QString &line)
{
    clearBar();
    m_err << line << '\n';
    m_err.flush();
}

void BatchRun::clearBar()
{
    if (!m_barShown)
        return;
    m_err << "\r\x1b[K";
    m_err.flush();
    m_barShown = false;
}

bool BatchRun::stopRequested()
{
    return g_stop != 0;
}

int BatchRun::status(int status, qsizetype stopped)
{
    const qsizetype left = m_total - m_started + stopped;
    if (!g_stop || left == 0)
        return status;
    if (m_barShown)
        m_err << '\n';
    m_barShown = false;
    m_err << QStringLiteral("wavquill: interrupted; %1 of %2 files %3\n").arg(left).arg(m_total).arg(m_left);
    m_err.flush();
    return 128 + g_stop;
}

// The files finished; a file's name could wrap the line, which \r cannot
// take back.
void BatchRun::showBar()
{
    constexpr int kWidth = 30;
    const int filled = int(kWidth * m_finished / std::max<qsizetype>(m_total, 1));
    m_err << "\r[" << QString(filled, u'#') << QString(kWidth - filled, u' ') << "] " << m_finished << '/' << m_total << "\x1b[K";
    m_barShown = true;
}
