#include "window/LoudnessPanel.h"

#include "document/LoudnessJob.h"
#include "document/SoundFile.h"
#include "filelogic/ContainerTable.h"
#include "cli/LoudnessReport.h"
#include "window/FieldControls.h"
#include "ui_SoundFile.h"

#include <QCoreApplication>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("LoudnessPanel", text);
}

void showValues(Ui::SoundFile &ui, const SoundFile *doc)
{
    // The rows come from the section even before a measurement, which
    // would read -inf: an em dash says there is nothing yet.
    const LoudnessResult &result = doc->loudness()->result();
    for (const ReportField &field : loudnessSection(result).fields) {
        QLabel *label = reportLabel(ui, field.key);
        if (!label)
            continue;
        const QString text = result.ok ? field.text : QStringLiteral("—");
        label->setText(text);
        label->setAccessibleDescription(result.ok ? text : tr("Not measured"));
    }
}

void showRunning(Ui::SoundFile &ui, bool running)
{
    ui.loudnessMeasure->setText(running ? tr("Cancel") : tr("Measure Loudness"));
    // The screen reader hears what a click on it does now.
    ui.loudnessMeasure->setAccessibleName(running ? tr("Cancel loudness measurement") : tr("Measure loudness"));
    ui.loudnessProgress->setVisible(running);
}

} // namespace

void connectLoudnessPanel(Ui::SoundFile &ui, SoundFile *doc, QObject *context)
{
    ui.loudnessProgress->setRange(0, 100);
    LoudnessJob *loudness = doc->loudness();
    QObject::connect(ui.loudnessMeasure, &QPushButton::clicked, context, [doc, loudness] {
        if (loudness->isRunning())
            loudness->cancel();
        else
            doc->measureLoudness();
    });
    QObject::connect(loudness, &LoudnessJob::started, context, [&ui] {
        ui.loudnessProgress->setValue(0);
        showRunning(ui, true);
        ui.loudnessCopyToBext->setEnabled(false);
    });
    QObject::connect(loudness, &LoudnessJob::progress, ui.loudnessProgress, &QProgressBar::setValue);
    QObject::connect(ui.loudnessCopyToBext, &QPushButton::clicked, doc,
                     [doc, &ui] { doc->copyLoudnessToBext(ui.loudnessCopyToBext); });
    const auto showAll = [&ui, doc, loudness] {
        showRunning(ui, loudness->isRunning());
        showValues(ui, doc);
        // Only a record can take the values, and only finished ones.
        ui.loudnessCopyToBext->setEnabled(loudness->result().ok && !loudness->isRunning()
                                          && formatOffersBext(doc->info().format));
    };
    QObject::connect(loudness, &LoudnessJob::finished, context, showAll);
    // A refill has dropped the last result.
    QObject::connect(doc, &SoundFile::refilled, context, showAll);
    showAll();
}
