#include "rewrite/MarkerLabels.h"

#include "filelogic/FileText.h"

#include <QCoreApplication>
#include <QFile>
#include <QSet>
#include <QtEndian>

#include <algorithm>

namespace {

struct Text {
    Q_DECLARE_TR_FUNCTIONS(MarkerLabels)
};

constexpr int kMaxNameBytes = 255; // a pstring's length byte

QByteArray le32(quint32 v)
{
    QByteArray b(4, '\0');
    qToLittleEndian(v, b.data());
    return b;
}

// A labl entry with its pad byte; nothing for an empty label.
QByteArray lablEntry(quint32 id, const QString &label)
{
    if (label.isEmpty())
        return {};
    const QByteArray payload = le32(id) + label.toUtf8() + '\0';
    QByteArray entry = "labl" + le32(quint32(payload.size())) + payload;
    if (entry.size() % 2)
        entry += '\0';
    return entry;
}

// A length byte, at most 255 bytes of text and a pad to an even size.
QByteArray pstring(const QString &text)
{
    const QByteArray bytes = cutUtf8(text.toUtf8(), kMaxNameBytes);
    QByteArray out = char(bytes.size()) + bytes;
    if (out.size() % 2)
        out += '\0';
    return out;
}

} // namespace

std::optional<QByteArray> adtlWithLabels(const QByteArray &adtl, const MarkerLabels &labels)
{
    if (!adtl.isEmpty() && !adtl.startsWith("adtl"))
        return std::nullopt;
    QByteArray out = "adtl";
    QSet<quint32> placed;
    const auto *bytes = reinterpret_cast<const uchar *>(adtl.constData());
    for (qsizetype pos = 4; pos < adtl.size();) {
        const qint64 size = adtl.size() - pos >= 8 ? qFromLittleEndian<quint32>(bytes + pos + 4) : -1;
        if (size < 0 || size > adtl.size() - pos - 8)
            return std::nullopt;
        // The last entry may lack its pad byte; it gets one.
        const QByteArray entry = adtl.mid(pos, 8 + size + size % 2);
        const bool label = entry.startsWith("labl") && size >= 4;
        const quint32 id = label ? qFromLittleEndian<quint32>(bytes + pos + 8) : 0;
        pos += 8 + size + size % 2;
        if (!label || !labels.contains(id)) {
            out += entry.leftJustified(8 + size + size % 2, '\0');
            continue;
        }
        // A point's later labels would contradict the new one.
        if (!placed.contains(id))
            out += lablEntry(id, labels.value(id));
        placed.insert(id);
    }
    QList<quint32> ids = labels.keys();
    std::sort(ids.begin(), ids.end());
    for (quint32 id : ids)
        if (!placed.contains(id))
            out += lablEntry(id, labels.value(id));
    return out;
}

std::optional<QByteArray> markWithLabels(const QByteArray &mark, const MarkerLabels &labels)
{
    if (mark.size() < 2)
        return std::nullopt;
    const int count = qFromBigEndian<quint16>(mark.constData());
    QByteArray out = mark.left(2);
    qsizetype at = 2;
    for (int i = 0; i < count; ++i) {
        if (mark.size() - at < 7)
            return std::nullopt;
        const quint16 id = qFromBigEndian<quint16>(mark.constData() + at);
        const int length = uchar(mark.at(at + 6));
        // The last name may lack its pad byte.
        const qsizetype whole = std::min<qsizetype>(7 + length + (length + 1) % 2, mark.size() - at);
        if (whole < 7 + length)
            return std::nullopt;
        out += labels.contains(id) ? mark.mid(at, 6) + pstring(labels.value(id)) : mark.mid(at, whole);
        at += whole;
    }
    return out + mark.mid(at);
}

std::optional<ChunkPayload> markerLabelEdit(const QString &path, const MarkerLabels &labels, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return std::nullopt;
    }
    const FdByteSource source(file.handle());
    const std::optional<ChunkList> list = readChunkList(source, error);
    if (!list)
        return std::nullopt;
    const QByteArray id = list->isAiff() ? "MARK" : "LIST";
    const QByteArray listType = list->isAiff() ? QByteArray() : "adtl";
    const int at = findChunk(*list, id, listType);
    const int lists = int(std::count_if(list->chunks.cbegin(), list->chunks.cend(), [](const Chunk &c) {
        return c.depth == 0 && c.listType == "adtl";
    }));
    if (lists > 1) {
        *error = Text::tr("The file has %1 LIST/adtl chunks; which one labels its markers is unclear.").arg(lists);
        return std::nullopt;
    }
    const std::optional<QByteArray> old = at < 0 ? std::optional<QByteArray>(QByteArray())
                                                 : readChunkPayload(source, list->chunks.at(at));
    if (list->isAiff() ? at < 0 : findChunk(*list, "cue ") < 0) {
        *error = Text::tr("The file has no markers to label.");
        return std::nullopt;
    }
    if (!old) {
        *error = Text::tr("The “%1” chunk could not be read.").arg(QString::fromLatin1(id));
        return std::nullopt;
    }
    const std::optional<QByteArray> payload = list->isAiff() ? markWithLabels(*old, labels) : adtlWithLabels(*old, labels);
    if (!payload) {
        *error = Text::tr("The file's marker labels are damaged and are left as they are.");
        return std::nullopt;
    }
    // An associated-data list left without entries goes.
    return ChunkPayload{id, *payload == listType && !list->isAiff() ? QByteArray() : *payload, listType};
}
