#include "filelogic/FilePath.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

QString absolutePathAsGiven(const QString &path)
{
    if (path.startsWith(QLatin1Char('/')) || path.isEmpty())
        return path;
    return QDir::currentPath() + QLatin1Char('/') + path;
}

bool nameIsEncodable(const QByteArray &bytes)
{
    return QFile::encodeName(QFile::decodeName(bytes)) == bytes;
}

QString unencodableNameText()
{
    return QCoreApplication::translate("FilePath", "the file name is not valid in this system's encoding; rename it");
}
