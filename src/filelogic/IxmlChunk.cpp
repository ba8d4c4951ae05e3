#include "filelogic/IxmlChunk.h"

#include <QCoreApplication>
#include <QSet>
#include <QStringDecoder>
#include <QXmlStreamReader>

#include <algorithm>

namespace {

using F = MetadataField;

QString tr(const char *text)
{
    return QCoreApplication::translate("IxmlChunk", text);
}

const QByteArray kBom("\xEF\xBB\xBF");

// What a file without iXML starts from when an iXML field is set.
const QByteArray kMinimalChunk("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<BWFXML>\n\t<IXML_VERSION>1.5</IXML_VERSION>\n"
                               "</BWFXML>\n");

const std::pair<F, const char *> kFieldElements[] = {
    {F::IxmlProject, "PROJECT"}, {F::IxmlScene, "SCENE"},     {F::IxmlTake, "TAKE"},
    {F::IxmlTape, "TAPE"},       {F::IxmlCircled, "CIRCLED"}, {F::IxmlNote, "NOTE"},
};

QString elementOf(F field)
{
    for (const auto &[f, name] : kFieldElements)
        if (f == field)
            return QString::fromLatin1(name);
    return QString();
}

// Where the shown-only values and the tracks' texts are, below the root.
using Setter = void (*)(IxmlChunk &, const QString &);
const std::pair<const char *, Setter> kReadElements[] = {
    {"TRACK_LIST/TRACK_COUNT", [](IxmlChunk &c, const QString &v) { c.trackCount = v; }},
    {"TRACK_LIST/TRACK/CHANNEL_INDEX", [](IxmlChunk &c, const QString &v) { c.tracks.last().channelIndex = v; }},
    {"TRACK_LIST/TRACK/INTERLEAVE_INDEX", [](IxmlChunk &c, const QString &v) { c.tracks.last().interleaveIndex = v; }},
    {"TRACK_LIST/TRACK/NAME", [](IxmlChunk &c, const QString &v) { c.tracks.last().name = v; }},
    {"TRACK_LIST/TRACK/FUNCTION", [](IxmlChunk &c, const QString &v) { c.tracks.last().function = v; }},
    {"SPEED/TIMECODE_RATE", [](IxmlChunk &c, const QString &v) { c.timecodeRate = v; }},
    {"SPEED/TIMECODE_FLAG", [](IxmlChunk &c, const QString &v) { c.timecodeFlag = v; }},
    {"SPEED/FILE_SAMPLE_RATE", [](IxmlChunk &c, const QString &v) { c.fileSampleRate = v; }},
    {"FILE_UID", [](IxmlChunk &c, const QString &v) { c.fileUid = v; }},
    {"UBITS", [](IxmlChunk &c, const QString &v) { c.ubits = v; }},
    {"BEXT/BWF_DESCRIPTION", [](IxmlChunk &c, const QString &v) { c.bextDescription = v; }},
    {"BEXT/BWF_TIME_REFERENCE_LOW", [](IxmlChunk &c, const QString &v) { c.bextTimeReferenceLow = v; }},
    {"BEXT/BWF_TIME_REFERENCE_HIGH", [](IxmlChunk &c, const QString &v) { c.bextTimeReferenceHigh = v; }},
};

// An element as found in the decoded text. Positions count characters
// (UTF-16 code units) of Parsed::text, as QXmlStreamReader's offsets do.
struct Node {
    QString name;
    int parent = -1;
    qsizetype open = 0;     // the start tag's '<'
    qsizetype openEnd = 0;  // after the start tag's '>'
    qsizetype close = 0;    // the end tag's '<'
    qsizetype closeEnd = 0; // after the end tag's '>'; openEnd for <X/>
    int lastChild = -1;
    QString text; // its own character data
    bool isEmptyTag() const { return closeEnd == openEnd; }
};

struct Parsed {
    QString text; // the XML without byte-order mark and padding, when UTF-8
    qsizetype bomBytes = 0;
    bool utf8 = false;
    QList<Node> nodes; // document order, the root first
    QString error;
};

Parsed parse(const QByteArray &payload)
{
    Parsed p;
    // Recorders reserve room for later edits with NULs after the XML; in
    // UTF-16 a NUL pair is one character.
    const bool utf16 = payload.startsWith("\xff\xfe") || payload.startsWith("\xfe\xff");
    const qsizetype unit = utf16 ? 2 : 1;
    qsizetype end = payload.size() - (utf16 ? payload.size() % 2 : 0);
    while (end >= unit && payload.at(end - 1) == '\0' && payload.at(end - unit) == '\0')
        end -= unit;
    const QByteArrayView xml = QByteArrayView(payload).first(end);
    p.bomBytes = xml.startsWith(kBom) ? kBom.size() : 0;
    QStringDecoder decode(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    p.text = decode(xml.sliced(p.bomBytes));
    p.utf8 = !decode.hasError();
    QXmlStreamReader reader;
    // Given the decoded text, the reader's offsets index it; anything else
    // (UTF-16, a declared legacy encoding) it decodes itself, for reading.
    if (p.utf8)
        reader.addData(p.text);
    else
        reader.addData(xml.toByteArray());
    QList<int> open;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        const qsizetype at = reader.characterOffset();
        if (token == QXmlStreamReader::StartElement) {
            Node node;
            node.name = reader.name().toString();
            node.parent = open.isEmpty() ? -1 : open.last();
            node.openEnd = at;
            // No '<' can stand inside a tag, so the last one before its end
            // opens it.
            node.open = p.utf8 ? std::max<qsizetype>(0, p.text.lastIndexOf(u'<', at - 1)) : 0;
            if (node.parent >= 0)
                p.nodes[node.parent].lastChild = int(p.nodes.size());
            open << int(p.nodes.size());
            p.nodes << node;
        } else if (token == QXmlStreamReader::EndElement && !open.isEmpty()) {
            Node &node = p.nodes[open.takeLast()];
            node.closeEnd = at;
            node.close = at == node.openEnd || !p.utf8 ? at : std::max<qsizetype>(0, p.text.lastIndexOf(u'<', at - 1));
        } else if (token == QXmlStreamReader::Characters && !open.isEmpty()) {
            p.nodes[open.last()].text += reader.text();
        }
    }
    if (reader.hasError())
        p.error = tr("line %1, column %2: %3").arg(reader.lineNumber()).arg(reader.columnNumber()).arg(reader.errorString());
    return p;
}

// The element's names below the root, joined by '/' ("TRACK_LIST/TRACK").
QString pathOf(const Parsed &p, int index)
{
    QStringList names;
    for (int i = index; i >= 0 && p.nodes[i].parent >= 0; i = p.nodes[i].parent)
        names.prepend(p.nodes[i].name);
    return names.join(u'/');
}

int childNamed(const Parsed &p, int parent, const QString &name)
{
    for (int i = parent + 1; i < p.nodes.size(); ++i)
        if (p.nodes[i].parent == parent && p.nodes[i].name == name)
            return i;
    return -1;
}

QList<int> childrenNamed(const Parsed &p, int parent, const QString &name)
{
    QList<int> found;
    for (int i = parent + 1; i < p.nodes.size(); ++i)
        if (p.nodes[i].parent == parent && p.nodes[i].name == name)
            found << i;
    return found;
}

// Element text as XML carries it back: markup escaped, a CR as a reference
// (a bare one would read back as a line feed). nullopt for a character XML
// cannot hold at all.
std::optional<QString> escaped(const QString &text)
{
    if (!text.isValidUtf16())
        return std::nullopt;
    QString out;
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == u'&')
            out += QLatin1String("&amp;");
        else if (u == u'<')
            out += QLatin1String("&lt;");
        else if (u == u'>')
            out += QLatin1String("&gt;");
        else if (u == u'\r')
            out += QLatin1String("&#13;");
        else if ((u < 0x20 && u != u'\t' && u != u'\n') || u == 0xFFFE || u == 0xFFFF)
            return std::nullopt;
        else
            out += c;
    }
    return out;
}

