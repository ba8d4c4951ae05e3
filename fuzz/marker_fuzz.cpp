// libFuzzer target for the marker readers and the label rewrite. An input
// that reads as a chunk file has its markers read from it; any input is also
// cut into the payloads the readers take (cue and adtl, MARK, INST and
// COMT), so damaged chunks are read too. No marker may come from bytes that
// are not there, and giving every marker a new label must read back as those
// labels with every other adtl entry, id and position kept. Any mismatch
// aborts.
#include "container/MarkerReader.h"
#include "rewrite/MarkerLabels.h"

#include <QtEndian>

#include <cstdlib>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

// The entries of an adtl list other than labl, with their bytes.
QByteArrayList otherEntries(const QByteArray &adtl)
{
    QByteArrayList entries;
    for (qsizetype pos = 4; adtl.size() - pos >= 8;) {
        const qint64 size = qFromLittleEndian<quint32>(adtl.constData() + pos + 4);
        if (size > adtl.size() - pos - 8)
            break;
        if (!adtl.mid(pos).startsWith("labl") || size < 4)
            entries << adtl.mid(pos, 8 + size);
        pos += 8 + size + size % 2;
    }
    return entries;
}

QString newLabel(quint32 id)
{
    return QStringLiteral("Marker %1 ü").arg(id);
}

void relabelCues(const QByteArray &cue, const QByteArray &adtl)
{
    const QList<CuePoint> points = parseCuePoints(cue, adtl);
    check(points.size() <= cue.size() / 24);
    MarkerLabels labels;
    for (const CuePoint &p : points)
        labels.insert(p.id, newLabel(p.id));
    const std::optional<QByteArray> relabelled = adtlWithLabels(adtl, labels);
    if (!relabelled)
        return;
    check(otherEntries(*relabelled) == otherEntries(adtl));
    QHash<quint32, QString> read;
    for (const CuePoint &p : parseCuePoints(cue, *relabelled))
        read.insert(p.id, p.label);
    for (const CuePoint &p : points)
        check(read.value(p.id) == newLabel(p.id));
}

void relabelAiff(const QByteArray &mark, const QByteArray &inst, const QByteArray &comt)
{
    const QList<Marker> markers = parseAiffMarkers(mark, inst, comt);
    check(markers.size() <= mark.size() / 7 + 2);
    MarkerLabels labels;
    for (const Marker &m : markers)
        labels.insert(m.id, newLabel(m.id));
    const std::optional<QByteArray> relabelled = markWithLabels(mark, labels);
    if (!relabelled)
        return;
    const QList<Marker> again = parseAiffMarkers(*relabelled, inst, comt);
    check(again.size() == markers.size());
    for (qsizetype i = 0; i < again.size(); ++i) {
        check(again[i].id == markers[i].id && again[i].frame == markers[i].frame && again[i].kind == markers[i].kind);
        check(again[i].isLoop() || again[i].label == newLabel(again[i].id));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    if (const std::optional<ChunkList> list = readChunkList(MemoryByteSource(input), nullptr)) {
        const QList<Marker> markers = readMarkers(MemoryByteSource(input), *list);
        check(markers.size() <= input.size() / 7 + 2);
    }
    // Three payloads, the first two led by a length byte each.
    const qsizetype first = input.isEmpty() ? 0 : std::min<qsizetype>(uchar(input[0]), input.size() - 1);
    const QByteArray one = input.mid(1, first);
    const QByteArray rest = input.mid(1 + first);
    const qsizetype second = rest.isEmpty() ? 0 : std::min<qsizetype>(uchar(rest[0]), rest.size() - 1);
    const QByteArray two = rest.mid(1, second);
    const QByteArray three = rest.mid(1 + second);
    relabelCues(one, "adtl" + two + three);
    relabelAiff(one, two, three);
    return 0;
}
