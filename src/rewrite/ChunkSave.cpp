#include "rewrite/ChunkSave.h"

#include "filelogic/FileMetadata.h"
#include "filelogic/SoundHandle.h"
#include "rewrite/ChunkWriter.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QtEndian>

#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("ChunkSave", text);
}

// Offsets of the broadcast record's fixed fields in the chunk.
constexpr int kTimeReferenceAt = 338;
constexpr int kVersionAt = 346;
constexpr int kUmidAt = 348;
constexpr int kLoudnessAt = 412;
constexpr int kHistoryAt = 602;

struct Fd {
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

void putField(QByteArray &payload, int at, const char *field, int width, const char *readField)
{
    if (std::memcmp(field, readField, size_t(width)) != 0)
        std::memcpy(payload.data() + at, field, size_t(width));
}

QByteArray withCrLf(const QByteArray &text)
{
    QByteArray out;
    out.reserve(text.size() + text.size() / 32);
    for (int i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\n' && (i == 0 || text[i - 1] != '\r'))
            out += '\r';
        out += c;
    }
    return out;
}

QByteArray history(const BextRecord &b)
{
    return QByteArray(b.coding_history, int(std::min<quint32>(b.coding_history_size, sizeof b.coding_history)));
}

RewriteResult failed(const QString &detail)
{
    RewriteResult r;
    r.message = tr("Unable to write file");
    r.detail = detail;
    return r;
}

bool sameFixedFields(const BextRecord &a, const BextRecord &b)
{
    return std::memcmp(a.description, b.description, sizeof a.description) == 0
        && std::memcmp(a.originator, b.originator, sizeof a.originator) == 0
        && std::memcmp(a.originator_reference, b.originator_reference, sizeof a.originator_reference) == 0
        && std::memcmp(a.origination_date, b.origination_date, sizeof a.origination_date) == 0
        && std::memcmp(a.origination_time, b.origination_time, sizeof a.origination_time) == 0
        && a.time_reference_low == b.time_reference_low && a.time_reference_high == b.time_reference_high
        && a.version == b.version && std::memcmp(a.umid, b.umid, sizeof a.umid) == 0;
}

// The proof that the new file is what was meant: the same layout read back,
// the same audio bytes, and libsndfile reading what was written.
QString verifyWritten(const ReplacementFile &temp, const ChunkWriteResult &written, const ChunkSaveJob &job,
                      bool corrupt)
{
    QString error;
    const std::optional<ChunkList> back = readChunkList(FdByteSource(temp.fd()), &error);
    if (!back || !back->sameLayout(written.written) || back->dataIndex < 0)
        return tr("The new file's structure did not read back as written.");
    const Chunk &data = back->chunks[back->dataIndex];
    // Hashed behind the copy where the data is large; the layout read back
    // puts it where it was hashed.
    const std::optional<quint64> hash =
        written.targetDataHash ? written.targetDataHash : hashRange(temp.fd(), data.payloadOffset(), data.size, &error);
    if (!hash || !written.sourceDataHash || (*hash ^ quint64(corrupt)) != *written.sourceDataHash)
        return error.isEmpty() ? tr("The new file's audio differs from the original's.") : error;
    return chunkSaveReadBackProblem(temp.readPath(), job);
}

// Each chunk set by id holds what was set, and each removed one is gone.
QString chunksReadBackProblem(const QString &path, const QList<ChunkPayload> &chunks)
{
    if (chunks.isEmpty())
        return {};
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    QString error;
    const FdByteSource file(fd);
    const std::optional<ChunkList> back = fd < 0 ? std::nullopt : readChunkList(file, &error);
    QString problem;
    for (const ChunkPayload &chunk : chunks) {
        const int at = back ? findChunk(*back, chunk.id, chunk.listType) : -1;
        const std::optional<QByteArray> payload = at < 0 ? std::nullopt : readChunkPayload(file, back->chunks[at]);
        if (!back || (chunk.payload.isEmpty() ? at >= 0 : payload != chunk.payload)) {
            problem = tr("The new file's “%1” chunk did not read back as written.").arg(QString::fromLatin1(chunk.id));
            break;
        }
    }
    if (fd >= 0)
        ::close(fd);
    return problem;
}

} // namespace

