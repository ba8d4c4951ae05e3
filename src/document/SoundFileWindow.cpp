#include "document/SoundFileWindow.h"

#include "document/AccessibleNames.h"
#include "document/SoundFile.h"
#include "toolkit/DocumentController.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>

SoundFileWindow::SoundFileWindow(SoundFile *document, QWidget *parent)
    : QMainWindow(parent), m_document(document)
{
    ui.setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    setAcceptDrops(true);
    buildMenus();
    applyAccessibleNames(this);
}

SoundFileWindow::~SoundFileWindow() = default;

void SoundFileWindow::buildMenus()
{
    DocumentController &controller = DocumentController::sharedDocumentController();
    QMenu *file = menuBar()->addMenu(tr("&File"));
    QAction *open = file->addAction(tr("&Open…"), this, [this, &controller] { controller.runOpenPanel(this); });
    open->setShortcut(QKeySequence::Open);
    file->addSeparator();
    saveAction = file->addAction(tr("&Save"));
    saveAction->setShortcut(QKeySequence::Save);
    saveAsAction = file->addAction(tr("Save &As…"));
    saveAsAction->setShortcut(QKeySequence::SaveAs);
    saveCopyAction = file->addAction(tr("Save a &Copy…"));
    file->addSeparator();
    convertAction = file->addAction(tr("Con&vert…"));
    convertAction->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_E));
    file->addSeparator();
    QAction *closeAction = file->addAction(tr("&Close"), this, &QWidget::close);
    closeAction->setShortcut(QKeySequence::Close);
    QAction *quit = file->addAction(tr("&Quit"), qApp, [] {
        // Each window asks about its own unsaved edits; the application ends
        // when the last document has closed.
        for (SoundFile *doc : DocumentController::sharedDocumentController().documents())
            if (doc->documentWindow())
                doc->documentWindow()->close();
    });
    quit->setShortcut(QKeySequence::Quit);

    QMenu *sound = menuBar()->addMenu(tr("&Sound"));
    playAction = sound->addAction(tr("&Play/Pause"));
    playAction->setShortcut(QKeySequence(Qt::Key_Space));
    peakAction = sound->addAction(tr("Calculate &Peak"));
    peakAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_K));

    // Actions that later wiring connects start disabled, so nothing in the
    // menus pretends to work before it does.
    for (QAction *a : {saveAction, saveAsAction, saveCopyAction, convertAction, playAction, peakAction})
        a->setEnabled(false);
}

void SoundFileWindow::closeEvent(QCloseEvent *event)
{
    if (!m_document) {
        event->accept();
        return;
    }
    if (m_document->isBusy() || m_closePrompt) {
        event->ignore();
        return;
    }
    if (m_document->isDocumentEdited() && !m_closeConfirmed) {
        event->ignore();
        askToSave();
        return;
    }
    event->accept();
    m_document->close();
}

void SoundFileWindow::askToSave()
{
    const QString name = QFileInfo(m_document->fileURL().toLocalFile()).fileName();
    auto *box = new QMessageBox(QMessageBox::Warning, tr("Unsaved changes"),
                                tr("Do you want to save the changes you made to “%1”?").arg(name),
                                QMessageBox::NoButton, this);
    box->setObjectName(QStringLiteral("closePrompt"));
    box->setInformativeText(tr("Your changes will be lost if you don't save them."));
    if (saveAction->isEnabled())
        box->addButton(QMessageBox::Save);
    box->addButton(QMessageBox::Discard);
    box->addButton(QMessageBox::Cancel);
    box->setDefaultButton(saveAction->isEnabled() ? QMessageBox::Save : QMessageBox::Cancel);
    box->setWindowModality(Qt::WindowModal);
    m_closePrompt = box;
    // Handled after the prompt has closed: saving runs event passes of its own.
    connect(box, &QMessageBox::finished, this, &SoundFileWindow::closePromptFinished, Qt::QueuedConnection);
    box->open();
}

void SoundFileWindow::closePromptFinished(int)
{
    QMessageBox *box = m_closePrompt;
    m_closePrompt = nullptr;
    if (!box || !m_document)
        return;
    const QMessageBox::StandardButton choice = box->standardButton(box->clickedButton());
    if (choice == QMessageBox::Save) {
        // A save that fails keeps the window open; its alert says why.
        saveAction->trigger();
        if (m_document && m_document->isDocumentEdited()) {
            box->deleteLater();
            return;
        }
    } else if (choice != QMessageBox::Discard) {
        box->deleteLater();
        return;
    }
    box->deleteLater();
    m_closeConfirmed = true;
    close();
}

void SoundFileWindow::dragEnterEvent(QDragEnterEvent *event)
{
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void SoundFileWindow::dropEvent(QDropEvent *event)
{
    QStringList paths;
    for (const QUrl &url : event->mimeData()->urls())
        if (url.isLocalFile())
            paths.append(url.toLocalFile());
    event->acceptProposedAction();
    DocumentController::sharedDocumentController().openFiles(paths, this);
}
