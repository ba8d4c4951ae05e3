#include "container/ChunkList.h"

#include <QCoreApplication>
#include <QFile>
#include <QtEndian>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

struct Text {
    Q_DECLARE_TR_FUNCTIONS(ChunkList)
};

QString idText(const QByteArray &id)
{
    return QString::fromLatin1(id);
}

bool isPrintableId(const char *id)
{
    for (int i = 0; i < 4; ++i) {
        if (uchar(id[i]) < 0x20 || uchar(id[i]) > 0x7e)
            return false;
    }
    return true;
}

constexpr quint64 allOnes64 = ~quint64(0);
constexpr qint64 maxDs64Bytes = 1 << 20;

struct Ds64 {
    quint64 riffSize = 0;
    quint64 dataSize = 0;
    QList<QPair<QByteArray, quint64>> table;
};

// One pass over one file; keeps the list being built and the first error.
class Reader {
public:
    Reader(const ByteSource &source, QString *error, ChunkList *readSoFar)
        : m_src(source), m_error(error), m_readSoFar(readSoFar)
    {
    }
    std::optional<ChunkList> run();

private:
    bool fail(const QString &message)
    {
        if (m_error)
            *m_error = message;
        if (m_readSoFar)
            *m_readSoFar = m_list;
        return false;
    }
    bool readAt(qint64 offset, void *buffer, qint64 length)
    {
        if (m_src.read(offset, buffer, length))
            return true;
        return fail(Text::tr("The file could not be read at byte %1.").arg(offset));
    }
    quint32 u32(const uchar *p) const
    {
        return m_list.isBigEndian() ? qFromBigEndian<quint32>(p) : qFromLittleEndian<quint32>(p);
    }
    bool readFormHeader(quint32 *formField);
    bool readDs64();
    bool readChunkHeader(qint64 pos, QByteArray *id, quint32 *field);
    bool walkTop(qint64 limit);
    bool walkList(const Chunk &list);
    qint64 dataSize(qint64 pos, quint32 field, qint64 limit, bool *ok);
    bool validHeaderAt(qint64 pos, qint64 limit);
    bool checkStructure();
    void addPadNote(const QByteArray &id)
    {
        m_list.notes << Text::tr("The last chunk (“%1”) has an odd size and no pad byte.").arg(idText(id));
    }

    const ByteSource &m_src;
    QString *m_error;
    ChunkList *m_readSoFar;
    ChunkList m_list;
    Ds64 m_ds64;
    qint64 m_declaredEnd = 0; // where the RIFF/FORM size says the form ends
    bool m_placeholderSize = false;
};

bool Reader::readFormHeader(quint32 *formField)
{
    uchar h[12];
    if (m_list.fileSize < 12)
        return fail(Text::tr("The file is too short to be a WAV or AIFF file (%1 bytes).").arg(m_list.fileSize));
    if (!readAt(0, h, 12))
        return false;
    const std::optional<ChunkContainer> container = chunkContainerOf(m_src);
    if (!container)
        return fail(Text::tr("This is not a RIFF WAVE, RF64, BW64 or AIFF file."));
    m_list.container = *container;
    *formField = u32(h + 4);
    return true;
}

bool Reader::readChunkHeader(qint64 pos, QByteArray *id, quint32 *field)
{
    uchar h[8];
    if (!readAt(pos, h, 8))
        return false;
    *id = QByteArray(reinterpret_cast<const char *>(h), 4);
    *field = u32(h + 4);
    if (isPrintableId(id->constData()))
        return true;
    // A writer that left out a pad byte shifts every later header by one.
    char shifted[4];
    if (pos > 12 && m_src.read(pos - 1, shifted, 4) && isPrintableId(shifted)
        && !m_list.chunks.isEmpty() && m_list.chunks.last().padded)
        return fail(Text::tr("Chunk “%1” has an odd size but no pad byte after it.")
                        .arg(idText(m_list.chunks.last().id)));
    return fail(Text::tr("The file holds no readable chunk at byte %1; it may be damaged.").arg(pos));
}

