// Checks after a tag save: the audio bytes are the ones the original had,
// the strings read back as meant, and nothing else in the tags moved.
#include "rewrite/TagWriter.h"

#include "container/MpegStream.h"
#include "container/TagFormats.h"
#include "filelogic/SoundHandle.h"

#include <sndfile.h>

#include <taglib/commentsframe.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/textidentificationframe.h>

#include <QtEndian>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <map>
#include <thread>

namespace rewrite {

using namespace tags;
using TagLib::ID3v2::CommentsFrame;
using TagLib::ID3v2::TextIdentificationFrame;

namespace {

bool fail(QString *error, const QString &message)
{
    *error = message;
    return false;
}

std::optional<SF_INFO> soundInfo(const QString &path)
{
    SF_INFO info = {};
    if (!SoundHandle(sf_open(QFile::encodeName(path).constData(), SFM_READ, &info)))
        return std::nullopt;
    return info;
}

TagEdits libsndfileStrings(const QString &path)
{
    TagEdits out;
    SF_INFO info = {};
    const SoundHandle file(sf_open(QFile::encodeName(path).constData(), SFM_READ, &info));
    for (int i = 0; file && i < 6; ++i)
        if (const char *text = sf_get_string(file.get(), SF_STR_TITLE + i); text && *text)
            out[size_t(i)] = QByteArray(text);
    return out;
}

// Chunks small enough to stay in the CPU cache: from the page cache this
// runs several times faster than with multi-megabyte buffers or mappings.
bool sameSpan(int a, qint64 aStart, int b, qint64 bStart, qint64 length)
{
    constexpr qint64 kChunk = 256 << 10;
    QByteArray bufA(kChunk, Qt::Uninitialized), bufB(kChunk, Qt::Uninitialized);
    for (qint64 done = 0; done < length;) {
        const qint64 n = std::min(kChunk, length - done);
        if (pread(a, bufA.data(), size_t(n), aStart + done) != n || pread(b, bufB.data(), size_t(n), bStart + done) != n
            || std::memcmp(bufA.constData(), bufB.constData(), size_t(n)) != 0)
            return false;
        done += n;
    }
    return true;
}

// By halves side by side for a long range: reading back a big file is
// memory copies, which a second core halves.
bool sameRange(QFile &a, qint64 aStart, qint64 aEnd, QFile &b, qint64 bStart, qint64 bEnd)
{
    const qint64 length = aEnd - aStart;
    if (length != bEnd - bStart)
        return false;
    if (length < (16 << 20) || std::thread::hardware_concurrency() < 2)
        return sameSpan(a.handle(), aStart, b.handle(), bStart, length);
    const qint64 half = length / 2;
    auto second = std::async(std::launch::async, [&] {
        return sameSpan(a.handle(), aStart + half, b.handle(), bStart + half, length - half);
    });
    const bool first = sameSpan(a.handle(), aStart, b.handle(), bStart, half);
    return second.get() && first;
}

struct Fnv64 {
    quint64 h = 0xcbf29ce484222325ull;
    void add(const char *p, qint64 n)
    {
        for (qint64 i = 0; i < n; ++i)
            h = (h ^ uchar(p[i])) * 0x100000001b3ull;
    }
};

// Every packet but the comment header, as lacing values and data. Lacing of
// a packet depends only on its length, so page boundaries do not matter.
std::optional<std::pair<quint64, quint64>> oggPacketHash(QFile &file)
{
    struct Stream {
        qint64 packet = 0;
    };
    std::map<quint32, Stream> streams;
    Fnv64 lacing, data;
    for (;;) {
        const QByteArray header = file.read(27);
        if (header.isEmpty())
            return std::make_pair(lacing.h, data.h);
        if (header.size() < 27 || !header.startsWith("OggS"))
            return std::nullopt;
        const QByteArray table = file.read(uchar(header[26]));
        qint64 bodySize = 0;
        for (char v : table)
            bodySize += uchar(v);
        const QByteArray body = file.read(bodySize);
        if (table.size() != uchar(header[26]) || body.size() != bodySize)
            return std::nullopt;
        Stream &stream = streams[qFromLittleEndian<quint32>(header.constData() + 14)];
        qint64 offset = 0;
        for (char v : table) {
            const int length = uchar(v);
            if (stream.packet != 1) {
                lacing.add(&v, 1);
                data.add(body.constData() + offset, length);
            }
            offset += length;
            if (length < 255)
                ++stream.packet;
        }
    }
}

bool sameFlacAudio(QFile &a, QFile &b, QString *error)
{
    const auto la = readFlacLayout(a, error);
    const auto lb = la ? readFlacLayout(b, error) : std::nullopt;
    if (!lb)
        return false;
    if (readBlockData(a, la->blocks[0]) != readBlockData(b, lb->blocks[0]))
        return fail(error, QStringLiteral("STREAMINFO (and its MD5) differs"));
    b.seek(lb->audioStart);
    const QByteArray sync = b.read(2);
    if (lb->audioStart < b.size() && (sync.size() < 2 || uchar(sync[0]) != 0xff || (uchar(sync[1]) & 0xfe) != 0xf8))
        return fail(error, QStringLiteral("no FLAC frame follows the metadata"));
    if (!sameRange(a, la->audioStart, a.size(), b, lb->audioStart, b.size()))
        return fail(error, QStringLiteral("the FLAC frames differ"));
    return true;
}

MpegStream mpegStreamOf(QFile &file)
{
    return readMpegStream(FdByteSource(file.handle()));
}

// Where the APE and Lyrics3 tags after the audio end: at the ID3v1 tag,
// which TagLib writes last, or at the end of the file.
qint64 trailingTagsEnd(QFile &file)
{
    const qint64 end = file.size();
    return end >= 128 && file.seek(end - 128) && file.read(3) == "TAG" ? end - 128 : end;
}

// The bytes between the tags, and what the frame headers say of them; and
// the APE and Lyrics3 tags, which no save writes, byte for byte.
bool sameMpegAudio(QFile &a, QFile &b, QString *error)
{
    const MpegStream sa = mpegStreamOf(a), sb = mpegStreamOf(b);
    if (sa.firstFrame < 0 || sb.firstFrame < 0)
        return fail(error, QStringLiteral("no MPEG audio frame found"));
    const MpegHeader &ha = sa.header, &hb = sb.header;
    if (ha.version != hb.version || ha.layer != hb.layer || ha.samplerate != hb.samplerate
        || ha.channelMode != hb.channelMode || sa.samples != sb.samples)
        return fail(error, QStringLiteral("the MPEG version, layer, rate, channel mode or length differs"));
    if (!sameRange(a, sa.audioStart, sa.audioEnd, b, sb.audioStart, sb.audioEnd))
        return fail(error, QStringLiteral("the MPEG frames differ"));
    return sameRange(a, sa.audioEnd, trailingTagsEnd(a), b, sb.audioEnd, trailingTagsEnd(b))
        || fail(error, QStringLiteral("the APE or Lyrics3 tag differs"));
}

bool sameAudioBytes(Kind kind, QFile &a, QFile &b, QString *error)
{
    switch (kind) {
    case Kind::Flac:
        return sameFlacAudio(a, b, error);
    case Kind::Mpeg:
        return sameMpegAudio(a, b, error);
    case Kind::Vorbis:
    case Kind::Opus: {
        const auto ha = oggPacketHash(a), hb = oggPacketHash(b);
        if (!ha || !hb)
            return fail(error, QStringLiteral("damaged Ogg page"));
        return *ha == *hb || fail(error, QStringLiteral("the Ogg audio packets differ"));
    }
    case Kind::None:
        break;
    }
    return fail(error, QStringLiteral("tags of this format are not edited in place"));
}

// Every Vorbis-comment entry the edits leave alone, vendor and tail included.
QList<QByteArray> untouchedComment(const QString &path, Kind kind, const TagEdits &edits)
{
    const auto comment = readComment(path, kind);
    if (!comment)
        return {QByteArrayLiteral("damaged comment")};
    QList<QByteArray> out{comment->vendor, comment->tail};
    for (const QByteArray &entry : comment->entries) {
        const QByteArray key = entryKey(entry);
        bool edited = false;
        for (int i = 0; i < 6; ++i)
            edited = edited || (edits[size_t(i)] && key == xiphKey(kind, i));
        if (!edited)
            out << entry;
    }
    return out;
}

QList<QByteArray> untouchedFlacBlocks(const QString &path)
{
    QFile file(path);
    QString error;
    const auto layout = file.open(QIODevice::ReadOnly) ? readFlacLayout(file, &error) : std::nullopt;
    QList<QByteArray> out;
    for (int b = 0; layout && b < layout->blocks.size(); ++b) {
        const FlacBlock &block = layout->blocks[b];
        if (block.type != kPadding && block.type != kVorbisComment)
            out << QByteArray::number(block.type) + ':' + readBlockData(file, block);
    }
    return out;
}

QByteArray utf8(const TagLib::String &text)
{
    return QByteArray::fromStdString(text.to8Bit(true));
}

// A frame's value as TagLib reads it, the same whichever ID3v2 version
// stores it (TagLib reads 2.2 and 2.3 frames under their 2.4 names, a 2.3
// date into one TDRC): texts as text whatever their encoding, other frames'
// fields as TagLib renders them.
QByteArray frameValue(const TagLib::ID3v2::Frame *frame)
{
    const TagLib::ByteVector id = frame->frameID();
    QByteArray out = QByteArray(id.data(), int(id.size())) + ':';
    if (const auto *text = dynamic_cast<const TextIdentificationFrame *>(frame)) {
        const TagLib::StringList fields = text->fieldList();
        for (auto field = fields.begin(); field != fields.end(); ++field)
            out += (field == fields.begin() ? QByteArray() : QByteArray(1, '\0')) + utf8(*field);
        return out;
    }
    if (const auto *comment = dynamic_cast<const CommentsFrame *>(frame)) {
        const TagLib::ByteVector language = comment->language();
        return out + QByteArray(language.data(), int(language.size())) + '\0' + utf8(comment->description()) + '\0'
            + utf8(comment->text());
    }
    // The rendered header is the id, a size and two flag bytes.
    const TagLib::ByteVector fields = frame->render().mid(id.size() + 6);
    // A text frame TagLib keeps unparsed (a 2.3 TDAT): encoding, then text.
    if (id.startsWith("T") && !fields.isEmpty() && uchar(fields[0]) <= TagLib::String::UTF8)
        return out + utf8(TagLib::String(fields.mid(1), TagLib::String::Type(fields[0])));
    return out + QByteArray(fields.data(), int(fields.size()));
}

QList<QByteArray> untouchedId3(const QString &path, const TagEdits &edits)
{
    TagLib::MPEG::File file(QFile::encodeName(path).constData(), false);
    completeId3v22(file.ID3v2Tag());
    QList<QByteArray> out = untouchedId3Values(file.ID3v2Tag(), edits);
    const TagLib::ID3v1::Tag *v1 = file.ID3v1Tag();
    out << QByteArray::fromStdString((v1->album() + "|" + v1->genre() + "|" + TagLib::String::number(int(v1->track()))).to8Bit(true));
    return out;
}

QList<QByteArray> untouchedTags(const QString &path, Kind kind, const TagEdits &edits)
{
    if (kind == Kind::Mpeg)
        return untouchedId3(path, edits);
    QList<QByteArray> out = untouchedComment(path, kind, edits);
    if (kind == Kind::Flac)
        out << untouchedFlacBlocks(path);
    return out;
}

} // namespace

QList<QByteArray> untouchedId3Values(TagLib::ID3v2::Tag *tag, const TagEdits &edits)
{
    static const std::initializer_list<const char *> ids[6] = {
        {"TIT2"}, {"TCOP"}, {"TSSE", "TENC"}, {"TPE1"}, {"COMM"}, {"TDRC", "TYER", "TDAT", "TIME"}};
    QList<QByteArray> out;
    for (const TagLib::ID3v2::Frame *frame : tag ? tag->frameList() : TagLib::ID3v2::FrameList()) {
        bool edited = false;
        for (int i = 0; i < 6; ++i)
            for (const char *id : ids[i])
                edited = edited || (edits[size_t(i)] && frame->frameID() == id);
        if (!edited)
            out << frameValue(frame);
    }
    std::sort(out.begin(), out.end());
    return out;
}

bool verifyAudioUnchanged(const QString &original, const QString &edited, QString *error)
{
    const auto a = soundInfo(original);
    const auto b = soundInfo(edited);
    if (!a || !b)
        return fail(error, QStringLiteral("libsndfile cannot open %1").arg(a ? edited : original));
    // libsndfile estimates an MP3's length from the file's size, tags
    // included: sameMpegAudio counts its frames instead.
    const bool estimated = kindOfFormat(a->format) == Kind::Mpeg;
    if (a->format != b->format || a->channels != b->channels || a->samplerate != b->samplerate
        || (!estimated && a->frames != b->frames))
        return fail(error, QStringLiteral("libsndfile sees a different format, channel count, rate or length"));
    QFile fa(original), fb(edited);
    if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly))
        return fail(error, QStringLiteral("cannot read %1").arg(fa.isOpen() ? edited : original));
    return sameAudioBytes(kindOfFormat(a->format), fa, fb, error);
}

bool verifyTagsWritten(const QString &original, const QString &edited, const TagEdits &edits, QString *error)
{
    const Kind kind = probeKind(edited, error);
    if (kind == Kind::None)
        return false;
    // libsndfile's own FLAC strings are what the window shows for FLAC.
    const TagEdits before = kind == Kind::Flac ? libsndfileStrings(original) : readTags(original);
    const TagEdits after = kind == Kind::Flac ? libsndfileStrings(edited) : readTags(edited);
    static const char *const names[6] = {"title", "copyright", "software", "artist", "comment", "date"};
    for (size_t i = 0; i < 6; ++i) {
        const std::optional<QByteArray> wanted =
            !edits[i] ? before[i] : edits[i]->isEmpty() ? std::nullopt : edits[i];
        if (after[i] != wanted)
            return fail(error, QStringLiteral("the %1 reads back as \"%2\"")
                                   .arg(QLatin1String(names[i]), QString::fromUtf8(after[i].value_or("(none)"))));
    }
    if (untouchedTags(original, kind, edits) != untouchedTags(edited, kind, edits))
        return fail(error, QStringLiteral("tags that were not edited changed"));
    return true;
}

} // namespace rewrite
