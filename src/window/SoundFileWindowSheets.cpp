// The document window's sheets, panels and alerts: save and convert panels,
// the progress sheet of a rewrite, failures and warnings.
#include "window/SoundFileWindow.h"

#include "document/SoundFile.h"
#include "window/AccessibleNames.h"

#include <QFileDialog>
#include <QFileInfo>

void SoundFileWindow::setUpConvertSheet()
{
    // The sheet comes from the form; here it learns what Cancel means.
    QPushButton *cancel = ui.convertSheetButtons->button(QDialogButtonBox::Cancel);
    cancel->setObjectName(QStringLiteral("convertCancelButton"));
    ui.convertProgress->setRange(0, 100);
    connect(cancel, &QPushButton::clicked, this, [this, cancel] {
        if (m_document)
            m_document->convertCancel(cancel);
    });
    // Escape or the window manager's close button mean cancel, too.
    connect(ui.convertSheet, &QDialog::rejected, this, [this] {
        if (m_document && m_document->isBusy())
            m_document->convertCancel(ui.convertSheet);
    });
    applyAccessibleNames(ui.convertSheet);
}

void SoundFileWindow::showRewriteStarted()
{
    // Window-modal: the document takes no other edit while it saves; other
    // windows go on as they were.
    ui.convertProgress->setValue(0);
    ui.convertSheet->open();
}

void SoundFileWindow::showRewriteFinished()
{
    ui.convertSheet->hide();
}

void SoundFileWindow::showError(const DocumentError &error)
{
    auto *alert = new QMessageBox(this);
    alert->setObjectName(QStringLiteral("rewriteFailureAlert"));
    alert->setIcon(QMessageBox::Critical);
    alert->setText(error.localizedDescription);
    alert->setInformativeText(error.localizedFailureReason);
    alert->setWindowModality(Qt::WindowModal);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    m_failureAlert = alert;
    if (error.code != DocumentError::kChangedOnDisk) {
        alert->addButton(tr("Exit"), QMessageBox::AcceptRole);
        alert->open();
        return;
    }
    // The file on disk is another program's now: the edits can go to
    // another file, or give way to what is on disk.
    QPushButton *saveAs = alert->addButton(tr("Save As…"), QMessageBox::AcceptRole);
    QPushButton *revert = alert->addButton(tr("Revert"), QMessageBox::DestructiveRole);
    alert->addButton(QMessageBox::Cancel);
    connect(alert, &QMessageBox::finished, this, [this, alert, saveAs, revert] {
        DocumentError revertError;
        if (alert->clickedButton() == saveAs)
            QMetaObject::invokeMethod(this, [this] { runSavePanel(SaveOperationType::SaveAs); }, Qt::QueuedConnection);
        else if (alert->clickedButton() == revert && m_document && !m_document->revertToSaved(&revertError))
            m_document->presentError(revertError);
    });
    alert->open();
}

void SoundFileWindow::whenReplaceAgreed(const QUrl &url, bool converting, const std::function<void()> &save)
{
    const QString question = m_document ? m_document->replaceQuestion(url, converting) : QString();
    if (question.isEmpty()) {
        save();
        return;
    }
    auto *box = new QMessageBox(QMessageBox::Question, tr("Save"), question, QMessageBox::Cancel, this);
    box->setObjectName(QStringLiteral("replaceQuestion"));
    QPushButton *agreed = box->addButton(tr("Save"), QMessageBox::AcceptRole);
    box->setDefaultButton(QMessageBox::Cancel);
    box->setWindowModality(Qt::WindowModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QMessageBox::finished, this, [this, box, agreed, url, save] {
        if (box->clickedButton() != agreed || !m_document)
            return;
        m_document->allowReplacing(url);
        // The save and its progress sheet start once the question has gone.
        QMetaObject::invokeMethod(this, save, Qt::QueuedConnection);
    });
    box->open();
}

void SoundFileWindow::showWarning(const QString &message, const QString &detail)
{
    auto *alert = new QMessageBox(QMessageBox::Warning, tr("Saved with changes"), message, QMessageBox::Ok, this);
    alert->setObjectName(QStringLiteral("rewriteWarningAlert"));
    alert->setInformativeText(detail);
    alert->setWindowModality(Qt::WindowModal);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->open();
}

bool SoundFileWindow::saveTo(const QUrl &url, SaveOperationType operation)
{
    if (!m_document)
        return false;
    if (!m_document->replaceQuestion(url).isEmpty()) {
        whenReplaceAgreed(url, false, [this, url, operation] { saveTo(url, operation); });
        return false;
    }
    return m_document->startSave(url, operation);
}

