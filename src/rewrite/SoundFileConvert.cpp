// The document's conversion command: the target format and channels from the
// Convert tab, a proposed file name, and the save panel that asks for it.
#include "document/SoundFile.h"

#include "analysis/ChannelTableSource.h"
#include "document/SoundFileWindow.h"
#include "rewrite/FormatList.h"

#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>

QString proposedConvertName(const QString &documentPath, const QString &extension)
{
    // The file name without its last extension; dots in folder names play no
    // part, and a name that is only an extension (".wav") keeps nothing.
    QString base = documentPath.mid(documentPath.lastIndexOf(QLatin1Char('/')) + 1);
    const int dot = base.lastIndexOf(QLatin1Char('.'));
    if (dot >= 0)
        base.truncate(dot);
    return extension.isEmpty() ? base : base + QLatin1Char('.') + extension;
}

void SoundFile::convert(QObject *)
{
    if (m_busy || !sndfile || !m_window)
        return;
    const int subformat = convertSubformat->currentIndex();
    if (subformat < 0) {
        showRewriteFailure(tr("Unable to write file"), tr("The chosen format offers no encoding to write."));
        return;
    }

    convertSFInfo = sfinfo;
    convertSFInfo.format = convertFormats[subformat];
    convertSFInfo.channels = int(selectedChannels().size());

    const QList<FormatEntry> majors = majorFormats();
    const int major = convertFormat->currentIndex();
    const QString extension = major >= 0 && major < majors.size() ? majors[major].extension : QString();
    const QString path = m_fileURL.toLocalFile();

    auto *panel = new QFileDialog(m_window, tr("Convert"));
    panel->setObjectName(QStringLiteral("convertPanel"));
    panel->setAcceptMode(QFileDialog::AcceptSave);
    panel->setDirectory(QFileInfo(path).absolutePath());
    panel->selectFile(proposedConvertName(path, extension));
    panel->setWindowModality(Qt::WindowModal);
    connect(panel, &QFileDialog::finished, this, [this, panel](int result) {
        // The rewrite runs its own event passes; it starts once the panel
        // has finished closing, not inside its close.
        QMetaObject::invokeMethod(this, [this, panel, result] {
            convertFileNameChosen(panel, result == QDialog::Accepted ? 1 : 0);
            panel->deleteLater();
        }, Qt::QueuedConnection);
    });
    panel->open();
}

void SoundFile::convertFileNameChosen(QObject *sender, int returnCode)
{
    auto *panel = qobject_cast<QFileDialog *>(sender);
    if (!panel)
        return;
    panel->hide();
    if (returnCode == 0 || panel->selectedUrls().isEmpty())
        return;
    convertToURL(panel->selectedUrls().first(), true);
}
