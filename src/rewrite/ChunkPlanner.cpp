// Planning a chunk edit: which chunks the new file keeps or gets anew, in
// what order, under what headers. ChunkWriter.cpp carries a plan out.
#include "rewrite/ChunkWriter.h"

#include "rewrite/ChunkCopy.h"

#include <QCoreApplication>
#include <QtEndian>

#include <algorithm>

namespace {

struct Text {
    Q_DECLARE_TR_FUNCTIONS(ChunkWriter)
};

constexpr qint64 max32 = 0xffffffffLL;

using Piece = ChunkPiece;

Piece rawPiece(qint64 offset, qint64 length, bool audio = false)
{
    return Piece{offset, length, {}, audio};
}

Piece bytesPiece(const QByteArray &bytes)
{
    return Piece{-1, bytes.size(), bytes, false};
}

// One top-level chunk of the new file. A rebuilt LIST keeps its children as
// kids and gets its header when the plan is finished.
struct Item {
    Chunk chunk;      // offset is set when the plan is laid out
    int source = -1;  // index in the source list when copied from there
    QList<Piece> pieces;
    QList<Item> kids;
    bool rebuiltList = false;
    qint64 bytes() const
    {
        qint64 n = 0;
        for (const Piece &p : pieces)
            n += p.length;
        return n;
    }
};

// A string or bext edit and whether it has found its chunk yet.
struct Slot {
    QByteArray id;
    QByteArray prefix;  // AIFF APPL signature
    QByteArray payload; // what the new chunk holds; empty removes
    bool placed = false;
    bool atEnd = false; // a new one goes after the audio, not before it
    QByteArray listType{}; // a LIST set by id: which one
};

QByteArray chunkHeader(const QByteArray &id, quint32 size, bool bigEndian)
{
    QByteArray h = id;
    h.resize(8);
    auto *p = reinterpret_cast<uchar *>(h.data()) + 4;
    bigEndian ? qToBigEndian(size, p) : qToLittleEndian(size, p);
    return h;
}

Item rawItem(const ChunkList &list, int index)
{
    Item item;
    item.chunk = list.chunks.at(index);
    item.source = index;
    item.pieces << rawPiece(item.chunk.offset, item.chunk.totalSize());
    return item;
}

Item madeItem(const QByteArray &id, const QByteArray &payload, bool bigEndian)
{
    Item item;
    item.chunk = Chunk{id, 0, payload.size(), payload.size() % 2 == 1, 0, {}};
    QByteArray bytes = chunkHeader(id, quint32(payload.size()), bigEndian) + payload;
    if (item.chunk.padded)
        bytes.append('\0');
    item.pieces << bytesPiece(bytes);
    return item;
}

// A LIST made from a payload of whole sub-chunks, each with its pad byte;
// nullopt when the payload is not one.
std::optional<Item> listItem(const QByteArray &type, const QByteArray &payload)
{
    if (type.size() != 4 || !payload.startsWith(type))
        return std::nullopt;
    Item item;
    item.chunk = Chunk{"LIST", 0, payload.size(), false, 0, type};
    item.rebuiltList = true;
    for (qsizetype pos = 4; pos < payload.size();) {
        const qint64 size = payload.size() - pos >= 8 ? qFromLittleEndian<quint32>(payload.constData() + pos + 4) : -1;
        if (size < 0 || size + size % 2 > payload.size() - pos - 8)
            return std::nullopt;
        Item kid;
        kid.chunk = Chunk{payload.mid(pos, 4), 0, size, size % 2 == 1, 1, {}};
        kid.pieces << bytesPiece(payload.mid(pos, 8 + size + size % 2));
        item.kids << kid;
        pos += kid.bytes();
    }
    return item;
}

bool isInfoList(const Item &item)
{
    return item.chunk.id == "LIST" && item.chunk.listType == "INFO";
}

const char *const infoIds[6] = {"INAM", "ICOP", "ISFT", "IART", "ICMT", "ICRD"};
const char *const aiffIds[6] = {"NAME", "(c) ", "APPL", "AUTH", "ANNO", ""};
const QByteArray aiffSoftwareSignature = "m3ga";

// An item copied from the source as it was.
bool isKept(const Item &item)
{
    return item.source >= 0 && !item.rebuiltList && item.pieces.size() == 1 && item.pieces.first().source == item.chunk.offset
        && item.pieces.first().length == item.chunk.totalSize();
}

class ChunkPlanner {
public:
    ChunkPlanner(const ChunkList &src, int fd, const ChunkEdits &edits, const ChunkWriteOptions &options)
        : m_src(src), m_bytes(fd), m_options(options), m_big(src.isBigEndian())
    {
        makeSlots(edits);
    }
    bool plan(QString *error);
    ChunkPlan result() const;

private:
    void makeSlots(const ChunkEdits &edits);
    bool matches(const Slot &slot, const Chunk &c) const;
    void takeTopLevel(int index);
    void takeList(int index);
    int unplacedAt() const;
    void addUnplaced();
    Item slotItem(const Slot &slot) const;
    void finishLists();
    bool absorbIntoPadding(QString *error);
    Item resizedPadding(const Item &pad, qint64 delta) const;
    bool chooseContainer(QString *error);
    bool finishHeaders(qint64 riffSize, qint64 dataSize, QString *error);
    quint64 sampleCount(qint64 dataSize) const;
    quint32 readU32(const Chunk &c, qint64 at) const;
    void layOut();

