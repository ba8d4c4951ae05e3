#include "cli/BatchEdit.h"

#include "container/TagReader.h"
#include "filelogic/BextLoudness.h"
#include "filelogic/ContainerTable.h"
#include "filelogic/FileText.h"
#include "filelogic/SoundFileOpen.h"
#include "filelogic/Timecode.h"
#include "cli/BatchProgress.h"
#include "cli/FileReport.h"
#include "rewrite/RewriteMetadata.h"
#include "rewrite/SavePlan.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTextStream>

#include <algorithm>
#include <cstring>
#include <deque>
#include <future>

namespace {

using F = MetadataField;

QString tr(const char *text)
{
    return QCoreApplication::translate("BatchEdit", text);
}

bool isAscii(const QString &text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
}

// Quoted for a one-line change list: line breaks and quotes escaped.
QString quoted(QString text)
{
    text.replace(u'\\', QLatin1String("\\\\")).replace(u'"', QLatin1String("\\\""));
    text.replace(u'\r', QLatin1String("\\r")).replace(u'\n', QLatin1String("\\n"));
    return u'"' + text + u'"';
}

// Why the file's container cannot hold the value as given; empty when it can.
QString refusal(int format, int samplerate, F field, const QString &value)
{
    const ContainerFacts facts = containerFacts(format);
    const qsizetype bytes = value.toUtf8().size();
    if (isStringField(field)) {
        if (facts.strings == StringStore::None)
            return tr("this format keeps no text metadata");
        if (facts.strings == StringStore::Info && bytes >= 2046)
            return tr("text of 2046 bytes or more is not read back from this format");
        if (facts.strings == StringStore::Aiff && field == F::Date)
            return tr("AIFF files cannot store a date");
        if (facts.strings == StringStore::Aiff && (field == F::Copyright || field == F::Software) && !isAscii(value))
            return tr("AIFF keeps only ASCII text in this field");
        return {};
    }
    if (!facts.bext)
        return tr("this format has no broadcast (BEXT) record");
    static const QList<QPair<F, int>> widths = {{F::Description, 256}, {F::Originator, 32}, {F::OriginatorRef, 32},
                                                {F::OriginationDate, 10}, {F::OriginationTime, 8}};
    for (const auto &[f, width] : widths)
        if (f == field && bytes > width)
            return tr("longer than the field's %1 bytes").arg(width);
    if (field == F::UMID && !parseUmidHexText(value))
        return tr("not at most 64 bytes in hexadecimal");
    if (isLoudnessField(field) && !parseBextLoudness(value))
        return tr("not a number from -327.68 to 327.66");
    quint64 reference = 0;
    if (field == F::Timecode && !value.isEmpty() && !parseTimecode(value, samplerate, &reference))
        return tr("not a timecode (hhh:mm:ss:frames)");
    // Written with CR LF line ends; libsndfile reads no longer record.
    if (field == F::CodingHistory && bytes + value.count(u'\n') > rewrite::codingHistoryRoom())
        return tr("longer than the %1 bytes a record can hold").arg(rewrite::codingHistoryRoom());
    return {};
}

// The value in the form the file's own text takes, so that a value that
// only looks different (a history's line ends, "-23" for "-23.00", a UMID's
// spacing) is no change. A value that does not parse is left as it is, for
// refusal() to name.
QString canonicalValue(F field, const QString &value)
{
    if (field == F::CodingHistory)
        return plainTextAsShown(value); // as its multi-line field would hold it
    BextRecord record{};
    if (const auto bytes = field == F::UMID ? parseUmidHexText(value) : std::nullopt) {
        std::memcpy(record.umid, bytes->constData(), size_t(bytes->size()));
        return umidHexText(record);
    }
    if (const auto hundredths = isLoudnessField(field) ? parseBextLoudness(value) : std::nullopt) {
        record.version = 2;
        setBextLoudness(record, field, *hundredths);
        return bextLoudnessText(record, field);
    }
    return value;
}

struct OpenFile {
    // After a save this is the replaced file's last handle, and closing it
    // frees the old file: work for this thread, which runs beside the
    // others, not for one thread that all the files would queue for.
    SoundHandle handle;
    SF_INFO info{};
    FileMetadata read;
    bool open(const QString &path, QString *error)
    {
        DocumentError why;
        handle = openSoundFile(path, &info, nullptr, &why);
        if (!handle) {
            *error = why.localizedDescription.isEmpty() ? tr("Unable to open the file.") : why.localizedDescription;
            return false;
        }
        read = readSavedMetadata(handle.get(), info.format, path);
        return true;
    }
    // The fields as the command line reads and writes them.
    rewrite::MetadataTexts texts() const
    {
        rewrite::MetadataTexts texts = rewrite::metadataTexts(read, info.samplerate);
        texts[size_t(F::UMID)] = read.hasBext ? umidHexText(read.bext) : QString();
        return texts;
    }
};

// Saves the texts (as OpenFile::texts() gives them) into the file in place,
// as the window's Save does. *stopped tells a save that Ctrl+C stopped.
QString save(const QString &path, const OpenFile &file, const rewrite::MetadataTexts &texts, bool dryRun,
             bool *stopped)
{
    if (rewrite::isReadOnlyFile(path))
        return tr("the file is read-only");
    rewrite::SavePlan plan = rewrite::planSave(
        {path, file.info, file.read, texts, rewrite::UmidText::Hex, true, path, std::nullopt});
    if (!plan.ok())
        return plan.error;
    if (!plan.fileLoses.isEmpty())
        return tr("nothing written, a save would lose %1").arg(plan.fileLoses.join(QStringLiteral("; ")));
    if (dryRun)
        return {};
    QString why;
    // The batch flushes each folder once, after its last file.
    if (!plan.prepare(&why, true))
        return why;
    const RewriteResult result = plan.run([](double) { return !BatchRun::stopRequested(); });
    *stopped = result.cancelled;
    if (result.cancelled)
        return tr("interrupted; left as it was");
    return result.ok ? QString() : result.detail.isEmpty() ? tr("Unable to write file") : result.detail;
}

} // namespace

