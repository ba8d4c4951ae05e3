#include "MetadataFixtures.h"

#include <QFile>
#include <QtEndian>

namespace fixtures {

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// Position of the chunk header (id) of the first chunk with that id, or -1.
qsizetype findChunk(const QByteArray &file, const QByteArray &id)
{
    if (file.size() < 12 || !file.startsWith("RIFF") || file.mid(8, 4) != "WAVE")
        return -1;
    qsizetype pos = 12;
    while (pos + 8 <= file.size()) {
        const quint32 size = qFromLittleEndian<quint32>(file.constData() + pos + 4);
        if (file.mid(pos, 4) == id)
            return pos;
        pos += 8 + qsizetype(size) + (size & 1);
    }
    return -1;
}

} // namespace

std::optional<QByteArray> riffChunk(const QString &path, const QByteArray &id)
{
    const QByteArray file = readAll(path);
    const qsizetype pos = findChunk(file, id);
    if (pos < 0)
        return std::nullopt;
    const quint32 size = qFromLittleEndian<quint32>(file.constData() + pos + 4);
    return file.mid(pos + 8, qsizetype(size));
}

bool replaceRiffChunk(const QString &path, const QByteArray &id, const QByteArray &data)
{
    QByteArray file = readAll(path);
    const qsizetype pos = findChunk(file, id);
    if (pos < 0)
        return false;
    const quint32 oldSize = qFromLittleEndian<quint32>(file.constData() + pos + 4);
    const qsizetype oldLength = 8 + qsizetype(oldSize) + (oldSize & 1);

    QByteArray chunk = id;
    char sizeBytes[4];
    qToLittleEndian<quint32>(quint32(data.size()), sizeBytes);
    chunk.append(sizeBytes, 4);
    chunk.append(data);
    if (data.size() & 1)
        chunk.append('\0');
    file.replace(pos, oldLength, chunk);

    qToLittleEndian<quint32>(quint32(file.size() - 8), file.data() + 4);
    return writeAll(path, file);
}

bool patchBextVersion(const QString &path, quint16 version)
{
    std::optional<QByteArray> bext = riffChunk(path, "bext");
    if (!bext || bext->size() < kBextChunkFixedSize)
        return false;
    qToLittleEndian<quint16>(version, bext->data() + kBextChunkVersionOffset);
    return replaceRiffChunk(path, "bext", *bext);
}

} // namespace fixtures