    QByteArray formHeader;
    QList<Item> items;
    ChunkList layout;
    const ChunkList &m_src;
    FdByteSource m_bytes;
    const ChunkWriteOptions &m_options;
    bool m_big;
    QList<Slot> m_topSlots;
    QList<Slot> m_infoSlots;
    int m_dataItem = -1;
    bool m_converted = false;
    ChunkContainer m_container = ChunkContainer::Wave;
};

void ChunkPlanner::makeSlots(const ChunkEdits &edits)
{
    for (int i = 0; i < 6; ++i) {
        const QByteArray id = stringChunkId(m_src.container, i);
        if (!edits.strings[i] || id.isEmpty())
            continue;
        const QByteArray &value = *edits.strings[i];
        if (!m_src.isAiff())
            m_infoSlots << Slot{id, {}, value.isEmpty() ? value : value + '\0'};
        else if (id != "APPL")
            m_topSlots << Slot{id, {}, value};
        else // libsndfile reads 4 stale bytes after APPL text that has no NUL
            m_topSlots << Slot{id, aiffSoftwareSignature, value.isEmpty() ? value : aiffSoftwareSignature + value + '\0'};
    }
    if (edits.bext && !m_src.isAiff())
        m_topSlots << Slot{"bext", {}, *edits.bext};
    for (const ChunkPayload &chunk : edits.chunks) {
        // A list without sub-chunks is no list: it goes.
        const bool emptyList = !chunk.listType.isEmpty() && chunk.payload == chunk.listType;
        m_topSlots << Slot{chunk.id, {}, emptyList ? QByteArray() : chunk.payload, false, true, chunk.listType};
    }
}

Item ChunkPlanner::slotItem(const Slot &slot) const
{
    return slot.listType.isEmpty() ? madeItem(slot.id, slot.payload, m_big) : *listItem(slot.listType, slot.payload);
}

bool ChunkPlanner::matches(const Slot &slot, const Chunk &c) const
{
    if (c.id != slot.id || c.listType != slot.listType)
        return false;
    if (slot.prefix.isEmpty())
        return true;
    QByteArray head(slot.prefix.size(), '\0');
    return c.size >= head.size() && m_bytes.read(c.payloadOffset(), head.data(), head.size()) && head == slot.prefix;
}

// The first chunk a slot matches gets the new value (or goes, when the
// value is empty); later ones go too, since readers report the last one.
void ChunkPlanner::takeTopLevel(int index)
{
    const Chunk &c = m_src.chunks.at(index);
    for (Slot &slot : m_topSlots) {
        if (!matches(slot, c))
            continue;
        if (!slot.placed && !slot.payload.isEmpty())
            items << slotItem(slot);
        slot.placed = true;
        return;
    }
    if (index != m_src.dataIndex) {
        items << rawItem(m_src, index);
        return;
    }
    // The data header is made once the container is known.
    Item item;
    item.chunk = c;
    item.source = index;
    item.pieces << bytesPiece(QByteArray(8, '\0')) << rawPiece(c.payloadOffset(), c.size, true);
    if (c.padded)
        item.pieces << rawPiece(c.payloadOffset() + c.size, 1);
    m_dataItem = items.size();
    items << item;
}

void ChunkPlanner::takeList(int index)
{
    Item item = rawItem(m_src, index);
    for (int i = index + 1; i < m_src.chunks.size() && m_src.chunks.at(i).depth == 1; ++i) {
        const Chunk &c = m_src.chunks.at(i);
        const auto slot = std::find_if(m_infoSlots.begin(), m_infoSlots.end(),
                                       [&c](const Slot &s) { return s.id == c.id; });
        if (slot == m_infoSlots.end()) {
            item.kids << rawItem(m_src, i);
            continue;
        }
        item.rebuiltList = true;
        if (!slot->placed && !slot->payload.isEmpty())
            item.kids << madeItem(c.id, slot->payload, false);
        slot->placed = true;
    }
    items << item;
}

// Where new chunks go: before the data chunk, or in place before the last
// padding chunk between the format and the data chunk, which makes room.
int ChunkPlanner::unplacedAt() const
{
    for (int i = m_dataItem - 1; m_options.keepAudioInPlace && i >= 0 && items[i].source != m_src.formatIndex; --i)
        if (isPaddingChunk(items[i].chunk))
            return i;
    return m_dataItem;
}

// What found no chunk to replace goes before the data chunk, so every chunk
// ahead of it keeps its place: bext (or the AIFF text chunks) first, then a
// new INFO list. INFO strings join the first INFO list when there is one.
// Chunks set by id go at the end instead, where adding one moves nothing.
void ChunkPlanner::addUnplaced()
{
    QList<Item> added;
    for (const Slot &slot : std::as_const(m_topSlots)) {
        if (!slot.placed && !slot.payload.isEmpty())
            (slot.atEnd ? items : added) << slotItem(slot);
    }
    auto first = std::find_if(items.begin(), items.end(), isInfoList);
    Item newList;
    newList.chunk = Chunk{"LIST", 0, 4, false, 0, "INFO"};
    Item &target = first == items.end() ? newList : *first;
    for (const Slot &slot : std::as_const(m_infoSlots)) {
        if (!slot.placed && !slot.payload.isEmpty()) {
            target.kids << madeItem(slot.id, slot.payload, false);
            target.rebuiltList = true;
        }
    }
    if (newList.rebuiltList)
        added << newList;
    int at = unplacedAt();
    for (const Item &item : std::as_const(added)) {
        items.insert(at++, item);
        ++m_dataItem;
    }
}

// The padding item `pad` (copied from the source) moved by delta bytes
// towards the data, its end kept: a new header, and the old payload where
// it still lies inside (zeros before it when it grew).
Item ChunkPlanner::resizedPadding(const Item &pad, qint64 delta) const
{
    const qint64 end = pad.chunk.offset + pad.chunk.totalSize();
    const qint64 start = pad.chunk.offset + delta;
    const qint64 keptFrom = std::max(start + 8, pad.chunk.payloadOffset());
    Item item;
    item.chunk = Chunk{pad.chunk.id, 0, end - start - 8, false, 0, {}};
    item.pieces << bytesPiece(chunkHeader(pad.chunk.id, quint32(end - start - 8), m_big));
    if (keptFrom > start + 8)
        item.pieces << bytesPiece(QByteArray(keptFrom - start - 8, '\0'));
    item.pieces << rawPiece(keptFrom, end - keptFrom);
    return item;
}

// In place, the bytes ahead of the data keep their total: what the edits
// added or took away there is taken from or given to padding after the last
// changed chunk. Unchanged chunks between the two move, the data does not.
bool ChunkPlanner::absorbIntoPadding(QString *error)
{
    QList<int> oldHead;
    qint64 delta = 0;
    for (int i = 0; i < m_src.dataIndex; ++i) {
        const Chunk &c = m_src.chunks.at(i);
        if (c.depth == 0 && i != m_src.ds64Index) {
            oldHead << i;
            delta -= c.totalSize();
        }
    }
    for (int i = 0; i < m_dataItem; ++i)
        delta += items[i].bytes();
    if (delta == 0)
        return true;
    // The run of unchanged chunks right before the data, in their old order.
    int suffix = m_dataItem;
    for (int k = oldHead.size() - 1; k >= 0 && suffix > 0 && isKept(items[suffix - 1]) && items[suffix - 1].source == oldHead[k]; --k)
        --suffix;
    for (int i = suffix; i < m_dataItem; ++i) {
        if (!isPaddingChunk(items[i].chunk))
            continue;
        const qint64 room = items[i].bytes() - delta;
        if (room == 0) {
            items.removeAt(i);
            --m_dataItem;
            return true;
        }
        if (room < 8 || room % 2 != 0)
            break;
        items[i] = resizedPadding(items[i], delta);
        return true;
    }
    if (delta <= -8) {
        items.insert(suffix, madeItem(m_src.isAiff() ? "FLLR" : "JUNK", QByteArray(-delta - 8, '\0'), m_big));
        ++m_dataItem;
        return true;
    }
    *error = Text::tr("The change does not fit into the room before the audio.");
    return false;
}

// Rebuilt lists get their header; those left empty go.
void ChunkPlanner::finishLists()
{
    for (int i = items.size() - 1; i >= 0; --i) {
        Item &item = items[i];
        if (!item.rebuiltList)
            continue;
        if (item.kids.isEmpty()) {
            items.removeAt(i);
            m_dataItem -= i < m_dataItem ? 1 : 0;
            continue;
        }
        qint64 size = 4;
        item.pieces = {Piece{}};
        for (Item &kid : item.kids) {
            // An unpadded odd child is only allowed at the very end of a list.
            if (kid.chunk.size % 2 == 1 && !kid.chunk.padded) {
                kid.chunk.padded = true;
                kid.pieces << bytesPiece(QByteArray(1, '\0'));
            }
            item.pieces << kid.pieces;
            size += kid.bytes();
        }
        item.chunk.size = size;
        item.chunk.padded = false;
        item.pieces.first() = bytesPiece(chunkHeader("LIST", quint32(size), false) + item.chunk.listType);
    }
}

quint32 ChunkPlanner::readU32(const Chunk &c, qint64 at) const
{
    uchar b[4] = {};
    if (c.size < at + 4 || !m_bytes.read(c.payloadOffset() + at, b, 4))
        return 0;
    return m_big ? qFromBigEndian<quint32>(b) : qFromLittleEndian<quint32>(b);
}

// RF64/BW64 stay as they are; a WAV too large for 32-bit sizes becomes RF64.
// Its ds64 takes the place of a leading JUNK chunk reserved for it, as
// EBU Tech 3306 writers leave, so the data does not move; or it goes right
// after the header.
bool ChunkPlanner::chooseContainer(QString *error)
{
    m_container = m_src.container;
    qint64 body = 4;
    for (const Item &item : std::as_const(items))
        body += item.bytes();
    const qint64 dataSize = items.at(m_dataItem).chunk.size;
    if (m_src.isAiff() && (body >= max32 || dataSize >= max32)) {
        *error = Text::tr("The file would be too large for AIFF (%1 bytes).").arg(body + 8);
        return false;
    }
    if (m_container == ChunkContainer::Wave && (body >= m_options.rf64Threshold || dataSize >= m_options.rf64Threshold)) {
        if (m_options.keepAudioInPlace) {
            *error = Text::tr("The file would have to become an RF64 file.");
            return false;
        }
        m_container = ChunkContainer::Rf64;
        m_converted = true;
        const Chunk &first = items.first().chunk;
        if (first.id == "JUNK" && first.size >= 28 && items.first().source >= 0) {
            // Same bytes as the JUNK chunk with its pad: ds64, then what is
            // left as an even-sized JUNK (some readers skip no pad after JUNK).
            const qint64 rest = first.totalSize() - 36;
            items.first() = madeItem("ds64", QByteArray(rest >= 8 ? 28 : int(first.totalSize() - 8), '\0'), false);
            if (rest >= 8)
                items.insert(1, madeItem("JUNK", QByteArray(rest - 8, '\0'), false));
            m_dataItem += rest >= 8 ? 1 : 0;
        } else {
            items.prepend(madeItem("ds64", QByteArray(28, '\0'), false));
            ++m_dataItem;
            body += 36;
        }
    } else if (m_container == ChunkContainer::Rf64 || m_container == ChunkContainer::Bw64) {
        const std::optional<QByteArray> old = readChunkPayload(m_bytes, m_src.chunks.at(m_src.ds64Index));
        if (!old) {
            *error = Text::tr("The ds64 chunk could not be read.");
            return false;
        }
        items.prepend(madeItem("ds64", *old, false));
        ++m_dataItem;
        body += items.first().bytes();
    }
    return finishHeaders(body, dataSize, error);
}

// Frames for a new ds64: the fact chunk's count, else data size / block align.
quint64 ChunkPlanner::sampleCount(qint64 dataSize) const
{
    const int fact = findChunk(m_src, "fact");
    if (fact >= 0 && m_src.chunks.at(fact).depth == 0 && m_src.chunks.at(fact).size >= 4)
        return readU32(m_src.chunks.at(fact), 0);
    const quint32 blockAlign = readU32(m_src.chunks.at(m_src.formatIndex), 12) & 0xffff;
    return blockAlign ? quint64(dataSize) / blockAlign : 0;
}

// The form header, the data chunk's header and the ds64 values, now that
// the sizes are known.
bool ChunkPlanner::finishHeaders(qint64 riffSize, qint64 dataSize, QString *error)
{
    const Chunk &sourceData = m_src.chunks.at(m_src.dataIndex);
    quint32 dataField = quint32(dataSize);
    if (m_src.isAiff()) {
        formHeader = chunkHeader("FORM", quint32(riffSize), true) + (m_container == ChunkContainer::Aifc ? "AIFC" : "AIFF");
    } else if (m_container == ChunkContainer::Wave) {
        if (riffSize >= max32 || dataSize >= max32) {
            *error = Text::tr("The file would be too large for a WAV file (%1 bytes).").arg(riffSize + 8);
            return false;
        }
        formHeader = chunkHeader("RIFF", quint32(riffSize), false) + "WAVE";
    } else {
        auto *p = reinterpret_cast<uchar *>(items.first().pieces.first().bytes.data()) + 8;
        qToLittleEndian<quint64>(quint64(riffSize), p);
        qToLittleEndian<quint64>(quint64(dataSize), p + 8);
        if (m_converted)
            qToLittleEndian<quint64>(sampleCount(dataSize), p + 16);
        uchar field[4] = {};
        const bool wasWide = m_bytes.read(sourceData.offset + 4, field, 4) && qFromLittleEndian<quint32>(field) == max32;
        if (m_converted || wasWide || dataSize >= max32)
            dataField = quint32(max32);
        formHeader = chunkHeader(m_container == ChunkContainer::Bw64 ? "BW64" : "RF64", quint32(max32), false) + "WAVE";
    }
    items[m_dataItem].pieces.first() = bytesPiece(chunkHeader(sourceData.id, dataField, m_big));
    return true;
}

void ChunkPlanner::layOut()
{
    layout = ChunkList{};
    layout.container = m_container;
    qint64 pos = 12;
    for (int i = 0; i < items.size(); ++i) {
        Item &item = items[i];
        item.chunk.offset = pos;
        item.chunk.depth = 0;
        if (i == m_dataItem)
            layout.dataIndex = layout.chunks.size();
        if (item.source >= 0 && item.source == m_src.formatIndex)
            layout.formatIndex = layout.chunks.size();
        if (i == 0 && m_container != ChunkContainer::Wave && !layout.isAiff())
            layout.ds64Index = 0;
        layout.chunks << item.chunk;
        if (item.rebuiltList) {
            qint64 at = pos + 12;
            for (const Item &kid : std::as_const(item.kids)) {
                layout.chunks << Chunk{kid.chunk.id, at, kid.chunk.size, kid.chunk.padded, 1, {}};
                at += kid.bytes();
            }
        } else if (item.source >= 0 && !item.chunk.listType.isEmpty()) {
            for (int k = item.source + 1; k < m_src.chunks.size() && m_src.chunks.at(k).depth == 1; ++k) {
                Chunk kid = m_src.chunks.at(k);
                kid.offset += pos - m_src.chunks.at(item.source).offset;
                layout.chunks << kid;
            }
        }
        pos += item.bytes();
    }
    layout.formEnd = pos;
    layout.fileSize = pos + (m_src.fileSize - m_src.formEnd);
}

bool ChunkPlanner::plan(QString *error)
{
    static const QByteArrayList structural = {"fmt ", "data", "ds64", "LIST", "COMM", "SSND"};
    for (const Slot &slot : std::as_const(m_topSlots)) {
        // Lists other than INFO are set whole; AIFF has none.
        const bool list = !slot.listType.isEmpty();
        const bool badList = list && (slot.id != "LIST" || m_src.isAiff() || slot.listType == "INFO");
        if (slot.atEnd && (slot.id.size() != 4 || badList || (structural.contains(slot.id) && !list))) {
            *error = Text::tr("The “%1” chunk cannot be set on its own.").arg(QString::fromLatin1(slot.id));
            return false;
        }
        if (list && !slot.payload.isEmpty() && !listItem(slot.listType, slot.payload)) {
            *error = Text::tr("The new LIST “%1” chunk is not a list of whole sub-chunks.")
                         .arg(QString::fromLatin1(slot.listType));
            return false;
        }
    }
    for (const QList<Slot> *group : {&m_topSlots, &m_infoSlots}) {
        for (const Slot &slot : *group) {
            if (slot.payload.size() >= max32 - 16) {
                *error = Text::tr("The new “%1” chunk would be too large.").arg(QString::fromLatin1(slot.id));
                return false;
            }
        }
    }
    for (int i = 0; i < m_src.chunks.size(); ++i) {
        const Chunk &c = m_src.chunks.at(i);
        if (c.depth != 0 || i == m_src.ds64Index)
            continue;
        if (c.id == "LIST" && c.listType == "INFO" && !m_infoSlots.isEmpty())
            takeList(i);
        else
            takeTopLevel(i);
    }
    addUnplaced();
    finishLists();
    // Only the last chunk may lack its pad byte.
    for (int i = 0; i + 1 < items.size(); ++i) {
        if (items[i].chunk.size % 2 == 1 && !items[i].chunk.padded) {
            items[i].chunk.padded = true;
            items[i].pieces << bytesPiece(QByteArray(1, '\0'));
        }
    }
    if (m_options.keepAudioInPlace && !absorbIntoPadding(error))
        return false;
    if (!chooseContainer(error))
        return false;
    layOut();
    return true;
}

ChunkPlan ChunkPlanner::result() const
{
    ChunkPlan plan;
    plan.layout = layout;
    plan.pieces << bytesPiece(formHeader);
    for (const Item &item : items)
        plan.pieces << item.pieces;
    // Bytes after the RIFF/FORM stay as they are, after it.
    plan.pieces << rawPiece(m_src.formEnd, m_src.fileSize - m_src.formEnd);
    return plan;
}

} // namespace

QByteArray stringChunkId(ChunkContainer container, int index)
{
    if (index < 0 || index >= 6)
        return {};
    const bool aiff = container == ChunkContainer::Aiff || container == ChunkContainer::Aifc;
    return QByteArray(aiff ? aiffIds[index] : infoIds[index]);
}

std::optional<ChunkPlan> planChunks(int sourceFd, const ChunkList &source, const ChunkEdits &edits,
                                    const ChunkWriteOptions &options, QString *error)
{
    if (FdByteSource(sourceFd).size() != source.fileSize) {
        *error = Text::tr("The file has changed on disk since it was read.");
        return std::nullopt;
    }
    ChunkPlanner planner(source, sourceFd, edits, options);
    if (!planner.plan(error))
        return std::nullopt;
    return planner.result();
}
