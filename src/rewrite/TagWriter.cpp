// Which key libsndfile 1.2.0 reads for each string, measured by writing each
// candidate with TagLib and reading it back with sf_get_string:
//
//   string     FLAC, Vorbis   Opus        MP3 (ID3v2)         ID3v1 fallback
//   title      TITLE          TITLE       TIT2                title
//   copyright  COPYRIGHT      COPYRIGHT   TCOP                -
//   software   SOFTWARE       ENCODER     TSSE or TENC        -
//   artist     ARTIST         ARTIST      TPE1                artist
//   comment    COMMENT        COMMENT     COMM                comment
//   date       DATE           DATE        TDRC or TYER        year
//
// Never read: DESCRIPTION, YEAR, ENCODER (FLAC, Vorbis), SOFTWARE (Opus),
// TEXT, TPE2. Vorbis-comment keys match in any case; FLAC and Vorbis take
// the first of repeated keys, Opus the last. MP3 takes the last of TSSE/TENC
// and of TDRC/TYER in frame order, a COMM without description before one with
// it, the first value of a multi-value frame, and falls back field by field
// to ID3v1 where ID3v2 has no frame. UTF-16 and UTF-8 frames come out as UTF-8.
//
// So a set string replaces every entry or frame of its key; removing one
// removes all frames libsndfile would show instead (TENC with TSSE, every
// COMM, TYER/TDAT/TIME with TDRC) and clears it in an ID3v1 tag.
#include "rewrite/TagWriter.h"

#include "container/MpegStream.h"
#include "container/TagFormats.h"
#include "rewrite/TagFlac.h"

#include <sndfile.h>

#include <taglib/commentsframe.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/opusfile.h>
#include <taglib/tbytevectorstream.h>
#include <taglib/tfilestream.h>
#include <taglib/textidentificationframe.h>
#include <taglib/tpropertymap.h>
#include <taglib/vorbisfile.h>

#include <QCoreApplication>
#include <QFileInfo>

#include <algorithm>
#include <cctype>
#include <memory>

