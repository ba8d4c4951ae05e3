// What every benchmark needs: its command-line options and the median of
// its runs.
#pragma once

#include <QDir>
#include <QStringList>

#include <algorithm>
#include <vector>

namespace bench {

// The word after `name` on the command line; fallback when it is not given.
inline QString option(const QStringList &args, const char *name, const QString &fallback = {})
{
    const qsizetype at = args.indexOf(QLatin1String(name));
    return at > 0 && at + 1 < args.size() ? args[at + 1] : fallback;
}

inline int intOption(const QStringList &args, const char *name, int fallback)
{
    const QString text = option(args, name);
    return text.isEmpty() ? fallback : text.toInt();
}

// The template of the benchmark's scratch folder: inside --dir when given,
// else in the system's temporary folder.
inline QString tempDirTemplate(const QStringList &args, const char *name)
{
    return option(args, "--dir", QDir::tempPath()) + u'/' + QLatin1String(name) + QStringLiteral("-XXXXXX");
}

inline double median(std::vector<double> times)
{
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

} // namespace bench
