#include "rewrite/FileRewriter.h"

#include "filelogic/SoundFileOpen.h"
#include "rewrite/RewriteMetadata.h"
#include "rewrite/SampleCopy.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Owns the temporary file from its creation until it has been renamed over
// the target; on every other way out it closes and removes it.
struct TemporaryFile {
    QByteArray path;
    int fd = -1;
    SNDFILE *sf = nullptr;
    bool renamed = false;

    ~TemporaryFile()
    {
        if (sf)
            sf_close(sf);
        if (fd >= 0)
            ::close(fd);
        if (!renamed && !path.isEmpty())
            ::unlink(path.constData());
    }
};

// Gives the document its handle back as it lent it: normalisation of doubles
// as before, and positioned at the start when it can seek (a handle that
// cannot was lent for this one run and is not read again).
struct SourceGuard {
    SNDFILE *source;
    bool seekable;
    int normalise;

    SourceGuard(SNDFILE *s, bool canSeek)
        : source(s), seekable(canSeek), normalise(sf_command(s, SFC_GET_NORM_DOUBLE, nullptr, 0))
    {
    }
    ~SourceGuard()
    {
        sf_command(source, SFC_SET_NORM_DOUBLE, nullptr, normalise);
        if (seekable)
            sf_seek(source, 0, SEEK_SET);
    }
};

// A second read handle on a source that cannot seek, for the read-back
// check; closed on every way out.
struct SecondSource {
    SNDFILE *sf = nullptr;
    ~SecondSource()
    {
        if (sf)
            sf_close(sf);
    }
};

// Milliseconds since the last lap.
struct Lap {
    QElapsedTimer timer;
    Lap() { timer.start(); }
    double next()
    {
        const double ms = double(timer.nsecsElapsed()) / 1e6;
        timer.restart();
        return ms;
    }
};

// A symbolic link is kept: the file it points to is the one replaced.
QString resolvedTarget(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink()) {
        const QString real = info.canonicalFilePath();
        if (!real.isEmpty())
            return real;
    }
    return info.absoluteFilePath();
}

// Flushes the folder entry that the rename changed. File systems that cannot
// flush a folder answer EINVAL; there is nothing more to do on them.
int syncFolder(const QString &folder, int injectedError)
{
    if (injectedError != 0)
        return injectedError;
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int error = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return error == EINVAL ? 0 : error;
}

// Why a copy that read less than the source reported must not replace it.
QString shortenedText(sf_count_t read, sf_count_t reported)
{
    if (reported == SF_COUNT_MAX)
        return QStringLiteral("Only %1 frames could be read, and the file does not say how long it is; saving "
                              "would shorten it. Save a copy instead to keep what can be read.")
            .arg(read);
    return QStringLiteral("Only %1 of %2 frames could be read; saving would shorten the file. "
                          "Save a copy instead to keep what can be read.")
        .arg(read)
        .arg(reported);
}

} // namespace

QString temporaryPathFor(const QString &targetPath, const void *owner)
{
    const QFileInfo info(targetPath);
    const quint32 hash = quint32(qHash(targetPath));
    return info.absolutePath() + QStringLiteral("/.wavquill-") + QString::asprintf("%p-%08x", owner, hash);
}

