// Assembles RIFF/RF64/BW64/AIFF/AIFF-C bytes from (id, payload) pairs, with
// sizes, pad bytes and the RF64 ds64 filled in, for tests and fuzz seeds.
// Any thread.
#pragma once

#include "container/ChunkList.h"

#include <QByteArray>
#include <QList>

class ChunkFileBuilder {
public:
    explicit ChunkFileBuilder(ChunkContainer container = ChunkContainer::Wave) : m_container(container) {}

    // declaredSize > payload size declares more bytes than are given: the
    // caller extends the file (ftruncate) to totalSize(). Last chunk only,
    // or an even size and writeSparse().
    ChunkFileBuilder &add(const QByteArray &id, const QByteArray &payload, qint64 declaredSize = -1);
    QByteArray bytes() const;
    qint64 totalSize() const;
    // Writes each chunk's given bytes at its place: what is declared but not
    // given stays a hole, so a file of gigabytes costs nothing.
    bool writeSparse(const QString &path) const;

    static QByteArray list(const QByteArray &type, const QList<QPair<QByteArray, QByteArray>> &children);
    static QByteArray le16(quint16 v);
    static QByteArray le32(quint32 v);
    static QByteArray le64(quint64 v);
    static QByteArray be16(quint16 v);
    static QByteArray be32(quint32 v);
    // "fmt " payload for integer PCM.
    static QByteArray pcmFormat(int channels, int rate, int bits);
    // "COMM" payload; a compression type makes it the AIFF-C form.
    static QByteArray aiffCommon(int channels, quint32 frames, int bits, int rate, const QByteArray &compression = {});
    // A version 1 "bext" payload (602 bytes + history).
    static QByteArray bext(const QByteArray &description, const QByteArray &codingHistory = {});

private:
    struct Entry {
        QByteArray id;
        QByteArray payload;
        qint64 size;
    };
    QByteArray chunkBytes(const Entry &e) const;
    QByteArray header() const;
    ChunkContainer m_container;
    QList<Entry> m_entries;
};
