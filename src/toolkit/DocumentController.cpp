#include "toolkit/DocumentController.h"

#include "document/SoundFile.h"
#include "filelogic/FilePath.h"
#include "filelogic/FormatList.h"
#include "filelogic/SaveJournal.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPointer>

#include <cstdio>

DocumentController &DocumentController::sharedDocumentController()
{
    static DocumentController *controller = new DocumentController;
    return *controller;
}

SoundFile *DocumentController::documentForURL(const QUrl &url) const
{
    if (!url.isLocalFile())
        return nullptr;
    // The file a path leads to, by device and inode: another spelling, a
    // symbolic or a hard link finds the document that has it open.
    const FileIdentity wanted = fileIdentityOf(url.toLocalFile());
    for (SoundFile *doc : m_documents)
        if (wanted.isValid() && doc->fileIdentity().sameFile(wanted))
            return doc;
    return nullptr;
}

QWidget *DocumentController::windowFor(const SoundFile *document)
{
    return document ? document->windowForSheet() : nullptr;
}

SoundFile *DocumentController::openDocumentWithContentsOfURL(const QUrl &url, bool display, DocumentError *error)
{
    if (SoundFile *existing = documentForURL(url)) {
        if (QWidget *window = windowFor(existing); display && window) {
            window->show();
            window->raise();
            window->activateWindow();
        }
        return existing;
    }

    auto *doc = new SoundFile;
    DocumentError err;
    if (!doc->readFromURL(url, QString(), &err)) {
        if (error)
            *error = err;
        doc->close();
        delete doc;
        presentRecoveryNotices(nullptr);
        return nullptr;
    }
    m_documents.append(doc);
    doc->setDocumentFinder([this](const QString &path) { return documentForURL(QUrl::fromLocalFile(path)); });
    connect(doc, &SoundFile::closed, this, [this, doc] { documentClosed(doc); });
    QWidget *window = m_windowFactory ? m_windowFactory(doc) : nullptr;
    // A conversion to another file opens that file as a document of its own.
    connect(doc, &SoundFile::convertedFileWritten, this, [this, window = QPointer<QWidget>(window)](const QUrl &converted) {
        DocumentError err;
        if (!openDocumentWithContentsOfURL(converted, true, &err))
            presentError(err, window);
    });
    if (display && window) {
        window->show();
        window->raise();
        window->activateWindow();
    }
    presentRecoveryNotices(window);
    emit documentOpened(doc);
    return doc;
}

void DocumentController::presentRecoveryNotices(QWidget *parent)
{
    const QStringList notices = takeRecoveryNotices();
    if (notices.isEmpty())
        return;
    auto *alert = new QMessageBox(QMessageBox::Information, QObject::tr("Interrupted save"),
                                  notices.join(QStringLiteral("\n\n")), QMessageBox::Ok, parent);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setObjectName(QStringLiteral("recoveryAlert"));
    if (parent)
        alert->setWindowModality(Qt::WindowModal);
    alert->open();
}

void DocumentController::documentClosed(SoundFile *document)
{
    if (!m_documents.removeOne(document))
        return;
    document->deleteLater();
    if (m_documents.isEmpty()) {
        emit lastDocumentClosed();
        if (m_quitWhenLastCloses)
            QCoreApplication::quit();
    }
}

QList<QMessageBox *> DocumentController::openFiles(const QStringList &paths, QWidget *parent)
{
    QList<QMessageBox *> alerts;
    for (const QString &path : paths) {
        DocumentError err;
        if (!openDocumentWithContentsOfURL(QUrl::fromLocalFile(absolutePathAsGiven(path)), true, &err)
            && !err.localizedDescription.isEmpty()) {
            std::fprintf(stderr, "wavquill: %s: %s\n", qPrintable(path), qPrintable(err.oneLine()));
            err.localizedDescription = QStringLiteral("%1\n\n%2").arg(QFileInfo(path).fileName(), err.localizedDescription);
            alerts.append(presentError(err, parent));
        }
    }
    return alerts;
}

void DocumentController::runOpenPanel(QWidget *parent)
{
    auto *panel = new QFileDialog(parent, QObject::tr("Open Sound File"));
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setFileMode(QFileDialog::ExistingFiles);
    QStringList patterns;
    for (const QString &extension : soundFileExtensions())
        patterns << QStringLiteral("*.") + extension;
    panel->setNameFilters({QObject::tr("Sound files (%1)").arg(patterns.join(u' ')), QObject::tr("All files (*)")});
    if (parent)
        panel->setWindowModality(Qt::WindowModal);
    connect(panel, &QFileDialog::finished, this, [this, panel, parent = QPointer<QWidget>(parent)](int result) {
        const QList<QMessageBox *> alerts =
            result == QDialog::Accepted ? openFiles(panel->selectedFiles(), parent) : QList<QMessageBox *>();
        if (!m_documents.isEmpty())
            return;
        // Started without a window and nothing opened: offer the dialog again
        // after a failure has been read, end when the user cancels.
        if (!alerts.isEmpty())
            connect(alerts.last(), &QDialog::finished, this, [this] { runOpenPanel(nullptr); });
        else if (m_quitWhenLastCloses)
            QCoreApplication::quit();
    });
    panel->open();
}

QMessageBox *DocumentController::presentError(const DocumentError &err, QWidget *parent)
{
    auto *alert = new QMessageBox(QMessageBox::Warning, QObject::tr("The file could not be opened"),
                                  err.localizedDescription, QMessageBox::Ok, parent);
    alert->setInformativeText(err.localizedFailureReason);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setObjectName(QStringLiteral("openErrorAlert"));
    if (parent)
        alert->setWindowModality(Qt::WindowModal);
    alert->open();
    return alert;
}