QString element(const QString &name, const QString &inner)
{
    return u'<' + name + u'>' + inner + QLatin1String("</") + name + u'>';
}

// An element holding others, laid out as the file lays out its elements:
// each part on a line of its own one step in when `indent` starts a line,
// all on one line otherwise.
QString nested(const QString &name, const QStringList &parts, const QString &indent, const QString &step)
{
    if (!indent.contains(u'\n'))
        return element(name, parts.join(QString()));
    QString inner;
    for (const QString &part : parts)
        inner += indent + step + part;
    return element(name, inner + indent);
}

struct Splice {
    qsizetype at;
    qsizetype length;
    QString text;
};

class Editor {
public:
    explicit Editor(const Parsed &parsed) : p(parsed) {}

    // Sets the text of the first `name` below `parent`, or has it added.
    bool set(int parent, const QString &name, const QString &text)
    {
        const std::optional<QString> escapedText = escaped(text);
        if (!escapedText) {
            error = tr("“%1” holds a character XML cannot carry").arg(text);
            return false;
        }
        const int at = childNamed(p, parent, name);
        if (at < 0) {
            if (!text.isEmpty())
                add(parent, element(name, *escapedText));
            return true;
        }
        const Node &node = p.nodes[at];
        if (node.lastChild >= 0) {
            error = tr("its <%1> element holds other elements").arg(name);
            return false;
        }
        if (node.isEmptyTag())
            splices << Splice{node.closeEnd - 2, 2, u'>' + *escapedText + QLatin1String("</") + node.name + u'>'};
        else
            splices << Splice{node.openEnd, node.close - node.openEnd, *escapedText};
        return true;
    }

