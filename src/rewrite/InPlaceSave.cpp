#include "rewrite/InPlaceSave.h"

#include "container/MpegStream.h"
#include "container/TagFormats.h"
#include "filelogic/FileBytes.h"
#include "filelogic/SaveJournal.h"
#include "rewrite/ChunkSave.h"
#include "rewrite/InPlacePlan.h"
#include "rewrite/SaveTarget.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("InPlaceSave", text);
}

QString systemText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

RewriteResult failed(const QString &detail)
{
    RewriteResult r;
    r.message = tr("Unable to write file");
    r.detail = detail;
    return r;
}

QString pathOf(int fd)
{
    return QStringLiteral("/proc/self/fd/%1").arg(fd);
}

bool holds(int fd, qint64 offset, const QByteArray &bytes)
{
    QByteArray now(bytes.size(), Qt::Uninitialized);
    return FdByteSource(fd).read(offset, now.data(), now.size()) && now == bytes;
}

// The edited strings as the new file gives them back: libsndfile's for
// FLAC (what the window shows), the tag reader's for MP3.
QString stringsProblem(const QString &path, int format, const rewrite::TagEdits &edits, SNDFILE *sndfile)
{
    rewrite::TagEdits back;
    if (tags::kindOfFormat(format) == tags::Kind::Mpeg)
        back = readTags(path);
    for (int i = 0; i < 6 && tags::kindOfFormat(format) != tags::Kind::Mpeg; ++i)
        if (const char *text = sf_get_string(sndfile, SF_STR_TITLE + i); text && *text)
            back[size_t(i)] = QByteArray(text);
    for (size_t i = 0; i < edits.size(); ++i)
        if (edits[i] && back[i] != (edits[i]->isEmpty() ? std::nullopt : edits[i]))
            return tr("A text did not read back from the file as it was written.");
    return QString();
}

// The tag structure read again, and libsndfile's view of the stream.
QString tagsProblem(int fd, const CopySaveJob &job, const InPlacePlan &plan)
{
    QFile file;
    QString error;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
        return file.errorString();
    const tags::Kind kind = tags::kindOfFormat(job.sourceInfo.format);
    if (kind == tags::Kind::Flac) {
        const std::optional<tags::FlacLayout> layout = tags::readFlacLayout(file, &error);
        if (!layout || layout->audioStart != plan.audioStart)
            return tr("The file's structure did not read back as planned.");
    } else if (kind == tags::Kind::Mpeg && id3v2TagsEnd(FdByteSource(fd)) != plan.audioStart) {
        // The MPEG frames between the tags are not read: no write reaches
        // them (planInPlace refuses one that would), so they are the old ones.
        return tr("The file's structure did not read back as planned.");
    }
    SF_INFO info{};
    SNDFILE *sndfile = sf_open(QFile::encodeName(pathOf(fd)).constData(), SFM_READ, &info);
    if (!sndfile)
        return tr("The file cannot be read: %1").arg(QString::fromLocal8Bit(sf_strerror(nullptr)));
    const SF_INFO &want = job.sourceInfo;
    QString problem;
    // libsndfile estimates an MP3's length from the file's size; the frames
    // it would count from are not written.
    if (info.format != want.format || info.channels != want.channels || info.samplerate != want.samplerate
        || (kind != tags::Kind::Mpeg && info.frames != want.frames))
        problem = tr("The file no longer has its format, channels, rate and length.");
    else if (job.tags)
        problem = stringsProblem(pathOf(fd), want.format, *job.tags, sndfile);
    sf_close(sndfile);
    return problem;
}

// One save in place: the journal, the writes, the checks, the flushes.
class JournaledSave {
public:
    JournaledSave(SaveTarget &target, const InPlacePlan &plan, const SaveEngine &engine, const ReplaceOptions &options,
                  const RewriteFaults &faults)
        : m_target(target), m_plan(plan), m_engine(engine), m_options(options), m_faults(faults), m_fd(target.fd())
    {
    }
    ~JournaledSave()
    {
        if (m_journalFd >= 0)
            ::close(m_journalFd);
    }
    std::optional<RewriteResult> run();

private:
    enum class Step { Go, Stop, Failed };
    enum class Journal { Made, Busy, Unavailable };
    Step step(bool ok);
    Step write(int fd, const char *bytes, qint64 length, qint64 offset);
    Step flushFolder();
    void makeJournal();
    Journal openJournal();
    Step writeJournal();
    QString verify() const;
    RewriteResult rollBack(const QString &problem);
    void removeJournal();

    SaveTarget &m_target;
    const InPlacePlan &m_plan;
    const SaveEngine &m_engine;
    const ReplaceOptions &m_options;
    const RewriteFaults &m_faults;
    const int m_fd;
    SaveJournal m_journal;
    QByteArray m_journalBytes;
    QByteArray m_journalName;
    int m_journalFd = -1;
    int m_steps = 0;
    int m_error = 0;
};

// Counts the writes and flushes for the test hook that stops a save there.
JournaledSave::Step JournaledSave::step(bool ok)
{
    if (!ok) {
        m_error = errno;
        return Step::Failed;
    }
    return m_faults.stopAfterStep > 0 && ++m_steps == m_faults.stopAfterStep ? Step::Stop : Step::Go;
}

