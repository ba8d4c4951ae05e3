#include "cli/IxmlCheck.h"

#include "filelogic/FileText.h"
#include "filelogic/IxmlChunk.h"
#include "filelogic/Timecode.h"

#include <QCoreApplication>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("IxmlCheck", text);
}

MetadataFinding finding(const QString &message, const QString &key = QStringLiteral("ixml"))
{
    return MetadataFinding{key, std::nullopt, message};
}

// Texts compared as a text field shows them: recorders write the record's
// CR LF line ends into one and XML reads them back as LF.
QString comparable(const QString &text)
{
    return plainTextAsShown(text).trimmed();
}

void checkTracks(const IxmlChunk &chunk, int channels, QList<MetadataFinding> &findings)
{
    if (chunk.trackCount) {
        bool ok = false;
        const int count = chunk.trackCount->toInt(&ok);
        if (!ok)
            findings << finding(tr("TRACK_COUNT “%1” is not a number").arg(*chunk.trackCount));
        else if (count != chunk.tracks.size())
            findings << finding(tr("TRACK_COUNT is %1 but TRACK_LIST has %2 TRACK entries").arg(count).arg(chunk.tracks.size()));
        else if (count != channels)
            findings << finding(tr("TRACK_COUNT is %1 but the file has %2 channels").arg(count).arg(channels));
    }
    for (const IxmlTrack &track : chunk.tracks) {
        const int channel = track.channel();
        if (channel == 0)
            findings << finding(tr("a TRACK has no CHANNEL_INDEX from 1 (“%1”)").arg(track.channelIndex));
        else if (channel > channels)
            findings << finding(tr("CHANNEL_INDEX %1 is beyond the file's %2 channels").arg(channel).arg(channels),
                                trackKey(channel));
    }
}

void checkBextSection(const IxmlChunk &chunk, const FileMetadata &read, QList<MetadataFinding> &findings)
{
    if (!read.hasBext)
        return;
    if (chunk.bextDescription
        && comparable(*chunk.bextDescription) != comparable(bextFieldText(read.bext, BextField::Description)))
        findings << finding(tr("the BEXT section's BWF_DESCRIPTION differs from the broadcast record's description"));
    if (chunk.bextTimeReferenceLow || chunk.bextTimeReferenceHigh) {
        const quint64 low = chunk.bextTimeReferenceLow.value_or(QString()).toULongLong();
        const quint64 high = chunk.bextTimeReferenceHigh.value_or(QString()).toULongLong();
        if ((high << 32 | (low & 0xffffffffu)) != timeReference(read.bext))
            findings << finding(tr("the BEXT section's time reference (%1) differs from the broadcast record's (%2)")
                                    .arg(high << 32 | (low & 0xffffffffu))
                                    .arg(timeReference(read.bext)));
    }
}

} // namespace

QList<MetadataFinding> checkIxml(const FileMetadata &read, const SF_INFO &info)
{
    if (!read.ixml)
        return {};
    const IxmlChunk chunk = readIxmlChunk(*read.ixml);
    if (!chunk.wellFormed)
        return {finding(tr("not well-formed XML: %1").arg(chunk.problem))};
    QList<MetadataFinding> findings;
    checkTracks(chunk, info.channels, findings);
    bool ok = false;
    const double rate = chunk.fileSampleRate.toDouble(&ok);
    if (!chunk.fileSampleRate.isEmpty() && (!ok || qRound64(rate) != info.samplerate))
        findings << finding(tr("FILE_SAMPLE_RATE “%1” differs from the format chunk's %2 Hz")
                                .arg(chunk.fileSampleRate)
                                .arg(info.samplerate));
    checkBextSection(chunk, read, findings);
    return findings;
}
