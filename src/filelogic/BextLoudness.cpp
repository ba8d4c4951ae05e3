#include "filelogic/BextLoudness.h"

#include <cmath>

namespace {

// The field's place in a record, const or not.
template <typename Record>
auto slot(Record &record, MetadataField field) -> decltype(&record.loudness_value)
{
    decltype(&record.loudness_value) const fields[kLoudnessFieldCount] = {&record.loudness_value, &record.loudness_range,
                                                &record.max_true_peak_level, &record.max_momentary_loudness,
                                                &record.max_shortterm_loudness};
    return fields[int(field) - int(MetadataField::LoudnessValue)];
}

QString hundredthsText(int hundredths)
{
    const int magnitude = std::abs(hundredths);
    return QStringLiteral("%1%2.%3")
        .arg(hundredths < 0 ? QStringLiteral("-") : QString())
        .arg(magnitude / 100)
        .arg(magnitude % 100, 2, 10, QLatin1Char('0'));
}

// A value as a field holds it; nullopt for NaN, infinities and what does
// not fit below the not-present mark.
std::optional<short> hundredthsOf(double value)
{
    const double hundredths = std::round(value * 100.0);
    if (!std::isfinite(hundredths) || hundredths < -32768.0 || hundredths >= double(kBextLoudnessNotPresent))
        return std::nullopt;
    return short(hundredths);
}

} // namespace

short bextLoudness(const BextRecord &record, MetadataField field)
{
    return *slot(record, field);
}

void setBextLoudness(BextRecord &record, MetadataField field, short hundredths)
{
    *slot(record, field) = hundredths;
}

QString bextLoudnessText(const BextRecord &record, MetadataField field)
{
    const short value = bextLoudness(record, field);
    if (record.version < 2 || value == kBextLoudnessNotPresent)
        return QString();
    return hundredthsText(value);
}

std::optional<short> parseBextLoudness(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return kBextLoudnessNotPresent;
    bool ok = false;
    const double value = trimmed.toDouble(&ok);
    return ok ? hundredthsOf(value) : std::nullopt;
}

QString bextLoudnessTextFor(double value)
{
    const std::optional<short> hundredths = hundredthsOf(value);
    return hundredths ? hundredthsText(*hundredths) : QString();
}
