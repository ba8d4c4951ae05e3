#include "rewrite/MetadataSave.h"

#include "filelogic/BextLoudness.h"
#include "filelogic/FileText.h"
#include "filelogic/Timecode.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstring>

namespace rewrite {

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("MetadataSave", text);
}

// What a field holds as bytes for the file: the bytes it was read from when
// the user left it alone, otherwise its text as UTF-8.
QByteArray fieldBytes(const QString &text, const QByteArray &original)
{
    return text == decodeFileText(original) ? original : text.toUtf8();
}

// Cuts UTF-8 text to at most `width` bytes without splitting a character.
QByteArray cutUtf8(const QByteArray &bytes, int width)
{
    if (bytes.size() <= width)
        return bytes;
    int end = width;
    while (end > 0 && (uchar(bytes[end]) & 0xC0) == 0x80)
        --end;
    return bytes.left(end);
}

void storeField(char *field, int width, const QString &text, const QByteArray &original)
{
    if (text == decodeFileText(original))
        return; // untouched: the record keeps the bytes it was read with
    const QByteArray bytes = cutUtf8(text.toUtf8(), width);
    std::memset(field, 0, size_t(width));
    std::memcpy(field, bytes.constData(), size_t(bytes.size()));
}

// The loudness fields change only when one of them was edited: then all
// five are written as their texts say (empty: not present) and the record
// becomes version 2, which is the first to have them. Untouched, a record
// keeps its version and the bytes where the fields would be.
void storeLoudness(const MetadataTexts &texts, const BextRecord &was, BextRecord *record)
{
    bool edited = false;
    for (MetadataField f : loudnessFields())
        edited = edited || texts[size_t(f)] != bextLoudnessText(was, f);
    if (!edited)
        return;
    for (MetadataField f : loudnessFields())
        setBextLoudness(*record, f, parseBextLoudness(texts[size_t(f)]).value_or(kBextLoudnessNotPresent));
    record->version = std::max<short>(record->version, 2);
}

} // namespace

MetadataTexts metadataTexts(const FileMetadata &read, int samplerate)
{
    MetadataTexts texts;
    for (int i = 0; i < kStringFieldCount; ++i) {
        const auto &bytes = read.strings[size_t(i)];
        texts[size_t(i)] = bytes ? decodeFileText(*bytes) : QString();
    }
    if (!read.hasBext)
        return texts;
    const BextRecord &b = read.bext;
    using F = MetadataField;
    texts[size_t(F::Description)] = bextFieldText(b, BextField::Description);
    texts[size_t(F::Originator)] = bextFieldText(b, BextField::Originator);
    texts[size_t(F::OriginatorRef)] = bextFieldText(b, BextField::OriginatorRef);
    texts[size_t(F::OriginationDate)] = bextFieldText(b, BextField::OriginationDate);
    texts[size_t(F::OriginationTime)] = bextFieldText(b, BextField::OriginationTime);
    texts[size_t(F::UMID)] = bextFieldText(b, BextField::UMID);
    // Line breaks as a text field shows them, so an untouched history
    // compares equal to what was read.
    texts[size_t(F::CodingHistory)] = plainTextAsShown(bextFieldText(b, BextField::CodingHistory));
    texts[size_t(F::Version)] = QString::number(b.version);
    texts[size_t(F::Timecode)] = timecodeText(timeReference(b), samplerate);
    for (F f : loudnessFields())
        texts[size_t(f)] = bextLoudnessText(b, f);
    return texts;
}

QString loudnessTextProblem(const MetadataTexts &texts)
{
    for (MetadataField f : loudnessFields())
        if (!parseBextLoudness(texts[size_t(f)]))
            return tr("“%1” is not a number from -327.68 to 327.66 for the %2.")
                .arg(texts[size_t(f)], loudnessFieldName(f));
    return QString();
}

