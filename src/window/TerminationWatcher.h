// Ends the program on SIGTERM and SIGHUP as closing every window would,
// without the questions: running saves are cancelled (each file stays
// whole, old or new, and no temporary file is left), every document
// closes, and terminated() gives the status a shell expects, 128 + the
// signal. The handler only writes the signal's number into a pipe; the
// work is done on the main thread when the event loop reads it.
//
// Main thread; one at a time.
#pragma once

#include <QObject>

class QSocketNotifier;

class TerminationWatcher : public QObject
{
    Q_OBJECT

public:
    explicit TerminationWatcher(QObject *parent = nullptr);
    ~TerminationWatcher() override;

signals:
    // Every document has closed; the program should end with `status`.
    void terminated(int status);

private:
    void signalled();
    void closeWhenIdle();

    QSocketNotifier *m_notifier = nullptr;
    int m_status = 0;
};