QString chunkSaveReadBackProblem(const QString &path, const ChunkSaveJob &job)
{
    SF_INFO info{};
    const SoundHandle f(sf_open(QFile::encodeName(path).constData(), SFM_READ, &info));
    if (!f)
        return tr("The new file cannot be read: %1").arg(QString::fromLocal8Bit(sf_strerror(nullptr)));
    const SF_INFO &want = job.sourceInfo;
    QString problem;
    if (info.format != want.format || info.channels != want.channels || info.samplerate != want.samplerate
        || info.frames != want.frames)
        problem = tr("The new file does not have the original's format, channels, rate and length.");
    const FileMetadata meta = readFileMetadata(f.get());
    const StringStore store = containerFacts(want.format).strings;
    for (int i = 0; i < 6 && problem.isEmpty(); ++i) {
        const auto &edit = job.strings[size_t(i)];
        // Texts libsndfile does not read back as written are warned about
        // before the save, not checked here.
        const bool readable = store == StringStore::Info ? edit && edit->size() < kInfoUnreadBytes : (i == 0 || i == 3 || i == 4);
        if (edit && readable && meta.strings[size_t(i)].value_or(QByteArray()) != *edit)
            problem = tr("A text did not read back from the new file as it was written.");
    }
    if (problem.isEmpty() && job.bext && meta.hasBext && !sameFixedFields(meta.bext, *job.bext))
        problem = tr("The broadcast record did not read back from the new file as it was written.");
    return problem.isEmpty() ? chunksReadBackProblem(path, job.chunks) : problem;
}

ChunkEdits chunkEditsFor(const ChunkSaveJob &job, int sourceFd, const ChunkList &source)
{
    ChunkEdits edits;
    edits.strings = job.strings;
    edits.chunks = job.chunks;
    const int bextIndex = findChunk(source, "bext");
    const QByteArray original = bextIndex >= 0 ? readChunkPayload(FdByteSource(sourceFd), source.chunks[bextIndex]).value_or(QByteArray())
                                               : QByteArray();
    if (job.removeBext && bextIndex >= 0)
        edits.bext = QByteArray();
    else if (job.bext && !job.removeBext) {
        const QByteArray payload = bextPayloadWithEdits(original, *job.bext, job.bextAsRead);
        if (payload != original)
            edits.bext = payload;
    }
    return edits;
}

bool chunkSaveSupported(int format)
{
    switch (format & SF_FORMAT_TYPEMASK) {
    case SF_FORMAT_WAV:
    case SF_FORMAT_WAVEX:
    case SF_FORMAT_RF64:
    case SF_FORMAT_AIFF:
        return true;
    default:
        return false;
    }
}

QByteArray bextPayloadWithEdits(const QByteArray &original, const BextRecord &wanted, const BextRecord &read)
{
    static const BextRecord kEmpty{};
    QByteArray payload = original.isEmpty() ? QByteArray(kHistoryAt, '\0') : original;
    // A new record is written whole; an existing one only where it changed.
    const BextRecord &was = original.isEmpty() ? kEmpty : read;
    if (payload.size() < kHistoryAt)
        payload.resize(kHistoryAt, '\0');
    putField(payload, 0, wanted.description, 256, was.description);
    putField(payload, 256, wanted.originator, 32, was.originator);
    putField(payload, 288, wanted.originator_reference, 32, was.originator_reference);
    putField(payload, 320, wanted.origination_date, 10, was.origination_date);
    putField(payload, 330, wanted.origination_time, 8, was.origination_time);
    if (wanted.time_reference_low != was.time_reference_low || wanted.time_reference_high != was.time_reference_high) {
        qToLittleEndian(quint32(wanted.time_reference_low), payload.data() + kTimeReferenceAt);
        qToLittleEndian(quint32(wanted.time_reference_high), payload.data() + kTimeReferenceAt + 4);
    }
    if (wanted.version != was.version)
        qToLittleEndian(qint16(wanted.version), payload.data() + kVersionAt);
    putField(payload, kUmidAt, wanted.umid, 64, was.umid);
    const qint16 loudness[5] = {wanted.loudness_value, wanted.loudness_range, wanted.max_true_peak_level,
                                wanted.max_momentary_loudness, wanted.max_shortterm_loudness};
    const qint16 loudnessWas[5] = {was.loudness_value, was.loudness_range, was.max_true_peak_level,
                                   was.max_momentary_loudness, was.max_shortterm_loudness};
    for (int i = 0; i < 5; ++i)
        if (loudness[i] != loudnessWas[i])
            qToLittleEndian(loudness[i], payload.data() + kLoudnessAt + 2 * i);
    if (history(wanted) != history(was)) {
        payload.truncate(kHistoryAt);
        payload += withCrLf(history(wanted));
    }
    return payload;
}