namespace rewrite {

using namespace tags;
using TagLib::ID3v2::CommentsFrame;
using TagLib::ID3v2::TextIdentificationFrame;

namespace {

TagLib::String toTString(const QByteArray &utf8)
{
    return TagLib::String(utf8.toStdString(), TagLib::String::UTF8);
}

bool writeOggTags(const QString &path, Kind kind, const TagEdits &edits, QString *error)
{
    auto file = openOgg(path, kind);
    if (!file->isValid() || file->readOnly()) {
        *error = QStringLiteral("%1: TagLib cannot open the Ogg file for writing").arg(path);
        return false;
    }
    const TagLib::ByteVector packet = file->packet(1);
    const QByteArray bytes(packet.data(), int(packet.size()));
    const QByteArray magic = oggMagic(kind);
    auto comment = bytes.startsWith(magic) ? VorbisComment::parse(bytes.mid(magic.size())) : std::nullopt;
    if (!comment) {
        *error = QStringLiteral("%1: the Ogg comment header is damaged").arg(path);
        return false;
    }
    for (int i = 0; i < 6; ++i)
        if (edits[size_t(i)])
            comment->set(xiphKey(kind, i), *edits[size_t(i)]);
    const QByteArray out = magic + comment->render();
    file->setPacket(1, TagLib::ByteVector(out.constData(), uint(out.size())));
    // The codec classes' save() would render the comment again from TagLib's
    // own model, sorted and upper-cased; the base class writes our packet.
    if (!file->TagLib::Ogg::File::save()) {
        *error = QStringLiteral("%1: TagLib could not write the Ogg pages").arg(path);
        return false;
    }
    return true;
}

void replaceText(TagLib::ID3v2::Tag *tag, const char *id, const QByteArray &value, TagLib::String::Type encoding)
{
    tag->removeFrames(id);
    if (value.isEmpty())
        return;
    auto *frame = new TextIdentificationFrame(TagLib::ByteVector(id, 4), encoding);
    frame->setText(toTString(value));
    tag->addFrame(frame);
}

void replaceComment(TagLib::ID3v2::Tag *tag, const QByteArray &value, TagLib::String::Type encoding)
{
    TagLib::ByteVector language("XXX", 3);
    const TagLib::ID3v2::FrameList comments = tag->frameList("COMM");
    for (TagLib::ID3v2::Frame *frame : comments) {
        const auto *comment = dynamic_cast<CommentsFrame *>(frame);
        const bool plain = comment && comment->description().isEmpty();
        if (plain)
            language = comment->language();
        if (plain || value.isEmpty())
            tag->removeFrame(frame);
    }
    if (value.isEmpty())
        return;
    auto *frame = new CommentsFrame(encoding);
    frame->setLanguage(language);
    frame->setText(toTString(value));
    tag->addFrame(frame);
}

// TagLib reads a 2.3 TYER as TDRC, folding in TDAT and TIME, and writes a
// TDRC back as a TYER cut to four digits, with TDAT and TIME again when it
// reads yyyy-MM-dd[THH:mm]. So a folded TDRC goes back as it came once the
// TDAT and TIME it was folded from are dropped (else they would be written
// twice); without a TDAT, a TDRC goes back as the TYER it was, whole.
void keepDates(TagLib::ID3v2::Tag *tag)
{
    const bool dated = !tag->frameList("TDAT").isEmpty();
    const TagLib::ID3v2::FrameList dates = tag->frameList("TDRC");
    for (TagLib::ID3v2::Frame *frame : dates) {
        const auto *text = dynamic_cast<TextIdentificationFrame *>(frame);
        if (text && dated && text->toString().size() >= 10) {
            tag->removeFrames("TDAT");
            tag->removeFrames("TIME");
        } else if (text && !dated) {
            auto *year = new TextIdentificationFrame("TYER", text->textEncoding());
            year->setText(text->fieldList());
            tag->removeFrame(frame);
            tag->addFrame(year);
        }
    }
}

void applyId3v2(TagLib::ID3v2::Tag *tag, int version, const TagEdits &edits)
{
    const auto encoding = version == 4 ? TagLib::String::UTF8 : TagLib::String::UTF16;
    static const char *const simple[6] = {"TIT2", "TCOP", nullptr, "TPE1", nullptr, nullptr};
    for (int i = 0; i < 6; ++i) {
        if (!edits[size_t(i)])
            continue;
        const QByteArray &value = *edits[size_t(i)];
        if (simple[i]) {
            replaceText(tag, simple[i], value, encoding);
        } else if (i == 2) {
            // A new TSSE goes after any TENC, so it is the one libsndfile shows.
            if (value.isEmpty())
                tag->removeFrames("TENC");
            replaceText(tag, "TSSE", value, encoding);
        } else if (i == 4) {
            replaceComment(tag, value, encoding);
        } else {
            for (const char *id : {"TDRC", "TYER", "TDAT", "TIME"})
                tag->removeFrames(id);
            replaceText(tag, version == 4 ? "TDRC" : "TYER", value, encoding);
        }
    }
    if (version == 3)
        keepDates(tag);
}

unsigned leadingYear(const QByteArray &date)
{
    bool ok = date.size() >= 4 && (date.size() == 4 || !std::isdigit(uchar(date[4])));
    const unsigned year = ok ? date.left(4).toUInt(&ok) : 0;
    return ok ? year : 0;
}

void applyId3v1(TagLib::ID3v1::Tag *tag, const TagEdits &edits)
{
    if (edits[0])
        tag->setTitle(toTString(*edits[0]));
    if (edits[3])
        tag->setArtist(toTString(*edits[3]));
    if (edits[4])
        tag->setComment(toTString(*edits[4]));
    if (edits[5])
        tag->setYear(leadingYear(*edits[5]));
}

// The ID3v2 version a save writes for the file (id3v2VersionToWrite), its
// 2.2 tag made ready to be written as 2.3 (completeId3v22).
int id3v2Version(TagLib::MPEG::File &file)
{
    completeId3v22(file.ID3v2Tag());
    return id3v2VersionToWrite(file.hasID3v2Tag() ? int(file.ID3v2Tag()->header()->majorVersion()) : 0);
}

bool setsSomething(const TagEdits &edits)
{
    return std::any_of(edits.begin(), edits.end(), [](const auto &edit) { return edit && !edit->isEmpty(); });
}

// TagLib pads a tag that outgrew its old size, or would keep more padding
// than it allows, with this many zeros (ID3v2::Tag::render, TagLib 1.11 on).
constexpr int kTagLibLeastPadding = 1024;

// The rendered tag padded to exactly `size` bytes, its header saying so.
std::optional<QByteArray> paddedTag(const QByteArray &rendered, qint64 size)
{
    if (rendered.size() == size)
        return rendered;
    const qint64 used = rendered.size() - kTagLibLeastPadding;
    if (used < 10 || used > size || rendered.mid(used).count('\0') != kTagLibLeastPadding)
        return std::nullopt;
    QByteArray out = rendered.left(used) + QByteArray(size - used, '\0');
    const qint64 body = size - 10;
    for (int i = 0; i < 4; ++i)
        out[6 + i] = char((body >> (7 * (3 - i))) & 0x7f);
    return out;
}

bool writeMpegTags(const QString &path, const TagEdits &edits, QString *error)
{
    TagLib::MPEG::File file(QFile::encodeName(path).constData(), false);
    if (!file.isValid() || file.readOnly()) {
        *error = QStringLiteral("%1: TagLib cannot open the MP3 file for writing").arg(path);
        return false;
    }
    const int version = id3v2Version(file);
    int tagTypes = 0;
    if (file.hasID3v2Tag() || setsSomething(edits)) {
        applyId3v2(file.ID3v2Tag(true), version, edits);
        tagTypes |= TagLib::MPEG::File::ID3v2;
    }
    if (file.hasID3v1Tag()) {
        applyId3v1(file.ID3v1Tag(), edits);
        tagTypes |= TagLib::MPEG::File::ID3v1;
    }
    if (tagTypes == 0)
        return true;
    if (!file.save(tagTypes, TagLib::File::StripNone, version == 3 ? TagLib::ID3v2::v3 : TagLib::ID3v2::v4,
                   TagLib::File::DoNotDuplicate)) {
        *error = QStringLiteral("%1: TagLib could not write the MP3 tags").arg(path);
        return false;
    }
    return true;
}

// Which strings (bit = index) libsndfile writes into a target so that it
// reads them back, measured with sf_set_string / sf_get_string. AIFF drops
// the date; MP3 keeps title, artist, comment and only the year of a date.
int carriedStrings(int targetFormat)
{
    switch (targetFormat & SF_FORMAT_TYPEMASK) {
    case SF_FORMAT_WAV:
    case SF_FORMAT_WAVEX:
    case SF_FORMAT_RF64:
    case SF_FORMAT_CAF:
    case SF_FORMAT_FLAC:
    case SF_FORMAT_OGG:
        return 0x3f;
    case SF_FORMAT_AIFF:
        return 0x1f;
    case SF_FORMAT_MPEG:
        return 0x39;
    default:
        return 0;
    }
}

// The string index TagLib's ID3v2 property key stands for, or -1.
int mpegPropertyIndex(const QByteArray &key)
{
    static const char *const keys[][2] = {{"TITLE", nullptr}, {"COPYRIGHT", nullptr}, {"ENCODING", "ENCODEDBY"},
                                          {"ARTIST", nullptr}, {"COMMENT", nullptr}, {"DATE", nullptr}};
    for (int i = 0; i < 6; ++i)
        if (key == keys[i][0] || (keys[i][1] && key == keys[i][1]))
            return i;
    return -1;
}

QStringList mpegNotCarried(const QString &path, int carried, bool yearOnly)
{
    TagLib::MPEG::File file(QFile::encodeName(path).constData(), false);
    const TagLib::PropertyMap properties = file.properties();
    QStringList out;
    for (const auto &[key, values] : properties) {
        const QByteArray name = QByteArray::fromStdString(key.to8Bit(true));
        const int i = mpegPropertyIndex(name);
        if (i < 0 || !(carried & (1 << i)))
            out << QString::fromUtf8(name);
        else if (i == 5 && yearOnly && !values.isEmpty() && values.front().size() > 4)
            out << QStringLiteral("DATE (year only)");
    }
    for (const TagLib::String &frame : properties.unsupportedData())
        out << (frame == "APIC" ? QStringLiteral("picture") : QString::fromUtf8(frame.toCString(true)));
    return out;
}

} // namespace

int id3v2VersionToWrite(int found)
{
    return found == 0 ? 4 : std::clamp(found, 3, 4);
}

QString tagSaveNote(const QString &path, int format)
{
    QFile file(path);
    if (kindOfFormat(format) != Kind::Mpeg || !file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray head = file.read(4);
    if (head.size() < 4 || !head.startsWith("ID3") || id3v2VersionToWrite(head[3]) == head[3])
        return {};
    return QCoreApplication::translate("TagWriter", "the ID3v2.%1 tag was written as ID3v2.%2; every value is kept")
        .arg(int(head[3])).arg(id3v2VersionToWrite(head[3]));
}

bool writeTags(const QString &copyPath, const TagEdits &edits, QString *error)
{
    const QFileInfo info(copyPath);
    // Root may write anyway; a read-only copy means the caller did not mean it.
    if (info.exists() && !(info.permissions() & QFileDevice::WriteOwner)) {
        *error = QStringLiteral("%1 is read-only").arg(copyPath);
        return false;
    }
    const Kind kind = probeKind(copyPath, error);
    switch (kind) {
    case Kind::None:
        return false;
    case Kind::Flac:
        return writeFlacTags(copyPath, edits, error);
    case Kind::Vorbis:
    case Kind::Opus:
        return writeOggTags(copyPath, kind, edits, error);
    case Kind::Mpeg:
        return writeMpegTags(copyPath, edits, error);
    }
    return false;
}

std::optional<MpegTagBytes> renderMpegTags(const QString &path, const TagEdits &edits, QString *why)
{
    TagLib::FileStream stream(QFile::encodeName(path).constData(), true);
    TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
    QFile raw(path);
    if (!file.isValid() || !raw.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("TagLib cannot read the MP3 file");
        return std::nullopt;
    }
    MpegTagBytes out;
    if (file.hasID3v2Tag()) {
        TagLib::ID3v2::Tag *tag = file.ID3v2Tag();
        const TagLib::ID3v2::Header *header = tag->header();
        // TagLib's tag must be the one at the start, alone and plain; a 2.2
        // tag becomes 2.3 in a new file.
        const qint64 size = id3v2TagsEnd(FdByteSource(raw.handle()));
        if (size != qint64(header->completeTagSize()) || header->footerPresent() || header->extendedHeader()
            || header->unsynchronisation() || header->majorVersion() == 2) {
            *why = QStringLiteral("the ID3v2 tag is not rewritten as it stands");
            return std::nullopt;
        }
        const int version = id3v2Version(file);
        const QList<QByteArray> kept = untouchedId3Values(tag, edits);
        applyId3v2(tag, version, edits);
        const TagLib::ByteVector rendered = tag->render(version == 3 ? TagLib::ID3v2::v3 : TagLib::ID3v2::v4);
        TagLib::ByteVectorStream renderedStream(rendered);
        TagLib::MPEG::File back(&renderedStream, TagLib::ID3v2::FrameFactory::instance(), false);
        if (untouchedId3Values(back.ID3v2Tag(), edits) != kept) {
            *why = QStringLiteral("TagLib would not write every frame of the ID3v2 tag back");
            return std::nullopt;
        }
        out.id3v2 = paddedTag(QByteArray(rendered.data(), int(rendered.size())), size);
        if (!out.id3v2) {
            *why = QStringLiteral("the new ID3v2 tag does not fit into the old one");
            return std::nullopt;
        }
    } else if (setsSomething(edits)) {
        *why = QStringLiteral("the file has no ID3v2 tag to write into");
        return std::nullopt;
    }
    if (file.hasID3v1Tag()) {
        applyId3v1(file.ID3v1Tag(), edits);
        const TagLib::ByteVector rendered = file.ID3v1Tag()->render();
        out.id3v1 = QByteArray(rendered.data(), int(rendered.size()));
    }
    return out;
}

QStringList tagsNotCarried(const QString &path, int targetFormat)
{
    QString error;
    const Kind kind = probeKind(path, &error);
    const int carried = carriedStrings(targetFormat);
    QStringList out;
    if (kind == Kind::Mpeg)
        out = mpegNotCarried(path, carried, (targetFormat & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG);
    const auto comment = kind == Kind::None || kind == Kind::Mpeg ? std::nullopt : readComment(path, kind);
    for (int e = 0; comment && e < comment->entries.size(); ++e) {
        const QByteArray key = entryKey(comment->entries[e]);
        int i = 0;
        while (i < 6 && key != xiphKey(kind, i))
            ++i;
        if (key == "METADATA_BLOCK_PICTURE")
            out << QStringLiteral("picture");
        else if (i == 6 || !(carried & (1 << i)))
            out << QString::fromUtf8(key);
    }
    if (kind == Kind::Flac) {
        QFile file(path);
        const auto layout = file.open(QIODevice::ReadOnly) ? readFlacLayout(file, &error) : std::nullopt;
        for (int b = 0; layout && b < layout->blocks.size(); ++b)
            if (layout->blocks[b].type == kPicture)
                out << QStringLiteral("picture");
    }
    out.removeDuplicates();
    return out;
}

} // namespace rewrite