bool SoundFileWindow::saveDocument()
{
    return m_document && saveTo(m_document->fileURL(), SaveOperationType::Save);
}

void SoundFileWindow::runSavePanel(SaveOperationType operation)
{
    if (!m_document || m_document->isBusy())
        return;
    const QString path = m_document->fileURL().toLocalFile();
    const QString type = m_document->fileType();
    auto *panel = new QFileDialog(this, operation == SaveOperationType::SaveTo ? tr("Save a Copy") : tr("Save As"));
    panel->setObjectName(QStringLiteral("savePanel"));
    // A document is only ever saved in the format it was opened in, so the
    // panel offers that one type, with its extension visible.
    panel->setAcceptMode(QFileDialog::AcceptSave);
    panel->setNameFilters({type.isEmpty() ? tr("Sound file (*)") : tr("%1 sound file (*.%2)").arg(type.toUpper(), type)});
    if (!type.isEmpty())
        panel->setDefaultSuffix(type);
    panel->setDirectory(QFileInfo(path).canonicalPath()); // links resolved, not ".." cleaned as text
    panel->selectFile(QFileInfo(path).fileName());
    panel->setWindowModality(Qt::WindowModal);
    connect(panel, &QFileDialog::finished, this, [this, panel, operation](int result) {
        panel->deleteLater();
        if (result != QDialog::Accepted || panel->selectedUrls().isEmpty())
            return;
        const QUrl url = panel->selectedUrls().first();
        if (m_document && m_document->formatImpliedBy(url))
            askAboutExtension(url, operation);
        else
            saveTo(url, operation);
    });
    panel->open();
}

void SoundFileWindow::askForConvertTarget(const QString &folder, const QString &proposedName)
{
    auto *panel = new QFileDialog(this, tr("Convert"));
    panel->setObjectName(QStringLiteral("convertPanel"));
    panel->setAcceptMode(QFileDialog::AcceptSave);
    panel->setDirectory(folder);
    panel->selectFile(proposedName);
    panel->setWindowModality(Qt::WindowModal);
    connect(panel, &QFileDialog::finished, this, [this, panel](int result) {
        convertFileNameChosen(panel, result == QDialog::Accepted ? 1 : 0);
        panel->deleteLater();
    });
    panel->open();
}

void SoundFileWindow::convertFileNameChosen(QFileDialog *panel, int returnCode)
{
    if (!panel || !m_document)
        return;
    panel->hide();
    if (returnCode == 0 || panel->selectedUrls().isEmpty())
        return;
    const QUrl url = panel->selectedUrls().first();
    whenReplaceAgreed(url, true, [this, url] {
        if (m_document)
            m_document->startConversion(url);
    });
}

void SoundFileWindow::askAboutExtension(const QUrl &url, SaveOperationType operation)
{
    const int implied = m_document->formatImpliedBy(url);
    const QString impliedName = majorFormats().value(majorFormatIndex(implied)).name;
    const QFileInfo target(url.toLocalFile());
    auto *box = new QMessageBox(QMessageBox::Question, tr("Another format"),
                                tr("The name “%1” is for %2 files.").arg(target.fileName(), impliedName),
                                QMessageBox::NoButton, this);
    box->setObjectName(QStringLiteral("extensionPrompt"));
    box->setInformativeText(tr("Convert the sound to %1, or keep its format and use the extension “.%2”?")
                                .arg(impliedName, m_document->fileType()));
    QPushButton *convert = box->addButton(tr("Convert to %1").arg(impliedName), QMessageBox::AcceptRole);
    QPushButton *keep = box->addButton(tr("Use .%1").arg(m_document->fileType()), QMessageBox::AcceptRole);
    box->addButton(QMessageBox::Cancel);
    box->setWindowModality(Qt::WindowModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QMessageBox::finished, this, [this, box, convert, keep, url, implied, operation] {
        if (!m_document)
            return;
        const QFileInfo info(url.toLocalFile());
        if (box->clickedButton() == convert) {
            const int format = closestFormat(implied, m_document->info().format);
            whenReplaceAgreed(url, true, [this, url, format] {
                if (m_document)
                    m_document->startSaveAsFormat(url, format);
            });
        } else if (box->clickedButton() == keep) {
            saveTo(QUrl::fromLocalFile(info.path() + QLatin1Char('/') + info.completeBaseName() + QLatin1Char('.')
                                       + m_document->fileType()), operation);
        }
    });
    box->open();
}
