// Progress and Ctrl+C for the command line's batches (--set, --import-csv,
// --convert, and the reading ones, --check and --export-csv): once a batch has run for a second, each file is announced on
// standard error as it starts (a bar of the files finished when standard
// error is a terminal). After Ctrl+C, SIGTERM or SIGHUP no file starts,
// and the saves in flight stop unless they are already replacing their
// file: each file is either written whole or left as it was, and no
// temporary file stays behind.
//
// Main thread. One BatchRun at a time: it owns the SIGINT, SIGTERM and
// SIGHUP handlers while it lives and gives the previous ones back when it
// ends.
#pragma once

#include <QElapsedTimer>
#include <QString>

#include <csignal>

class QTextStream;

class BatchRun
{
public:
    // `left` ends the closing line after Ctrl+C: "interrupted; 3 of 10
    // files <left>".
    BatchRun(QTextStream &err, qsizetype total, const QString &left = QStringLiteral("left as they were"));
    ~BatchRun();
    BatchRun(const BatchRun &) = delete;
    BatchRun &operator=(const BatchRun &) = delete;

    // Before each file: false once Ctrl+C asked to stop (the caller stops
    // and returns status()).
    bool next(const QString &file);
    // After each file that next() let start, whatever became of it.
    void finished();
    // A line for standard error ("wavquill: FILE: reason"), below the bar.
    void report(const QString &line);
    // Takes the bar off its line, before a line on standard output.
    void clearBar();
    // True once Ctrl+C was pressed or SIGTERM or SIGHUP came. Any thread.
    static bool stopRequested();
    // The exit status for a batch whose files came out `status`, of which
    // `stopped` were started but stopped by a signal: 128 + the signal
    // (130 for Ctrl+C, 143 for SIGTERM, 129 for SIGHUP) when it left files
    // as they were, as a shell reports a program the signal ended.
    int status(int status, qsizetype stopped = 0);

private:
    void showBar();

    QTextStream &m_err;
    QString m_left;
    qsizetype m_total = 0;
    qsizetype m_started = 0;
    qsizetype m_finished = 0;
    bool m_terminal = false;
    bool m_barShown = false;
    qint64 m_delayMs = 1000;
    qsizetype m_interruptBefore = 0;
    QElapsedTimer m_clock;
    struct sigaction m_previous[3]{};
};
