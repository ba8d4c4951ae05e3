#include "container/SoundFileOpen.h"

#include "container/MpegStream.h"
#include "container/SoundFileProblem.h"
#include "filelogic/SaveJournal.h"

#include <QCoreApplication>
#include <QFile>
#include <QtEndian>

#include <algorithm>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("SoundFileOpen", text);
}

// libsndfile follows the size of an entry in a WAV's LIST chunk as a signed
// jump: a size of 2 GiB or more moves it backwards, and it reads the same
// bytes again for ever. No real entry is that large, so such a file is
// refused before libsndfile sees it. Only chunk headers are read.
bool listEntryJumpsBack(const QByteArray &name)
{
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    unsigned char head[12];
    bool jumps = false;
    const bool wave = ::fstat(fd, &st) == 0 && ::pread(fd, head, 12, 0) == 12 && std::memcmp(head + 8, "WAVE", 4) == 0
        && (!std::memcmp(head, "RIFF", 4) || !std::memcmp(head, "RF64", 4) || !std::memcmp(head, "BW64", 4));
    const qint64 end = st.st_size;
    qint64 at = 12;
    for (int chunk = 0; wave && !jumps && chunk < 65536 && at + 12 <= end; ++chunk) {
        if (::pread(fd, head, 12, at) != 12)
            break;
        const quint32 size = qFromLittleEndian<quint32>(head + 4);
        if (!std::memcmp(head, "LIST", 4)) {
            const qint64 listEnd = std::min<qint64>(end, at + 8 + qint64(size));
            unsigned char entry[8];
            for (qint64 sub = at + 12; !jumps && sub + 8 <= listEnd && ::pread(fd, entry, 8, sub) == 8;) {
                const quint32 entrySize = qFromLittleEndian<quint32>(entry + 4);
                jumps = entrySize >= 0x80000000u;
                sub += 8 + qint64(entrySize) + (entrySize & 1);
            }
        }
        if (size == 0xffffffffu) // "to the end of the file" (streaming writers, RF64 data)
            break;
        at += 8 + qint64(size) + (size & 1);
    }
    ::close(fd);
    return jumps;
}

// libsndfile's reason for refusing the file, after what its structure shows
// in a user's words when it shows something.
DocumentError refusal(const QByteArray &name)
{
    const QString library = QString::fromLocal8Bit(sf_strerror(nullptr));
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
    const QByteArray suffix = name.mid(name.lastIndexOf('.') + 1).toLower();
    const bool namedMpeg = suffix == "mp3" || suffix == "mp2" || suffix == "mp1";
    const QString seen = fd >= 0 ? soundFileProblem(FdByteSource(fd), namedMpeg) : QString();
    if (fd >= 0)
        ::close(fd);
    if (seen.isEmpty())
        return DocumentError{QStringLiteral("libsndfileError"), -1, library, {}};
    return DocumentError{QStringLiteral("libsndfileError"), -1, seen, tr("libsndfile: %1").arg(library)};
}

// libsndfile estimates the length of an MPEG file without a Xing or VBRI
// header from its size, tags included; its frames tell the true one.
void takeStreamLength(const QByteArray &name, SF_INFO *info)
{
    if ((info->format & SF_FORMAT_TYPEMASK) != SF_FORMAT_MPEG)
        return;
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    if (const std::optional<qint64> samples = mpegSampleFrames(FdByteSource(fd), info->samplerate, info->channels))
        info->frames = *samples;
    ::close(fd);
}

} // namespace

SoundHandle openSoundFile(const QString &path, SF_INFO *info, qint64 *fileSize, DocumentError *error)
{
    const QByteArray name = QFile::encodeName(path);
    *info = SF_INFO{};
    struct stat st {};
    if (::stat(name.constData(), &st) == 0 && !S_ISREG(st.st_mode)) {
        if (error)
            *error = DocumentError{QStringLiteral("libsndfileError"), -1, tr("This is not a regular file."), {}};
        return {};
    }
    // A save cut short is finished or undone before anything is read.
    postRecoveryNotice(recoverInterruptedSave(path).message);
    if (listEntryJumpsBack(name)) {
        if (error)
            *error = DocumentError{QStringLiteral("libsndfileError"), -1,
                                   tr("The file's LIST chunk is damaged: an entry in it claims 2 GiB or more."), {}};
        return {};
    }
    SoundHandle handle(sf_open(name.constData(), SFM_READ, info));
    if (!handle) {
        if (error)
            *error = refusal(name);
        return {};
    }
    takeStreamLength(name, info);
    if (fileSize)
        *fileSize = ::stat(name.constData(), &st) == 0 ? qint64(st.st_size) : 0;
    return handle;
}

SoundHandle reopenSoundFile(const QString &path, const SF_INFO &expected, bool checkFrames, QString *why)
{
    if (path.isEmpty()) {
        if (why)
            *why = tr("The open file cannot be read again: its name is not known.");
        return {};
    }
    SF_INFO info{};
    if ((expected.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_RAW) {
        info.format = expected.format;
        info.channels = expected.channels;
        info.samplerate = expected.samplerate;
    }
    postRecoveryNotice(recoverInterruptedSave(path).message);
    if (listEntryJumpsBack(QFile::encodeName(path))) {
        if (why)
            *why = tr("The file %1 is no longer the one that was opened.").arg(path);
        return {};
    }
    SoundHandle handle(sf_open(QFile::encodeName(path).constData(), SFM_READ, &info));
    if (!handle) {
        if (why)
            *why = tr("The open file cannot be read again: %1").arg(QString::fromLocal8Bit(sf_strerror(nullptr)));
        return {};
    }
    takeStreamLength(QFile::encodeName(path), &info);
    if (info.format != expected.format || info.channels != expected.channels
        || (checkFrames && info.frames != expected.frames)) {
        // Another program replaced the file: read nothing rather than
        // something else.
        if (why)
            *why = tr("The file %1 is no longer the one that was opened.").arg(path);
        return {};
    }
    return handle;
}
