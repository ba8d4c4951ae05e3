#include "container/MarkerReader.h"

#include "filelogic/FileText.h"

#include <QCoreApplication>
#include <QHash>
#include <QtEndian>

#include <algorithm>

namespace {

struct Text {
    Q_DECLARE_TR_FUNCTIONS(MarkerReader)
};

QString textUpToNul(const QByteArray &bytes)
{
    const qsizetype nul = bytes.indexOf('\0');
    return decodeFileText(nul < 0 ? bytes : bytes.left(nul));
}

// Reads big-endian fields of an AIFF payload; past the end it says so
// instead of reading.
class BigEndianReader {
public:
    explicit BigEndianReader(const QByteArray &bytes) : m_bytes(bytes) {}
    bool has(qsizetype n) const { return n >= 0 && m_bytes.size() - m_at >= n; }
    quint8 u8() { return quint8(m_bytes.at(m_at++)); }
    quint16 u16()
    {
        const quint16 v = qFromBigEndian<quint16>(m_bytes.constData() + m_at);
        m_at += 2;
        return v;
    }
    quint32 u32()
    {
        const quint32 v = qFromBigEndian<quint32>(m_bytes.constData() + m_at);
        m_at += 4;
        return v;
    }
    // count bytes of text and the pad byte that makes `count + extra` even;
    // a text cut by the end of the payload gives what is there.
    QString text(qsizetype count, qsizetype extra)
    {
        const QByteArray bytes = m_bytes.mid(m_at, count);
        m_at = std::min(m_bytes.size(), m_at + count + (count + extra) % 2);
        return textUpToNul(bytes);
    }

private:
    const QByteArray &m_bytes;
    qsizetype m_at = 0;
};

// AIFF marker ids are positive shorts; 0 in a comment means "no marker".
QHash<quint32, QString> markerComments(const QByteArray &comt)
{
    QHash<quint32, QString> notes;
    BigEndianReader in(comt);
    const int count = in.has(2) ? in.u16() : 0;
    for (int i = 0; i < count && in.has(8); ++i) {
        in.u32(); // time stamp
        const quint16 marker = in.u16();
        const QString text = in.text(in.u16(), 0);
        if (marker != 0 && !notes.contains(marker))
            notes.insert(marker, text);
    }
    return notes;
}

QString loopModeText(quint16 mode)
{
    return mode == 1 ? Text::tr("forward")
         : mode == 2 ? Text::tr("forward and backward")
                     : Text::tr("play mode %1").arg(mode);
}

void addLoops(const QByteArray &inst, const QList<Marker> &points, QList<Marker> *markers)
{
    constexpr int kSustainAt = 8;
    constexpr int kReleaseAt = 14;
    for (const int at : {kSustainAt, kReleaseAt}) {
        if (inst.size() < at + 6)
            break;
        const auto *p = reinterpret_cast<const uchar *>(inst.constData()) + at;
        const quint16 mode = qFromBigEndian<quint16>(p);
        const auto marker = [&points](quint16 id) {
            return std::find_if(points.cbegin(), points.cend(), [id](const Marker &m) { return m.id == id; });
        };
        const auto begin = marker(qFromBigEndian<quint16>(p + 2));
        const auto end = marker(qFromBigEndian<quint16>(p + 4));
        if (mode == 0 || begin == points.cend() || end == points.cend())
            continue;
        const bool sustain = at == kSustainAt;
        Marker loop;
        loop.kind = sustain ? MarkerKind::SustainLoop : MarkerKind::ReleaseLoop;
        loop.id = begin->id;
        loop.frame = begin->frame;
        loop.length = std::max<qint64>(end->frame - begin->frame, 0);
        loop.label = sustain ? Text::tr("Sustain loop") : Text::tr("Release loop");
        loop.note = loopModeText(mode);
        markers->append(loop);
    }
}

// The first top-level chunk of the id (and list type) decides, as for the
// writer that replaces it.
std::optional<QByteArray> payloadOf(const ByteSource &source, const ChunkList &list, const QByteArray &id,
                                    const QByteArray &listType = {})
{
    for (const Chunk &c : list.chunks)
        if (c.depth == 0 && c.id == id && c.listType == listType)
            return readChunkPayload(source, c);
    return std::nullopt;
}

} // namespace

