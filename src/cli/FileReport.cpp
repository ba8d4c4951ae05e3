#include "cli/FileReport.h"

#include "container/TagReader.h"
#include "filelogic/BextLoudness.h"
#include "filelogic/ContainerTable.h"
#include "filelogic/FileText.h"
#include "filelogic/PropertyText.h"

#include <QJsonArray>

#include <algorithm>

namespace {

ReportField field(const char *key, const char *label, const QString &text)
{
    return ReportField{QString::fromLatin1(key), QString::fromLatin1(label), text, -1, -1};
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
        field("format", "Format", formatNameText(sndfile, sfinfo.format)),
        field("sampleFormat", "Sample format", formatNameText(sndfile, sfinfo.format & 0xffff)),
        field("samplerate", "Sample rate", QString::number(sfinfo.samplerate)),
        field("bytesPerSample", "Bytes per sample", bytesPerSampleText(sfinfo.format)),
        field("channels", "Channels", QString::number(sfinfo.channels)),
        // In full: files longer than 2^31 frames exist (RF64, W64, CAF).
        field("frames", "Frames", framesText(sfinfo.frames)),
        field("length", "Length", lengthText(sfinfo.frames, sfinfo.samplerate)),
        field("filesize", "File size", sizeText(fileSize)),
        field("bytesPerSecond", "Bytes per second",
              bytesPerSecondText(sfinfo.format, sfinfo.samplerate, sfinfo.channels)),
        field("sections", "Sections", QString::number(sfinfo.sections)),
    };
    return section;
}

rewrite::MetadataTexts commandLineTexts(const FileMetadata &metadata, int samplerate)
{
    rewrite::MetadataTexts texts = rewrite::metadataTexts(metadata, samplerate);
    texts[size_t(MetadataField::UMID)] = metadata.hasBext ? umidHexText(metadata.bext) : QString();
    return texts;
}

ReportSection metadataSection(FieldStore store, const FileMetadata &metadata, int samplerate)
{
    static const char *const tabs[] = {"Strings", "BEXT", "iXML"};
    ReportSection section{QString::fromLatin1(tabs[int(store)]), {}};
    const rewrite::MetadataTexts texts = commandLineTexts(metadata, samplerate);
    for (const FieldFacts &f : metadataFieldTable()) {
        if (f.store != store)
            continue;
        if (f.kind != FieldKind::TrackName)
            section.fields.append(field(f.key, f.label, texts[size_t(f.id)]));
        else
            for (const auto &[channel, name] : texts.trackNames)
                section.fields.append(ReportField{trackKey(channel), QStringLiteral("%1 %2").arg(QLatin1String(f.label)).arg(channel), name});
    }
    if (store != FieldStore::Ixml)
        return section;
    const IxmlChunk chunk = readIxmlChunk(metadata.ixml.value_or(QByteArray()));
    section.fields << field("ixml.timecodeRate", "Timecode rate", chunk.timecodeRate)
                   << field("ixml.timecodeFlag", "Timecode flag", chunk.timecodeFlag)
                   << field("ixml.fileSampleRate", "File sample rate", chunk.fileSampleRate)
                   << field("ixml.fileUid", "File UID", chunk.fileUid) << field("ixml.ubits", "User bits", chunk.ubits);
    if (!chunk.problem.isEmpty())
        section.fields << field("ixml.problem", "Not editable", chunk.problem);
    return section;
}

ChannelNames fileChannelNames(SNDFILE *sndfile, int channels, const FileMetadata &metadata)
{
    return {readIxmlChunk(metadata.ixml.value_or(QByteArray())).trackNames(), channelPositions(sndfile, channels)};
}

ReportSection peakSection(const std::vector<double> &peaks, int format, const ChannelNames &naming)
{
    ReportSection section{QStringLiteral("Peak"), {}};
    for (int c = 0; c < int(peaks.size()); ++c) {
        ReportField row{QString(), naming.label(c), peakText(peaks[size_t(c)], format)};
        row.name = naming.nameOf(c);
        section.fields.append(row);
    }
    return section;
}

QList<ReportSection> infoSections(SNDFILE *sndfile, const SF_INFO &sfinfo, qint64 fileSize, const QString &path)
{
    QList<ReportSection> sections{propertiesSection(sndfile, sfinfo, fileSize)};
    // As the window reads it: Ogg and MP3 strings from their tags.
    const FileMetadata metadata = readSavedMetadata(sndfile, sfinfo.format, path);
    if (formatOffersStrings(sfinfo.format))
        sections.append(metadataSection(FieldStore::Strings, metadata, sfinfo.samplerate));
    if (formatOffersBext(sfinfo.format))
        sections.append(metadataSection(FieldStore::Bext, metadata, sfinfo.samplerate));
    if (formatOffersIxml(sfinfo.format))
        sections.append(metadataSection(FieldStore::Ixml, metadata, sfinfo.samplerate));
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
        } else if (section.tab == QLatin1String("Markers")) {
            QJsonArray rows;
            for (const ReportField &f : section.fields)
                rows.append(f.row);
            json.insert(key, rows);
        } else if (section.tab == QLatin1String("Peak")) {
            QJsonArray rows;
            for (const ReportField &f : section.fields) {
                QJsonObject row{{QStringLiteral("channel"), f.label}, {QStringLiteral("peak"), f.text}};
                if (!f.name.isEmpty())
                    row.insert(QStringLiteral("name"), f.name);
                rows.append(row);
            }
            json.insert(key, rows);
        } else {
            QJsonObject fields;
            for (const ReportField &f : section.fields)
                fields.insert(f.key, f.number.isUndefined() ? QJsonValue(f.text) : f.number);
            json.insert(key, fields);
        }
    }
    return json;
}
