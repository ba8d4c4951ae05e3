#include "cli/Csv.h"

#include "cli/BatchEdit.h"
#include "cli/BatchProgress.h"
#include "filelogic/FilePath.h"

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTextStream>

#include <algorithm>

namespace {

const QString kFileColumn = QStringLiteral("file");

QString tr(const char *text)
{
    return QCoreApplication::translate("Csv", text);
}

// A sheet saved in a legacy code page would otherwise be written as
// replacement characters. Empty text with *error set when it is not UTF-8.
QString utf8Text(const QByteArray &bytes, QString *error)
{
    QStringDecoder decode(QStringDecoder::Utf8);
    const QString text = decode(bytes);
    if (!decode.hasError())
        return text;
    *error = tr("the file is not UTF-8 text (save it from the spreadsheet as UTF-8 CSV)");
    return QString();
}

// A cell a spreadsheet would take for a formula, once the quotes before it
// (of the text's own, or ours) are taken off. Numbers such as a loudness
// of -23.00 stay plain.
bool runsAsFormula(const QString &cell)
{
    static const QRegularExpression number(QStringLiteral("^[+-]?[0-9]+(\\.[0-9]+)?$"));
    qsizetype i = 0;
    while (i < cell.size() && cell.at(i) == u'\'')
        ++i;
    return i < cell.size() && QStringView(u"=+-@\t\r").contains(cell.at(i)) && !number.match(cell).hasMatch();
}

QString csvCell(QString cell)
{
    if (runsAsFormula(cell))
        cell.prepend(u'\'');
    static const QString special = QStringLiteral(",\"\r\n");
    if (std::none_of(cell.begin(), cell.end(), [](QChar c) { return special.contains(c); }))
        return cell;
    return u'"' + cell.replace(u'"', QLatin1String("\"\"")) + u'"';
}

// A cell as read: the ' csvCell added taken off again.
QString cellRead(const QString &cell)
{
    return cell.startsWith(u'\'') && runsAsFormula(cell.mid(1)) ? cell.mid(1) : cell;
}

// The header's columns as edits without their values; nullopt and *error
// when one is unknown, repeated, or the first is not the file.
std::optional<FieldEdits> headerFields(const QStringList &header, QString *error)
{
    if (header.value(0) != kFileColumn) {
        *error = tr("the first column must be '%1'").arg(kFileColumn);
        return std::nullopt;
    }
    FieldEdits fields;
    for (const QString &name : header.mid(1)) {
        const std::optional<FieldEdit> field = batchFieldEdit(name);
        const bool repeated = field && std::any_of(fields.begin(), fields.end(), [&](const FieldEdit &f) { return f.key() == name; });
        if (!field || repeated) {
            *error = field ? tr("column '%1' appears twice").arg(name) : tr("unknown column '%1'").arg(name);
            return std::nullopt;
        }
        fields << *field;
    }
    return fields;
}

} // namespace

QString csvRow(const QStringList &cells)
{
    QStringList out;
    for (const QString &cell : cells)
        out << csvCell(cell);
    return out.join(u',') + QStringLiteral("\r\n");
}

std::optional<QList<QStringList>> parseCsv(const QString &text, QString *error)
{
    QList<QStringList> rows;
    QStringList row;
    QString cell;
    bool quoted = false, wasQuoted = false;
    const qsizetype start = text.startsWith(QChar(0xFEFF)) ? 1 : 0;
    for (qsizetype i = start; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (quoted) {
            if (c != u'"')
                cell += c;
            else if (i + 1 < text.size() && text.at(i + 1) == u'"')
                cell += text.at(++i);
            else
                quoted = false;
        } else if (c == u'"' && cell.isEmpty() && !wasQuoted) {
            quoted = wasQuoted = true;
        } else if (c == u',' || c == u'\n' || (c == u'\r' && text.mid(i + 1, 1) == QLatin1String("\n"))) {
            row << cellRead(cell);
            cell.clear();
            wasQuoted = false;
            if (c == u'\r')
                ++i;
            if (c != u',') {
                rows << row;
                row.clear();
            }
        } else if (wasQuoted) {
            *error = tr("text after a closing quote in record %1").arg(rows.size() + 1);
            return std::nullopt;
        } else {
            cell += c;
        }
    }
    if (quoted) {
        *error = tr("a quote is left open in record %1").arg(rows.size() + 1);
        return std::nullopt;
    }
    if (!cell.isEmpty() || wasQuoted || !row.isEmpty())
        rows << (row << cellRead(cell));
    return rows;
}

