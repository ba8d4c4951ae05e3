#include "rewrite/MetadataSave.h"

#include "filelogic/BextLoudness.h"
#include "filelogic/FileText.h"
#include "filelogic/Timecode.h"
#include "rewrite/InPlaceSave.h"
#include "rewrite/IxmlSave.h"
#include "rewrite/TagWriter.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <sys/statvfs.h>

#include <algorithm>
#include <cstring>

namespace rewrite {

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("MetadataSave", text);
}

// What a field holds as bytes for the file: the bytes it was read from when
// the user left it alone, otherwise its text as UTF-8.
QByteArray fieldBytes(const QString &text, const QByteArray &original)
{
    return text == decodeFileText(original) ? original : text.toUtf8();
}

void storeField(char *field, int width, const QString &text, const QByteArray &original)
{
    if (text == decodeFileText(original))
        return; // untouched: the record keeps the bytes it was read with
    const QByteArray bytes = cutUtf8(text.toUtf8(), width);
    std::memset(field, 0, size_t(width));
    std::memcpy(field, bytes.constData(), size_t(bytes.size()));
}

// The loudness fields change only when one of them was edited: then all
// five are written as their texts say (empty: not present) and the record
// becomes version 2, which is the first to have them. Untouched, a record
// keeps its version and the bytes where the fields would be.
void storeLoudness(const MetadataTexts &texts, const BextRecord &was, BextRecord *record)
{
    bool edited = false;
    for (MetadataField f : loudnessFields())
        edited = edited || texts[size_t(f)] != bextLoudnessText(was, f);
    if (!edited)
        return;
    for (MetadataField f : loudnessFields())
        setBextLoudness(*record, f, parseBextLoudness(texts[size_t(f)]).value_or(kBextLoudnessNotPresent));
    record->version = std::max<short>(record->version, 2);
}

} // namespace

MetadataTexts metadataTexts(const FileMetadata &read, int samplerate)
{
    MetadataTexts texts;
    for (int i = 0; i < kStringFieldCount; ++i) {
        const auto &bytes = read.strings[size_t(i)];
        texts[size_t(i)] = bytes ? decodeFileText(*bytes) : QString();
    }
    fillIxmlTexts(read, &texts);
    if (!read.hasBext)
        return texts;
    const BextRecord &b = read.bext;
    using F = MetadataField;
    texts[size_t(F::Description)] = bextFieldText(b, BextField::Description);
    texts[size_t(F::Originator)] = bextFieldText(b, BextField::Originator);
    texts[size_t(F::OriginatorRef)] = bextFieldText(b, BextField::OriginatorRef);
    texts[size_t(F::OriginationDate)] = bextFieldText(b, BextField::OriginationDate);
    texts[size_t(F::OriginationTime)] = bextFieldText(b, BextField::OriginationTime);
    texts[size_t(F::UMID)] = bextFieldText(b, BextField::UMID);
    // Line breaks as a text field shows them, so an untouched history
    // compares equal to what was read.
    texts[size_t(F::CodingHistory)] = plainTextAsShown(bextFieldText(b, BextField::CodingHistory));
    texts[size_t(F::Version)] = QString::number(b.version);
    texts[size_t(F::Timecode)] = timecodeText(timeReference(b), samplerate);
    for (F f : loudnessFields())
        texts[size_t(f)] = bextLoudnessText(b, f);
    return texts;
}

QString loudnessTextProblem(const MetadataTexts &texts)
{
    for (MetadataField f : loudnessFields())
        if (!parseBextLoudness(texts[size_t(f)]))
            return tr("“%1” is not a number from -327.68 to 327.66 for the %2.")
                .arg(texts[size_t(f)], loudnessFieldName(f));
    return QString();
}

QString loudnessFieldName(MetadataField field)
{
    static const char *const names[kLoudnessFieldCount] = {
        QT_TRANSLATE_NOOP("MetadataSave", "loudness value"),
        QT_TRANSLATE_NOOP("MetadataSave", "loudness range"),
        QT_TRANSLATE_NOOP("MetadataSave", "maximum true peak level"),
        QT_TRANSLATE_NOOP("MetadataSave", "maximum momentary loudness"),
        QT_TRANSLATE_NOOP("MetadataSave", "maximum short-term loudness"),
    };
    return tr(names[int(field) - int(MetadataField::LoudnessValue)]);
}

