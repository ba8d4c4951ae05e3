#include "DocumentFixture.h"

#include "rewrite/InPlaceSave.h"
#include "toolkit/DocumentController.h"
#include "window/SoundFileWindow.h"

#include <QApplication>

namespace docfix {

fixtures::Spec spec(sf_count_t frames, int channels, int format, int rate)
{
    return {format, channels, rate, frames, {}, {}};
}

QString make(const QTemporaryDir &dir, const QString &name, const fixtures::Spec &s, const fixtures::Generator &gen)
{
    return fixtures::write(dir.filePath(name), s, gen) ? dir.filePath(name) : QString();
}

std::unique_ptr<SoundFile> open(const QString &path)
{
    auto doc = std::make_unique<SoundFile>();
    DocumentError err;
    if (!doc->readFromURL(QUrl::fromLocalFile(path), QString(), &err))
        qFatal("open %s: %s", qPrintable(path), qPrintable(err.localizedDescription));
    return doc;
}

bool cutSaveShort(const QString &path)
{
    SF_INFO info{};
    SoundHandle(sf_open(QFile::encodeName(path).constData(), SFM_READ, &info));
    StringBytes strings;
    strings[0] = QByteArray("Cut");
    SaveEngine engine;
    engine.inPlace = true;
    engine.chunks = ChunkSaveJob{path, path, info, strings, {}, std::nullopt, false};
    RewriteFaults faults;
    faults.stopAfterStep = 4;
    faults.tearLastStep = true;
    const std::optional<RewriteResult> result = saveInPlace(engine, {}, {}, faults);
    return result && !result->ok;
}

SoundFile *openKept(const QString &path)
{
    DocumentController &controller = DocumentController::sharedDocumentController();
    controller.setQuitWhenLastDocumentCloses(false);
    DocumentError err;
    SoundFile *doc = controller.openDocumentWithContentsOfURL(QUrl::fromLocalFile(path), true, &err);
    if (!doc)
        qFatal("open %s: %s", qPrintable(path), qPrintable(err.localizedDescription));
    return doc;
}

SoundFileWindow *openWindow(const QString &path)
{
    SoundFileWindow::registerWithController();
    return SoundFileWindow::forDocument(openKept(path));
}

SoundFileWindow *openWindow(const QTemporaryDir &dir, const QString &name, const fixtures::Spec &s)
{
    return openWindow(make(dir, name, s));
}

void closeAllDocuments()
{
    for (SoundFile *doc : DocumentController::sharedDocumentController().documents()) {
        SoundFileWindow *window = SoundFileWindow::forDocument(doc);
        // Closed first, so the window closes without asking about edits.
        doc->close();
        if (window)
            window->close();
    }
    for (QWidget *w : QApplication::topLevelWidgets())
        w->deleteLater();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

bool chooseConvertFormat(SoundFile &doc, int format)
{
    QObject popUp;
    popUp.setProperty("currentIndex", majorFormatIndex(format));
    doc.convertFormatSelected(&popUp);
    doc.conversion().setFormat(format);
    const QList<FormatEntry> &listed = doc.conversion().subformats();
    return std::any_of(listed.begin(), listed.end(), [format](const FormatEntry &e) { return e.format == format; });
}

bool save(SoundFile &doc, DocumentError *error)
{
    DocumentError ignored;
    return doc.saveToURL(doc.fileURL(), doc.fileType(), SaveOperationType::Save, error ? error : &ignored);
}

FileMetadata metadataOf(const QString &path)
{
    SF_INFO info{};
    const std::unique_ptr<SNDFILE, int (*)(SNDFILE *)> f(sf_open(QFile::encodeName(path), SFM_READ, &info), sf_close);
    return readFileMetadata(f.get());
}

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFileBytes(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

} // namespace docfix
