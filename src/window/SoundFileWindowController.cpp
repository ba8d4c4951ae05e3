#include "window/SoundFileWindowController.h"

#include "toolkit/DocumentController.h"
#include "window/SoundFileWindow.h"

#include <QCoreApplication>
#include <QMessageBox>

SoundFileWindowController::SoundFileWindowController(QObject *parent) : QObject(parent)
{
    SoundFileWindow::registerWithController();
}

bool SoundFileWindowController::applicationShouldOpenUntitledFile(QObject *) const
{
    return false;
}

void SoundFileWindowController::applicationDidFinishLaunching(const QStringList &files)
{
    DocumentController &controller = DocumentController::sharedDocumentController();
    const QList<QMessageBox *> alerts = controller.openFiles(files, nullptr);
    if (!controller.documents().isEmpty() || applicationShouldOpenUntitledFile(this))
        return;
    // A Linux desktop has no menu bar without a window, so instead of an
    // untitled document the user is offered a file to open. When the files
    // named on the command line all failed, the program ends once the last
    // failure has been read.
    if (files.isEmpty())
        controller.runOpenPanel(nullptr);
    else if (!alerts.isEmpty())
        connect(alerts.last(), &QDialog::finished, &controller, [] { QCoreApplication::quit(); });
    else
        QCoreApplication::quit();
}
