// Runs the command line in this process and keeps what it printed, for the
// tests of the layers that link it (report and above).
#pragma once

#include "cli/CommandLine.h"

#include <QStringList>
#include <QTextStream>

struct CommandRun {
    int status = 0;
    QString out, err;
};

inline CommandRun runWavquill(const QStringList &args)
{
    CommandRun r;
    QTextStream out(&r.out), err(&r.err);
    r.status = runCommandLine(args, out, err);
    return r;
}
