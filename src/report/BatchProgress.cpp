#include "report/BatchProgress.h"

#include <QFile>
#include <QTextStream>

#include <unistd.h>

namespace {

volatile std::sig_atomic_t g_stop = 0;

void onInterrupt(int)
{
    g_stop = 1;
}

} // namespace

BatchRun::BatchRun(QTextStream &err, qsizetype total) : m_err(err), m_total(total)
{
    // A bar only where a person watches; a log gets one line per file.
    if (auto *file = qobject_cast<QFile *>(err.device()))
        m_terminal = file->handle() >= 0 && ::isatty(file->handle());
    bool ok = false;
    // Tests ask for progress from the first file on.
    const qint64 delay = qEnvironmentVariableIntValue("WAVQUILL_PROGRESS_AFTER_MS", &ok);
    if (ok && delay >= 0)
        m_delayMs = delay;
    g_stop = 0;
    struct sigaction action{};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    // A second Ctrl+C ends the program at once; the file being written has
    // no name yet, so nothing half-written is left even then.
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, &m_previous);
    m_clock.start();
}

BatchRun::~BatchRun()
{
    sigaction(SIGINT, &m_previous, nullptr);
    if (m_barShown) {
        m_err << '\n';
        m_err.flush();
    }
}

bool BatchRun::next(const QString &file)
{
    if (g_stop)
        return false;
    if (m_clock.elapsed() >= m_delayMs)
        show(file);
    ++m_done;
    return true;
}

void BatchRun::report(const QString &line)
{
    if (m_barShown)
        m_err << "\r\x1b[K";
    m_err << line << '\n';
    m_err.flush();
}

bool BatchRun::stopRequested()
{
    return g_stop != 0;
}

int BatchRun::status(int status)
{
    if (!g_stop || m_done >= m_total)
        return status;
    if (m_barShown)
        m_err << '\n';
    m_barShown = false;
    m_err << QStringLiteral("wavquill: interrupted; %1 of %2 files left as they were\n").arg(m_total - m_done).arg(m_total);
    m_err.flush();
    return 130;
}

void BatchRun::show(const QString &file)
{
    const QString count = QStringLiteral("%1/%2").arg(m_done + 1).arg(m_total);
    if (!m_terminal) {
        m_err << "wavquill: [" << count << "] " << file << '\n';
    } else {
        constexpr int kWidth = 30;
        const int filled = int(kWidth * m_done / std::max<qsizetype>(m_total, 1));
        m_err << "\r[" << QString(filled, u'#') << QString(kWidth - filled, u' ') << "] " << count << "\x1b[K";
        m_barShown = true;
    }
    m_err.flush();
}
