// FLAC comment edits done on the metadata blocks directly: TagLib's FLAC save
// moves the comment block, drops undecodable pictures and resets padding it
// finds too large, while this keeps every other block byte for byte and only
// resizes the last padding block.
#include "rewrite/TagFlac.h"

#include "container/TagFormats.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>

namespace rewrite {

using namespace tags;

namespace {

constexpr qint64 kMaxBlockLength = 0xffffff;
// The padding a copy gets when the edited blocks outgrow the old room, as
// the reference encoder leaves by default.
constexpr qint64 kCopyPadding = 8192;

struct Block {
    int type;
    QByteArray data;
};

QByteArray blockBytes(const Block &block, bool last)
{
    const qint64 length = block.data.size();
    QByteArray out;
    out.append(char(block.type | (last ? 0x80 : 0)));
    out.append(char(length >> 16)).append(char(length >> 8)).append(char(length));
    return out + block.data;
}

// The comment block's data with the edits made; nullopt when it is damaged
// or would not fit into a block.
std::optional<QByteArray> editedComment(const std::optional<QByteArray> &old, const TagEdits &edits, QString *error)
{
    std::optional<VorbisComment> comment = old ? VorbisComment::parse(*old) : VorbisComment();
    if (!comment) {
        *error = QStringLiteral("the FLAC comment block is damaged");
        return std::nullopt;
    }
    for (int i = 0; i < 6; ++i)
        if (edits[size_t(i)])
            comment->set(xiphKey(Kind::Flac, i), *edits[size_t(i)]);
    const QByteArray rendered = comment->render();
    if (rendered.size() > kMaxBlockLength) {
        *error = QStringLiteral("the comments do not fit into a FLAC block (16 MiB)");
        return std::nullopt;
    }
    return rendered;
}

// The blocks rendered into exactly `room` bytes, the last padding block (or a
// new one) taking up the slack; nullopt when they do not fit.
std::optional<QByteArray> renderBlocks(QList<Block> blocks, qint64 room)
{
    int pad = -1;
    for (int i = 0; i < blocks.size(); ++i)
        if (blocks[i].type == kPadding)
            pad = i;
    qint64 fixed = 0;
    for (int i = 0; i < blocks.size(); ++i)
        fixed += 4 + (i == pad ? 0 : blocks[i].data.size());
    if (pad < 0 && room != fixed) {
        if (room - fixed < 4)
            return std::nullopt;
        blocks.append(Block{kPadding, {}});
        pad = int(blocks.size()) - 1;
        fixed += 4;
    }
    if (pad >= 0) {
        const qint64 padLength = room - fixed;
        if (padLength < 0 || padLength > kMaxBlockLength)
            return std::nullopt;
        blocks[pad].data = QByteArray(padLength, '\0');
    }
    QByteArray out;
    for (int i = 0; i < blocks.size(); ++i)
        out += blockBytes(blocks[i], i == blocks.size() - 1);
    return out;
}

// Moves everything from `from` to the end of the file so that it starts at `to`.
bool shiftTail(QFile &file, qint64 from, qint64 to)
{
    constexpr qint64 kChunk = 1 << 20;
    const qint64 length = file.size() - from;
    if (to > from && !file.resize(to + length))
        return false;
    for (qint64 done = 0; done < length;) {
        const qint64 n = std::min(kChunk, length - done);
        // Growing copies from the end backwards so nothing is overwritten unread.
        const qint64 offset = to > from ? length - done - n : done;
        if (!file.seek(from + offset))
            return false;
        const QByteArray chunk = file.read(n);
        if (chunk.size() != n || !file.seek(to + offset) || file.write(chunk) != n)
            return false;
        done += n;
    }
    return to > from || file.resize(to + length);
}

// Inserts whole file-system blocks at the start (ext4, XFS), so a grown head
// does not move the audio; false where the file system cannot.
bool insertAtStart(QFile &file, qint64 bytes)
{
    return fallocate(file.handle(), FALLOC_FL_INSERT_RANGE, 0, bytes) == 0;
}

qint64 fileSystemBlock(QFile &file)
{
    struct stat st = {};
    return fstat(file.handle(), &st) == 0 && st.st_blksize > 0 ? st.st_blksize : 4096;
}

// Writes prefix + blocks over the old head, keeping the audio in place where
// padding or block insertion allows, shifting it otherwise.
bool placeHead(QFile &file, const FlacLayout &layout, const QList<Block> &blocks, QString *error)
{
    const qint64 oldRoom = layout.audioStart - layout.markerEnd;
    if (auto head = renderBlocks(blocks, oldRoom))
        return file.seek(layout.markerEnd) && file.write(*head) == head->size();

    file.seek(0);
    const QByteArray prefix = file.read(layout.markerEnd);
    qint64 exact = 0;
    for (const Block &block : blocks)
        exact += 4 + block.data.size();
    if (exact > oldRoom) {
        const qint64 unit = fileSystemBlock(file);
        const qint64 grow = (exact - oldRoom + 4 + unit - 1) / unit * unit;
        auto head = renderBlocks(blocks, oldRoom + grow);
        if (head && insertAtStart(file, grow))
            return file.seek(0) && file.write(prefix + *head) == prefix.size() + head->size();
    }
    auto head = renderBlocks(blocks, exact);
    if (!head || !shiftTail(file, layout.audioStart, layout.markerEnd + exact)) {
        *error = QStringLiteral("cannot make room for the new comment: %1").arg(file.errorString());
        return false;
    }
    return file.seek(layout.markerEnd) && file.write(*head) == head->size();
}

// Every metadata block of the file (padding as zeros) with the comment
// block edited, or added after STREAMINFO; *layout as read.
std::optional<QList<Block>> editedBlocks(QFile &file, const TagEdits &edits, std::optional<FlacLayout> *layout,
                                         QString *error)
{
    *layout = readFlacLayout(file, error);
    if (!*layout)
        return std::nullopt;
    QList<Block> blocks;
    int commentIndex = -1;
    for (const FlacBlock &block : (*layout)->blocks) {
        if (block.type == kVorbisComment && commentIndex < 0)
            commentIndex = int(blocks.size());
        blocks.append(Block{block.type, block.type == kPadding ? QByteArray(block.length, '\0')
                                                          : readBlockData(file, block)});
    }
    const std::optional<QByteArray> rendered =
        editedComment(commentIndex < 0 ? std::nullopt : std::optional(blocks[commentIndex].data), edits, error);
    if (!rendered)
        return std::nullopt;
    if (commentIndex < 0)
        blocks.insert(1, Block{kVorbisComment, *rendered});
    else
        blocks[commentIndex].data = *rendered;
    return blocks;
}

} // namespace

bool writeFlacTags(const QString &path, const TagEdits &edits, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Unbuffered)) {
        *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    std::optional<FlacLayout> layout;
    const std::optional<QList<Block>> blocks = editedBlocks(file, edits, &layout, error);
    if (!blocks) {
        *error = QStringLiteral("%1: %2").arg(path, *error);
        return false;
    }
    if (!placeHead(file, *layout, *blocks, error)) {
        if (error->isEmpty())
            *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

std::optional<FlacHeadEdit> flacHeadForCopy(QFile &source, const TagEdits &edits, QString *why)
{
    std::optional<FlacLayout> layout;
    const std::optional<QList<Block>> blocks = editedBlocks(source, edits, &layout, why);
    if (!blocks)
        return std::nullopt;
    // The old room when the blocks fit into it, else just enough with
    // padding that a later edit can take in place.
    qint64 room = 4 + kCopyPadding; // a padding block of that size
    for (const Block &block : *blocks)
        room += 4 + block.data.size();
    const auto lastPadding = std::find_if(blocks->rbegin(), blocks->rend(), [](const Block &b) { return b.type == kPadding; });
    if (lastPadding != blocks->rend())
        room -= 4 + lastPadding->data.size();
    std::optional<QByteArray> head = renderBlocks(*blocks, layout->audioStart - layout->markerEnd);
    if (!head)
        head = renderBlocks(*blocks, room);
    if (!head) {
        *why = QStringLiteral("the FLAC metadata does not fit into its blocks");
        return std::nullopt;
    }
    return FlacHeadEdit{layout->markerEnd, *head, layout->audioStart};
}

std::optional<FlacHeadEdit> flacCommentInPlace(QFile &file, const TagEdits &edits, QString *why)
{
    const auto layout = readFlacLayout(file, why);
    if (!layout)
        return std::nullopt;
    const QList<FlacBlock> &blocks = layout->blocks;
    const auto isComment = [](const FlacBlock &b) { return b.type == kVorbisComment; };
    const int c = int(std::find_if(blocks.begin(), blocks.end(), isComment) - blocks.begin());
    if (c == blocks.size()) {
        *why = QStringLiteral("the file has no comment block");
        return std::nullopt;
    }
    const std::optional<QByteArray> rendered = editedComment(readBlockData(file, blocks[c]), edits, why);
    if (!rendered)
        return std::nullopt;
    const int pad = c + 1 < blocks.size() && blocks[c + 1].type == kPadding ? c + 1
                  : c > 0 && blocks[c - 1].type == kPadding                  ? c - 1
                                                                             : -1;
    const int first = pad >= 0 ? std::min(c, pad) : c;
    const int last = std::max(c, pad);
    const qint64 room = blocks[last].offset + 4 + blocks[last].length - blocks[first].offset;
    const qint64 rest = room - 4 - rendered->size();
    if (rest != 0 && (rest < 4 || rest - 4 > kMaxBlockLength)) {
        *why = QStringLiteral("the new comments do not fit into the comment and padding blocks");
        return std::nullopt;
    }
    QList<Block> region{Block{kVorbisComment, *rendered}};
    if (rest > 0) {
        const Block padding{kPadding, QByteArray(rest - 4, '\0')};
        pad == c - 1 ? region.prepend(padding) : region.append(padding);
    }
    const bool endsMetadata = last == blocks.size() - 1;
    FlacHeadEdit edit{blocks[first].offset, {}, layout->audioStart};
    for (int i = 0; i < region.size(); ++i)
        edit.bytes += blockBytes(region[i], endsMetadata && i == region.size() - 1);
    return edit;
}

} // namespace rewrite
