#include "cli/BatchEdit.h"

#include "container/TagReader.h"
#include "filelogic/BextLoudness.h"
#include "filelogic/ContainerTable.h"
#include "filelogic/FilePath.h"
#include "filelogic/FileText.h"
#include "container/SoundFileOpen.h"
#include "filelogic/Timecode.h"
#include "cli/BatchProgress.h"
#include "cli/FileReport.h"
#include "rewrite/IxmlSave.h"
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

// Quoted for a one-line change list: line breaks and quotes escaped.
QString quoted(QString text)
{
    text.replace(u'\\', QLatin1String("\\\\")).replace(u'"', QLatin1String("\\\""));
    text.replace(u'\r', QLatin1String("\\r")).replace(u'\n', QLatin1String("\\n"));
    return u'"' + text + u'"';
}

// Why the file's container or the field cannot hold the value as given;
// empty when they can.
QString refusal(int format, int samplerate, F field, const QString &value)
{
    const QByteArray bytes = value.toUtf8();
    if (const QString why = whyFieldNotKept(format, field, bytes); !why.isEmpty())
        return why;
    const FieldFacts &facts = fieldFacts(field);
    quint64 reference = 0;
    switch (facts.kind) {
    case FieldKind::Text:
        if (facts.maxBytes > 0 && bytes.size() > facts.maxBytes)
            return tr("longer than the field's %1 bytes").arg(facts.maxBytes);
        break;
    case FieldKind::Lines:
        // Written with CR LF line ends.
        if (bytes.size() + value.count(u'\n') > facts.maxBytes)
            return tr("longer than the %1 bytes a record can hold").arg(facts.maxBytes);
        break;
    case FieldKind::Umid:
        if (!parseUmidHexText(value))
            return tr("not at most %1 bytes in hexadecimal").arg(facts.maxBytes);
        break;
    case FieldKind::Loudness:
        if (!parseBextLoudness(value))
            return tr("not a number from -327.68 to 327.66");
        break;
    case FieldKind::Timecode:
        if (!value.isEmpty() && !parseTimecode(value, samplerate, &reference))
            return tr("not a timecode (hhh:mm:ss:frames)");
        break;
    case FieldKind::Flag:
        if (!value.isEmpty() && value != QLatin1String("TRUE") && value != QLatin1String("FALSE"))
            return tr("not TRUE or FALSE");
        break;
    case FieldKind::Version:
    case FieldKind::TrackName:
        break;
    }
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
    if (fieldFacts(field).kind == FieldKind::Flag) {
        const QString upper = value.toUpper();
        return upper == QLatin1String("TRUE") || upper == QLatin1String("FALSE") ? upper : value;
    }
    if (field == F::IxmlNote)
        return plainTextAsShown(value);
    return value;
}

// The text a field or track holds among the texts.
QString &textOf(rewrite::MetadataTexts &texts, const FieldEdit &edit)
{
    return edit.track > 0 ? texts.trackNames[edit.track] : texts[size_t(edit.field)];
}

struct OpenFile {
    // After a save this is the replaced file's last handle, and closing it
    // frees the old file: work for this thread, which runs beside the
    // others, not for one thread that all the files would queue for.
    SoundHandle handle;
    SF_INFO info{};
    FileMetadata read;
    FileIdentity identity; // as read: the save requires the file so
    bool open(const QString &path, QString *error)
    {
        DocumentError why;
        handle = openSoundFile(path, &info, nullptr, &why);
        if (!handle) {
            *error = why.localizedDescription.isEmpty() ? tr("Unable to open the file.") : why.oneLine();
            return false;
        }
        identity = fileIdentityOf(path);
        read = readSavedMetadata(handle.get(), info.format, path);
        return true;
    }
    // The fields as the command line reads and writes them.
    rewrite::MetadataTexts texts() const
    {
        return commandLineTexts(read, info.samplerate);
    }
};

// Saves the texts (as OpenFile::texts() gives them) into the file in place,
// as the window's Save does. *stopped tells a save that Ctrl+C stopped;
// *warning what the save has to tell besides success; a dry run says in *how
// how it would write.
QString save(const QString &path, const OpenFile &file, const rewrite::MetadataTexts &texts,
             const QList<ChunkPayload> &chunks, const EditRules &rules, bool *stopped, QString *warning, QString *how)
{
    if (rewrite::isReadOnlyFile(path))
        return tr("the file is read-only");
    const ReplaceOptions replace{file.identity, rules.splitLinks, rules.keepModified, &BatchRun::stopRequested};
    rewrite::SavePlan plan = rewrite::planSave(
        {path, file.info, file.read, texts, rewrite::UmidText::Hex, true, path, std::nullopt, replace});
    if (!plan.ok())
        return plan.error;
    if (!plan.fileLoses.isEmpty())
        return tr("nothing written, a save would lose %1").arg(plan.fileLoses.join(QStringLiteral("; ")));
    if (!chunks.isEmpty() && !plan.engine.chunks)
        return tr("this format has no chunks to set");
    if (!chunks.isEmpty())
        plan.engine.chunks->chunks += chunks;
    if (rules.dryRun) {
        *how = rewrite::saveCostText(plan.job, plan.engine);
        return {};
    }
    *warning = rewrite::saveNote(plan.engine);
    QString why;
    // The batch flushes each folder once, after its last file.
    if (!plan.prepare(&why, true))
        return why;
    const RewriteResult result = plan.run([](double) { return !BatchRun::stopRequested(); });
    *stopped = result.cancelled || plan.replacement()->stopped();
    if (*stopped)
        return tr("interrupted; left as it was");
    if (const ReplacementFile &temp = *plan.replacement(); result.replaced && temp.ownerChanged())
        *warning += (warning->isEmpty() ? QString() : QStringLiteral("; "))
                    + tr("the saved file belongs to you now, no longer to %1").arg(temp.target().ownerText());
    return result.ok ? QString() : result.detail.isEmpty() ? tr("Unable to write file") : result.detail;
}

} // namespace