const QList<MetadataField> &batchFields()
{
    static const QList<MetadataField> fields = {
        F::Title, F::Artist, F::Comment, F::Copyright, F::Software, F::Date,
        F::Description, F::Originator, F::OriginatorRef, F::OriginationDate, F::OriginationTime,
        F::Timecode, F::UMID, F::CodingHistory,
        F::LoudnessValue, F::LoudnessRange, F::MaxTruePeakLevel, F::MaxMomentaryLoudness, F::MaxShortTermLoudness,
    };
    return fields;
}

QString batchFieldKey(MetadataField field)
{
    return reportJsonKey(metadataFieldOutlet(field));
}

std::optional<MetadataField> batchFieldNamed(const QString &key)
{
    for (MetadataField field : batchFields())
        if (batchFieldKey(field) == key)
            return field;
    return std::nullopt;
}

std::optional<FieldEdit> parseFieldEdit(const QString &text, QString *error)
{
    const qsizetype eq = text.indexOf(u'=');
    const auto field = batchFieldNamed(text.left(eq));
    if (eq < 0)
        *error = tr("'%1' is not FIELD=VALUE").arg(text);
    else if (!field)
        *error = tr("unknown field '%1'").arg(text.left(eq));
    if (eq < 0 || !field)
        return std::nullopt;
    return FieldEdit{*field, text.mid(eq + 1)};
}

bool readFieldTexts(const QString &path, rewrite::MetadataTexts *texts, QString *error)
{
    OpenFile file;
    if (!file.open(QFileInfo(path).absoluteFilePath(), error))
        return false;
    *texts = file.texts();
    return true;
}

