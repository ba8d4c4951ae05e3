#include "cli/FileReport.h"

#include "container/TagReader.h"
#include "filelogic/BextLoudness.h"
#include "filelogic/ContainerTable.h"
#include "filelogic/FileText.h"
#include "filelogic/PropertyText.h"
#include "filelogic/Timecode.h"
#include "rewrite/MetadataSave.h"

#include <QJsonArray>

#include <algorithm>

namespace {

const QString kPeakOutlet = QStringLiteral("peakTable");

// The group prefixes of the window's control names.
const char *const kOutletPrefixes[] = {"label", "string", "bext", "peak", "loudness"};

ReportField field(const char *outlet, const char *label, const QString &text)
{
    return ReportField{QString::fromLatin1(outlet), QString::fromLatin1(label), text, -1, -1};
}

} // namespace

QString formatNameText(SNDFILE *sndfile, int format)
{
    SF_FORMAT_INFO info{};
    info.format = format;
    sf_command(sndfile, SFC_GET_FORMAT_INFO, &info, sizeof info);
    // libsndfile leaves the name unset for a format word it does not know.
    return info.name ? QString::fromLocal8Bit(info.name) : QStringLiteral("unknown");
}

ReportSection propertiesSection(SNDFILE *sndfile, const SF_INFO &sfinfo, qint64 fileSize)
{
    ReportSection section{QStringLiteral("Properties"), {}};
    section.fields = {
        field("labelFormat", "Format", formatNameText(sndfile, sfinfo.format)),
        field("labelSampleFormat", "Sample format", formatNameText(sndfile, sfinfo.format & 0xffff)),
        field("labelSamplerate", "Sample rate", QString::number(sfinfo.samplerate)),
        field("labelBytesPerSample", "Bytes per sample", bytesPerSampleText(sfinfo.format)),
        field("labelChannels", "Channels", QString::number(sfinfo.channels)),
        // In full: files longer than 2^31 frames exist (RF64, W64, CAF).
        field("labelFrames", "Frames", framesText(sfinfo.frames)),
        field("labelLength", "Length", lengthText(sfinfo.frames, sfinfo.samplerate)),
        field("labelFilesize", "File size", sizeText(fileSize)),
        field("labelBytesPerSecond", "Bytes per second",
              bytesPerSecondText(sfinfo.format, sfinfo.samplerate, sfinfo.channels)),
        field("labelSections", "Sections", QString::number(sfinfo.sections)),
    };
    return section;
}

ReportSection stringsSection(const FileMetadata &metadata)
{
    // The window's order; the numbers are libsndfile's string ids.
    struct Row {
        const char *outlet;
        const char *label;
        int id;
    };
    static const Row rows[] = {
        {"stringTitle", "Title", SF_STR_TITLE},         {"stringArtist", "Artist", SF_STR_ARTIST},
        {"stringComment", "Comment", SF_STR_COMMENT},   {"stringCopyright", "Copyright", SF_STR_COPYRIGHT},
        {"stringSoftware", "Software", SF_STR_SOFTWARE}, {"stringDate", "Date", SF_STR_DATE},
    };
    ReportSection section{QStringLiteral("Strings"), {}};
    for (const Row &row : rows) {
        const auto &bytes = metadata.strings[size_t(row.id - SF_STR_TITLE)];
        section.fields.append(field(row.outlet, row.label, bytes ? decodeFileText(*bytes) : QString()));
    }
    return section;
}

ReportSection bextSection(const FileMetadata &metadata, int samplerate)
{
    ReportSection section{QStringLiteral("BEXT"), {}};
    const bool has = metadata.hasBext;
    const BextRecord &b = metadata.bext;
    auto text = [&](BextField f) { return has ? bextFieldText(b, f) : QString(); };
    auto loudness = [&](MetadataField f) { return has ? bextLoudnessText(b, f) : QString(); };
    section.fields = {
        field("bextDescription", "Description", text(BextField::Description)),
        field("bextOriginator", "Originator", text(BextField::Originator)),
        field("bextOriginatorRef", "Originator reference", text(BextField::OriginatorRef)),
        field("bextOriginationDate", "Origination date", text(BextField::OriginationDate)),
        field("bextOriginationTime", "Origination time", text(BextField::OriginationTime)),
        field("bextTimecode", "Timecode", has ? timecodeText(timeReference(b), samplerate) : QString()),
        field("bextVersion", "Version", has ? QString::number(b.version) : QString()),
        field("bextUMID", "UMID", has ? umidHexText(b) : QString()),
        // The only multi-line field: it shows line breaks the way a text edit does.
        field("bextCodingHistory", "Coding history", plainTextAsShown(text(BextField::CodingHistory))),
        field("bextLoudnessValue", "Loudness value", loudness(MetadataField::LoudnessValue)),
        field("bextLoudnessRange", "Loudness range", loudness(MetadataField::LoudnessRange)),
        field("bextMaxTruePeakLevel", "Max true peak level", loudness(MetadataField::MaxTruePeakLevel)),
        field("bextMaxMomentaryLoudness", "Max momentary loudness", loudness(MetadataField::MaxMomentaryLoudness)),
        field("bextMaxShortTermLoudness", "Max short-term loudness", loudness(MetadataField::MaxShortTermLoudness)),
    };
    return section;
}