int runExportCsv(const QStringList &files, QTextStream &out, QTextStream &err)
{
    int status = 0;
    BatchRun batch(err, files.size(), tr("not exported"));
    // The header has a column for each track any of the files names, so the
    // rows are printed once every file has been read.
    QList<QPair<QString, rewrite::MetadataTexts>> read;
    int tracks = 0;
    for (const QString &file : files) {
        if (!batch.next(file))
            break;
        rewrite::MetadataTexts texts;
        QString error;
        const bool ok = readFieldTexts(file, &texts, &error);
        batch.finished();
        if (!ok) {
            batch.report(QStringLiteral("wavquill: %1: %2").arg(file, error));
            status = 1;
            continue;
        }
        if (!texts.trackNames.empty())
            tracks = std::max(tracks, texts.trackNames.rbegin()->first);
        read << qMakePair(file, texts);
    }
    FieldEdits columns;
    for (MetadataField field : batchFields()) {
        if (field != MetadataField::IxmlTrackName)
            columns << FieldEdit{field, QString()};
        for (int track = 1; field == MetadataField::IxmlTrackName && track <= tracks; ++track)
            columns << FieldEdit{field, QString(), track};
    }
    QStringList header{kFileColumn};
    for (const FieldEdit &column : columns)
        header << column.key();
    batch.clearBar();
    out << csvRow(header);
    for (auto &[file, texts] : read) {
        QStringList row{file};
        // The history's lines end with CR LF in the file and in the cell.
        texts[size_t(MetadataField::CodingHistory)].replace(u'\n', QLatin1String("\r\n"));
        for (const FieldEdit &column : columns)
            row << (column.track > 0 ? QString(texts.trackNames[column.track]) : texts[size_t(column.field)]);
        out << csvRow(row);
    }
    out.flush();
    return batch.status(status);
}

int runImportCsv(const QString &csvPath, const EditRules &rules, QTextStream &out, QTextStream &err)
{
    QFile file(csvPath);
    QString error;
    std::optional<QList<QStringList>> rows;
    if (!file.open(QIODevice::ReadOnly))
        error = file.errorString();
    else if (const QString text = utf8Text(file.readAll(), &error); error.isEmpty())
        rows = parseCsv(text, &error);
    const std::optional<FieldEdits> fields = rows ? headerFields(rows->value(0), &error) : std::nullopt;
    if (!fields) {
        err << "wavquill: " << csvPath << ": " << error << tr("; nothing was written") << '\n';
        err.flush();
        return 1;
    }
    // The CSV's folder as the kernel finds it: its path up to the last
    // slash, nothing cleaned.
    const QString absoluteCsv = absolutePathAsGiven(csvPath);
    const QString folder = absoluteCsv.left(absoluteCsv.lastIndexOf(u'/') + 1);
    QList<QPair<QString, FieldEdits>> edits;
    int status = 0;
    for (qsizetype r = 1; r < rows->size(); ++r) {
        const QStringList &row = rows->at(r);
        if (row.size() == 1 && row.first().isEmpty())
            continue; // a blank line
        if (row.size() != fields->size() + 1) {
            err << "wavquill: " << csvPath << ": " << tr("record %1 has %2 cells, the header %3").arg(r + 1).arg(row.size()).arg(fields->size() + 1) << '\n';
            status = 1;
            continue;
        }
        FieldEdits fileEdits;
        for (qsizetype c = 0; c < fields->size(); ++c) {
            fileEdits << fields->at(c);
            fileEdits.last().value = row.at(c + 1);
        }
        edits << qMakePair(row.first().startsWith(u'/') ? row.first() : folder + row.first(), fileEdits);
    }
    err.flush();
    return std::max(runFieldEdits(edits, rules, out, err), status);
}