JournaledSave::Step JournaledSave::write(int fd, const char *bytes, qint64 length, qint64 offset)
{
    const bool torn = m_faults.tearLastStep && m_steps + 1 == m_faults.stopAfterStep;
    return step(pwriteAll(fd, bytes, torn ? length / 2 : length, offset));
}

void JournaledSave::makeJournal()
{
    const FileIdentity &id = m_target.identity();
    m_journal = SaveJournal{quint64(id.device), quint64(id.inode), fileBirthOf(m_fd), m_plan.oldSize, m_plan.newSize, {}};
    const auto oldBytes = [this](qint64 offset, qint64 length) {
        QByteArray bytes(std::max<qint64>(0, std::min(length, m_plan.oldSize - offset)), Qt::Uninitialized);
        FdByteSource(m_fd).read(offset, bytes.data(), bytes.size());
        return bytes;
    };
    for (const InPlaceWrite &w : m_plan.writes)
        m_journal.ranges << JournalRange{w.offset, oldBytes(w.offset, w.bytes.size()), w.bytes.size(), SaveJournal::hashOf(w.bytes)};
    // What a cut takes away comes back on an undo.
    if (m_plan.newSize < m_plan.oldSize)
        m_journal.ranges << JournalRange{m_plan.newSize, oldBytes(m_plan.newSize, m_plan.oldSize - m_plan.newSize), 0,
                                         SaveJournal::hashOf({})};
    m_journalBytes = m_journal.encode();
}

// File systems that cannot flush a folder answer EINVAL.
JournaledSave::Step JournaledSave::flushFolder()
{
    return step(::fsync(m_target.folderFd()) == 0 || errno == EINVAL);
}

// The journal made and locked before a byte of it is written, so that a
// recovery never takes it for one left behind; and still the one the
// folder names once locked (a recovery may have removed it meanwhile).
JournaledSave::Journal JournaledSave::openJournal()
{
    m_journalName = journalNameFor(m_target.name());
    m_journalFd = ::openat(m_target.folderFd(), m_journalName.constData(),
                           O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (m_journalFd < 0)
        return errno == EEXIST ? Journal::Busy : Journal::Unavailable;
    struct stat held {}, named {};
    const bool ours = ::flock(m_journalFd, LOCK_EX) == 0 && ::fstat(m_journalFd, &held) == 0
        && ::fstatat(m_target.folderFd(), m_journalName.constData(), &named, AT_SYMLINK_NOFOLLOW) == 0
        && held.st_ino == named.st_ino && held.st_dev == named.st_dev;
    return ours ? Journal::Made : Journal::Unavailable;
}

JournaledSave::Step JournaledSave::writeJournal()
{
    const QByteArray &bytes = m_journalBytes;
    constexpr qint64 kBlock = 64 * 1024;
    for (qint64 at = 0; at < bytes.size(); at += kBlock)
        if (const Step s = write(m_journalFd, bytes.constData() + at, std::min(kBlock, bytes.size() - at), at); s != Step::Go)
            return s;
    if (const Step s = step(::fsync(m_journalFd) == 0); s != Step::Go)
        return s;
    return flushFolder();
}

void JournaledSave::removeJournal()
{
    ::unlinkat(m_target.folderFd(), m_journalName.constData(), 0);
    ::fsync(m_target.folderFd());
}

// What was meant, read back: the written ranges, the structure, and
// libsndfile's view of the stream. The audio is not read.
QString JournaledSave::verify() const
{
    struct stat st {};
    bool same = ::fstat(m_fd, &st) == 0 && st.st_size == m_plan.newSize && !m_faults.corruptReadBack;
    for (const InPlaceWrite &w : m_plan.writes)
        same = same && holds(m_fd, w.offset, w.bytes);
    if (!same)
        return tr("The file did not read back as it was written.");
    if (!m_engine.chunks)
        return tagsProblem(m_fd, *m_engine.copy, m_plan);
    QString error;
    const std::optional<ChunkList> back = readChunkList(FdByteSource(m_fd), &error);
    if (!back || !back->sameLayout(*m_plan.layout))
        return tr("The file's structure did not read back as planned.");
    return chunkSaveReadBackProblem(pathOf(m_fd), *m_engine.chunks);
}

RewriteResult JournaledSave::rollBack(const QString &problem)
{
    QString error;
    if (restoreFromJournal(m_fd, m_journal, &error)) {
        removeJournal();
        return failed(problem + QLatin1Char(' ') + tr("The file was left as it was."));
    }
    // The journal stays: the next open of the file finishes the undo, so
    // the caller opens it again.
    RewriteResult result = failed(problem + QLatin1Char(' ')
                                  + tr("The file could not be put back yet (%1); it will be when it is opened again.").arg(error));
    result.replaced = true;
    return result;
}

std::optional<RewriteResult> JournaledSave::run()
{
    const RewriteResult stopped = failed(QStringLiteral("stopped for a test"));
    makeJournal();
    if (m_journalBytes.size() > kMaxJournalBytes)
        return std::nullopt;
    switch (openJournal()) {
    case Journal::Made:
        break;
    case Journal::Busy:
        return failed(tr("An earlier save of “%1” was interrupted; open the file again so that it is finished or "
                         "undone first. Nothing was written.")
                          .arg(QFile::decodeName(m_target.name())));
    case Journal::Unavailable:
        return std::nullopt;
    }
    QElapsedTimer lap;
    lap.start();
    if (const Step s = writeJournal(); s != Step::Go) {
        if (s == Step::Stop)
            return stopped;
        removeJournal();
        return std::nullopt; // no room even for the journal: the new file's save says what is missing
    }
    QString why;
    // As the caller read the file, or else as this save found it.
    if (!m_target.unchangedSince(m_options.expected.isValid() ? m_options.expected : m_target.identity(), &why)) {
        removeJournal();
        return failed(why);
    }
    if (m_options.stopRequested && m_options.stopRequested()) {
        removeJournal();
        RewriteResult cancelled;
        cancelled.cancelled = true;
        return cancelled;
    }
    for (const InPlaceWrite &w : m_plan.writes)
        if (const Step s = write(m_fd, w.bytes.constData(), w.bytes.size(), w.offset); s != Step::Go)
            return s == Step::Stop ? stopped : rollBack(tr("The file could not be written: %1.").arg(systemText(m_error)));
    struct stat st {};
    if (::fstat(m_fd, &st) == 0 && st.st_size != m_plan.newSize)
        if (const Step s = step(::ftruncate(m_fd, m_plan.newSize) == 0); s != Step::Go)
            return s == Step::Stop ? stopped : rollBack(tr("The file could not be cut: %1.").arg(systemText(m_error)));
    RewriteResult result;
    result.timings.copyMs = lap.nsecsElapsed() / 1e6;
    lap.restart();
    if (const QString problem = verify(); !problem.isEmpty())
        return rollBack(problem);
    result.timings.verifyMs = lap.nsecsElapsed() / 1e6;
    lap.restart();
    if (m_options.keepModified) {
        const timespec times[2] = {{0, UTIME_OMIT}, m_target.status().st_mtim};
        ::futimens(m_fd, times);
    }
    const int syncError = m_faults.fileSyncErrno;
    // A kept modification time is metadata: only fsync writes it.
    const auto flush = m_options.keepModified ? ::fsync : ::fdatasync;
    if (const Step s = step(syncError == 0 && flush(m_fd) == 0); s != Step::Go)
        return s == Step::Stop ? stopped
                               : rollBack(tr("The file could not be flushed to disk: %1.").arg(systemText(syncError ? syncError : m_error)));
    // Once the journal is gone the save is done; should its removal not
    // reach the disk, the next open finds every range new and completes.
    const Step removed = step(::unlinkat(m_target.folderFd(), m_journalName.constData(), 0) == 0);
    if (removed == Step::Stop || (removed == Step::Go && flushFolder() == Step::Stop))
        return stopped;
    result.timings.syncMs = lap.nsecsElapsed() / 1e6;
    result.ok = result.replaced = true;
    return result;
}

} // namespace

