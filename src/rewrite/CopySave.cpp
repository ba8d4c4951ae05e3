#include "rewrite/CopySave.h"

#include "container/SoundFileOpen.h"
#include "rewrite/ChunkCopy.h"
#include "rewrite/ReplacementFile.h"
#include "rewrite/TagFlac.h"

#include <QCoreApplication>
#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("CopySave", text);
}

RewriteResult failed(const QString &detail)
{
    RewriteResult r;
    r.message = tr("Unable to write file");
    r.detail = detail;
    return r;
}

struct Fd {
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// Opened as the document opens it: an MP3's length is what its frames
// say, not libsndfile's estimate from the file's size.
QString sameStream(const QString &path, const SF_INFO &want)
{
    SF_INFO info{};
    DocumentError why;
    if (!openSoundFile(path, &info, nullptr, &why))
        return tr("The new file cannot be read: %1").arg(why.oneLine());
    if (info.format != want.format || info.channels != want.channels || info.samplerate != want.samplerate
        || info.frames != want.frames)
        return tr("The new file does not have the original's format, channels, rate and length.");
    return QString();
}

// The copy holds what was meant: the source's bytes, or for a tag edit the
// source's audio with the new tags; and libsndfile reads the same stream.
QString verifyCopy(const CopySaveJob &job, int sourceFd, qint64 size, const ReplacementFile &temp, bool corrupt)
{
    QString error;
    const QString copy = temp.readPath();
    if (job.tags) {
        if (!rewrite::verifyAudioUnchanged(job.sourcePath, copy, &error)
            || !rewrite::verifyTagsWritten(job.sourcePath, copy, *job.tags, &error))
            return error;
        if (corrupt)
            return tr("The new file's audio differs from the original's.");
    } else {
        const std::optional<quint64> a = hashRange(sourceFd, 0, size, &error);
        const std::optional<quint64> b = hashRange(temp.fd(), 0, size, &error);
        struct stat st {};
        if (!a || !b || *a != (*b ^ quint64(corrupt)) || ::fstat(temp.fd(), &st) != 0 || st.st_size != size)
            return error.isEmpty() ? tr("The copy differs from the original.") : error;
    }
    return sameStream(copy, job.sourceInfo);
}

// The edited head of a FLAC source; nullopt for other formats, or when the
// source's metadata cannot be laid out anew (TagLib's path then says why).
std::optional<rewrite::FlacHeadEdit> flacHead(const CopySaveJob &job, QString *why)
{
    QFile source(job.sourcePath);
    if ((job.sourceInfo.format & SF_FORMAT_TYPEMASK) != SF_FORMAT_FLAC || !source.open(QIODevice::ReadOnly))
        return std::nullopt;
    std::optional<rewrite::FlacHeadEdit> head = rewrite::flacHeadForCopy(source, *job.tags, why);
    why->clear();
    return head;
}

} // namespace

RewriteResult saveCopy(const CopySaveJob &job, ReplacementFile &temp, const std::function<bool(double)> &progress,
                       const RewriteFaults &faults)
{
    Fd in;
    in.fd = ::open(QFile::encodeName(job.sourcePath).constData(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (in.fd < 0 || ::fstat(in.fd, &st) != 0)
        return failed(QString::fromLocal8Bit(std::strerror(errno)));
    QString error;

    RewriteResult result;
    const ChunkProgress copyProgress = [&progress](qint64 done, qint64 total) {
        return !progress || progress(total > 0 ? 80.0 * double(done) / double(total) : 80.0);
    };
    RangeCopier copier(in.fd, temp.fd(), copyProgress, st.st_size, true, true);
    // A FLAC's new head is made from the source, so the copy is written
    // once; other formats are copied, then TagLib edits the copy.
    const std::optional<rewrite::FlacHeadEdit> head = job.tags ? flacHead(job, &error) : std::nullopt;
    // Sized first: a hole the copy skips at the end still reads as zeros.
    const qint64 size = head ? head->offset + head->bytes.size() + st.st_size - head->audioStart : st.st_size;
    bool copied = copier.truncate(size);
    if (copied && head)
        copied = copier.copy(0, 0, head->offset, false) && copier.write(head->bytes, head->offset)
              && copier.copy(head->audioStart, head->offset + head->bytes.size(), st.st_size - head->audioStart, true);
    else if (copied)
        copied = copier.copy(0, 0, st.st_size, true);
    if (!copied) {
        result.cancelled = copier.cancelled;
        return copier.cancelled ? result : failed(copier.error);
    }
    if (job.tags && !head && !rewrite::writeTags(temp.readPath(), *job.tags, &error))
        return failed(error);
    if (progress && !progress(90.0)) {
        result.cancelled = true;
        return result;
    }
    const QString problem =
        temp.checkWhileFlushing([&] { return verifyCopy(job, in.fd, st.st_size, temp, faults.corruptReadBack); });
    if (!problem.isEmpty())
        return failed(problem);
    bool replaced = false;
    result.ok = temp.commit(&error, &replaced, faults.fileSyncErrno, faults.folderSyncErrno);
    result.replaced = replaced;
    if (!result.ok) {
        result.message = tr("Unable to write file");
        result.detail = error;
    }
    result.framesWritten = job.sourceInfo.frames;
    return result;
}
