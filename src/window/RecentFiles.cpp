#include "window/RecentFiles.h"

#include "filelogic/FilePath.h"

#include <QFileInfo>
#include <QSettings>

namespace {

const QString kKey = QStringLiteral("recentFiles");

void store(const QStringList &files)
{
    QSettings().setValue(kKey, files);
}

} // namespace

QStringList RecentFiles::list()
{
    QStringList files;
    for (const QString &path : QSettings().value(kKey).toStringList())
        if (QFileInfo(path).isFile() && !files.contains(path))
            files << path;
    return files.mid(0, kKept);
}

void RecentFiles::add(const QString &path)
{
    QStringList files = list();
    const QString absolute = absolutePathAsGiven(path);
    files.removeAll(absolute);
    files.prepend(absolute);
    store(files.mid(0, kKept));
}

void RecentFiles::clear()
{
    store({});
}
