#include "cli/ChunkReport.h"

#include "filelogic/FileText.h"
#include "container/MarkerReader.h"
#include "rewrite/ChunkSave.h"

#include <QCoreApplication>

namespace {

constexpr qint64 kShownBytes = 64 * 1024;

QString tr(const char *text)
{
    return QCoreApplication::translate("ChunkReport", text);
}

QString hexDump(const QByteArray &bytes)
{
    QString out;
    for (int at = 0; at < bytes.size(); at += 16) {
        const QByteArray line = bytes.mid(at, 16);
        QString ascii;
        for (char c : line)
            ascii += (c >= 0x20 && c < 0x7f) ? QChar::fromLatin1(c) : QChar(u'.');
        out += QStringLiteral("%1  %2  %3\n").arg(at, 8, 16, QLatin1Char('0')).arg(hexBytes(line, 1), -47).arg(ascii);
    }
    return out;
}

QString cueText(const ByteSource &file, const ChunkList &list, const Chunk &cue)
{
    const int adtl = findChunk(list, "LIST", "adtl");
    const QByteArray adtlPayload = adtl >= 0 ? readChunkPayload(file, list.chunks[adtl]).value_or(QByteArray()) : QByteArray();
    QString out;
    for (const CuePoint &p : parseCuePoints(readChunkPayload(file, cue).value_or(QByteArray()), adtlPayload)) {
        out += tr("Cue %1 at frame %2").arg(p.id).arg(p.sampleOffset);
        if (!p.label.isEmpty())
            out += QStringLiteral(": ") + p.label;
        if (!p.note.isEmpty())
            out += QStringLiteral(" (") + p.note + QLatin1Char(')');
        out += QLatin1Char('\n');
    }
    return out.isEmpty() ? tr("No cue points.") : out;
}

} // namespace

QString chunkName(const Chunk &chunk)
{
    if (!chunk.listType.isEmpty())
        return QStringLiteral("%1/%2").arg(QString::fromLatin1(chunk.id), QString::fromLatin1(chunk.listType));
    return QString::fromLatin1(chunk.id).trimmed();
}

QString chunkContentsText(const ByteSource &file, const ChunkList &list, int index)
{
    if (index < 0 || index >= list.chunks.size())
        return QString();
    const Chunk &chunk = list.chunks[index];
    if (chunk.id == "cue ")
        return cueText(file, list, chunk);
    if (index == list.dataIndex)
        return tr("%1 bytes of audio.").arg(chunk.size);
    Chunk shown = chunk;
    shown.size = std::min(chunk.size, kShownBytes);
    const QByteArray bytes = readChunkPayload(file, shown).value_or(QByteArray());
    static const QList<QByteArray> xml = {"iXML", "axml", "_PMX"};
    if (xml.contains(chunk.id) || (chunk.depth > 0 && QByteArray("INAMIARTICMTICOPICRDISFTIGNRIPRDISRCITRK").contains(chunk.id)))
        return decodeFileText(bytes.left(bytes.indexOf('\0') < 0 ? bytes.size() : bytes.indexOf('\0')));
    QString text = hexDump(bytes);
    if (chunk.size > kShownBytes)
        text += tr("… %1 more bytes").arg(chunk.size - kShownBytes);
    return text;
}

ReportSection chunksSection(const QString &path)
{
    ReportSection section{QStringLiteral("Chunks"), {}};
    QString error;
    ChunkList readSoFar;
    const std::optional<ChunkList> list = readChunksOf(path, &error, &readSoFar);
    for (const Chunk &c : list ? list->chunks : readSoFar.chunks)
        section.fields.append(ReportField{QString(), QString(c.depth * 2, QLatin1Char(' ')) + chunkName(c),
                                          tr("offset %1, size %2").arg(c.offset).arg(c.size), c.offset, c.size});
    // A damaged file: the chunks before the damage, then what is wrong.
    if (!list)
        section.fields.append(ReportField{QString(), tr("Error"), error, -1, -1});
    return section;
}
