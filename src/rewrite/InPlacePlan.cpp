#include "rewrite/InPlacePlan.h"

#include "container/TagFormats.h"
#include "rewrite/ChunkSave.h"
#include "rewrite/ChunkWriter.h"
#include "rewrite/TagFlac.h"

#include <QCoreApplication>
#include <QFile>

#include <cerrno>

#include <unistd.h>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("InPlacePlan", text);
}

// The bytes from offset, fewer where the file ends first.
QByteArray readUpTo(int fd, qint64 offset, qint64 length)
{
    QByteArray bytes(length, Qt::Uninitialized);
    qint64 done = 0;
    while (done < length) {
        const ssize_t n = ::pread(fd, bytes.data() + done, size_t(length - done), offset + done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    bytes.truncate(done);
    return bytes;
}

// Adds the runs where bytes differ from what the file holds at offset (or
// lie past its end). Runs a few bytes apart are written as one.
void addDifferences(int fd, qint64 offset, const QByteArray &bytes, InPlacePlan *plan)
{
    constexpr qint64 kJoin = 32;
    const QByteArray old = readUpTo(fd, offset, bytes.size());
    const auto same = [&](qint64 i) { return i < old.size() && bytes[i] == old[i]; };
    for (qint64 i = 0; i < bytes.size();) {
        if (same(i)) {
            ++i;
            continue;
        }
        qint64 end = i + 1;
        for (qint64 j = end; j < bytes.size() && j - end < kJoin; ++j)
            if (!same(j))
                end = j + 1;
        plan->writes << InPlaceWrite{offset + i, bytes.mid(i, end - i)};
        i = end;
    }
}

std::optional<InPlacePlan> planChunkFile(const ChunkSaveJob &job, int fd, QString *why)
{
    const std::optional<ChunkList> source = readChunkList(FdByteSource(fd), why);
    if (!source)
        return std::nullopt;
    ChunkWriteOptions options;
    options.keepAudioInPlace = true;
    options.hashSourceData = false;
    const std::optional<ChunkPlan> chunks = planChunks(fd, *source, chunkEditsFor(job, fd, *source), options, why);
    if (!chunks)
        return std::nullopt;
    InPlacePlan plan;
    plan.oldSize = source->fileSize;
    plan.newSize = chunks->layout.fileSize;
    plan.layout = chunks->layout;
    qint64 at = 0, moved = 0;
    for (const ChunkPiece &piece : chunks->pieces) {
        if (piece.audio) {
            plan.audioStart = at;
            plan.audioEnd = at + piece.length;
            if (piece.source != at) {
                *why = tr("the audio would move");
                return std::nullopt;
            }
        } else if (piece.source != at && piece.length > 0) {
            // Made bytes, or chunks that move: compared with what is there.
            moved += piece.length;
            if (moved > kMostBytesInPlace) {
                *why = tr("too much would be written");
                return std::nullopt;
            }
            addDifferences(fd, at, piece.source < 0 ? piece.bytes : readUpTo(fd, piece.source, piece.length), &plan);
        }
        at += piece.length;
    }
    return plan;
}

std::optional<InPlacePlan> planFlac(const rewrite::TagEdits &edits, int fd, qint64 size, QString *why)
{
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle)) {
        *why = file.errorString();
        return std::nullopt;
    }
    const std::optional<rewrite::FlacHeadEdit> edit = rewrite::flacCommentInPlace(file, edits, why);
    if (!edit)
        return std::nullopt;
    InPlacePlan plan{{}, size, size, edit->audioStart, size, std::nullopt};
    addDifferences(fd, edit->offset, edit->bytes, &plan);
    return plan;
}

std::optional<InPlacePlan> planMpeg(const rewrite::TagEdits &edits, int fd, qint64 size, QString *why)
{
    const QString path = QStringLiteral("/proc/self/fd/%1").arg(fd);
    const std::optional<rewrite::MpegTagBytes> tags = rewrite::renderMpegTags(path, edits, why);
    if (!tags)
        return std::nullopt;
    InPlacePlan plan{{}, size, size, 0, size, std::nullopt};
    if (tags->id3v2) {
        plan.audioStart = tags->id3v2->size();
        addDifferences(fd, 0, *tags->id3v2, &plan);
    }
    if (tags->id3v1) {
        plan.audioEnd = size - tags->id3v1->size();
        addDifferences(fd, plan.audioEnd, *tags->id3v1, &plan);
    }
    return plan;
}

} // namespace

qint64 InPlacePlan::bytesWritten() const
{
    qint64 n = 0;
    for (const InPlaceWrite &write : writes)
        n += write.bytes.size();
    return n;
}

std::optional<InPlacePlan> planInPlace(const SaveEngine &engine, int fd, QString *why)
{
    const qint64 size = FdByteSource(fd).size();
    std::optional<InPlacePlan> plan;
    if (engine.chunks) {
        plan = planChunkFile(*engine.chunks, fd, why);
    } else if (engine.copy && !engine.copy->tags) {
        plan = InPlacePlan{{}, size, size, 0, size, std::nullopt};
    } else if (engine.copy) {
        switch (tags::kindOfFormat(engine.copy->sourceInfo.format)) {
        case tags::Kind::Flac:
            plan = planFlac(*engine.copy->tags, fd, size, why);
            break;
        case tags::Kind::Mpeg:
            plan = planMpeg(*engine.copy->tags, fd, size, why);
            break;
        default:
            *why = tr("Ogg files are written anew");
            break;
        }
    }
    if (!plan)
        return std::nullopt;
    // Never a byte of the audio, and never more than a journal holds.
    for (const InPlaceWrite &write : plan->writes) {
        if (write.offset < plan->audioEnd && write.offset + write.bytes.size() > plan->audioStart) {
            *why = tr("the audio would be written");
            return std::nullopt;
        }
    }
    if (plan->bytesWritten() + std::max<qint64>(0, plan->oldSize - plan->newSize) > kMostBytesInPlace) {
        *why = tr("too much would be written");
        return std::nullopt;
    }
    return plan;
}