EditOutcome editFile(const QString &path, const FieldEdits &edits, bool dryRun)
{
    EditOutcome outcome;
    const QString absolute = QFileInfo(path).absoluteFilePath();
    OpenFile file;
    if (!file.open(absolute, &outcome.error))
        return outcome;
    const int rate = file.info.samplerate;
    const rewrite::MetadataTexts was = file.texts();
    rewrite::MetadataTexts texts = was;
    for (const FieldEdit &edit : edits) {
        const size_t i = size_t(edit.field);
        const QString value = canonicalValue(edit.field, edit.value);
        if (value == was[i])
            continue;
        const QString why = refusal(file.info.format, rate, edit.field, value);
        if (!why.isEmpty()) {
            outcome.error = batchFieldKey(edit.field) + QStringLiteral(": ") + why;
            return outcome;
        }
        texts[i] = value;
        outcome.changes << QStringLiteral("%1: %2 -> %3").arg(batchFieldKey(edit.field), quoted(was[i]), quoted(value));
    }
    if (outcome.changes.isEmpty())
        return outcome;
    // An empty timecode would leave the reference as it was; cleared, it is
    // midnight, unless the whole record goes.
    if (texts[size_t(F::Timecode)].isEmpty() && rewrite::textsHoldBext(texts))
        texts[size_t(F::Timecode)] = timecodeText(0, rate);
    outcome.error = save(absolute, file, texts, dryRun, &outcome.stopped);
    outcome.written = outcome.error.isEmpty() && !dryRun;
    if (outcome.written)
        outcome.folder = QFileInfo(QFileInfo(absolute).canonicalFilePath()).absolutePath();
    return outcome;
}

int runFieldEdits(const QList<QPair<QString, FieldEdits>> &files, bool dryRun, QTextStream &out, QTextStream &err)
{
    // Several files are saved at once: their flushes to disk then share the
    // file system's journal commits instead of waiting one after another.
    constexpr size_t kFilesAtOnce = 32;
    struct Running {
        QString file;
        QString identity;
        std::future<EditOutcome> outcome;
    };
    std::deque<Running> running;
    BatchRun batch(err, files.size());
    int status = 0;
    qsizetype stopped = 0;
    QStringList folders;
    // Reported in the batch's order, whatever order the saves end in.
    const auto finishOldest = [&] {
        const QString file = running.front().file;
        const EditOutcome outcome = running.front().outcome.get();
        running.pop_front();
        batch.finished();
        if (outcome.written && !folders.contains(outcome.folder))
            folders << outcome.folder;
        if (outcome.stopped) {
            ++stopped; // counted in the closing line
            return;
        }
        if (!outcome.error.isEmpty()) {
            status = 1;
            batch.report(QStringLiteral("wavquill: %1: %2").arg(file, outcome.error));
            return;
        }
        for (const QString &change : outcome.changes)
            if (dryRun)
                out << file << ": " << change << '\n';
        out.flush();
    };
    for (const auto &[file, edits] : files) {
        // A file named twice is saved the second time only after the first.
        const QString identity = QFileInfo(file).canonicalFilePath();
        while (!running.empty() && (running.size() >= kFilesAtOnce
               || std::any_of(running.begin(), running.end(), [&](const Running &r) { return r.identity == identity && !identity.isEmpty(); })))
            finishOldest();
        if (!batch.next(file))
            break;
        running.push_back({file, identity, std::async(std::launch::async, editFile, file, edits, dryRun)});
    }
    while (!running.empty())
        finishOldest();
    // Every file was flushed before its rename; one flush per folder makes
    // the renames durable, instead of one per file.
    for (const QString &folder : folders)
        if (const int error = ReplacementFile::flushFolder(folder)) {
            status = 1;
            batch.report(QStringLiteral("wavquill: %1: %2").arg(folder, tr("the folder could not be flushed to disk: %1")
                                                                            .arg(QString::fromLocal8Bit(std::strerror(error)))));
        }
    return batch.status(status, stopped);
}