bool Reader::readDs64()
{
    QByteArray id;
    quint32 field = 0;
    const auto inconsistent = [this](const QString &why) {
        return fail(Text::tr("The ds64 chunk does not match the file: %1.").arg(why));
    };
    if (m_list.fileSize < 20 + 28)
        return fail(Text::tr("The file is too short for an RF64 header."));
    if (!readChunkHeader(12, &id, &field))
        return false;
    if (id != "ds64")
        return fail(Text::tr("An RF64 or BW64 file must start with a ds64 chunk."));
    if (field < 28 || field > maxDs64Bytes || field > m_list.fileSize - 20)
        return inconsistent(Text::tr("its size (%1 bytes) is impossible").arg(field));
    QByteArray p(field, Qt::Uninitialized);
    if (!readAt(20, p.data(), field))
        return false;
    const auto *b = reinterpret_cast<const uchar *>(p.constData());
    m_ds64.riffSize = qFromLittleEndian<quint64>(b);
    m_ds64.dataSize = qFromLittleEndian<quint64>(b + 8);
    const quint32 entries = qFromLittleEndian<quint32>(b + 24);
    if (entries > (field - 28) / 12)
        return inconsistent(Text::tr("its table has more entries than fit"));
    for (quint32 i = 0; i < entries; ++i) {
        const uchar *e = b + 28 + 12 * i;
        const quint64 size = qFromLittleEndian<quint64>(e + 4);
        if (size > quint64(m_list.fileSize))
            return inconsistent(Text::tr("a table entry is larger than the file"));
        m_ds64.table.append({QByteArray(reinterpret_cast<const char *>(e), 4), size});
    }
    const quint64 riff = m_ds64.riffSize;
    m_placeholderSize = riff == 0 || riff == allOnes64;
    if (!m_placeholderSize && riff > quint64(m_list.fileSize) - 7)
        return inconsistent(Text::tr("it gives the file %1 bytes, but it has %2").arg(riff + 8).arg(m_list.fileSize));
    m_declaredEnd = m_placeholderSize ? m_list.fileSize : qint64(riff) + 8;
    m_list.ds64Index = 0;
    m_list.chunks.append(Chunk{id, 12, field, false, 0, {}});
    if (field % 2 == 1) {
        m_list.chunks.last().padded = 20 + qint64(field) < m_list.fileSize;
    }
    return true;
}

bool Reader::validHeaderAt(qint64 pos, qint64 limit)
{
    char h[8];
    if (limit - pos < 8 || !m_src.read(pos, h, 8) || !isPrintableId(h))
        return false;
    const quint32 field = u32(reinterpret_cast<const uchar *>(h) + 4);
    return field <= quint64(limit - pos - 8);
}

// The data chunk's size, applying the conventions for a size that was never
// filled in: 0 or all ones with nothing after the data means "to the end".
qint64 Reader::dataSize(qint64 pos, quint32 field, qint64 limit, bool *ok)
{
    *ok = true;
    const qint64 room = m_list.fileSize - pos - 8;
    const bool wide = m_list.ds64Index == 0 && field == 0xffffffffu;
    const quint64 declared = wide ? m_ds64.dataSize : field;
    const bool ones = wide ? declared == allOnes64 : declared == 0xffffffffu;
    bool toEnd = false;
    if (ones && declared > quint64(room))
        toEnd = true;
    else if (declared == 0 && room > 0)
        toEnd = pos + 8 >= limit || !validHeaderAt(pos + 8, limit);
    if (toEnd)
        m_list.notes << Text::tr("The data size was not filled in; the data is taken to run to the end of the file.");
    else if (wide && declared > quint64(room))
        *ok = fail(Text::tr("The ds64 chunk does not match the file: %1.")
                       .arg(Text::tr("it gives the data %1 bytes, but only %2 follow").arg(declared).arg(room)));
    else if (m_list.ds64Index == 0 && !wide && field != 0 && m_ds64.dataSize != 0 && m_ds64.dataSize != allOnes64
             && m_ds64.dataSize != field)
        *ok = fail(Text::tr("The ds64 chunk does not match the file: %1.")
                       .arg(Text::tr("its data size differs from the data chunk's")));
    const qint64 size = toEnd ? room : qint64(qMin(declared, quint64(room) + 1));
    // SSND starts with its offset and block size fields.
    if (*ok && m_list.isAiff() && size < 8)
        *ok = fail(Text::tr("The SSND chunk is too small (%1 bytes).").arg(size));
    return *ok ? size : 0;
}

