// libFuzzer target for the CSV reader behind --import-csv. Any text must
// parse or be refused with a message, and what parses must read back the
// same after the export's writer has written it out again. Any mismatch
// aborts.
#include "cli/Csv.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    QString error;
    const std::optional<QList<QStringList>> rows = parseCsv(text, &error);
    if (!rows) {
        if (error.isEmpty())
            std::abort();
        return 0;
    }
    QString written;
    for (const QStringList &row : *rows)
        written += csvRow(row);
    const std::optional<QList<QStringList>> again = parseCsv(written, &error);
    // A byte-order mark opening the text is taken as the file's own, also
    // when it came from the first cell.
    const bool markFirst = !rows->isEmpty() && rows->first().first().startsWith(QChar(0xFEFF));
    if (!again || (!markFirst && *again != *rows))
        std::abort();
    return 0;
}