QString loudnessFieldName(MetadataField field)
{
    static const char *const names[kLoudnessFieldCount] = {
        QT_TRANSLATE_NOOP("MetadataSave", "loudness value"),
        QT_TRANSLATE_NOOP("MetadataSave", "loudness range"),
        QT_TRANSLATE_NOOP("MetadataSave", "maximum true peak level"),
        QT_TRANSLATE_NOOP("MetadataSave", "maximum momentary loudness"),
        QT_TRANSLATE_NOOP("MetadataSave", "maximum short-term loudness"),
    };
    return tr(names[int(field) - int(MetadataField::LoudnessValue)]);
}

const std::array<MetadataField, kLoudnessFieldCount> &loudnessFields()
{
    using F = MetadataField;
    static const std::array<F, kLoudnessFieldCount> fields = {F::LoudnessValue, F::LoudnessRange, F::MaxTruePeakLevel,
                                                              F::MaxMomentaryLoudness, F::MaxShortTermLoudness};
    return fields;
}

bool textsHoldBext(const MetadataTexts &texts)
{
    using F = MetadataField;
    for (F f : {F::Description, F::CodingHistory, F::OriginationDate, F::OriginationTime, F::Originator,
                F::OriginatorRef, F::UMID, F::Timecode})
        if (!texts[size_t(f)].isEmpty())
            return true;
    for (F f : loudnessFields())
        if (!texts[size_t(f)].isEmpty())
            return true;
    return false;
}

void fillJobMetadata(const MetadataTexts &texts, const FileMetadata &read, int samplerate, bool withBext,
                     RewriteJob *job)
{
    using F = MetadataField;
    for (int i = 0; i < kStringFieldCount; ++i) {
        const QByteArray bytes = fieldBytes(texts[size_t(i)], read.strings[size_t(i)].value_or(QByteArray()));
        if (!bytes.isEmpty())
            job->strings[size_t(i)] = bytes;
    }
    if (!withBext)
        return;
    const auto text = [&texts](F f) { return texts[size_t(f)]; };
    const BextRecord &was = read.bext;
    BextRecord record = was;
    // The timecode text stands for the time reference only once edited: its
    // text may be coarser than the reference read.
    quint64 reference = 0;
    if (text(F::Timecode) != timecodeText(timeReference(was), samplerate)
        && parseTimecode(text(F::Timecode), samplerate, &reference))
        setTimeReference(record, reference);
    // Edited fields go into the record; untouched ones keep their bytes,
    // binary UMID included.
    storeField(record.description, 256, text(F::Description), bextFieldBytes(was, BextField::Description));
    storeField(record.originator, 32, text(F::Originator), bextFieldBytes(was, BextField::Originator));
    storeField(record.originator_reference, 32, text(F::OriginatorRef), bextFieldBytes(was, BextField::OriginatorRef));
    storeField(record.origination_date, 10, text(F::OriginationDate), bextFieldBytes(was, BextField::OriginationDate));
    storeField(record.origination_time, 8, text(F::OriginationTime), bextFieldBytes(was, BextField::OriginationTime));
    storeField(record.umid, 64, text(F::UMID), bextFieldBytes(was, BextField::UMID));
    // A text edit shows CR LF as one line break; compare what it shows.
    const QString history = text(F::CodingHistory);
    if (history != plainTextAsShown(decodeFileText(bextFieldBytes(was, BextField::CodingHistory)))) {
        const QByteArray bytes = history.toUtf8().left(kBextCodingHistoryCapacity);
        std::memset(record.coding_history, 0, sizeof record.coding_history);
        std::memcpy(record.coding_history, bytes.constData(), size_t(bytes.size()));
        record.coding_history_size = quint32(bytes.size());
    }
    bool versionOk = false;
    const int version = text(F::Version).trimmed().toInt(&versionOk);
    if (versionOk && version >= -32768 && version <= 32767)
        record.version = short(version);
    storeLoudness(texts, was, &record);
    job->bext = record;
}

} // namespace rewrite
