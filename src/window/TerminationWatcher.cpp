#include "window/TerminationWatcher.h"

#include "document/SoundFile.h"
#include "toolkit/DocumentController.h"

#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>

#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace {

int g_pipe[2] = {-1, -1};
constexpr int kSignals[] = {SIGTERM, SIGHUP};

void onSignal(int signal)
{
    const char number = char(signal);
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &number, 1);
}

} // namespace

TerminationWatcher::TerminationWatcher(QObject *parent) : QObject(parent)
{
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationWatcher::signalled);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : kSignals)
        sigaction(signal, &action, nullptr);
}

TerminationWatcher::~TerminationWatcher()
{
    for (int signal : kSignals)
        std::signal(signal, SIG_DFL);
    delete m_notifier;
    for (int &fd : g_pipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void TerminationWatcher::signalled()
{
    char number = 0;
    while (::read(g_pipe[0], &number, 1) == 1)
        if (!m_status)
            m_status = 128 + number;
    for (SoundFile *document : DocumentController::sharedDocumentController().documents())
        if (document->isBusy())
            document->convertCancel(nullptr);
    closeWhenIdle();
}

// A save being cancelled is still on its way out; the documents close once
// none is busy.
void TerminationWatcher::closeWhenIdle()
{
    const QList<SoundFile *> documents = DocumentController::sharedDocumentController().documents();
    for (SoundFile *document : documents)
        if (document->isBusy()) {
            QTimer::singleShot(50, this, &TerminationWatcher::closeWhenIdle);
            return;
        }
    for (SoundFile *document : documents) {
        QWidget *window = DocumentController::windowFor(document);
        document->close();
        if (window)
            window->close();
    }
    emit terminated(m_status);
}