    // Queues an element to go after the parent's last child element.
    void add(int parent, const QString &text) { added[parent] << text; }

    // The whitespace that sets the parent's children apart (a line break and
    // the indentation), as its last child has it.
    QString indentIn(int parent) const
    {
        const int last = p.nodes[parent].lastChild;
        if (last < 0)
            return QString();
        qsizetype from = p.nodes[last].open;
        while (from > 0 && p.text.at(from - 1).isSpace())
            --from;
        return p.text.mid(from, p.nodes[last].open - from);
    }

    // One step of indentation: what the root's children have beyond it.
    QString step() const
    {
        const QString indent = indentIn(0);
        return indent.contains(u'\n') ? indent.mid(indent.lastIndexOf(u'\n') + 1) : QString();
    }

    QList<Splice> finish() const
    {
        QList<Splice> all = splices;
        for (const auto &[parent, elements] : added) {
            const Node &node = p.nodes[parent];
            const QString indent = indentIn(parent);
            QString text;
            for (const QString &e : elements)
                text += indent + e;
            if (node.lastChild >= 0)
                all << Splice{p.nodes[node.lastChild].closeEnd, 0, text};
            else if (node.isEmptyTag())
                all << Splice{node.closeEnd - 2, 2, u'>' + text + QLatin1String("</") + node.name + u'>'};
            else
                all << Splice{node.close, 0, text};
        }
        return all;
    }

    QString error;

private:
    const Parsed &p;
    QList<Splice> splices;
    std::map<int, QStringList> added;
};

QString trackElement(int channel, const QString &name, const QString &indent, const QString &step)
{
    const QString number = QString::number(channel);
    return nested(QStringLiteral("TRACK"),
                  {element(QStringLiteral("CHANNEL_INDEX"), number), element(QStringLiteral("INTERLEAVE_INDEX"), number),
                   element(QStringLiteral("NAME"), name)},
                  indent, step);
}

// Track names: a track's NAME set, or a track added where the chunk has
// none for the channel.
bool editTracks(const Parsed &p, const TrackNames &names, Editor &editor)
{
    const int list = childNamed(p, 0, QStringLiteral("TRACK_LIST"));
    const QList<int> tracks = list < 0 ? QList<int>() : childrenNamed(p, list, QStringLiteral("TRACK"));
    QStringList newTracks;
    // A new track's own indentation: one step inside a new TRACK_LIST, or
    // that of the tracks it joins.
    const QString indent = list < 0 ? editor.indentIn(0) + editor.step() : editor.indentIn(list);
    for (const auto &[channel, name] : names) {
        const int wanted = channel; // a structured binding cannot be captured in C++17
        const auto track = std::find_if(tracks.begin(), tracks.end(), [&p, wanted](int t) {
            const int index = childNamed(p, t, QStringLiteral("CHANNEL_INDEX"));
            return index >= 0 && IxmlTrack{p.nodes[index].text.trimmed(), {}, {}, {}}.channel() == wanted;
        });
        if (track != tracks.end()) {
            if (!editor.set(*track, QStringLiteral("NAME"), name))
                return false;
        } else if (!name.isEmpty()) {
            const std::optional<QString> text = escaped(name);
            if (!text) {
                editor.error = tr("“%1” holds a character XML cannot carry").arg(name);
                return false;
            }
            newTracks << trackElement(channel, *text, indent, editor.step());
        }
    }
    if (newTracks.isEmpty())
        return true;
    const QString count = QString::number(tracks.size() + newTracks.size());
    if (list >= 0) {
        for (const QString &track : newTracks)
            editor.add(list, track);
        return childNamed(p, list, QStringLiteral("TRACK_COUNT")) < 0 || editor.set(list, QStringLiteral("TRACK_COUNT"), count);
    }
    editor.add(0, nested(QStringLiteral("TRACK_LIST"), QStringList{element(QStringLiteral("TRACK_COUNT"), count)} + newTracks,
                         editor.indentIn(0), editor.step()));
    return true;
}

qsizetype utf8Length(QStringView text)
{
    qsizetype bytes = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text.at(i).unicode();
        if (QChar::isHighSurrogate(u) && i + 1 < text.size() && QChar::isLowSurrogate(text.at(i + 1).unicode())) {
            bytes += 4;
            ++i;
        } else {
            bytes += u < 0x80 ? 1 : u < 0x800 ? 2 : 3;
        }
    }
    return bytes;
}

