// Progress and Ctrl+C for the command line's batches (--set, --import-csv,
// --convert): once a batch has run for a second, each file is announced on
// standard error as it starts (a bar when standard error is a terminal),
// and Ctrl+C lets the files being written finish and starts no other.
//
// Main thread. One BatchRun at a time: it owns the SIGINT handler while it
// lives and gives the previous one back when it ends.
#pragma once

#include <QElapsedTimer>
#include <QString>

#include <csignal>

class QTextStream;

class BatchRun
{
public:
    BatchRun(QTextStream &err, qsizetype total);
    ~BatchRun();
    BatchRun(const BatchRun &) = delete;
    BatchRun &operator=(const BatchRun &) = delete;

    // Before each file: false once Ctrl+C asked to stop (the caller stops
    // and returns status()).
    bool next(const QString &file);
    // A line for standard error ("wavquill: FILE: reason"), below the bar.
    void report(const QString &line);
    // True once Ctrl+C was pressed.
    static bool stopRequested();
    // The exit status for a batch whose files came out `status`: 130 after
    // Ctrl+C, as a shell reports an interrupted program.
    int status(int status);

private:
    void show(const QString &file);

    QTextStream &m_err;
    qsizetype m_total = 0;
    qsizetype m_done = 0;
    bool m_terminal = false;
    bool m_barShown = false;
    qint64 m_delayMs = 1000;
    QElapsedTimer m_clock;
    struct sigaction m_previous{};
};
