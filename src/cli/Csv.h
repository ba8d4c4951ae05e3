// The fields of many files as CSV (RFC 4180, UTF-8), for a spreadsheet:
// --export-csv writes one row per file, --import-csv writes back the cells
// that differ from the files.
//
// csvRow and parseCsv are pure; the runners read and write files on the
// main thread.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

class QTextStream;

// One record: cells joined by commas, quoted when they hold a comma, a
// quote, CR or LF (quotes doubled), ended by CR LF.
QString csvRow(const QStringList &cells);

// The records of a CSV text. Quoted cells keep their line breaks as they
// are; records end with CR LF or LF. A leading byte-order mark is skipped.
// nullopt and *error for a quote left open or text after a closing quote.
std::optional<QList<QStringList>> parseCsv(const QString &text, QString *error);

// --export-csv: a header ("file", then each field's --json key, the iXML
// track names up to the highest CHANNEL_INDEX a file names) and a row per
// file readable, paths as given. Returns 1 when a file could not be
// read (named on err), else 0.
int runExportCsv(const QStringList &files, QTextStream &out, QTextStream &err);

// --import-csv: checks the whole header first (an unknown or repeated
// column refuses the import: nothing is written), then edits each row's
// file as --set would with every cell; cells equal to the file's fields
// change nothing. Relative paths are taken from the CSV's folder. Returns
// 0, 1 when the CSV or a row failed, 130 when interrupted.
int runImportCsv(const QString &csvPath, bool dryRun, QTextStream &out, QTextStream &err);
