// The chunk structure of a RIFF WAVE (also WAVE_FORMAT_EXTENSIBLE), RF64,
// BW64, AIFF or AIFF-C file, read without libsndfile so that a save can keep
// every chunk it does not change. The reader refuses a damaged structure
// with a message instead of guessing; only conventions real writers use are
// accepted (see readChunkList).
//
// Everything here is reentrant and keeps no state: any thread, as long as
// the ByteSource is not used by another thread at the same time.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

enum class ChunkContainer { Wave, Rf64, Bw64, Aiff, Aifc };

struct Chunk {
    QByteArray id;        // 4 bytes
    qint64 offset = 0;    // of the 8-byte header
    qint64 size = 0;      // payload bytes; from ds64 where the header holds 0xFFFFFFFF
    bool padded = false;  // a pad byte follows the odd-sized payload
    int depth = 0;        // 0 top level, 1 inside a LIST
    QByteArray listType;  // "INFO", "adtl", ... for LIST chunks
    qint64 payloadOffset() const { return offset + 8; }
    // Header, payload and pad byte.
    qint64 totalSize() const { return 8 + size + (padded ? 1 : 0); }
    bool operator==(const Chunk &o) const
    {
        return id == o.id && offset == o.offset && size == o.size && padded == o.padded
            && depth == o.depth && listType == o.listType;
    }
    bool operator!=(const Chunk &o) const { return !(*this == o); }
};

struct ChunkList {
    ChunkContainer container = ChunkContainer::Wave;
    qint64 fileSize = 0;
    // Where the last chunk ends. Bytes from here to fileSize lie outside the
    // RIFF/FORM (an appended tag, say) and are kept as they are.
    qint64 formEnd = 0;
    QList<Chunk> chunks; // file order, LIST children right after their LIST
    int dataIndex = -1;  // "data" or "SSND"
    int formatIndex = -1; // "fmt " or "COMM"
    int ds64Index = -1;  // RF64/BW64 only
    // Oddities that were accepted, one translated sentence each.
    QStringList notes;

    bool isAiff() const { return container == ChunkContainer::Aiff || container == ChunkContainer::Aifc; }
    bool isBigEndian() const { return isAiff(); }
    bool sameLayout(const ChunkList &o) const
    {
        return container == o.container && fileSize == o.fileSize && formEnd == o.formEnd
            && chunks == o.chunks && dataIndex == o.dataIndex && formatIndex == o.formatIndex
            && ds64Index == o.ds64Index;
    }
};

// Random-access bytes: a file descriptor or memory.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual qint64 size() const = 0;
    // Exactly length bytes at offset; false on an error or a short read.
    virtual bool read(qint64 offset, void *buffer, qint64 length) const = 0;
};

// Reads with pread, so the descriptor's file offset is left alone. The size
// is taken once, at construction (-1 when fstat fails).
class FdByteSource : public ByteSource {
public:
    explicit FdByteSource(int fd);
    qint64 size() const override { return m_size; }
    bool read(qint64 offset, void *buffer, qint64 length) const override;

private:
    int m_fd;
    qint64 m_size;
};

// Borrows the bytes; they must outlive the source.
class MemoryByteSource : public ByteSource {
public:
    MemoryByteSource(const char *data, qint64 size) : m_data(data), m_size(size) {}
    explicit MemoryByteSource(const QByteArray &bytes) : MemoryByteSource(bytes.constData(), bytes.size()) {}
    qint64 size() const override { return m_size; }
    bool read(qint64 offset, void *buffer, qint64 length) const override;

private:
    const char *m_data;
    qint64 m_size;
};

// Lists every chunk, checking each size against the file and LIST children
// against their LIST, RF64/BW64 ds64 values against the file, and that there
// is exactly one format chunk and one data chunk, format first.
// Accepted conventions (each adds a note):
// - a data size of 0 or 0xFFFFFFFF (a recorder that stopped early, or a
//   stream) means "to the end of the file" when nothing follows the data;
//   likewise a ds64 data size of 0 or all ones;
// - an odd-sized last chunk without its pad byte at the end of the file
//   (or of its LIST);
// - a RIFF/FORM size that disagrees with the chunks; bytes after the last
//   chunk beyond the declared size are kept as they are.
// On refusal returns nullopt and sets *error to a translated sentence, and
// *readSoFar, when given, to the chunks listed before the reader stopped.
std::optional<ChunkList> readChunkList(const ByteSource &source, QString *error, ChunkList *readSoFar = nullptr);

// The chunk structure of the file at path, or nullopt with *error saying why
// it cannot be edited at the chunk level (and *readSoFar as above).
std::optional<ChunkList> readChunksOf(const QString &path, QString *error, ChunkList *readSoFar = nullptr);

// The container the first twelve bytes name, whatever follows them.
std::optional<ChunkContainer> chunkContainerOf(const ByteSource &source);

// The payload of one chunk, refused (nullopt) when larger than maxBytes or
// unreadable.
std::optional<QByteArray> readChunkPayload(const ByteSource &source, const Chunk &chunk,
                                           qint64 maxBytes = 16 * 1024 * 1024);

// A top-level chunk that only holds room for later edits: "JUNK", "junk",
// "PAD " or "FLLR".
bool isPaddingChunk(const Chunk &chunk);

// Index of the first chunk with this id (and list type, for LIST), or -1.
int findChunk(const ChunkList &list, const QByteArray &id, const QByteArray &listType = {});

// The payload of the first top-level chunk with this id in the file at path;
// nullopt when there is none, the structure cannot be read (then *error
// says why, when given) or the payload is larger than maxBytes.
std::optional<QByteArray> readChunkOf(const QString &path, const QByteArray &id, QString *error = nullptr,
                                      qint64 maxBytes = 16 * 1024 * 1024);
