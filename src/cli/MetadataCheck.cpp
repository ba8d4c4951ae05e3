#include "cli/MetadataCheck.h"

#include "analysis/AudioChecksum.h"
#include "container/TagReader.h"
#include "filelogic/ContainerTable.h"
#include "container/SoundFileOpen.h"
#include "filelogic/FilePath.h"
#include "cli/BatchEdit.h"
#include "cli/BatchProgress.h"
#include "cli/IxmlCheck.h"
#include "rewrite/ChunkSave.h"
#include "rewrite/MetadataSave.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QTextStream>

#include <algorithm>

namespace {

using F = MetadataField;

QString tr(const char *text)
{
    return QCoreApplication::translate("MetadataCheck", text);
}

// Three numbers within their ranges, apart by any separator EBU Tech 3285
// allows ('-', '_', ':', ' ', '.').
bool followsForm(const QByteArray &text, int firstDigits, const int low[3], const int high[3])
{
    static const QString separator = QStringLiteral("[-_: .]");
    const QRegularExpression form(QStringLiteral("^(\\d{%1})%2(\\d\\d)%2(\\d\\d)$").arg(firstDigits).arg(separator));
    const QRegularExpressionMatch match = form.match(QString::fromLatin1(text));
    for (int i = 0; i < 3 && match.hasMatch(); ++i) {
        const int n = match.captured(i + 1).toInt();
        if (n < low[i] || n > high[i])
            return false;
    }
    return match.hasMatch();
}

bool isDate(const QByteArray &text)
{
    static const int low[3] = {0, 1, 1}, high[3] = {9999, 12, 31};
    return followsForm(text, 4, low, high);
}

bool isTime(const QByteArray &text)
{
    static const int low[3] = {0, 0, 0}, high[3] = {23, 59, 59};
    return followsForm(text, 2, low, high);
}

// What is wrong with one line of a coding history; empty when nothing.
QString historyLineProblem(const QByteArray &line, bool endsWithCrLf)
{
    static const QRegularExpression item(QStringLiteral("^([A-Z])=[^\\r]*$"));
    if (line.isEmpty())
        return tr("is empty");
    const QList<QByteArray> items = line.split(',');
    for (qsizetype i = 0; i < items.size(); ++i) {
        const QRegularExpressionMatch m = item.match(QString::fromLatin1(items[i]));
        if (!m.hasMatch())
            return tr("'%1' is not an X=value item").arg(QString::fromLatin1(items[i]));
        if (!QStringLiteral("AFBWMT").contains(m.captured(1)))
            return tr("%1= is not one of the keys A F B W M T").arg(m.captured(1));
        if (i == 0 && m.captured(1) != QLatin1String("A"))
            return tr("does not start with A=");
    }
    return endsWithCrLf ? QString() : tr("does not end with CR LF");
}

// The coding history's lines checked against EBU R 98; the first few
// problems in one message.
QString historyProblems(const QByteArray &history)
{
    QStringList problems;
    qsizetype pos = 0;
    int line = 0;
    while (pos < history.size()) {
        const qsizetype lf = history.indexOf('\n', pos);
        const qsizetype end = lf < 0 ? history.size() : lf;
        const bool crlf = lf > pos && history.at(lf - 1) == '\r';
        const QString problem = historyLineProblem(history.mid(pos, end - pos - (crlf ? 1 : 0)), crlf);
        ++line;
        if (!problem.isEmpty())
            problems << tr("line %1: %2").arg(line).arg(problem);
        pos = end + 1;
    }
    if (problems.size() > 3)
        problems = problems.mid(0, 3) << tr("%1 more").arg(problems.size() - 3);
    return problems.isEmpty() ? QString() : tr("not in the EBU R 98 form: %1").arg(problems.join(QStringLiteral("; ")));
}

MetadataFinding finding(F field, const QString &message)
{
    return MetadataFinding{fieldKey(field), field, message};
}

} // namespace

