#include "DocumentFixture.h"

#include "document/SoundFile.h"
#include "window/SoundFileWindow.h"
#include "toolkit/DocumentController.h"

#include <QCoreApplication>
#include <QFile>
#include <QUrl>

namespace fixtures {

SoundFile *openDocument(const QString &path)
{
    DocumentController &controller = DocumentController::sharedDocumentController();
    controller.setQuitWhenLastDocumentCloses(false);
    DocumentError err;
    SoundFile *doc = controller.openDocumentWithContentsOfURL(QUrl::fromLocalFile(path), true, &err);
    if (!doc)
        qWarning("open %s: %s", qPrintable(path), qPrintable(err.localizedDescription));
    return doc;
}

FileMetadata metadataOf(const QString &path)
{
    SF_INFO info{};
    SNDFILE *f = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    FileMetadata m = readFileMetadata(f);
    if (f)
        sf_close(f);
    return m;
}

void closeAllDocuments()
{
    for (SoundFile *doc : DocumentController::sharedDocumentController().documents()) {
        doc->modified = false;
        if (doc->documentWindow())
            doc->documentWindow()->close();
        else
            doc->close();
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace fixtures
