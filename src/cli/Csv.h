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
// quote, CR or LF (quotes doubled), ended by CR LF. A cell a spreadsheet
// would run as a formula (one starting with =, +, -, @, tab or CR that is
// not a plain number, after any ' of its own) gets a leading '.
QString csvRow(const QStringList &cells);

// The records of a CSV text. Quoted cells keep their line breaks as they
// are; records end with CR LF or LF. A leading byte-order mark is skipped,
// and so is the ' csvRow puts before a cell a spreadsheet would run.
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
// 0, 1 when the CSV or a row failed, 130 (143, 129) when interrupted.
struct EditRules;
int runImportCsv(const QString &csvPath, const EditRules &rules, QTextStream &out, QTextStream &err);
