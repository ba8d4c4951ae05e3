#include "cli/MarkerReport.h"

#include "filelogic/PropertyText.h"

#include <QCoreApplication>
#include <QFile>

QString markerTimeText(const Marker &marker, int samplerate)
{
    return lengthText(marker.frame, samplerate);
}

QString markerLengthText(const Marker &marker, int samplerate)
{
    return marker.length > 0 ? lengthText(marker.length, samplerate) : QString();
}

QString markerKindKey(MarkerKind kind)
{
    switch (kind) {
    case MarkerKind::Point: return QStringLiteral("point");
    case MarkerKind::Region: return QStringLiteral("region");
    case MarkerKind::SustainLoop: return QStringLiteral("sustainLoop");
    case MarkerKind::ReleaseLoop: return QStringLiteral("releaseLoop");
    }
    return {};
}

ReportSection markersSection(const QString &path, int samplerate)
{
    ReportSection section{QStringLiteral("Markers"), {}};
    QFile file(path);
    QString error;
    const std::optional<ChunkList> list = file.open(QIODevice::ReadOnly)
        ? readChunkList(FdByteSource(file.handle()), &error) : std::nullopt;
    if (!list)
        return section;
    for (const Marker &m : readMarkers(FdByteSource(file.handle()), *list)) {
        QString text = m.label;
        const auto append = [&text](const QString &separator, const QString &part) {
            text += (text.isEmpty() ? QString() : separator) + part;
        };
        if (!m.note.isEmpty())
            append(QStringLiteral(" "), u'(' + m.note + u')');
        const QString length = markerLengthText(m, samplerate);
        if (!length.isEmpty())
            append(QStringLiteral(", "), QCoreApplication::translate("MarkerReport", "length %1").arg(length));
        ReportField field{QString(), markerTimeText(m, samplerate), text, -1, -1};
        field.row = QJsonObject{{QStringLiteral("time"), field.label},
                                {QStringLiteral("frame"), m.frame},
                                {QStringLiteral("kind"), markerKindKey(m.kind)},
                                {QStringLiteral("id"), qint64(m.id)},
                                {QStringLiteral("label"), m.label},
                                {QStringLiteral("note"), m.note},
                                {QStringLiteral("length"), length},
                                {QStringLiteral("frames"), m.length}};
        section.fields.append(field);
    }
    return section;
}
