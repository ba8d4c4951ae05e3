#include "rewrite/SavePlan.h"

#include "container/TagReader.h"
#include "filelogic/ContainerTable.h"
#include "container/SoundFileOpen.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <cstring>

namespace rewrite {

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("SavePlan", text);
}

// The source and target of the job, and for a conversion its format and
// channels.
void describeFiles(const SaveRequest &request, bool inPlace, RewriteJob *job)
{
    job->sourceInfo = request.sourceInfo;
    job->sourcePath = request.sourcePath;
    // Replacing the file must never shorten it: what cannot be decoded now
    // may still be recoverable from the original.
    job->requireAllFrames = inPlace;
    // In place, the source's own path is replaced, whatever spelling or link
    // the caller used for it.
    job->targetPath = inPlace ? request.sourcePath : request.targetPath;
    job->targetInfo = request.sourceInfo;
    job->replace = request.replace;
    if (!inPlace)
        job->replace.expected = FileIdentity{};
    if (!request.conversion)
        return;
    const std::vector<int> &channels = request.conversion->channels;
    job->targetInfo.format = request.conversion->format;
    job->targetInfo.channels = int(channels.size());
    if (job->targetInfo.channels != request.sourceInfo.channels)
        job->channels = channels;
}

// The UMID as the command line gives it: bytes in hexadecimal. Untouched,
// the identifier keeps the bytes it was read with.
void storeHexUmid(const SaveRequest &request, RewriteJob *job)
{
    const QString &text = request.texts[size_t(MetadataField::UMID)];
    if (!job->bext || text == (request.read.hasBext ? umidHexText(request.read.bext) : QString()))
        return;
    const QByteArray umid = parseUmidHexText(text).value_or(QByteArray());
    std::memset(job->bext->umid, 0, sizeof job->bext->umid);
    std::memcpy(job->bext->umid, umid.constData(), size_t(umid.size()));
}

} // namespace

SavePlan planSave(const SaveRequest &request)
{
    SavePlan plan;
    // By identity, not spelling: a link to the source is the source.
    plan.inPlace = request.targetPath == request.sourcePath || isSameFile(request.targetPath, request.sourcePath);
    describeFiles(request, plan.inPlace, &plan.job);
    // A conversion writes the record as its settings say, a save when any
    // of the record's fields holds text.
    const bool withBext = request.conversion ? request.conversion->keepBext : textsHoldBext(request.texts);
    // A loudness field's text that is not a number is never written as one.
    if (withBext && !(plan.error = loudnessTextProblem(request.texts)).isEmpty())
        return plan;
    MetadataTexts texts = request.texts;
    if (request.umid == UmidText::Hex) {
        texts[size_t(MetadataField::UMID)] = request.read.hasBext ? bextFieldText(request.read.bext, BextField::UMID)
                                                                  : QString();
    }
    fillJobMetadata(texts, request.read, request.sourceInfo.samplerate, withBext, &plan.job);
    if (request.umid == UmidText::Hex)
        storeHexUmid(request, &plan.job);
    const bool bextChanges = request.conversion && request.conversion->keepBext != request.read.hasBext;
    plan.engine = saveEngineFor(plan.job, request.read, request.edited, bextChanges, &plan.fileLoses);
    plan.textsLost = textsNotKept(plan.engine, plan.job);
    return plan;
}

bool SavePlan::prepare(QString *why, bool deferFolderFlush)
{
    m_temp = std::make_unique<ReplacementFile>();
    m_temp->setFolderFlushDeferred(deferFolderFlush);
    return engine.inPlace || m_temp->create(job.targetPath, why, job.replace);
}

RewriteResult SavePlan::run(const std::function<bool(double)> &progress)
{
    RewriteResult failed;
    failed.message = tr("Unable to write file");
    if (!m_temp && !prepare(&failed.detail))
        return failed;
    if (engine.writesReplacement())
        return runSave(job, engine, *m_temp, progress);
    // libsndfile's rewrite reads from the source's start, through a handle
    // that no one else moves.
    const SoundHandle source = reopenSoundFile(job.sourcePath, job.sourceInfo, true, &failed.detail);
    if (!source)
        return failed;
    RewriteJob reading = job;
    reading.source = source.get();
    return runSave(reading, engine, *m_temp, progress);
}

} // namespace rewrite