const QList<MetadataField> &batchFields()
{
    static const QList<MetadataField> fields = [] {
        QList<MetadataField> settable;
        for (const FieldFacts &f : metadataFieldTable())
            if (f.settable)
                settable << f.id;
        return settable;
    }();
    return fields;
}

std::optional<MetadataField> batchFieldNamed(const QString &key)
{
    const std::optional<MetadataField> field = fieldNamed(key);
    return field && fieldFacts(*field).settable && fieldFacts(*field).kind != FieldKind::TrackName ? field : std::nullopt;
}

std::optional<FieldEdit> batchFieldEdit(const QString &key)
{
    if (const int track = trackNamed(key))
        return FieldEdit{MetadataField::IxmlTrackName, QString(), track};
    const std::optional<MetadataField> field = batchFieldNamed(key);
    return field ? std::optional<FieldEdit>(FieldEdit{*field, QString()}) : std::nullopt;
}

std::optional<FieldEdit> parseFieldEdit(const QString &text, QString *error)
{
    const qsizetype eq = text.indexOf(u'=');
    std::optional<FieldEdit> edit = batchFieldEdit(text.left(eq));
    if (eq < 0)
        *error = tr("'%1' is not FIELD=VALUE").arg(text);
    else if (!edit)
        *error = tr("unknown field '%1'").arg(text.left(eq));
    if (eq < 0 || !edit)
        return std::nullopt;
    edit->value = text.mid(eq + 1);
    return edit;
}

bool readFieldTexts(const QString &path, rewrite::MetadataTexts *texts, QString *error)
{
    OpenFile file;
    if (!file.open(absolutePathAsGiven(path), error))
        return false;
    *texts = file.texts();
    return true;
}

EditOutcome editFile(const QString &path, const FieldEdits &edits, const EditRules &rules, const ChunkEditsFor &chunks)
{
    EditOutcome outcome;
    const QString absolute = absolutePathAsGiven(path);
    OpenFile file;
    if (!file.open(absolute, &outcome.error))
        return outcome;
    const int rate = file.info.samplerate;
    const rewrite::MetadataTexts was = file.texts();
    rewrite::MetadataTexts texts = was;
    for (const FieldEdit &edit : edits) {
        const QString value = canonicalValue(edit.field, edit.value);
        const QString before = textOf(texts, edit);
        if (value == before)
            continue;
        const QString why = edit.track > file.info.channels ? tr("the file has %1 channels").arg(file.info.channels)
                                                            : refusal(file.info.format, rate, edit.field, value);
        if (!why.isEmpty()) {
            outcome.error = edit.key() + QStringLiteral(": ") + why;
            return outcome;
        }
        textOf(texts, edit) = value;
        outcome.changes << QStringLiteral("%1: %2 -> %3").arg(edit.key(), quoted(before), quoted(value));
    }
    if (const QString why = rewrite::ixmlTextProblem(texts, file.read); !why.isEmpty()) {
        outcome.error = QStringLiteral("ixml: ") + why;
        return outcome;
    }
    const QList<ChunkPayload> chunkEdits = chunks ? chunks(absolute, &outcome) : QList<ChunkPayload>();
    if (outcome.changes.isEmpty() || !outcome.error.isEmpty() || outcome.stopped)
        return outcome;
    // An empty timecode would leave the reference as it was; cleared, it is
    // midnight, unless the whole record goes.
    if (texts[size_t(F::Timecode)].isEmpty() && rewrite::textsHoldBext(texts))
        texts[size_t(F::Timecode)] = timecodeText(0, rate);
    outcome.error = save(absolute, file, texts, chunkEdits, rules, &outcome.stopped, &outcome.warning, &outcome.how);
    outcome.written = outcome.error.isEmpty() && !rules.dryRun;
    if (outcome.written)
        outcome.folder = QFileInfo(QFileInfo(absolute).canonicalFilePath()).absolutePath();
    return outcome;
}

int runFieldEdits(const QList<QPair<QString, FieldEdits>> &files, const EditRules &rules, QTextStream &out,
                  QTextStream &err, const ChunkEditsFor &chunks)
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
        if (!outcome.warning.isEmpty())
            batch.report(QStringLiteral("wavquill: %1: %2").arg(file, outcome.warning));
        for (const QString &change : outcome.changes)
            if (rules.dryRun)
                out << file << ": " << change << '\n';
        if (rules.dryRun && !outcome.how.isEmpty())
            out << file << ": " << outcome.how << '\n';
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
        running.push_back({file, identity, std::async(std::launch::async, editFile, file, edits, rules, chunks)});
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