bool isSameFile(const QString &a, const QString &b)
{
    struct stat sa;
    struct stat sb;
    if (::stat(QFile::encodeName(a).constData(), &sa) != 0 || ::stat(QFile::encodeName(b).constData(), &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

RewriteResult FileRewriter::run(const RewriteJob &job, const std::function<bool(double)> &progress)
{
    RewriteResult result;
    auto fail = [&result](const QString &detail) {
        result.ok = false;
        result.message = QStringLiteral("Unable to write file");
        result.detail = detail;
        return result;
    };
    auto cancelled = [&result]() {
        result.ok = false;
        result.cancelled = true;
        result.message.clear();
        result.detail = QStringLiteral("The copy was cancelled.");
        return result;
    };

    // The job itself.
    if (!job.source)
        return fail(QStringLiteral("There is no open file to copy from."));
    const int sourceChannels = job.sourceInfo.channels;
    if (sourceChannels < 1)
        return fail(QStringLiteral("The open file has no channels."));
    // Reads must come in whole frames of the handle; a description that does
    // not match it would read nothing and save an empty file.
    SF_INFO handleInfo{};
    if (sf_command(job.source, SFC_GET_CURRENT_SF_INFO, &handleInfo, int(sizeof handleInfo)) == 0
        && handleInfo.channels != sourceChannels)
        return fail(QStringLiteral("The open file has %1 channels, not %2.").arg(handleInfo.channels).arg(sourceChannels));
    if (job.targetPath.isEmpty())
        return fail(QStringLiteral("No file name was given."));
    std::vector<int> keep = job.channels;
    for (size_t i = 0; i < keep.size(); ++i) {
        if (keep[i] < 0 || keep[i] >= sourceChannels || (i > 0 && keep[i] <= keep[i - 1]))
            return fail(QStringLiteral("The channel selection is not valid for a file of %1 channels.").arg(sourceChannels));
    }
    if (keep.size() == size_t(sourceChannels))
        keep.clear(); // every channel in order: whole blocks go through unchanged
    const int outputChannels = keep.empty() ? sourceChannels : int(keep.size());
    // A channel count below 1 is left to libsndfile, which names the problem.
    if (job.targetInfo.channels >= 1 && job.targetInfo.channels != outputChannels)
        return fail(QStringLiteral("The new file is to have %1 channels, but %2 are selected.")
                        .arg(job.targetInfo.channels)
                        .arg(outputChannels));

    // A source that cannot seek is compared through a second handle; it is
    // opened first, so a missing or replaced file fails before any writing.
    const bool seekable = job.sourceInfo.seekable != 0;
    SecondSource secondSource;
    if (!seekable) {
        QString problem;
        secondSource.sf = reopenSoundFile(job.sourcePath, job.sourceInfo, true, &problem);
        if (!secondSource.sf)
            return fail(problem);
    }

    // The temporary file, next to the target so the rename stays on one file system.
    const QString target = resolvedTarget(job.targetPath);
    const QByteArray targetName = QFile::encodeName(target);
    TemporaryFile temp;
    const QByteArray tempName = QFile::encodeName(temporaryPathFor(target, job.owner));
    ::unlink(tempName.constData()); // left over from a run that did not finish
    temp.fd = ::open(tempName.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (temp.fd < 0)
        return fail(systemText(errno));
    temp.path = tempName;
    struct stat targetStat;
    if (::stat(targetName.constData(), &targetStat) == 0 && S_ISREG(targetStat.st_mode))
        ::fchmod(temp.fd, targetStat.st_mode & 07777); // a replaced file keeps its permissions

    SF_INFO outputInfo{};
    outputInfo.format = job.targetInfo.format;
    outputInfo.channels = job.targetInfo.channels;
    outputInfo.samplerate = job.targetInfo.samplerate;
    temp.sf = sf_open_fd(temp.fd, SFM_WRITE, &outputInfo, SF_FALSE);
    if (!temp.sf)
        return fail(QString::fromLocal8Bit(sf_strerror(nullptr)));
    const SF_INFO layout = outputInfo;

    // Metadata goes in before the first sample: FLAC and Ogg take it only then.
    if (job.bext)
        rewrite::writeBroadcastRecord(temp.sf, *job.bext);
    rewrite::writeStrings(temp.sf, job.strings);

    // Samples. A source that cannot seek stands at its start already.
    SourceGuard sourceGuard(job.source, seekable);
    const rewrite::CopyPlan plan = rewrite::planCopy(job.sourceInfo.format, layout.format);
    rewrite::prepareHandles(job.source, temp.sf, plan);
    if (seekable && sf_seek(job.source, 0, SEEK_SET) < 0)
        return fail(QStringLiteral("The open file cannot be read from its start: %1")
                        .arg(QString::fromLocal8Bit(sf_strerror(job.source))));
    rewrite::CopyStreams streams;
    streams.source = job.source;
    streams.sourceChannels = sourceChannels;
    streams.sourceFrames = job.sourceInfo.frames;
    streams.output = temp.sf;
    streams.outputChannels = outputChannels;
    streams.keep = keep;
    streams.rereadSource = secondSource.sf;

    Lap lap;
    const rewrite::CopyOutcome copy = rewrite::copySamples(streams, plan, progress);
    result.framesWritten = copy.frames;
    result.timings.copyMs = lap.next();
    if (copy.status == rewrite::CopyOutcome::Cancelled)
        return cancelled();
    if (copy.status != rewrite::CopyOutcome::Done)
        return fail(copy.detail);
    if (job.requireAllFrames && copy.frames < job.sourceInfo.frames)
        return fail(shortenedText(copy.frames, job.sourceInfo.frames));

    const int closeError = sf_close(temp.sf);
    temp.sf = nullptr;
    streams.output = nullptr;
    if (closeError != SF_ERR_NO_ERROR)
        return fail(QString::fromLocal8Bit(sf_error_number(closeError)));
    // Start writing the data out now, so the disk works while the file is
    // read back; the fsync below then has little left to wait for.
    ::sync_file_range(temp.fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    result.timings.closeMs = lap.next();

    // Read the new file back before it may replace anything.
    const rewrite::CheckOutcome check = rewrite::checkWrittenFile(streams, plan, QFile::decodeName(tempName), layout,
                                                                  copy.frames, progress, m_faults.corruptReadBack);
    result.timings.verifyMs = lap.next();
    if (check.status == rewrite::CheckOutcome::Cancelled)
        return cancelled();
    if (check.status != rewrite::CheckOutcome::Ok)
        return fail(check.detail);

    // Data on disk, then the name.
    const int syncError = m_faults.fileSyncErrno != 0 ? m_faults.fileSyncErrno : (::fsync(temp.fd) == 0 ? 0 : errno);
    if (syncError != 0)
        return fail(QStringLiteral("The new file could not be written to disk: %1").arg(systemText(syncError)));
    const int fd = temp.fd;
    temp.fd = -1;
    if (::close(fd) != 0)
        return fail(QStringLiteral("The new file could not be written to disk: %1").arg(systemText(errno)));
    if (::rename(tempName.constData(), targetName.constData()) != 0)
        return fail(QStringLiteral("The new file could not take the place of %1: %2").arg(target, systemText(errno)));
    temp.renamed = true;
    result.replaced = true;
    const int folderError = syncFolder(QFileInfo(target).absolutePath(), m_faults.folderSyncErrno);
    result.timings.syncMs = lap.next();
    if (folderError != 0)
        return fail(QStringLiteral("The new file has replaced the old one, but its folder could not be written to disk: %1")
                        .arg(systemText(folderError)));

    result.ok = true;
    return result;
}