bool Reader::walkTop(qint64 limit)
{
    const QByteArray dataId = m_list.isAiff() ? "SSND" : "data";
    qint64 pos = m_list.chunks.isEmpty() ? 12 : m_list.chunks.last().offset + m_list.chunks.last().totalSize();
    while (pos < limit) {
        if (m_list.fileSize - pos < 8)
            return fail(Text::tr("The file ends inside a chunk header at byte %1; it may be truncated.").arg(pos));
        QByteArray id;
        quint32 field = 0;
        if (!readChunkHeader(pos, &id, &field))
            return false;
        qint64 size = field;
        const qint64 room = m_list.fileSize - pos - 8;
        bool ok = true;
        if (id == dataId) {
            size = dataSize(pos, field, limit, &ok);
            if (!ok)
                return false;
        } else if (m_list.ds64Index == 0 && field == 0xffffffffu) {
            const auto entry = std::find_if(m_ds64.table.cbegin(), m_ds64.table.cend(),
                                            [&id](const auto &e) { return e.first == id; });
            if (entry == m_ds64.table.cend())
                return fail(Text::tr("The ds64 chunk gives no size for chunk “%1”.").arg(idText(id)));
            size = qint64(entry->second);
        }
        if (size > room)
            return fail(Text::tr("Chunk “%1” at byte %2 claims %3 bytes, but only %4 follow; the file may be truncated.")
                            .arg(idText(id)).arg(pos).arg(size).arg(room));
        Chunk chunk{id, pos, size, size % 2 == 1 && size < room, 0, {}};
        if (size % 2 == 1 && size == room)
            addPadNote(id);
        if (id == "LIST" && !m_list.isAiff()) {
            if (size < 4)
                return fail(Text::tr("The LIST chunk at byte %1 is too small to name its type.").arg(pos));
            chunk.listType.resize(4);
            if (!readAt(chunk.payloadOffset(), chunk.listType.data(), 4))
                return false;
        }
        m_list.chunks.append(chunk);
        if (!chunk.listType.isEmpty() && !walkList(chunk))
            return false;
        pos += chunk.totalSize();
    }
    m_list.formEnd = pos;
    return true;
}

bool Reader::walkList(const Chunk &list)
{
    const qint64 end = list.payloadOffset() + list.size;
    qint64 pos = list.payloadOffset() + 4;
    while (pos < end) {
        if (end - pos < 8)
            return fail(Text::tr("LIST “%1” ends inside a sub-chunk header at byte %2.").arg(idText(list.listType)).arg(pos));
        QByteArray id;
        quint32 field = 0;
        if (!readChunkHeader(pos, &id, &field))
            return false;
        const qint64 room = end - pos - 8;
        if (field > room)
            return fail(Text::tr("Sub-chunk “%1” at byte %2 runs past the end of its LIST “%3”.")
                            .arg(idText(id)).arg(pos).arg(idText(list.listType)));
        const Chunk child{id, pos, field, field % 2 == 1 && field < room, 1, {}};
        if (field % 2 == 1 && field == room)
            addPadNote(id);
        m_list.chunks.append(child);
        pos += child.totalSize();
    }
    return true;
}

bool Reader::checkStructure()
{
    const QByteArray dataId = m_list.isAiff() ? "SSND" : "data";
    const QByteArray formatId = m_list.isAiff() ? "COMM" : "fmt ";
    for (int i = 0; i < m_list.chunks.size(); ++i) {
        const Chunk &c = m_list.chunks.at(i);
        if (c.depth != 0)
            continue;
        int *slot = c.id == dataId ? &m_list.dataIndex : c.id == formatId ? &m_list.formatIndex : nullptr;
        if (slot && *slot >= 0)
            return fail(Text::tr("The file has two “%1” chunks.").arg(idText(c.id)));
        if (slot)
            *slot = i;
        if (c.id == "ds64" && i != m_list.ds64Index)
            return fail(Text::tr("The file has a ds64 chunk where none may be."));
    }
    if (m_list.formatIndex < 0)
        return fail(Text::tr("The file has no “%1” chunk describing its format.").arg(idText(formatId)));
    if (m_list.dataIndex < 0)
        return fail(Text::tr("The file has no “%1” chunk holding its audio.").arg(idText(dataId)));
    if (m_list.dataIndex < m_list.formatIndex)
        return fail(Text::tr("The “%1” chunk comes before the “%2” chunk.").arg(idText(dataId), idText(formatId)));
    const Chunk &data = m_list.chunks.at(m_list.dataIndex);
    if (m_list.ds64Index == 0 && !m_placeholderSize && m_declaredEnd < data.payloadOffset() + data.size)
        return fail(Text::tr("The ds64 chunk does not match the file: %1.")
                        .arg(Text::tr("its RIFF size ends inside the data")));
    return true;
}