ReportSection peakSection(const std::vector<double> &peaks, int format)
{
    ReportSection section{QStringLiteral("Peak"), {}};
    for (size_t c = 0; c < peaks.size(); ++c)
        section.fields.append(ReportField{kPeakOutlet, channelName(int(c)), peakText(peaks[c], format), -1, -1});
    return section;
}

QList<ReportSection> infoSections(SNDFILE *sndfile, const SF_INFO &sfinfo, qint64 fileSize, const QString &path)
{
    QList<ReportSection> sections{propertiesSection(sndfile, sfinfo, fileSize)};
    // As the window reads it: Ogg and MP3 strings from their tags.
    const FileMetadata metadata = readSavedMetadata(sndfile, sfinfo.format, path);
    if (formatOffersStrings(sfinfo.format))
        sections.append(stringsSection(metadata));
    if (formatOffersBext(sfinfo.format))
        sections.append(bextSection(metadata, sfinfo.samplerate));
    return sections;
}

QString reportText(const FileReport &report)
{
    QString out = report.file;
    if (!report.error.isEmpty())
        out += QStringLiteral(": ") + report.error;
    for (const ReportSection &section : report.sections) {
        out += u'\n' + section.tab;
        for (const ReportField &f : section.fields) {
            const QString head = QStringLiteral("  ") + f.label + u':';
            out += u'\n' + head;
            // Line breaks of any kind start a new line aligned under the first.
            QStringList lines = plainTextAsShown(f.text).split(u'\n');
            // A history's closing line break would only leave a blank line.
            while (lines.size() > 1 && lines.last().isEmpty())
                lines.removeLast();
            const QString indent(head.size() + 1, u' ');
            for (qsizetype i = 0; i < lines.size(); ++i) {
                if (i > 0)
                    out += u'\n' + (lines[i].isEmpty() ? QString() : indent);
                else if (!lines[i].isEmpty())
                    out += u' ';
                out += lines[i];
            }
        }
    }
    return out;
}

QJsonObject reportJson(const FileReport &report)
{
    QJsonObject json{{QStringLiteral("file"), report.file}};
    if (!report.error.isEmpty())
        json.insert(QStringLiteral("error"), report.error);
    for (const ReportSection &section : report.sections) {
        const QString key = section.tab.toLower();
        if (section.tab == QLatin1String("Chunks")) {
            QJsonArray rows;
            for (const ReportField &f : section.fields) {
                const int depth = int(f.label.size() - f.label.trimmed().size()) / 2;
                rows.append(f.offset < 0 ? QJsonObject{{QStringLiteral("error"), f.text}}
                                         : QJsonObject{{QStringLiteral("chunk"), f.label.trimmed()},
                                                       {QStringLiteral("depth"), depth},
                                                       {QStringLiteral("offset"), f.offset},
                                                       {QStringLiteral("size"), f.size}});
            }
            json.insert(key, rows);
        } else if (section.tab == QLatin1String("Peak")) {
            QJsonArray rows;
            for (const ReportField &f : section.fields)
                rows.append(QJsonObject{{QStringLiteral("channel"), f.label}, {QStringLiteral("peak"), f.text}});
            json.insert(key, rows);
        } else {
            QJsonObject fields;
            for (const ReportField &f : section.fields)
                fields.insert(reportJsonKey(f.outlet), f.number.isUndefined() ? QJsonValue(f.text) : f.number);
            json.insert(key, fields);
        }
    }
    return json;
}

QString reportJsonKey(const QString &outlet)
{
    QString rest = outlet;
    for (const char *prefix : kOutletPrefixes) {
        const QLatin1String p(prefix);
        if (rest.size() > p.size() && rest.startsWith(p) && rest.at(p.size()).isUpper()) {
            rest = rest.mid(p.size());
            break;
        }
    }
    // Lower-case the leading capitals; of a run followed by lower case the
    // last capital starts the next word ("UMIDText" -> "umidText").
    qsizetype run = 0;
    while (run < rest.size() && rest.at(run).isUpper())
        ++run;
    if (run > 1 && run < rest.size())
        --run;
    for (qsizetype i = 0; i < std::max<qsizetype>(run, 1) && i < rest.size(); ++i)
        rest[i] = rest.at(i).toLower();
    return rest;
}
