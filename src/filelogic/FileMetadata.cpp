#include "filelogic/FileMetadata.h"

#include "filelogic/FileText.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <utility>

FileMetadata readFileMetadata(SNDFILE *sndfile)
{
    FileMetadata meta;
    if (!sndfile)
        return meta;

    for (int id = SF_STR_TITLE; id <= SF_STR_DATE; ++id) {
        if (const char *text = sf_get_string(sndfile, id))
            meta.strings[size_t(id - SF_STR_TITLE)] = QByteArray(text);
    }

    // libsndfile copies min(data size, fixed part + its coding_history_size)
    // bytes and leaves the rest of the record alone, so the record starts
    // zeroed. The size field it copies is the one from the file, which may
    // claim more than was copied; clamp it to what the record can hold.
    meta.hasBext = sf_command(sndfile, SFC_GET_BROADCAST_INFO, &meta.bext, int(sizeof(meta.bext))) == SF_TRUE;
    if (meta.hasBext) {
        meta.bext.coding_history_size =
            std::min<quint32>(meta.bext.coding_history_size, quint32(kBextCodingHistoryCapacity));
    } else {
        meta.bext = BextRecord{};
    }
    return meta;
}

namespace {

// Start and width of a field; the coding history's width is its clamped size.
std::pair<const char *, int> fieldSpan(const BextRecord &bext, BextField field)
{
    switch (field) {
    case BextField::Description:
        return {bext.description, int(sizeof(bext.description))};
    case BextField::Originator:
        return {bext.originator, int(sizeof(bext.originator))};
    case BextField::OriginatorRef:
        return {bext.originator_reference, int(sizeof(bext.originator_reference))};
    case BextField::OriginationDate:
        return {bext.origination_date, int(sizeof(bext.origination_date))};
    case BextField::OriginationTime:
        return {bext.origination_time, int(sizeof(bext.origination_time))};
    case BextField::UMID:
        return {bext.umid, int(sizeof(bext.umid))};
    case BextField::CodingHistory:
        return {bext.coding_history,
                int(std::min<quint32>(bext.coding_history_size, quint32(sizeof(bext.coding_history))))};
    }
    return {nullptr, 0};
}

} // namespace

QByteArray bextFieldBytes(const BextRecord &bext, BextField field)
{
    const auto [start, width] = fieldSpan(bext, field);
    return fixedField(start, width);
}

QByteArray bextFieldRawBytes(const BextRecord &bext, BextField field)
{
    const auto [start, width] = fieldSpan(bext, field);
    return start ? QByteArray(start, width) : QByteArray();
}

QString bextFieldText(const BextRecord &bext, BextField field)
{
    return decodeFileText(bextFieldBytes(bext, field));
}

namespace {

QByteArray withoutTrailingZeros(QByteArray bytes)
{
    while (!bytes.isEmpty() && bytes.back() == '\0')
        bytes.chop(1);
    return bytes;
}

} // namespace

QString umidHexText(const BextRecord &bext)
{
    return hexBytes(withoutTrailingZeros(bextFieldRawBytes(bext, BextField::UMID)), 4);
}

std::optional<QByteArray> parseUmidHexText(const QString &text)
{
    // A character outside Latin-1 becomes '?', which is no digit.
    QByteArray digits = text.toLatin1();
    digits.removeIf([](char c) { return c == ' ' || c == '\t'; });
    const bool hex = std::all_of(digits.begin(), digits.end(), [](char c) { return std::isxdigit(uchar(c)); });
    if (!hex || digits.size() % 2 != 0 || digits.size() > 2 * qsizetype(sizeof(BextRecord::umid)))
        return std::nullopt;
    return withoutTrailingZeros(QByteArray::fromHex(digits));
}