RewriteResult saveChunks(const ChunkSaveJob &job, ReplacementFile &temp, const std::function<bool(double)> &progress,
                         const RewriteFaults &faults)
{
    QString error;
    Fd in;
    in.fd = ::open(QFile::encodeName(job.sourcePath).constData(), O_RDONLY | O_CLOEXEC);
    const std::optional<ChunkList> source = in.fd >= 0 ? readChunkList(FdByteSource(in.fd), &error) : std::nullopt;
    if (!source)
        return failed(in.fd < 0 ? QString::fromLocal8Bit(std::strerror(errno)) : error);

    const ChunkEdits edits = chunkEditsFor(job, in.fd, *source);
    ChunkWriteOptions options;
    options.progress = [&progress](qint64 done, qint64 total) {
        return !progress || progress(total > 0 ? 90.0 * double(done) / double(total) : 90.0);
    };
    QElapsedTimer lap;
    lap.start();
    const ChunkWriteResult written = writeChunks(in.fd, *source, edits, temp.fd(), options);
    RewriteResult result;
    result.timings.copyMs = lap.nsecsElapsed() / 1e6;
    if (written.status == ChunkWriteStatus::Cancelled) {
        result.cancelled = true;
        return result;
    }
    if (written.status == ChunkWriteStatus::Failed)
        return failed(written.error);
    if (progress && !progress(95.0)) {
        result.cancelled = true;
        return result;
    }
    lap.restart();
    const QString problem =
        temp.checkWhileFlushing([&] { return verifyWritten(temp, written, job, faults.corruptReadBack); });
    result.timings.verifyMs = lap.nsecsElapsed() / 1e6;
    lap.restart();
    if (!problem.isEmpty())
        return failed(problem);
    bool replaced = false;
    result.ok = temp.commit(&error, &replaced, faults.fileSyncErrno, faults.folderSyncErrno);
    result.replaced = replaced;
    result.timings.syncMs = lap.nsecsElapsed() / 1e6;
    if (!result.ok) {
        result.message = tr("Unable to write file");
        result.detail = error;
    }
    result.framesWritten = job.sourceInfo.frames;
    if (qEnvironmentVariableIsSet("WAVQUILL_SAVE_TIMINGS"))
        qInfo("copy %.0f ms, verify %.0f ms, sync %.0f ms", result.timings.copyMs, result.timings.verifyMs,
              result.timings.syncMs);
    return result;
}

QStringList chunksNotCarried(const QString &path, int sourceFormat)
{
    if (!chunkSaveSupported(sourceFormat))
        return {};
    QString error;
    const std::optional<ChunkList> list = readChunksOf(path, &error);
    if (!list)
        return {};
    static const QList<QByteArray> carried = {"fmt ", "fact", "data", "bext", "ds64", "JUNK", "COMM", "SSND",
                                             "NAME", "AUTH", "(c) ", "ANNO", "FVER"};
    QStringList lost;
    for (const Chunk &c : list->chunks) {
        if (c.depth > 0 || carried.contains(c.id) || (c.id == "LIST" && c.listType == "INFO"))
            continue;
        const QString name = c.id == "LIST" ? QStringLiteral("LIST/%1").arg(QString::fromLatin1(c.listType))
                                            : QString::fromLatin1(c.id).trimmed();
        if (!lost.contains(name))
            lost << name;
    }
    return lost;
}
