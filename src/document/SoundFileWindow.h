// The document window: the "SoundFile" form inside a main window with a menu
// bar. It asks about unsaved edits before it closes and accepts dropped files.
#pragma once

#include "ui_SoundFile.h"

#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>

class QAction;
class QMessageBox;
class SoundFile;

class SoundFileWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit SoundFileWindow(SoundFile *document, QWidget *parent = nullptr);
    ~SoundFileWindow() override;

    Ui::SoundFile ui;

    SoundFile *document() const { return m_document; }
    // The unsaved-changes prompt while it is open (for tests and for the
    // close logic); null otherwise.
    QMessageBox *closePrompt() const { return m_closePrompt; }

    QAction *saveAction = nullptr;
    QAction *saveAsAction = nullptr;
    QAction *saveCopyAction = nullptr;
    QAction *playAction = nullptr;
    QAction *convertAction = nullptr;
    QAction *peakAction = nullptr;

protected:
    void closeEvent(QCloseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    void buildMenus();
    void askToSave();
    void closePromptFinished(int result);

    QPointer<SoundFile> m_document;
    QPointer<QMessageBox> m_closePrompt;
    bool m_closeConfirmed = false;
};