QList<MetadataFinding> checkMetadata(const FileMetadata &read, int format, const std::optional<ChunkList> &chunks)
{
    QList<MetadataFinding> findings;
    const ContainerFacts facts = containerFacts(format);
    const QByteArray date = read.strings[size_t(F::Date)].value_or(QByteArray());
    if (facts.strings == StringStore::Info && !date.isEmpty() && !isDate(date))
        findings << finding(F::Date, tr("'%1' is not a date in the form yyyy-mm-dd").arg(QString::fromUtf8(date)));
    const bool bextChunk = chunks && findChunk(*chunks, "bext") >= 0;
    if (!facts.bext && (read.hasBext || bextChunk))
        findings << MetadataFinding{QStringLiteral("bext"), std::nullopt,
                                    tr("a broadcast (BEXT) record in a container that does not carry one")};
    const int md5 = chunks ? findChunk(*chunks, kMd5ChunkId) : -1;
    const qint64 md5Size = md5 >= 0 ? chunks->chunks[md5].size : kMd5Bytes;
    if (md5Size != kMd5Bytes)
        findings << MetadataFinding{QStringLiteral("md5"), std::nullopt,
                                    tr("the MD5 chunk holds %1 bytes instead of %2").arg(md5Size).arg(kMd5Bytes)};
    if (!read.hasBext)
        return findings;
    const QList<QPair<F, BextField>> asciiFields = {
        {F::Description, BextField::Description},         {F::Originator, BextField::Originator},
        {F::OriginatorRef, BextField::OriginatorRef},     {F::OriginationDate, BextField::OriginationDate},
        {F::OriginationTime, BextField::OriginationTime}, {F::CodingHistory, BextField::CodingHistory}};
    for (const auto &[field, bextField] : asciiFields) {
        const QByteArray bytes = bextFieldBytes(read.bext, bextField);
        if (std::any_of(bytes.begin(), bytes.end(), [](char c) { return uchar(c) >= 0x80; }))
            findings << finding(field, tr("holds characters outside ASCII"));
    }
    const QByteArray originDate = bextFieldBytes(read.bext, BextField::OriginationDate);
    if (!originDate.isEmpty() && !isDate(originDate))
        findings << finding(F::OriginationDate, tr("'%1' is not a date in the form yyyy-mm-dd").arg(QString::fromLatin1(originDate)));
    const QByteArray originTime = bextFieldBytes(read.bext, BextField::OriginationTime);
    if (!originTime.isEmpty() && !isTime(originTime))
        findings << finding(F::OriginationTime, tr("'%1' is not a time in the form hh:mm:ss").arg(QString::fromLatin1(originTime)));
    const QString history = historyProblems(bextFieldBytes(read.bext, BextField::CodingHistory));
    if (!history.isEmpty())
        findings << finding(F::CodingHistory, history);
    return findings;
}

bool checkFile(const QString &path, QList<MetadataFinding> *findings, QString *error)
{
    const QString absolute = absolutePathAsGiven(path);
    SF_INFO info{};
    DocumentError why;
    const SoundHandle handle = openSoundFile(absolute, &info, nullptr, &why);
    if (!handle) {
        *error = why.oneLine();
        return false;
    }
    const FileMetadata read = readSavedMetadata(handle.get(), info.format, absolute);
    QString ignored;
    const std::optional<ChunkList> chunks = chunkSaveSupported(info.format) ? readChunksOf(absolute, &ignored) : std::nullopt;
    *findings = checkMetadata(read, info.format, chunks) + checkIxml(read, info);
    return true;
}

int runCheck(const QStringList &files, QTextStream &out, QTextStream &err)
{
    int status = 0;
    BatchRun batch(err, files.size(), tr("not checked"));
    for (const QString &file : files) {
        if (!batch.next(file))
            break;
        QList<MetadataFinding> findings;
        QString error;
        const bool read = checkFile(file, &findings, &error);
        batch.finished();
        if (!read) {
            batch.report(QStringLiteral("wavquill: %1: %2").arg(file, error));
            status = 1;
        }
        if (!findings.isEmpty())
            batch.clearBar();
        for (const MetadataFinding &f : findings)
            out << file << ": " << f.key << ": " << f.message << '\n';
        out.flush();
        if (!findings.isEmpty())
            status = 1;
    }
    return batch.status(status);
}
