#include "window/FixityPanel.h"

#include "document/ChecksumJob.h"
#include "document/SoundFile.h"
#include "ui_SoundFile.h"

#include <QCoreApplication>
#include <QFontDatabase>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("FixityPanel", text);
}

QString verdictText(const AudioChecksum &sum)
{
    switch (checksumVerdict(sum)) {
    case ChecksumVerdict::Matches:
        return tr("matches the stored checksum");
    case ChecksumVerdict::Differs:
        return tr("does not match: the audio differs from when the checksum was stored");
    case ChecksumVerdict::NoneStored:
        break;
    }
    return tr("no checksum stored");
}

QString statusText(const ChecksumJob *job)
{
    const AudioChecksum &sum = job->result();
    if (!sum.error.isEmpty())
        return sum.error;
    // A stored checksum that could not be taken says why before any verdict.
    if (!sum.stored.problem.isEmpty())
        return sum.stored.problem;
    if (sum.ok || !sum.stored.md5)
        return verdictText(sum);
    return tr("not checked yet");
}

// The digest the file lacks: computed, not the stored one, not already set
// for the next save.
bool embedWanted(const SoundFile *doc, const AudioChecksum &sum)
{
    if (!sum.ok || sum.stored.md5 == sum.computed)
        return false;
    for (const ChunkPayload &chunk : doc->chunkEdits())
        if (chunk.id == kMd5ChunkId && chunk.payload == sum.computed)
            return false;
    return true;
}

void showState(Ui::SoundFile &ui, const SoundFile *doc)
{
    const ChecksumJob *job = doc->checksum();
    const AudioChecksum &sum = job->result();
    const bool running = job->isRunning();
    const QString none = QStringLiteral("—");
    ui.md5Stored->setText(!job->canCompute() ? none : sum.stored.md5 ? md5Text(*sum.stored.md5) : tr("none stored"));
    ui.md5Computed->setText(sum.ok ? md5Text(sum.computed) : none);
    ui.md5Status->setText(running ? tr("computing…") : statusText(job));
    ui.md5Compute->setText(running ? tr("Cancel") : tr("Compute"));
    // The screen reader hears what a click on it does now.
    ui.md5Compute->setAccessibleName(running ? tr("Cancel checksum") : tr("Compute checksum"));
    ui.md5Compute->setEnabled(job->canCompute());
    ui.md5Progress->setVisible(running);
    // Only the chunk writer's files take an MD5 chunk.
    ui.md5Embed->setVisible(job->canCompute() && sum.stored.scope == ChecksumScope::DataChunk && doc->chunks());
    ui.md5Embed->setEnabled(!running && embedWanted(doc, sum));
}

} // namespace

void connectFixityPanel(Ui::SoundFile &ui, SoundFile *doc, QObject *context)
{
    ui.md5Progress->setRange(0, 100);
    const QFont digits = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    ui.md5Stored->setFont(digits);
    ui.md5Computed->setFont(digits);
    ChecksumJob *job = doc->checksum();
    const auto show = [&ui, doc] { showState(ui, doc); };
    QObject::connect(ui.md5Compute, &QPushButton::clicked, context, [doc, job] {
        if (job->isRunning())
            job->cancel();
        else
            job->start(doc->fileURL().toLocalFile());
    });
    QObject::connect(ui.md5Embed, &QPushButton::clicked, context, [doc, job, show] {
        if (job->result().ok)
            doc->setChunk(ChunkPayload{kMd5ChunkId, job->result().computed});
        show();
    });
    QObject::connect(job, &ChecksumJob::started, context, [&ui, show] {
        ui.md5Progress->setValue(0);
        show();
    });
    QObject::connect(job, &ChecksumJob::progress, ui.md5Progress, &QProgressBar::setValue);
    QObject::connect(job, &ChecksumJob::finished, context, show);
    // A refill has read the file's checksum anew and dropped the computed one.
    QObject::connect(doc, &SoundFile::refilled, context, show);
    show();
}
