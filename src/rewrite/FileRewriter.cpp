#include "rewrite/FileRewriter.h"

#include "container/SoundFileOpen.h"
#include "rewrite/ReplacementFile.h"
#include "rewrite/RewriteMetadata.h"
#include "rewrite/SampleCopy.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <cerrno>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("FileRewriter", text);
}

// Gives the caller its handle back as it lent it: normalisation of doubles
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

// Why a copy that read less than the source reported must not replace it.
QString shortenedText(sf_count_t read, sf_count_t reported)
{
    if (reported == SF_COUNT_MAX)
        return tr("Only %1 frames could be read, and the file does not say how long it is; saving "
                  "would shorten it. Save a copy instead to keep what can be read.")
            .arg(read);
    return tr("Only %1 of %2 frames could be read; saving would shorten the file. "
              "Save a copy instead to keep what can be read.")
        .arg(read)
        .arg(reported);
}

// One run of the engine, step by step. Each step returns true to go on, or
// false once it has put into `result` why the run stopped. Members go in
// reverse order: the source handle is given back first, then the temporary
// file is closed and removed (unless renamed), then the second source closed.
class Run {
public:
    Run(const RewriteJob &job, const RewriteFaults &faults, const std::function<bool(double)> &progress,
        ReplacementFile &file)
        : m_job(job), m_faults(faults), m_progress(progress), m_file(file)
    {
    }

    bool checkJob();
    bool openSecondSource();
    bool createOutput();
    bool copy();
    bool closeAndCheck();
    bool replaceTarget();

    RewriteResult result;

private:
    bool fail(const QString &detail)
    {
        result.message = tr("Unable to write file");
        result.detail = detail;
        return false;
    }
    bool cancelled()
    {
        result.cancelled = true;
        result.message.clear();
        result.detail = tr("The copy was cancelled.");
        return false;
    }

    const RewriteJob &m_job;
    const RewriteFaults &m_faults;
    const std::function<bool(double)> &m_progress;
    ReplacementFile &m_file;
    std::vector<int> m_keep;
    int m_outputChannels = 0;
    // A second read handle on a source that cannot seek, for the read-back
    // check.
    SoundHandle m_secondSource;
    // libsndfile's handle on the new file; the file itself belongs to a
    // ReplacementFile.
    SoundHandle m_temp;
    SF_INFO m_layout{};
    std::optional<SourceGuard> m_sourceGuard;
    rewrite::CopyPlan m_plan;
    rewrite::CopyStreams m_streams;
    Lap m_lap;
};

// The job itself, before anything is touched.
bool Run::checkJob()
{
    if (!m_job.source)
        return fail(tr("There is no open file to copy from."));
    const int sourceChannels = m_job.sourceInfo.channels;
    if (sourceChannels < 1)
        return fail(tr("The open file has no channels."));
    // Reads must come in whole frames of the handle; a description that does
    // not match it would read nothing and save an empty file.
    SF_INFO handleInfo{};
    if (sf_command(m_job.source, SFC_GET_CURRENT_SF_INFO, &handleInfo, int(sizeof handleInfo)) == 0
        && handleInfo.channels != sourceChannels)
        return fail(tr("The open file has %1 channels, not %2.").arg(handleInfo.channels).arg(sourceChannels));
    if (m_job.targetPath.isEmpty())
        return fail(tr("No file name was given."));
    m_keep = m_job.channels;
    for (size_t i = 0; i < m_keep.size(); ++i) {
        if (m_keep[i] < 0 || m_keep[i] >= sourceChannels || (i > 0 && m_keep[i] <= m_keep[i - 1]))
            return fail(tr("The channel selection is not valid for a file of %1 channels.").arg(sourceChannels));
    }
    if (m_keep.size() == size_t(sourceChannels))
        m_keep.clear(); // every channel in order: whole blocks go through unchanged
    m_outputChannels = m_keep.empty() ? sourceChannels : int(m_keep.size());
    // A channel count below 1 is left to libsndfile, which names the problem.
    if (m_job.targetInfo.channels >= 1 && m_job.targetInfo.channels != m_outputChannels)
        return fail(tr("The new file is to have %1 channels, but %2 are selected.")
                        .arg(m_job.targetInfo.channels)
                        .arg(m_outputChannels));
    return true;
}

// A source that cannot seek is compared through a second handle; it is
// opened first, so a missing or replaced file fails before any writing.
bool Run::openSecondSource()
{
    if (m_job.sourceInfo.seekable != 0)
        return true;
    QString problem;
    m_secondSource = reopenSoundFile(m_job.sourcePath, m_job.sourceInfo, true, &problem);
    return m_secondSource ? true : fail(problem);
}