QList<CuePoint> parseCuePoints(const QByteArray &cuePayload, const QByteArray &adtlListPayload)
{
    QList<CuePoint> points;
    QHash<quint32, int> byId;
    const auto *cue = reinterpret_cast<const uchar *>(cuePayload.constData());
    const quint32 count = cuePayload.size() >= 4 ? qFromLittleEndian<quint32>(cue) : 0;
    for (quint32 i = 0; i < count && 4 + 24 * (qsizetype(i) + 1) <= cuePayload.size(); ++i) {
        const uchar *p = cue + 4 + 24 * i;
        CuePoint point;
        point.id = qFromLittleEndian<quint32>(p);
        point.sampleOffset = qFromLittleEndian<quint32>(p + 20);
        byId.insert(point.id, points.size());
        points.append(point);
    }
    if (!adtlListPayload.startsWith("adtl"))
        return points;
    const auto *a = reinterpret_cast<const uchar *>(adtlListPayload.constData());
    const qsizetype end = adtlListPayload.size();
    for (qsizetype pos = 4; end - pos >= 8;) {
        const QByteArray id = adtlListPayload.mid(pos, 4);
        const qsizetype size = qFromLittleEndian<quint32>(a + pos + 4);
        if (size > end - pos - 8)
            break;
        const QByteArray payload = adtlListPayload.mid(pos + 8, size);
        // An entry too short to name its point belongs to none.
        const auto found = size < 4 ? byId.constEnd() : byId.constFind(qFromLittleEndian<quint32>(a + pos + 8));
        if (found != byId.constEnd()) {
            CuePoint &point = points[*found];
            if (id == "labl" && point.label.isEmpty())
                point.label = textUpToNul(payload.mid(4));
            else if (id == "note" && point.note.isEmpty())
                point.note = textUpToNul(payload.mid(4));
            else if (id == "ltxt" && size >= 8)
                point.length = qFromLittleEndian<quint32>(a + pos + 12);
        }
        pos += 8 + size + (size % 2);
    }
    return points;
}

QList<Marker> parseAiffMarkers(const QByteArray &mark, const QByteArray &inst, const QByteArray &comt)
{
    QList<Marker> points;
    const QHash<quint32, QString> notes = markerComments(comt);
    BigEndianReader in(mark);
    const int count = in.has(2) ? in.u16() : 0;
    for (int i = 0; i < count && in.has(7); ++i) {
        Marker m;
        m.id = in.u16();
        m.frame = in.u32();
        // A pstring: its length byte, the text, a pad to an even size.
        m.label = in.text(in.u8(), 1);
        points.append(m);
    }
    QList<Marker> markers = points;
    addLoops(inst, points, &markers);
    for (Marker &m : markers)
        if (!m.isLoop())
            m.note = notes.value(m.id);
    return markers;
}

QList<Marker> readMarkers(const ByteSource &source, const ChunkList &list)
{
    QList<Marker> markers;
    if (list.isAiff()) {
        const std::optional<QByteArray> mark = payloadOf(source, list, "MARK");
        if (!mark)
            return markers;
        markers = parseAiffMarkers(*mark, payloadOf(source, list, "INST").value_or(QByteArray()),
                                   payloadOf(source, list, "COMT").value_or(QByteArray()));
    } else {
        const std::optional<QByteArray> cue = payloadOf(source, list, "cue ");
        if (!cue)
            return markers;
        const QByteArray adtl = payloadOf(source, list, "LIST", "adtl").value_or(QByteArray());
        for (const CuePoint &p : parseCuePoints(*cue, adtl)) {
            const MarkerKind kind = p.length > 0 ? MarkerKind::Region : MarkerKind::Point;
            markers.append(Marker{kind, p.id, p.sampleOffset, p.length, p.label, p.note});
        }
    }
    std::stable_sort(markers.begin(), markers.end(), [](const Marker &a, const Marker &b) { return a.frame < b.frame; });
    return markers;
}
