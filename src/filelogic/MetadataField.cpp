#include "filelogic/MetadataField.h"

#include "filelogic/BextRecord.h"

#include <algorithm>

namespace {

using F = MetadataField;
using S = FieldStore;
using K = FieldKind;

// The record's fixed widths as libsndfile lays the record out.
constexpr int kDescription = int(sizeof(BextRecord::description));
constexpr int kOriginator = int(sizeof(BextRecord::originator));
constexpr int kOriginatorRef = int(sizeof(BextRecord::originator_reference));
constexpr int kDate = int(sizeof(BextRecord::origination_date));
constexpr int kTime = int(sizeof(BextRecord::origination_time));
constexpr int kUmid = int(sizeof(BextRecord::umid));

constexpr std::array<FieldFacts, kMetadataFieldCount> kFields = {{
    // id                    key                     label                       store       kind         bytes           settable
    {F::Title,                "title",                "Title",                    S::Strings, K::Text,     0,              true},
    {F::Artist,               "artist",               "Artist",                   S::Strings, K::Text,     0,              true},
    {F::Comment,              "comment",              "Comment",                  S::Strings, K::Text,     0,              true},
    {F::Copyright,            "copyright",            "Copyright",                S::Strings, K::Text,     0,              true},
    {F::Software,             "software",             "Software",                 S::Strings, K::Text,     0,              true},
    {F::Date,                 "date",                 "Date",                     S::Strings, K::Text,     0,              true},
    {F::Description,          "description",          "Description",              S::Bext,    K::Text,     kDescription,   true},
    {F::Originator,           "originator",           "Originator",               S::Bext,    K::Text,     kOriginator,    true},
    {F::OriginatorRef,        "originatorRef",        "Originator reference",     S::Bext,    K::Text,     kOriginatorRef, true},
    {F::OriginationDate,      "originationDate",      "Origination date",         S::Bext,    K::Text,     kDate,          true},
    {F::OriginationTime,      "originationTime",      "Origination time",         S::Bext,    K::Text,     kTime,          true},
    {F::Timecode,             "timecode",             "Timecode",                 S::Bext,    K::Timecode, 0,              true},
    {F::Version,              "version",              "Version",                  S::Bext,    K::Version,  0,              false},
    {F::UMID,                 "umid",                 "UMID",                     S::Bext,    K::Umid,     kUmid,          true},
    {F::CodingHistory,        "codingHistory",        "Coding history",           S::Bext,    K::Lines,    kBextCodingHistoryRoom, true},
    {F::LoudnessValue,        "loudnessValue",        "Loudness value",           S::Bext,    K::Loudness, 0,              true},
    {F::LoudnessRange,        "loudnessRange",        "Loudness range",           S::Bext,    K::Loudness, 0,              true},
    {F::MaxTruePeakLevel,     "maxTruePeakLevel",     "Max true peak level",      S::Bext,    K::Loudness, 0,              true},
    {F::MaxMomentaryLoudness, "maxMomentaryLoudness", "Max momentary loudness",   S::Bext,    K::Loudness, 0,              true},
    {F::MaxShortTermLoudness, "maxShortTermLoudness", "Max short-term loudness",  S::Bext,    K::Loudness, 0,              true},
    {F::IxmlProject,          "ixml.project",         "Project",                  S::Ixml,    K::Text,     0,              true},
    {F::IxmlScene,            "ixml.scene",           "Scene",                    S::Ixml,    K::Text,     0,              true},
    {F::IxmlTake,             "ixml.take",            "Take",                     S::Ixml,    K::Text,     0,              true},
    {F::IxmlTape,             "ixml.tape",            "Tape",                     S::Ixml,    K::Text,     0,              true},
    {F::IxmlCircled,          "ixml.circled",         "Circled",                  S::Ixml,    K::Flag,     0,              true},
    {F::IxmlNote,             "ixml.note",            "Note",                     S::Ixml,    K::Text,     0,              true},
    {F::IxmlTrackName,        "ixml.track",           "Track",                    S::Ixml,    K::TrackName, 0,             true},
}};

// Each field has its row, so fieldFacts() always finds one.
constexpr bool everyFieldOnce()
{
    for (int i = 0; i < kMetadataFieldCount; ++i) {
        int rows = 0;
        for (const FieldFacts &f : kFields)
            rows += int(f.id) == i;
        if (rows != 1)
            return false;
    }
    return true;
}
static_assert(everyFieldOnce(), "a metadata field without exactly one row");

} // namespace

const std::array<FieldFacts, kMetadataFieldCount> &metadataFieldTable()
{
    return kFields;
}

const FieldFacts &fieldFacts(MetadataField field)
{
    return *std::find_if(kFields.begin(), kFields.end(), [field](const FieldFacts &f) { return f.id == field; });
}

QString fieldKey(MetadataField field)
{
    return QString::fromLatin1(fieldFacts(field).key);
}

QString trackKey(int channel)
{
    return fieldKey(MetadataField::IxmlTrackName) + QString::number(channel);
}

int trackNamed(const QString &key)
{
    const QString prefix = fieldKey(MetadataField::IxmlTrackName);
    bool ok = false;
    const int channel = key.startsWith(prefix) ? key.mid(prefix.size()).toInt(&ok) : 0;
    // Only the key trackKey makes: no sign, no leading zero.
    return ok && channel > 0 && trackKey(channel) == key ? channel : 0;
}

std::optional<MetadataField> fieldNamed(const QString &key)
{
    for (const FieldFacts &f : kFields)
        if (key == QLatin1String(f.key))
            return f.id;
    return std::nullopt;
}