const std::array<MetadataField, kLoudnessFieldCount> &loudnessFields()
{
    using F = MetadataField;
    static const std::array<F, kLoudnessFieldCount> fields = {F::LoudnessValue, F::LoudnessRange, F::MaxTruePeakLevel,
                                                              F::MaxMomentaryLoudness, F::MaxShortTermLoudness};
    return fields;
}

bool textsHoldBext(const MetadataTexts &texts)
{
    using F = MetadataField;
    for (F f : {F::Description, F::CodingHistory, F::OriginationDate, F::OriginationTime, F::Originator,
                F::OriginatorRef, F::UMID, F::Timecode})
        if (!texts[size_t(f)].isEmpty())
            return true;
    for (F f : loudnessFields())
        if (!texts[size_t(f)].isEmpty())
            return true;
    return false;
}

void fillJobMetadata(const MetadataTexts &texts, const FileMetadata &read, int samplerate, bool withBext,
                     RewriteJob *job)
{
    using F = MetadataField;
    for (int i = 0; i < kStringFieldCount; ++i) {
        const QByteArray bytes = fieldBytes(texts[size_t(i)], read.strings[size_t(i)].value_or(QByteArray()));
        if (!bytes.isEmpty())
            job->strings[size_t(i)] = bytes;
    }
    if (const std::optional<ChunkPayload> ixml = ixmlChunkFor(texts, read))
        job->chunks << *ixml;
    if (!withBext)
        return;
    const auto text = [&texts](F f) { return texts[size_t(f)]; };
    const BextRecord &was = read.bext;
    BextRecord record = was;
    // The timecode text stands for the time reference only once edited: its
    // text may be coarser than the reference read.
    quint64 reference = 0;
    if (text(F::Timecode) != timecodeText(timeReference(was), samplerate)
        && parseTimecode(text(F::Timecode), samplerate, &reference))
        setTimeReference(record, reference);
    // Edited fields go into the record; untouched ones keep their bytes,
    // binary UMID included.
    storeField(record.description, 256, text(F::Description), bextFieldBytes(was, BextField::Description));
    storeField(record.originator, 32, text(F::Originator), bextFieldBytes(was, BextField::Originator));
    storeField(record.originator_reference, 32, text(F::OriginatorRef), bextFieldBytes(was, BextField::OriginatorRef));
    storeField(record.origination_date, 10, text(F::OriginationDate), bextFieldBytes(was, BextField::OriginationDate));
    storeField(record.origination_time, 8, text(F::OriginationTime), bextFieldBytes(was, BextField::OriginationTime));
    storeField(record.umid, 64, text(F::UMID), bextFieldBytes(was, BextField::UMID));
    // A text edit shows CR LF as one line break; compare what it shows.
    const QString history = text(F::CodingHistory);
    if (history != plainTextAsShown(decodeFileText(bextFieldBytes(was, BextField::CodingHistory)))) {
        const QByteArray bytes = history.toUtf8().left(kBextCodingHistoryCapacity);
        std::memset(record.coding_history, 0, sizeof record.coding_history);
        std::memcpy(record.coding_history, bytes.constData(), size_t(bytes.size()));
        record.coding_history_size = quint32(bytes.size());
    }
    bool versionOk = false;
    const int version = text(F::Version).trimmed().toInt(&versionOk);
    if (versionOk && version >= -32768 && version <= 32767)
        record.version = short(version);
    storeLoudness(texts, was, &record);
    job->bext = record;
}

QStringList textsNotKept(const SaveEngine &engine, const RewriteJob &job)
{
    return engine.copy ? QStringList() : metadataNotKept(job.targetInfo.format, job.strings, job.bext.has_value());
}

