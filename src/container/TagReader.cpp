#include "container/TagReader.h"

#include "container/ChunkList.h"
#include "container/TagFormats.h"
#include "filelogic/ContainerTable.h"

#include <taglib/commentsframe.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/opusfile.h>
#include <taglib/textidentificationframe.h>
#include <taglib/unknownframe.h>
#include <taglib/vorbisfile.h>

#include <algorithm>

using namespace tags;
using TagLib::ID3v2::CommentsFrame;
using TagLib::ID3v2::TextIdentificationFrame;

namespace {

// The last frame of any of ids, first value, as libsndfile picks it.
std::optional<QByteArray> lastText(const TagLib::ID3v2::Tag *tag, std::initializer_list<const char *> ids)
{
    std::optional<QByteArray> found;
    for (const TagLib::ID3v2::Frame *frame : tag->frameList()) {
        const auto *text = dynamic_cast<const TextIdentificationFrame *>(frame);
        const TagLib::ByteVector id = frame->frameID();
        if (text && !text->fieldList().isEmpty()
            && std::any_of(ids.begin(), ids.end(), [&](const char *want) { return id == want; }))
            found = fromTString(text->fieldList().front());
    }
    return found;
}

std::optional<QByteArray> id3v2Comment(const TagLib::ID3v2::Tag *tag)
{
    std::optional<QByteArray> plain, any;
    for (const TagLib::ID3v2::Frame *frame : tag->frameList("COMM")) {
        const auto *comment = dynamic_cast<const CommentsFrame *>(frame);
        if (!comment)
            continue;
        any = fromTString(comment->text());
        if (comment->description().isEmpty())
            plain = any;
    }
    return plain ? plain : any;
}

TagStrings readMpegTags(TagLib::MPEG::File &file)
{
    TagStrings out;
    if (file.hasID3v2Tag()) {
        TagLib::ID3v2::Tag *tag = file.ID3v2Tag();
        completeId3v22(tag);
        out = {lastText(tag, {"TIT2"}), lastText(tag, {"TCOP"}), lastText(tag, {"TSSE", "TENC"}),
               lastText(tag, {"TPE1"}), id3v2Comment(tag), lastText(tag, {"TDRC", "TYER"})};
    }
    if (file.hasID3v1Tag()) {
        const TagLib::ID3v1::Tag *v1 = file.ID3v1Tag();
        const TagLib::String year = v1->year() ? TagLib::String::number(int(v1->year())) : TagLib::String();
        const std::pair<int, TagLib::String> fallbacks[] = {{0, v1->title()}, {3, v1->artist()}, {4, v1->comment()}, {5, year}};
        for (const auto &[i, value] : fallbacks)
            if (!out[size_t(i)])
                out[size_t(i)] = fromTString(value);
    }
    return out;
}

} // namespace

