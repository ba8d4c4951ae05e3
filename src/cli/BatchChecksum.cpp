#include "cli/BatchChecksum.h"

#include "analysis/AudioChecksum.h"
#include "cli/BatchEdit.h"
#include "cli/BatchProgress.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <deque>
#include <future>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("BatchChecksum", text);
}

// One file's checksum; Ctrl+C stops it within a block.
AudioChecksum checksumOf(const QString &path)
{
    std::atomic<bool> cancel{false};
    return computeAudioChecksum(QFileInfo(path).absoluteFilePath(), &cancel, [&cancel](double) {
        if (BatchRun::stopRequested())
            cancel = true;
    });
}

// The verdict as a line of text says it, and as JSON does.
QPair<QString, QString> verdictWords(const AudioChecksum &sum)
{
    switch (checksumVerdict(sum)) {
    case ChecksumVerdict::Matches:
        return {QStringLiteral("ok"), QStringLiteral("ok")};
    case ChecksumVerdict::Differs:
        return {QStringLiteral("MISMATCH"), QStringLiteral("mismatch")};
    case ChecksumVerdict::NoneStored:
        break;
    }
    return {QStringLiteral("no checksum stored"), QStringLiteral("notStored")};
}

QJsonObject verifyJson(const QString &file, const AudioChecksum &sum, const QString &problem)
{
    const auto hex = [](const std::optional<QByteArray> &digest) {
        return digest && !digest->isEmpty() ? QJsonValue(md5Text(*digest)) : QJsonValue();
    };
    QJsonObject object{{"file", file}, {"md5Stored", hex(sum.stored.md5)}, {"md5Computed", hex(sum.computed)}};
    object.insert("status", problem.isEmpty() ? verdictWords(sum).second : QStringLiteral("error"));
    if (!problem.isEmpty())
        object.insert("error", problem);
    return object;
}

// The MD5 chunk a file should get: none when it holds the right one.
QList<ChunkPayload> md5Chunk(const QString &path, EditOutcome *outcome)
{
    const AudioChecksum sum = checksumOf(path);
    outcome->stopped = sum.cancelled;
    if (!sum.ok)
        outcome->error = sum.error;
    else if (sum.stored.scope != ChecksumScope::DataChunk)
        outcome->error = tr("only WAV and RF64 files take an MD5 chunk");
    if (!sum.ok || !outcome->error.isEmpty() || sum.stored.md5 == sum.computed)
        return {};
    const QString was = sum.stored.md5 ? md5Text(*sum.stored.md5) : QStringLiteral("none");
    outcome->changes << QStringLiteral("md5: %1 -> %2").arg(was, md5Text(sum.computed));
    return {ChunkPayload{kMd5ChunkId, sum.computed}};
}

} // namespace

int runVerify(const QStringList &files, bool json, QTextStream &out, QTextStream &err)
{
    // Each file hashes on a second thread while it is read; several files
    // at once keep every core busy when files are small.
    const size_t atOnce = size_t(std::max(1, QThread::idealThreadCount()));
    struct Running {
        QString file;
        std::future<AudioChecksum> sum;
    };
    std::deque<Running> running;
    BatchRun batch(err, files.size(), tr("not verified"));
    int status = 0;
    qsizetype stopped = 0;
    QJsonArray objects;
    // Reported in the files' order, whatever order they finish in.
    const auto finishOldest = [&] {
        const QString file = running.front().file;
        const AudioChecksum sum = running.front().sum.get();
        running.pop_front();
        batch.finished();
        if (sum.cancelled) {
            ++stopped;
            return;
        }
        const QString problem = sum.ok ? sum.stored.problem : sum.error;
        if (!problem.isEmpty())
            batch.report(QStringLiteral("wavquill: %1: %2").arg(file, problem));
        if (sum.damagedFrames > 0)
            batch.report(QStringLiteral("wavquill: %1: %2")
                             .arg(file, tr("damaged FLAC frames: %1").arg(sum.damagedFrames)));
        if (!problem.isEmpty() || checksumVerdict(sum) == ChecksumVerdict::Differs)
            status = 1;
        if (json) {
            objects.append(verifyJson(file, sum, problem));
        } else if (problem.isEmpty()) {
            batch.clearBar();
            out << file << ": " << verdictWords(sum).first << '\n';
            out.flush();
        }
    };
    for (const QString &file : files) {
        if (running.size() >= atOnce)
            finishOldest();
        if (!batch.next(file))
            break;
        running.push_back({file, std::async(std::launch::async, checksumOf, file)});
    }
    while (!running.empty())
        finishOldest();
    if (json && !objects.isEmpty()) {
        const QJsonDocument doc = files.size() == 1 ? QJsonDocument(objects.first().toObject()) : QJsonDocument(objects);
        out << doc.toJson(QJsonDocument::Indented);
        out.flush();
    }
    return batch.status(status, stopped);
}

int runEmbedMd5(const QStringList &files, bool dryRun, QTextStream &out, QTextStream &err)
{
    QList<QPair<QString, FieldEdits>> batch;
    for (const QString &file : files)
        batch << qMakePair(file, FieldEdits());
    return runFieldEdits(batch, dryRun, out, err, md5Chunk);
}
