#include "filelogic/SoundFileOpen.h"

#include <QCoreApplication>
#include <QFile>

#include <sys/stat.h>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("SoundFileOpen", text);
}

} // namespace

SNDFILE *openSoundFile(const QString &path, SF_INFO *info, qint64 *fileSize, DocumentError *error)
{
    const QByteArray name = QFile::encodeName(path);
    *info = SF_INFO{};
    struct stat st {};
    if (::stat(name.constData(), &st) == 0 && !S_ISREG(st.st_mode)) {
        if (error)
            *error = DocumentError{QStringLiteral("libsndfileError"), -1, tr("This is not a regular file."), {}};
        return nullptr;
    }
    SNDFILE *handle = sf_open(name.constData(), SFM_READ, info);
    if (!handle) {
        if (error)
            *error = DocumentError{QStringLiteral("libsndfileError"), -1, QString::fromLocal8Bit(sf_strerror(nullptr)), {}};
        return nullptr;
    }
    if (fileSize)
        *fileSize = ::stat(name.constData(), &st) == 0 ? qint64(st.st_size) : 0;
    return handle;
}

SNDFILE *reopenSoundFile(const QString &path, const SF_INFO &expected, bool checkFrames, QString *why)
{
    if (path.isEmpty()) {
        if (why)
            *why = tr("The open file cannot be read again: its name is not known.");
        return nullptr;
    }
    SF_INFO info{};
    if ((expected.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_RAW) {
        info.format = expected.format;
        info.channels = expected.channels;
        info.samplerate = expected.samplerate;
    }
    SNDFILE *handle = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!handle) {
        if (why)
            *why = tr("The open file cannot be read again: %1").arg(QString::fromLocal8Bit(sf_strerror(nullptr)));
        return nullptr;
    }
    if (info.format != expected.format || info.channels != expected.channels
        || (checkFrames && info.frames != expected.frames)) {
        // Another program replaced the file: read nothing rather than
        // something else.
        sf_close(handle);
        if (why)
            *why = tr("The file %1 is no longer the one that was opened.").arg(path);
        return nullptr;
    }
    return handle;
}
