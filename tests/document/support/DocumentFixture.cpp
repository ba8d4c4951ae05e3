#include "DocumentFixture.h"

#include "document/SoundFile.h"
#include "toolkit/DocumentController.h"
#include "window/SoundFileWindow.h"

#include <QApplication>
#include <QtEndian>

#include <unistd.h>

namespace docfix {

fixtures::Spec spec(sf_count_t frames, int channels, int format, int rate)
{
    return {format, channels, rate, frames, {}, {}};
}

QString make(const QTemporaryDir &dir, const QString &name, const fixtures::Spec &s, const fixtures::Generator &gen)
{
    const QString path = dir.filePath(name);
    return fixtures::write(path, s, gen) ? path : QString();
}

std::unique_ptr<SoundFile> open(const QString &path)
{
    auto doc = std::make_unique<SoundFile>();
    DocumentError err;
    if (doc->readFromURL(QUrl::fromLocalFile(path), QString(), &err))
        return doc;
    qWarning("open %s: %s", qPrintable(path), qPrintable(err.localizedDescription));
    return nullptr;
}

SoundFileWindow *openWindow(const QString &path)
{
    DocumentController &controller = DocumentController::sharedDocumentController();
    controller.setQuitWhenLastDocumentCloses(false);
    DocumentError err;
    SoundFile *doc = controller.openDocumentWithContentsOfURL(QUrl::fromLocalFile(path), true, &err);
    if (!doc)
        qWarning("open %s: %s", qPrintable(path), qPrintable(err.localizedDescription));
    return DocumentController::windowFor(doc);
}

void closeAllDocuments()
{
    for (SoundFile *doc : DocumentController::sharedDocumentController().documents()) {
        SoundFileWindow *window = DocumentController::windowFor(doc);
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
    doc.setConvertFormat(format);
    for (const FormatEntry &entry : doc.convertSubformats())
        if (entry.format == format)
            return true;
    return false;
}

bool save(SoundFile &doc, DocumentError *error)
{
    DocumentError ignored;
    return doc.saveToURL(doc.fileURL(), doc.fileType(), SaveOperationType::Save, error ? error : &ignored);
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

bool writeSparseW64(const QString &path, qint64 frames)
{
    if (!fixtures::write(path, spec(1, 1, SF_FORMAT_W64 | SF_FORMAT_PCM_U8)))
        return false;
    QByteArray bytes = fileBytes(path);
    // The data chunk's GUID starts with "data"; its 64-bit size follows it.
    const qsizetype at = bytes.indexOf(QByteArray("data\xf3\xac\xd3\x11", 8));
    if (at < 0)
        return false;
    qToLittleEndian<quint64>(24 + quint64(frames), bytes.data() + at + 16);
    return writeFileBytes(path, bytes.left(at + 24))
        && ::truncate(QFile::encodeName(path).constData(), off_t(at + 24 + frames)) == 0;
}

} // namespace docfix
