// Keeps the open documents: opens files as documents (one window each),
// brings an already open file forward instead of opening it twice, and ends
// the application when the last document has closed.
//
// Main thread only.
#pragma once

#include "filelogic/DocumentError.h"

#include <QList>
#include <QObject>
#include <QStringList>
#include <QUrl>

#include <functional>

class QMessageBox;
class QWidget;
class SoundFile;

class DocumentController : public QObject
{
    Q_OBJECT

public:
    static DocumentController &sharedDocumentController();

    // Opens url as a document and, with display, shows its window. Returns the
    // document, or nullptr with *error filled (when given) on failure. A file
    // that is already open is not opened again: its window comes forward.
    SoundFile *openDocumentWithContentsOfURL(const QUrl &url, bool display, DocumentError *error);
    QList<SoundFile *> documents() const { return m_documents; }
    // The open document showing the file url leads to (same device and
    // inode), if any: the one registry of open documents.
    SoundFile *documentForURL(const QUrl &url) const;
    // The window showing a document (null when it has none).
    static QWidget *windowFor(const SoundFile *document);

    // Makes the window of a newly opened document. The window layer, which
    // sits above this one, registers it at start-up; without one documents
    // open without a window.
    using WindowFactory = std::function<QWidget *(SoundFile *)>;
    void setWindowFactory(WindowFactory factory) { m_windowFactory = std::move(factory); }

    // Opens each file, reporting failures with an alert over parent (or on
    // its own when there is no window).
    // Returns the alerts it opened.
    QList<QMessageBox *> openFiles(const QStringList &paths, QWidget *parent);
    // File > Open...: a file dialog, window-modal over parent when given.
    void runOpenPanel(QWidget *parent);
    // Shows err as an alert; window-modal over parent when given.
    // Never blocks: the alert is opened and deletes itself when dismissed.
    QMessageBox *presentError(const DocumentError &err, QWidget *parent);
    // Tells once of the saves cut short that opening files finished or undid
    // (see filelogic/SaveJournal.h): an alert over parent, when there were any.
    void presentRecoveryNotices(QWidget *parent);

    // When true (the default), closing the last document ends the
    // application. Tests switch it off.
    void setQuitWhenLastDocumentCloses(bool quit) { m_quitWhenLastCloses = quit; }

signals:
    // A file was opened as a new document (its window, if any, made).
    void documentOpened(SoundFile *document);
    void lastDocumentClosed();

private:
    DocumentController() = default;
    void documentClosed(SoundFile *document);

    QList<SoundFile *> m_documents;
    WindowFactory m_windowFactory;
    bool m_quitWhenLastCloses = true;
};
