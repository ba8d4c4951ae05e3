#include "cli/LoudnessReport.h"

#include <QFileInfo>

#include <cmath>

namespace {

ReportField levelField(const char *key, const char *label, const QString &text, double value)
{
    ReportField field{QString::fromLatin1(key), QString::fromLatin1(label), text, -1, -1};
    // JSON has no infinity; silence has no level.
    field.number = std::isfinite(value) ? QJsonValue(value) : QJsonValue(QJsonValue::Null);
    return field;
}

} // namespace

ReportSection loudnessSection(const LoudnessResult &r)
{
    ReportSection section{QStringLiteral("Loudness"), {}};
    section.fields = {
        levelField("integrated", "Integrated loudness", loudnessText(r.integrated), r.integrated),
        levelField("range", "Loudness range", loudnessRangeText(r.range), r.range),
        levelField("truePeak", "True peak", truePeakText(r.truePeak), r.truePeak),
        levelField("maxMomentary", "Maximum momentary", loudnessText(r.maxMomentary), r.maxMomentary),
        levelField("maxShortTerm", "Maximum short-term", loudnessText(r.maxShortTerm), r.maxShortTerm),
    };
    return section;
}

void addLoudnessSection(FileReport &report)
{
    if (!report.error.isEmpty())
        return;
    const LoudnessResult result = measureLoudness(QFileInfo(report.file).absoluteFilePath());
    if (!result.ok) {
        report.error = result.error.isEmpty() ? QStringLiteral("The loudness could not be measured.") : result.error;
        report.sections.clear();
        return;
    }
    report.sections.append(loudnessSection(result));
}
