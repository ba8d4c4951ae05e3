#include "container/TagFormats.h"

#include "container/MpegStream.h"
#include "filelogic/SoundHandle.h"

#include <sndfile.h>

#include <QtEndian>

namespace tags {

namespace {

quint32 readLe32(const char *p)
{
    return qFromLittleEndian<quint32>(p);
}

void appendLe32(QByteArray *out, quint32 value)
{
    char bytes[4];
    qToLittleEndian<quint32>(value, bytes);
    out->append(bytes, 4);
}

} // namespace

Kind kindOfFormat(int sfFormat)
{
    const int major = sfFormat & SF_FORMAT_TYPEMASK;
    const int sub = sfFormat & SF_FORMAT_SUBMASK;
    if (major == SF_FORMAT_FLAC)
        return Kind::Flac;
    if (major == SF_FORMAT_OGG && sub == SF_FORMAT_VORBIS)
        return Kind::Vorbis;
    if (major == SF_FORMAT_OGG && sub == SF_FORMAT_OPUS)
        return Kind::Opus;
    if (major == SF_FORMAT_MPEG && sub == SF_FORMAT_MPEG_LAYER_III)
        return Kind::Mpeg;
    return Kind::None;
}

Kind probeKind(const QString &path, QString *error)
{
    SF_INFO info = {};
    const SoundHandle file(sf_open(QFile::encodeName(path).constData(), SFM_READ, &info));
    if (!file) {
        *error = QStringLiteral("%1: not a sound file libsndfile can open (%2)")
                     .arg(path, QString::fromUtf8(sf_strerror(nullptr)));
        return Kind::None;
    }
    const Kind kind = kindOfFormat(info.format);
    if (kind == Kind::None)
        *error = QStringLiteral("%1: tags of this format are not edited in place").arg(path);
    return kind;
}

QByteArray xiphKey(Kind kind, int i)
{
    // libsndfile's Opus reader takes the software string from ENCODER and
    // ignores SOFTWARE; FLAC and Vorbis do the opposite.
    static const char *const keys[6] = {"TITLE", "COPYRIGHT", "SOFTWARE", "ARTIST", "COMMENT", "DATE"};
    if (kind == Kind::Opus && i == 2)
        return QByteArrayLiteral("ENCODER");
    return QByteArray(keys[i]);
}

QByteArray entryKey(const QByteArray &entry)
{
    const int eq = entry.indexOf('=');
    return (eq < 0 ? entry : entry.left(eq)).toUpper();
}

std::optional<VorbisComment> VorbisComment::parse(const QByteArray &data)
{
    VorbisComment comment;
    const qint64 size = data.size();
    qint64 pos = 0;
    auto take = [&](QByteArray *out) {
        if (size - pos < 4)
            return false;
        const qint64 length = readLe32(data.constData() + pos);
        pos += 4;
        if (length > size - pos)
            return false;
        *out = data.mid(pos, length);
        pos += length;
        return true;
    };
    if (!take(&comment.vendor) || size - pos < 4)
        return std::nullopt;
    const qint64 count = readLe32(data.constData() + pos);
    pos += 4;
    if (count > (size - pos) / 4)
        return std::nullopt;
    for (qint64 i = 0; i < count; ++i) {
        QByteArray entry;
        if (!take(&entry))
            return std::nullopt;
        comment.entries.append(entry);
    }
    comment.tail = data.mid(pos);
    return comment;
}

QByteArray VorbisComment::render() const
{
    QByteArray out;
    appendLe32(&out, quint32(vendor.size()));
    out.append(vendor);
    appendLe32(&out, quint32(entries.size()));
    for (const QByteArray &entry : entries) {
        appendLe32(&out, quint32(entry.size()));
        out.append(entry);
    }
    out.append(tail);
    return out;
}

std::optional<QByteArray> VorbisComment::value(const QByteArray &key, bool last) const
{
    std::optional<QByteArray> found;
    for (const QByteArray &entry : entries) {
        if (entryKey(entry) != key)
            continue;
        found = entry.mid(entry.indexOf('=') + 1);
        if (!last)
            break;
    }
    return found;
}

void VorbisComment::set(const QByteArray &key, const QByteArray &newValue)
{
    bool placed = newValue.isEmpty();
    for (int i = 0; i < entries.size();) {
        if (entryKey(entries[i]) != key) {
            ++i;
        } else if (!placed) {
            const int eq = entries[i].indexOf('=');
            entries[i] = (eq < 0 ? entries[i] : entries[i].left(eq)) + '=' + newValue;
            placed = true;
            ++i;
        } else {
            entries.removeAt(i);
        }
    }
    if (!placed)
        entries.append(key + '=' + newValue);
}

std::optional<FlacLayout> readFlacLayout(QFile &file, QString *error)
{
    FlacLayout layout;
    const qint64 start = id3v2TagsEnd(FdByteSource(file.handle()));
    file.seek(start);
    if (file.read(4) != "fLaC") {
        *error = QStringLiteral("no FLAC stream marker");
        return std::nullopt;
    }
    layout.markerEnd = start + 4;
    qint64 pos = layout.markerEnd;
    for (bool last = false; !last;) {
        file.seek(pos);
        const QByteArray header = file.read(4);
        if (header.size() < 4) {
            *error = QStringLiteral("FLAC metadata runs past the end of the file");
            return std::nullopt;
        }
        const auto *b = reinterpret_cast<const uchar *>(header.constData());
        last = b[0] & 0x80;
        const FlacBlock block{b[0] & 0x7f, pos, qint64(b[1]) << 16 | b[2] << 8 | b[3]};
        if (layout.blocks.isEmpty() && (block.type != kStreamInfo || block.length != 34)) {
            *error = QStringLiteral("FLAC metadata does not start with STREAMINFO");
            return std::nullopt;
        }
        layout.blocks.append(block);
        pos += 4 + block.length;
    }
    if (pos > file.size()) {
        *error = QStringLiteral("FLAC metadata runs past the end of the file");
        return std::nullopt;
    }
    layout.audioStart = pos;
    return layout;
}

QByteArray readBlockData(QFile &file, const FlacBlock &block)
{
    file.seek(block.offset + 4);
    return file.read(block.length);
}

} // namespace tags
