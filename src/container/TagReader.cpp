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

TagStrings readMpegTags(const QString &path)
{
    TagLib::MPEG::File file(QFile::encodeName(path).constData(), false);
    TagStrings out;
    if (file.hasID3v2Tag()) {
        const TagLib::ID3v2::Tag *tag = file.ID3v2Tag();
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
    if (kind == Kind::Mpeg)
        return readMpegTags(path);
    TagStrings out;
    const auto comment = kind == Kind::None ? std::nullopt : readComment(path, kind);
    for (int i = 0; comment && i < 6; ++i) {
        const auto value = comment->value(xiphKey(kind, i), kind == Kind::Opus);
        if (value && !value->isEmpty())
            out[size_t(i)] = value;
    }
    return out;
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