std::optional<RewriteResult> saveInPlace(const SaveEngine &engine, const ReplaceOptions &options,
                                         const std::function<bool(double)> &progress, const RewriteFaults &faults)
{
    if (!engine.inPlace || (!engine.chunks && !engine.copy))
        return std::nullopt;
    const SF_INFO &info = engine.chunks ? engine.chunks->sourceInfo : engine.copy->sourceInfo;
    SaveTarget target;
    QString why;
    if (!target.open(engine.chunks ? engine.chunks->targetPath : engine.copy->targetPath, SaveTarget::Access::ReadWrite,
                     &why))
        return std::nullopt;
    if (!target.lock(&why))
        return failed(why);
    const std::optional<InPlacePlan> plan = planInPlace(engine, target.fd(), &why);
    if (!plan)
        return std::nullopt;
    RewriteResult result;
    if (progress && !progress(0)) {
        result.cancelled = true;
        return result;
    }
    if (!plan->writes.isEmpty() || plan->newSize != plan->oldSize) {
        std::optional<RewriteResult> done = JournaledSave(target, *plan, engine, options, faults).run();
        if (!done)
            return std::nullopt;
        result = *done;
    } else {
        result.ok = true; // nothing changes
    }
    result.framesWritten = info.frames;
    if (qEnvironmentVariableIsSet("WAVQUILL_SAVE_TIMINGS"))
        qInfo("in place: write %.1f ms, verify %.1f ms, sync %.1f ms", result.timings.copyMs, result.timings.verifyMs,
              result.timings.syncMs);
    return result;
}

bool savesInPlace(const SaveEngine &engine)
{
    if (!engine.inPlace || (!engine.chunks && !engine.copy))
        return false;
    const QString path = engine.chunks ? engine.chunks->targetPath : engine.copy->targetPath;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    QString why;
    const bool fits = fd >= 0 && planInPlace(engine, fd, &why).has_value();
    if (fd >= 0)
        ::close(fd);
    return fits;
}