SaveEngine saveEngineFor(const RewriteJob &job, const FileMetadata &read, bool edited, bool bextChanges,
                         QStringList *notKept)
{
    SaveEngine engine;
    const SF_INFO &source = job.sourceInfo;
    if (job.targetInfo.format != source.format || !job.channels.empty() || job.targetInfo.channels != source.channels)
        return engine;
    StringBytes strings;
    for (size_t i = 0; i < strings.size(); ++i) {
        const QByteArray want = job.strings[i].value_or(QByteArray());
        if (want != read.strings[i].value_or(QByteArray()))
            strings[i] = want;
    }
    if (!edited && !bextChanges) {
        engine.copy = CopySaveJob{job.sourcePath, job.targetPath, source, std::nullopt};
    } else if (chunkSaveSupported(source.format)) {
        QString why;
        if (!readChunksOf(job.sourcePath, &why)) {
            // Never edited on guesses: libsndfile writes the file anew.
            *notKept << tr("the file's other chunks (its structure could not be read: %1)").arg(why);
            return engine;
        }
        ChunkSaveJob chunks{job.sourcePath, job.targetPath, source, strings, read.bext, job.bext, false, job.chunks};
        chunks.removeBext = !job.bext && read.hasBext;
        engine.chunks = chunks;
    } else if (tagFormatSupported(source.format)) {
        engine.copy = CopySaveJob{job.sourcePath, job.targetPath, source, strings};
    }
    engine.inPlace = engine.writesReplacement()
        && (isSameFile(job.sourcePath, job.targetPath) || QFileInfo(job.sourcePath) == QFileInfo(job.targetPath));
    return engine;
}

QString saveNote(const SaveEngine &engine)
{
    return engine.copy && engine.copy->tags ? tagSaveNote(engine.copy->sourcePath, engine.copy->sourceInfo.format)
                                            : QString();
}

RewriteResult runSave(const RewriteJob &job, const SaveEngine &engine, ReplacementFile &temp,
                      const std::function<bool(double)> &progress)
{
    // A replacement the caller made already holds the target's lock.
    if (temp.fd() < 0)
        if (std::optional<RewriteResult> done = saveInPlace(engine, job.replace, progress))
            return *done;
    // The new file is made only once the edit is known not to fit in place:
    // making it locks the target and refuses a file with other names, which
    // an edit in place keeps.
    if (engine.writesReplacement()) {
        QString why = roomProblem(job.sourcePath, job.targetPath);
        if (why.isEmpty() && temp.fd() < 0)
            temp.create(job.targetPath, &why, job.replace);
        if (!why.isEmpty()) {
            RewriteResult result;
            result.message = tr("Unable to write file");
            result.detail = why;
            return result;
        }
    }
    // In place, the engines read the file the save opened and locked, not
    // whatever its name holds by now.
    SaveEngine reading = engine;
    const SaveTarget &target = temp.target();
    if (job.sourcePath == job.targetPath && target.exists()) {
        if (reading.chunks)
            reading.chunks->sourcePath = target.readPath();
        if (reading.copy)
            reading.copy->sourcePath = target.readPath();
    }
    return reading.chunks ? saveChunks(*reading.chunks, temp, progress)
         : reading.copy   ? saveCopy(*reading.copy, temp, progress)
                          : FileRewriter().run(job, temp, progress);
}

QString saveCostText(const RewriteJob &job, const SaveEngine &engine)
{
    if (savesInPlace(engine))
        return tr("in place");
    return tr("rewritten (%1 MB copied)").arg(double(QFileInfo(job.sourcePath).size()) / 1e6, 0, 'f', 1);
}

QString roomProblem(const QString &sourcePath, const QString &targetPath)
{
    struct statvfs fs {};
    const qint64 needed = QFileInfo(sourcePath).size();
    const QByteArray folder = QFile::encodeName(QFileInfo(targetPath).absolutePath());
    if (::statvfs(folder.constData(), &fs) != 0)
        return QString();
    const qint64 free = qint64(fs.f_bavail) * qint64(fs.f_frsize);
    if (free >= needed)
        return QString();
    return tr("There is not enough free space for the new file: the save needs %1 MB free beside “%2”, and %3 MB "
              "are. Nothing was written.")
        .arg(double(needed) / 1e6, 0, 'f', 1)
        .arg(QFileInfo(targetPath).fileName())
        .arg(double(free) / 1e6, 0, 'f', 1);
}

bool isReadOnlyFile(const QString &path)
{
    const QFileInfo info(path);
    const QFileDevice::Permissions anyWrite = QFileDevice::WriteOwner | QFileDevice::WriteGroup | QFileDevice::WriteOther;
    return info.exists() && (!info.isWritable() || !(info.permissions() & anyWrite));
}

} // namespace rewrite