// The temporary file, next to the target so the rename stays on one file
// system, with the metadata in before the first sample: FLAC and Ogg take it
// only then.
bool Run::createOutput()
{
    QString error;
    if (m_file.fd() < 0 && !m_file.create(m_job.targetPath, &error, m_job.replace))
        return fail(error);
    SF_INFO outputInfo{};
    outputInfo.format = m_job.targetInfo.format;
    outputInfo.channels = m_job.targetInfo.channels;
    outputInfo.samplerate = m_job.targetInfo.samplerate;
    m_temp = SoundHandle(sf_open_fd(m_file.fd(), SFM_WRITE, &outputInfo, SF_FALSE));
    if (!m_temp)
        return fail(QString::fromLocal8Bit(sf_strerror(nullptr)));
    m_layout = outputInfo;
    if (m_job.bext)
        rewrite::writeBroadcastRecord(m_temp.get(), *m_job.bext);
    rewrite::writeStrings(m_temp.get(), m_job.strings);
    return true;
}

// The samples. A source that cannot seek stands at its start already.
bool Run::copy()
{
    const bool seekable = m_job.sourceInfo.seekable != 0;
    m_sourceGuard.emplace(m_job.source, seekable);
    m_plan = rewrite::planCopy(m_job.sourceInfo.format, m_layout.format);
    rewrite::prepareHandles(m_job.source, m_temp.get(), m_plan);
    if (seekable && sf_seek(m_job.source, 0, SEEK_SET) < 0)
        return fail(tr("The open file cannot be read from its start: %1")
                        .arg(QString::fromLocal8Bit(sf_strerror(m_job.source))));
    m_streams.source = m_job.source;
    m_streams.sourceChannels = m_job.sourceInfo.channels;
    m_streams.sourceFrames = m_job.sourceInfo.frames;
    m_streams.output = m_temp.get();
    m_streams.outputChannels = m_outputChannels;
    m_streams.keep = m_keep;
    m_streams.rereadSource = m_secondSource.get();

    m_lap.next();
    const rewrite::CopyOutcome copy = rewrite::copySamples(m_streams, m_plan, m_progress);
    result.framesWritten = copy.frames;
    result.timings.copyMs = m_lap.next();
    if (copy.status == rewrite::CopyOutcome::Cancelled)
        return cancelled();
    if (copy.status != rewrite::CopyOutcome::Done)
        return fail(copy.detail);
    if (m_job.requireAllFrames && copy.frames < m_job.sourceInfo.frames)
        return fail(shortenedText(copy.frames, m_job.sourceInfo.frames));
    return true;
}

// Closes the new file and reads it back before it may replace anything.
bool Run::closeAndCheck()
{
    const int closeError = m_temp.close();
    m_streams.output = nullptr;
    if (closeError != SF_ERR_NO_ERROR)
        return fail(QString::fromLocal8Bit(sf_error_number(closeError)));
    result.timings.closeMs = m_lap.next();

    rewrite::CheckOutcome check;
    const QString flushProblem = m_file.checkWhileFlushing([&] {
        check = rewrite::checkWrittenFile(m_streams, m_plan, m_file.readPath(), m_layout, result.framesWritten,
                                          m_progress, m_faults.corruptReadBack);
        return QString();
    });
    result.timings.verifyMs = m_lap.next();
    if (check.status == rewrite::CheckOutcome::Cancelled)
        return cancelled();
    if (check.status != rewrite::CheckOutcome::Ok)
        return fail(check.detail);
    return flushProblem.isEmpty() ? true : fail(flushProblem);
}

// Data on disk, then the name, then the folder entry.
bool Run::replaceTarget()
{
    QString error;
    bool replaced = false;
    const bool ok = m_file.commit(&error, &replaced, m_faults.fileSyncErrno, m_faults.folderSyncErrno);
    result.replaced = replaced;
    result.timings.syncMs = m_lap.next();
    if (!ok && replaced)
        return fail(tr("The new file has replaced the old one, but its folder could not be written to disk: %1").arg(error));
    return ok ? true : fail(error);
}

} // namespace

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
    ReplacementFile file;
    return run(job, file, progress);
}

RewriteResult FileRewriter::run(const RewriteJob &job, ReplacementFile &file, const std::function<bool(double)> &progress)
{
    Run run(job, m_faults, progress, file);
    run.result.ok = run.checkJob() && run.openSecondSource() && run.createOutput() && run.copy()
        && run.closeAndCheck() && run.replaceTarget();
    return run.result;
}
