#include "ChunkFileBuilder.h"

#include <QFile>
#include <QtEndian>

namespace {

template<typename T>
QByteArray raw(T v, bool big)
{
    QByteArray b(sizeof(T), '\0');
    big ? qToBigEndian(v, b.data()) : qToLittleEndian(v, b.data());
    return b;
}

} // namespace

QByteArray ChunkFileBuilder::le16(quint16 v) { return raw(v, false); }
QByteArray ChunkFileBuilder::le32(quint32 v) { return raw(v, false); }
QByteArray ChunkFileBuilder::le64(quint64 v) { return raw(v, false); }
QByteArray ChunkFileBuilder::be16(quint16 v) { return raw(v, true); }
QByteArray ChunkFileBuilder::be32(quint32 v) { return raw(v, true); }

ChunkFileBuilder &ChunkFileBuilder::add(const QByteArray &id, const QByteArray &payload, qint64 declaredSize)
{
    m_entries.append({id, payload, declaredSize < 0 ? payload.size() : declaredSize});
    return *this;
}

QByteArray ChunkFileBuilder::chunkBytes(const Entry &e) const
{
    const bool wide = m_container == ChunkContainer::Rf64 || m_container == ChunkContainer::Bw64;
    const bool big = m_container == ChunkContainer::Aiff || m_container == ChunkContainer::Aifc;
    const quint32 field = wide && e.id == "data" ? 0xffffffffu : quint32(e.size);
    QByteArray b = e.id + raw(field, big) + e.payload;
    if (e.size == e.payload.size() && e.size % 2 == 1)
        b.append('\0');
    return b;
}

qint64 ChunkFileBuilder::totalSize() const
{
    qint64 n = 12 + (m_container == ChunkContainer::Rf64 || m_container == ChunkContainer::Bw64 ? 36 : 0);
    for (const Entry &e : m_entries)
        n += 8 + e.size + e.size % 2 * (e.size == e.payload.size() ? 1 : 0);
    return n;
}

QByteArray ChunkFileBuilder::header() const
{
    const bool wide = m_container == ChunkContainer::Rf64 || m_container == ChunkContainer::Bw64;
    const qint64 riff = totalSize() - 8;
    QByteArray out;
    switch (m_container) {
    case ChunkContainer::Wave: out = "RIFF" + le32(quint32(riff)) + "WAVE"; break;
    case ChunkContainer::Rf64: out = "RF64" + le32(0xffffffffu) + "WAVE"; break;
    case ChunkContainer::Bw64: out = "BW64" + le32(0xffffffffu) + "WAVE"; break;
    case ChunkContainer::Aiff: out = "FORM" + be32(quint32(riff)) + "AIFF"; break;
    case ChunkContainer::Aifc: out = "FORM" + be32(quint32(riff)) + "AIFC"; break;
    }
    if (wide) {
        qint64 data = 0;
        for (const Entry &e : m_entries)
            data = e.id == "data" ? e.size : data;
        out += "ds64" + le32(28) + le64(quint64(riff)) + le64(quint64(data)) + le64(0) + le32(0);
    }
    return out;
}

QByteArray ChunkFileBuilder::bytes() const
{
    QByteArray out = header();
    for (const Entry &e : m_entries)
        out += chunkBytes(e);
    return out;
}

bool ChunkFileBuilder::writeSparse(const QString &path) const
{
    QFile file(path);
    const QByteArray head = header();
    bool ok = file.open(QIODevice::WriteOnly) && file.write(head) == head.size();
    qint64 at = head.size();
    for (const Entry &e : m_entries) {
        const QByteArray chunk = chunkBytes(e);
        ok = ok && file.seek(at) && file.write(chunk) == chunk.size();
        at += 8 + e.size + e.size % 2 * (e.size == e.payload.size() ? 1 : 0);
    }
    return ok && file.resize(totalSize());
}

QByteArray ChunkFileBuilder::list(const QByteArray &type, const QList<QPair<QByteArray, QByteArray>> &children)
{
    QByteArray b = type;
    for (const auto &[id, payload] : children)
        b += id + le32(quint32(payload.size())) + payload + (payload.size() % 2 ? QByteArray(1, '\0') : QByteArray());
    return b;
}

QByteArray ChunkFileBuilder::pcmFormat(int channels, int rate, int bits)
{
    const int block = channels * ((bits + 7) / 8);
    return le16(1) + le16(quint16(channels)) + le32(quint32(rate)) + le32(quint32(rate * block)) + le16(quint16(block))
        + le16(quint16(bits));
}

QByteArray ChunkFileBuilder::aiffCommon(int channels, quint32 frames, int bits, int rate, const QByteArray &compression)
{
    int exponent = 0;
    while ((quint64(1) << (exponent + 1)) <= quint64(rate))
        ++exponent;
    const QByteArray rate80 = be16(quint16(16383 + exponent)) + raw(quint64(rate) << (63 - exponent), true);
    QByteArray b = be16(quint16(channels)) + be32(frames) + be16(quint16(bits)) + rate80;
    if (!compression.isEmpty())
        b += compression + QByteArray("\x0e" "not compressed", 15) + QByteArray(1, '\0');
    return b;
}

QByteArray ChunkFileBuilder::bext(const QByteArray &description, const QByteArray &codingHistory)
{
    QByteArray b(602, '\0');
    b.replace(0, qMin<qsizetype>(description.size(), 256), description.left(256));
    b.replace(256, 9, "Recorder1");
    b.replace(288, 6, "REF001");
    b.replace(320, 10, "2024-05-01");
    b.replace(330, 8, "10:11:12");
    b.replace(338, 8, le64(48000ULL * 3600));
    b.replace(346, 2, le16(1)); // version 1
    return b + codingHistory;
}
