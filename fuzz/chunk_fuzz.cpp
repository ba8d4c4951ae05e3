// libFuzzer target for the chunk engine. Bytes that parse are saved with a
// few edits (new title, artist removed, new bext); the new file must read
// back as the writer said, every chunk but the edited ones must keep its
// bytes and order, the edits must be there, and saving the result again with
// the same edits must change nothing. Where the edits fit into the file
// itself, made there they must give the same chunks, padding aside, with the
// audio where it was. Any mismatch aborts.
// No libsndfile and no event loop, so it runs thousands of inputs a second.
#include "container/MarkerReader.h"
#include "rewrite/ChunkWriter.h"

#include <QtEndian>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace {

const QByteArray title = "Fuzzed title";
const QByteArray bextPayload = QByteArray(602, 'b') + "A=PCM,F=8000\r\n";

void check(bool ok)
{
    if (!ok)
        std::abort();
}

int scratchFile(const char *name)
{
    const int fd = ::memfd_create(name, 0);
    check(fd >= 0);
    return fd;
}

QByteArray contents(int fd, qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    check(FdByteSource(fd).size() == size && FdByteSource(fd).read(0, bytes.data(), size));
    return bytes;
}

bool isEdited(const ChunkList &list, const Chunk &c, const QByteArray &parentType)
{
    if (c.id == "ds64" || c.depth == 0 && c.id == "LIST" && c.listType == "INFO")
        return true;
    if (list.isAiff())
        return c.depth == 0 && (c.id == "NAME" || c.id == "AUTH");
    if (c.depth == 1)
        return parentType == "INFO" && (c.id == "INAM" || c.id == "IART");
    return c.id == "bext";
}

// The bytes of every chunk the edits leave alone (LISTs: header and type;
// children without their pad, which a rebuilt list may add; the data chunk:
// payload only, its header may be made new), and the edited chunks' ids with
// their payloads.
void split(const QByteArray &file, const ChunkList &list, QByteArrayList *kept, QByteArrayList *edited)
{
    QByteArray parentType;
    for (int i = 0; i < list.chunks.size(); ++i) {
        const Chunk &c = list.chunks.at(i);
        if (c.depth == 0)
            parentType = c.listType;
        if (isEdited(list, c, parentType)) {
            if (c.listType.isEmpty() && c.id != "ds64")
                *edited << c.id + file.mid(c.payloadOffset(), c.size);
        } else if (i == list.dataIndex) {
            *kept << file.mid(c.payloadOffset(), c.size);
        } else {
            *kept << file.mid(c.offset, !c.listType.isEmpty() ? 12 : c.depth ? 8 + c.size : c.totalSize());
        }
    }
    *kept << file.mid(list.formEnd);
}

ChunkEdits fuzzEdits()
{
    ChunkEdits edits;
    edits.strings[0] = title;
    edits.strings[3] = QByteArray();
    edits.bext = bextPayload;
    return edits;
}

ChunkWriteResult save(int in, const ChunkList &list, int out)
{
    return writeChunks(in, list, fuzzEdits(), out);
}

// Every top-level chunk but padding, sorted, and what follows the chunks.
QByteArrayList withoutPadding(const QByteArray &file, const ChunkList &list)
{
    QByteArrayList out;
    for (const Chunk &c : list.chunks)
        if (c.depth == 0 && !isPaddingChunk(c))
            out << file.mid(c.offset, c.totalSize());
    // RF64's ds64 holds the form's size, which padding changes: the size
    // is checked against the file instead.
    for (QByteArray &chunk : out)
        if (chunk.startsWith("ds64") && chunk.size() >= 16) {
            check(qFromLittleEndian<quint64>(chunk.constData() + 8) == quint64(list.formEnd - 8));
            chunk.replace(8, 8, QByteArray(8, '\0'));
        }
    std::sort(out.begin(), out.end());
    return out << file.mid(list.formEnd);
}

// The same edits planned for the file itself, when they fit, and made in a
// copy of it: the audio keeps its offset, and the chunks are those the new
// file's save wrote, padding aside.
void checkInPlace(int in, const QByteArray &input, const ChunkList &list, const QByteArray &written, const ChunkList &back)
{
    ChunkWriteOptions options;
    options.keepAudioInPlace = true;
    options.hashSourceData = false;
    QString error;
    const std::optional<ChunkPlan> plan = planChunks(in, list, fuzzEdits(), options, &error);
    if (!plan)
        return;
    QByteArray file = input;
    qint64 at = 0;
    for (const ChunkPiece &piece : plan->pieces) {
        if (piece.source != at) {
            check(!piece.audio);
            file.resize(std::max(file.size(), at + piece.length));
            file.replace(at, piece.length, piece.source < 0 ? piece.bytes : input.mid(piece.source, piece.length));
        }
        at += piece.length;
    }
    file.resize(plan->layout.fileSize);
    const std::optional<ChunkList> made = readChunkList(MemoryByteSource(file), nullptr);
    check(made && made->sameLayout(plan->layout));
    check(made->chunks.at(made->dataIndex).offset == list.chunks.at(list.dataIndex).offset);
    check(withoutPadding(file, *made) == withoutPadding(written, back));
}

void decodeCues(const QByteArray &file, const ChunkList &list)
{
    const int cue = findChunk(list, "cue ");
    const int adtl = findChunk(list, "LIST", "adtl");
    if (cue < 0)
        return;
    const Chunk &c = list.chunks.at(cue);
    const QByteArray labels = adtl < 0 ? QByteArray()
                                       : file.mid(list.chunks.at(adtl).payloadOffset(), list.chunks.at(adtl).size);
    const QList<CuePoint> points = parseCuePoints(file.mid(c.payloadOffset(), c.size), labels);
    check(points.size() <= c.size / 24);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<ChunkList> list = readChunkList(MemoryByteSource(input), nullptr);
    if (!list)
        return 0;
    decodeCues(input, *list);

    static const int in = scratchFile("chunk-in");
    static const int out = scratchFile("chunk-out");
    static const int again = scratchFile("chunk-again");
    check(::ftruncate(in, 0) == 0 && ::pwrite(in, data, size, 0) == ssize_t(size));
    const std::optional<ChunkList> fromFd = readChunkList(FdByteSource(in), nullptr);
    check(fromFd && fromFd->sameLayout(*list));

    const ChunkWriteResult first = save(in, *list, out);
    check(first.status == ChunkWriteStatus::Ok && first.sourceDataHash);
    const QByteArray written = contents(out, first.written.fileSize);
    const std::optional<ChunkList> back = readChunkList(MemoryByteSource(written), nullptr);
    check(back && back->sameLayout(first.written));

    QByteArrayList keptBefore, keptAfter, editedBefore, editedAfter;
    split(input, *list, &keptBefore, &editedBefore);
    split(written, *back, &keptAfter, &editedAfter);
    check(keptBefore == keptAfter);
    const Chunk &dataChunk = back->chunks.at(back->dataIndex);
    check(hashRange(out, dataChunk.payloadOffset(), dataChunk.size) == first.sourceDataHash);
    const QByteArrayList expected = list->isAiff() ? QByteArrayList{"NAME" + title}
                                                   : QByteArrayList{"INAM" + title + '\0', "bext" + bextPayload};
    std::sort(editedAfter.begin(), editedAfter.end());
    check(editedAfter == expected);

    checkInPlace(in, input, *list, written, *back);

    const ChunkWriteResult second = save(out, *back, again);
    check(second.status == ChunkWriteStatus::Ok && contents(again, second.written.fileSize) == written);
    return 0;
}
