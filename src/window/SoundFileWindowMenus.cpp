// The document window's menus beyond saving and sound: Open Recent, Revert
// to Saved, the Edit menu acting on the focused field, and About.
#include "window/SoundFileWindow.h"

#include "playback/SdlVersion.h"
#include "toolkit/DocumentController.h"
#include "window/RecentFiles.h"

#include <QApplication>
#include <QFileInfo>
#include <QMenuBar>
#include <QMetaMethod>

#include <sndfile.h>
#include <taglib/taglib.h>

namespace {

// The focused control, when it has the slot (QLineEdit and QPlainTextEdit
// both have undo, redo, cut, copy, paste and selectAll).
QWidget *focusedWith(const char *slot)
{
    QWidget *w = QApplication::focusWidget();
    return w && w->metaObject()->indexOfSlot(QMetaObject::normalizedSignature(slot)) >= 0 ? w : nullptr;
}

} // namespace

void SoundFileWindow::buildRecentMenu(QMenu *recent)
{
    connect(recent, &QMenu::aboutToShow, this, [this, recent] {
        recent->clear();
        for (const QString &path : RecentFiles::list())
            recent->addAction(QFileInfo(path).fileName(), this, [this, path] {
                DocumentController::sharedDocumentController().openFiles({path}, this);
            })->setToolTip(path);
        recent->addSeparator();
        recent->addAction(tr("Clear Menu"), this, &RecentFiles::clear)->setEnabled(!RecentFiles::list().isEmpty());
    });
}

void SoundFileWindow::buildEditMenu()
{
    QMenu *edit = menuBar()->addMenu(tr("&Edit"));
    const struct {
        const char *text;
        QKeySequence::StandardKey key;
        const char *slot;
    } items[] = {
        {QT_TR_NOOP("&Undo"), QKeySequence::Undo, "undo()"},
        {QT_TR_NOOP("&Redo"), QKeySequence::Redo, "redo()"},
        {QT_TR_NOOP("Cu&t"), QKeySequence::Cut, "cut()"},
        {QT_TR_NOOP("&Copy"), QKeySequence::Copy, "copy()"},
        {QT_TR_NOOP("&Paste"), QKeySequence::Paste, "paste()"},
        {QT_TR_NOOP("Select &All"), QKeySequence::SelectAll, "selectAll()"},
    };
    for (const auto &item : items) {
        const QByteArray slot(item.slot);
        QAction *action = edit->addAction(tr(item.text), this, [slot] {
            if (QWidget *w = focusedWith(slot))
                QMetaObject::invokeMethod(w, slot.left(slot.indexOf('(')).constData());
        });
        action->setShortcut(item.key);
        // The field handles its own keys; the action serves the menu.
        action->setShortcutContext(Qt::WidgetShortcut);
        connect(edit, &QMenu::aboutToShow, action, [action, slot] { action->setEnabled(focusedWith(slot)); });
    }
}

void SoundFileWindow::buildHelpMenu()
{
    QMenu *help = menuBar()->addMenu(tr("&Help"));
    help->addAction(tr("&About WavQuill"), this, [this] {
        auto *box = new QMessageBox(QMessageBox::Information, tr("About WavQuill"),
                                    tr("WavQuill %1").arg(QCoreApplication::applicationVersion()), QMessageBox::Ok, this);
        box->setObjectName(QStringLiteral("aboutBox"));
        box->setInformativeText(tr("A sound-file inspector and editor.\n\nQt %1\n%2\nTagLib %3.%4.%5\n%6")
                                    .arg(QString::fromLatin1(qVersion()), QString::fromLatin1(sf_version_string()))
                                    .arg(TAGLIB_MAJOR_VERSION).arg(TAGLIB_MINOR_VERSION).arg(TAGLIB_PATCH_VERSION)
                                    .arg(sdlVersionText()));
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::WindowModal);
        box->open();
    });
}

void SoundFileWindow::askToRevert()
{
    if (!m_document || !m_document->isDocumentEdited() || m_document->isBusy())
        return;
    const QString name = QFileInfo(m_document->fileURL().toLocalFile()).fileName();
    auto *box = new QMessageBox(QMessageBox::Warning, tr("Revert to Saved"),
                                tr("Do you want to revert “%1” to the last saved version?").arg(name),
                                QMessageBox::NoButton, this);
    box->setObjectName(QStringLiteral("revertPrompt"));
    box->setInformativeText(tr("Your changes will be lost."));
    QPushButton *revert = box->addButton(tr("&Revert"), QMessageBox::DestructiveRole);
    box->addButton(QMessageBox::Cancel);
    box->setDefaultButton(QMessageBox::Cancel);
    box->setWindowModality(Qt::WindowModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QMessageBox::finished, this, [this, box, revert] {
        if (box->clickedButton() != revert || !m_document)
            return;
        DocumentError error;
        if (!m_document->revertToSaved(&error))
            m_document->presentError(error);
    });
    box->open();
}