// True when the edited payload reads back with the edits' texts.
bool readsBack(const QByteArray &payload, const IxmlEdits &edits)
{
    const IxmlChunk chunk = readIxmlChunk(payload);
    if (!chunk.editable)
        return false;
    for (const auto &[field, text] : edits.fields)
        if (chunk.text(field) != text.trimmed())
            return false;
    const TrackNames names = chunk.trackNames();
    for (const auto &[channel, name] : edits.trackNames) {
        const auto found = names.find(channel);
        if ((found == names.end() ? QString() : found->second) != name.trimmed())
            return false;
    }
    return true;
}

} // namespace

int IxmlTrack::channel() const
{
    bool ok = false;
    const int number = channelIndex.toInt(&ok);
    return ok && number > 0 ? number : 0;
}

QString IxmlChunk::text(MetadataField field) const
{
    const auto found = fields.find(field);
    return found == fields.end() ? QString() : found->second;
}

TrackNames IxmlChunk::trackNames() const
{
    TrackNames names;
    for (const IxmlTrack &track : tracks)
        if (track.channel() > 0)
            names.emplace(track.channel(), track.name);
    return names;
}

IxmlChunk readIxmlChunk(const QByteArray &payload)
{
    IxmlChunk chunk;
    if (payload.isEmpty()) {
        chunk.wellFormed = chunk.editable = true;
        return chunk;
    }
    const Parsed p = parse(payload);
    chunk.wellFormed = p.error.isEmpty();
    chunk.editable = chunk.wellFormed && p.utf8;
    chunk.problem = !chunk.wellFormed ? p.error : !p.utf8 ? tr("the chunk is not UTF-8 text") : QString();
    // What a chunk that is not well-formed holds before its fault is still
    // shown. The first of an element counts, as the editor edits the first.
    QSet<QString> seen;
    for (int i = 1; i < p.nodes.size(); ++i) {
        const QString path = pathOf(p, i);
        const QString value = p.nodes[i].text.trimmed();
        if (path == QLatin1String("TRACK_LIST/TRACK"))
            chunk.tracks << IxmlTrack{};
        for (const auto &[f, name] : kFieldElements)
            if (path == QLatin1String(name))
                chunk.fields.emplace(f, value);
        // Each track's elements are its own.
        const QString key = path.startsWith(QLatin1String("TRACK_LIST/TRACK/")) ? path + QString::number(chunk.tracks.size()) : path;
        for (const auto &[where, setter] : kReadElements)
            if (path == QLatin1String(where) && !seen.contains(key) && (key == path || !chunk.tracks.isEmpty())) {
                seen.insert(key);
                setter(chunk, value);
            }
    }
    return chunk;
}

std::optional<QByteArray> editIxmlChunk(const QByteArray &payload, const IxmlEdits &edits, QString *error)
{
    const QByteArray source = payload.isEmpty() ? kMinimalChunk : payload;
    const Parsed p = parse(source);
    if (!p.error.isEmpty() || p.nodes.isEmpty()) {
        *error = tr("the iXML chunk is not well-formed XML (%1)").arg(p.error);
        return std::nullopt;
    }
    if (!p.utf8) {
        *error = tr("the iXML chunk is not UTF-8 text");
        return std::nullopt;
    }
    Editor editor(p);
    bool ok = true;
    for (const auto &[field, text] : edits.fields)
        ok = ok && editor.set(0, elementOf(field), text);
    ok = ok && editTracks(p, edits.trackNames, editor);
    if (!ok) {
        *error = tr("the iXML chunk cannot be edited: %1").arg(editor.error);
        return std::nullopt;
    }
    // From the last splice to the first, so the earlier byte offsets stay
    // valid; characters before a splice map to bytes through their UTF-8
    // length after the byte-order mark.
    QList<Splice> splices = editor.finish();
    std::sort(splices.begin(), splices.end(), [](const Splice &a, const Splice &b) { return a.at > b.at; });
    QByteArray out = source;
    for (const Splice &s : splices) {
        const qsizetype at = p.bomBytes + utf8Length(QStringView(p.text).first(s.at));
        out.replace(at, utf8Length(QStringView(p.text).sliced(s.at, s.length)), s.text.toUtf8());
    }
    if (!readsBack(out, edits)) {
        *error = tr("the edited iXML chunk did not read back as edited");
        return std::nullopt;
    }
    return out;
}

bool isWellFormedUtf8Xml(const QByteArray &bytes, QString *problem)
{
    const Parsed p = parse(bytes);
    *problem = !p.utf8 ? tr("not UTF-8 text") : !p.error.isEmpty() ? tr("not well-formed XML (%1)").arg(p.error)
             : p.nodes.isEmpty() ? tr("no XML element") : QString();
    return problem->isEmpty();
}