namespace tags {

void completeId3v22(TagLib::ID3v2::Tag *tag)
{
    if (!tag || tag->header()->majorVersion() != 2)
        return;
    static const char *const names[][2] = {{"TDA", "TDAT"}, {"TIM", "TIME"}, {"TSI", "TSIZ"}};
    for (const auto &[old, now] : names) {
        const TagLib::ID3v2::FrameList found = tag->frameList(old);
        for (TagLib::ID3v2::Frame *frame : found) {
            const auto *unknown = dynamic_cast<const TagLib::ID3v2::UnknownFrame *>(frame);
            const TagLib::ByteVector data = unknown ? unknown->data() : TagLib::ByteVector();
            if (data.isEmpty() || uchar(data[0]) > TagLib::String::UTF8)
                continue;
            auto *text = new TextIdentificationFrame(now, TagLib::String::Type(data[0]));
            text->setText(TagLib::String(data.mid(1), TagLib::String::Type(data[0])));
            tag->removeFrame(frame);
            tag->addFrame(text);
        }
    }
    // TagLib's own folding of a 2.3 TYER + TDAT (+ TIME): yyyy-MM-ddTHH:mm.
    const TagLib::ID3v2::FrameList years = tag->frameList("TDRC"), dates = tag->frameList("TDAT"), times = tag->frameList("TIME");
    auto *year = years.size() == 1 ? dynamic_cast<TextIdentificationFrame *>(years.front()) : nullptr;
    if (!year || year->toString().size() != 4 || dates.size() != 1 || dates.front()->toString().size() != 4)
        return;
    const TagLib::String date = dates.front()->toString();
    TagLib::String text = year->toString() + '-' + date.substr(2, 2) + '-' + date.substr(0, 2);
    if (times.size() == 1 && times.front()->toString().size() == 4)
        text += 'T' + times.front()->toString().substr(0, 2) + ':' + times.front()->toString().substr(2, 2);
    year->setText(text);
}

std::optional<QByteArray> fromTString(const TagLib::String &text)
{
    if (text.isEmpty())
        return std::nullopt;
    return QByteArray::fromStdString(text.to8Bit(true));
}

QByteArray oggMagic(Kind kind)
{
    return kind == Kind::Opus ? QByteArrayLiteral("OpusTags") : QByteArrayLiteral("\x03vorbis");
}

std::unique_ptr<TagLib::Ogg::File> openOgg(const QString &path, Kind kind)
{
    const QByteArray name = QFile::encodeName(path);
    if (kind == Kind::Opus)
        return std::make_unique<TagLib::Ogg::Opus::File>(name.constData(), false);
    return std::make_unique<TagLib::Ogg::Vorbis::File>(name.constData(), false);
}

std::optional<VorbisComment> readComment(const QString &path, Kind kind)
{
    if (kind == Kind::Flac) {
        QFile file(path);
        QString error;
        const auto layout = file.open(QIODevice::ReadOnly) ? readFlacLayout(file, &error) : std::nullopt;
        if (!layout)
            return std::nullopt;
        for (const FlacBlock &block : layout->blocks)
            if (block.type == kVorbisComment)
                return VorbisComment::parse(readBlockData(file, block));
        return VorbisComment();
    }
    auto file = openOgg(path, kind);
    if (!file->isValid())
        return std::nullopt;
    const TagLib::ByteVector packet = file->packet(1);
    const QByteArray bytes(packet.data(), int(packet.size()));
    const QByteArray magic = oggMagic(kind);
    return bytes.startsWith(magic) ? VorbisComment::parse(bytes.mid(magic.size())) : std::nullopt;
}

} // namespace tags

bool tagFormatSupported(int sfFormat)
{
    return kindOfFormat(sfFormat) != Kind::None;
}

TagStrings readTags(const QString &path)
{
    QString error;
    const Kind kind = probeKind(path, &error);
    if (kind == Kind::Mpeg) {
        TagLib::MPEG::File file(QFile::encodeName(path).constData(), false);
        return readMpegTags(file);
    }
    TagStrings out;
    const auto comment = kind == Kind::None ? std::nullopt : readComment(path, kind);
    for (int i = 0; comment && i < 6; ++i) {
        const auto value = comment->value(xiphKey(kind, i), kind == Kind::Opus);
        if (value && !value->isEmpty())
            out[size_t(i)] = value;
    }
    return out;
}

std::optional<TagStrings> readId3Tags(const QString &path)
{
    TagLib::MPEG::File file(QFile::encodeName(path).constData(), false);
    if (!file.isValid() || (!file.hasID3v2Tag() && !file.hasID3v1Tag()))
        return std::nullopt;
    return readMpegTags(file);
}

FileMetadata readSavedMetadata(SNDFILE *sndfile, int format, const QString &path)
{
    FileMetadata metadata = readFileMetadata(sndfile);
    // libsndfile does not read the tags of these; TagLib does.
    if (tagFormatSupported(format) && (format & SF_FORMAT_TYPEMASK) != SF_FORMAT_FLAC)
        metadata.strings = readTags(path);
    if (containerFacts(format).ixml)
        metadata.ixml = readChunkOf(path, "iXML");
    return metadata;
}