std::optional<ChunkList> Reader::run()
{
    m_list.fileSize = m_src.size();
    if (m_list.fileSize < 0) {
        fail(Text::tr("The size of the file could not be read."));
        return std::nullopt;
    }
    quint32 formField = 0;
    if (!readFormHeader(&formField))
        return std::nullopt;
    if (m_list.container == ChunkContainer::Rf64 || m_list.container == ChunkContainer::Bw64) {
        if (!readDs64())
            return std::nullopt;
    } else {
        m_placeholderSize = formField == 0 || formField == 0xffffffffu;
        m_declaredEnd = m_placeholderSize ? m_list.fileSize : qint64(formField) + 8;
    }
    if (!walkTop(qMin(m_declaredEnd, m_list.fileSize)) || !checkStructure())
        return std::nullopt;
    if (!m_placeholderSize && m_declaredEnd != m_list.formEnd && m_declaredEnd != m_list.formEnd - 1)
        m_list.notes << Text::tr("The RIFF/FORM size in the header (%1 bytes) does not match the chunks (%2 bytes).")
                            .arg(m_declaredEnd - 8).arg(m_list.formEnd - 8);
    return m_list;
}

} // namespace

FdByteSource::FdByteSource(int fd) : m_fd(fd), m_size(-1)
{
    struct stat st;
    if (::fstat(fd, &st) == 0)
        m_size = st.st_size;
}

bool FdByteSource::read(qint64 offset, void *buffer, qint64 length) const
{
    auto *out = static_cast<char *>(buffer);
    while (length > 0) {
        const ssize_t n = ::pread(m_fd, out, size_t(length), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        out += n;
        offset += n;
        length -= n;
    }
    return true;
}

bool MemoryByteSource::read(qint64 offset, void *buffer, qint64 length) const
{
    if (offset < 0 || length < 0 || offset > m_size || length > m_size - offset)
        return false;
    if (length > 0)
        std::memcpy(buffer, m_data + offset, size_t(length));
    return true;
}

std::optional<ChunkContainer> chunkContainerOf(const ByteSource &source)
{
    char h[12];
    if (source.size() < 12 || !source.read(0, h, 12))
        return std::nullopt;
    const QByteArray form(h, 4), type(h + 8, 4);
    if (type == "WAVE")
        return form == "RIFF" ? std::optional(ChunkContainer::Wave)
             : form == "RF64" ? std::optional(ChunkContainer::Rf64)
             : form == "BW64" ? std::optional(ChunkContainer::Bw64) : std::nullopt;
    if (form == "FORM" && (type == "AIFF" || type == "AIFC"))
        return type == "AIFF" ? ChunkContainer::Aiff : ChunkContainer::Aifc;
    return std::nullopt;
}

std::optional<ChunkList> readChunkList(const ByteSource &source, QString *error, ChunkList *readSoFar)
{
    return Reader(source, error, readSoFar).run();
}

std::optional<QByteArray> readChunkPayload(const ByteSource &source, const Chunk &chunk, qint64 maxBytes)
{
    if (chunk.size > maxBytes)
        return std::nullopt;
    QByteArray bytes(chunk.size, Qt::Uninitialized);
    if (!source.read(chunk.payloadOffset(), bytes.data(), chunk.size))
        return std::nullopt;
    return bytes;
}

bool isPaddingChunk(const Chunk &chunk)
{
    static const QList<QByteArray> ids = {"JUNK", "junk", "PAD ", "FLLR"};
    return chunk.depth == 0 && ids.contains(chunk.id);
}

int findChunk(const ChunkList &list, const QByteArray &id, const QByteArray &listType)
{
    for (int i = 0; i < list.chunks.size(); ++i) {
        const Chunk &c = list.chunks.at(i);
        if (c.id == id && (listType.isEmpty() || c.listType == listType))
            return i;
    }
    return -1;
}

std::optional<QByteArray> readChunkOf(const QString &path, const QByteArray &id, QString *error, qint64 maxBytes)
{
    QString ignored;
    QString &why = error ? *error : ignored;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        why = QString::fromLocal8Bit(std::strerror(errno));
        return std::nullopt;
    }
    const FdByteSource file(fd);
    const std::optional<ChunkList> list = readChunkList(file, &why);
    std::optional<QByteArray> payload;
    for (qsizetype i = 0; list && i < list->chunks.size() && !payload; ++i)
        if (list->chunks[i].depth == 0 && list->chunks[i].id == id)
            payload = readChunkPayload(file, list->chunks[i], maxBytes);
    ::close(fd);
    return payload;
}

std::optional<ChunkList> readChunksOf(const QString &path, QString *error, ChunkList *readSoFar)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return std::nullopt;
    }
    std::optional<ChunkList> list = readChunkList(FdByteSource(fd), error, readSoFar);
    ::close(fd);
    return list;
}
