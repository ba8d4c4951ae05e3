// The document window: the "SoundFile" form inside a main window with a menu
// bar. It fills itself from its document, hands every edit back to it and
// follows its signals; it shows the sheets, panels and alerts, asks about
// unsaved edits before it closes and accepts dropped files.
//
// Main thread only.
#pragma once

#include "ui_SoundFile.h"

#include "document/SoundFile.h"

#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>

#include <functional>

class ChannelTableSource;
class ChunkTableModel;
class MarkerTableModel;
class IxmlTab;
class QAction;
class QFileDialog;
class SoundFile;

class SoundFileWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit SoundFileWindow(SoundFile *document, QWidget *parent = nullptr);
    ~SoundFileWindow() override;

    // Has the document controller make one of these for every document it
    // opens, and remember each opened file in Open Recent. Called at
    // start-up; calling it again changes nothing.
    static void registerWithController();
    // The window showing a document (null when it has none).
    static SoundFileWindow *forDocument(const SoundFile *document);

    Ui::SoundFile ui;

    SoundFile *document() const { return m_document; }
    // The unsaved-changes prompt while it is open; null otherwise.
    QMessageBox *closePrompt() const { return m_closePrompt; }
    // The alert shown for the last failure (null when none is open).
    QMessageBox *failureAlert() const { return m_failureAlert; }
    ChannelTableSource *convertModel() const { return m_convertModel; }
    ChannelTableSource *peakModel() const { return m_peakModel; }

    // File > Save / Save As... / Save a Copy...; the two with a panel open it
    // window-modally and save when it is accepted. A save runs on the
    // document's save job under the progress sheet; these return once it
    // started (true) or failed to (its alert says why).
    bool saveDocument();
    void runSavePanel(SaveOperationType operation);
    // Starts a save through the document; asks first when the save would
    // split the file's names or change its owner, and then returns false,
    // saving once the user agreed.
    bool saveTo(const QUrl &url, SaveOperationType operation);
    // The convert panel ended; a non-zero code means the user chose a file.
    void convertFileNameChosen(QFileDialog *panel, int returnCode);

    QAction *saveAction = nullptr;
    QAction *saveAsAction = nullptr;
    QAction *saveCopyAction = nullptr;
    QAction *playAction = nullptr;
    QAction *convertAction = nullptr;
    QAction *peakAction = nullptr;
    QAction *revertAction = nullptr;

protected:
    void closeEvent(QCloseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    // Building (SoundFileWindow.cpp).
    void buildMenus();
    void buildRecentMenu(QMenu *recent);
    void buildEditMenu();
    void buildHelpMenu();
    void askToRevert();
    // Space toggles playback unless the focused control uses it.
    bool eventFilter(QObject *watched, QEvent *event) override;
    void connectActions();
    void connectDocument();
    void connectEditFields();
    void connectControls();
    void askToSave();
    void closePromptFinished(int result);
    // A save or conversion ended: the sheet goes, and a close waiting for
    // it goes on.
    void saveEnded(bool ok);

    // Filling from the document (SoundFileWindowFill.cpp).
    void fillAll();
    void fillProperties();
    void fillTexts();
    void setTabPresent(QWidget *page, int position, bool present);
    void fillTabs();
    void fillFormatPopUps();
    void fillSubformats();
    void fillChannelModels();
    void fillTransport();
    void fillChunks();
    void showChunkContents();
    void showConversionLoses();

    // The Markers tab (SoundFileWindowMarkers.cpp).
    void connectMarkers();
    void fillMarkers();
    void showPosition(qint64 frame);
    void showPlaying(bool playing);
    // The peak tab's first state: nothing measured yet.
    void showPeaksUnmeasured();
    void showPeakScanStarted();
    void showPeaks();
    // The pop-ups' and channel tables' names for the channels, as the
    // document names them now.
    void showChannelNames();

    // Sheets, panels and alerts (SoundFileWindowSheets.cpp).
    void setUpConvertSheet();
    void showRewriteStarted();
    void showRewriteFinished();
    void askAboutExtension(const QUrl &url, SaveOperationType operation);
    void askForConvertTarget(const QString &folder, const QString &proposedName);
    void showError(const DocumentError &error);
    void showWarning(const QString &message, const QString &detail);
    // Runs save at once, or once the user agreed to what replacing url's
    // file means (SoundFile::replaceQuestion) in a sheet; converting when
    // save starts a conversion.
    void whenReplaceAgreed(const QUrl &url, bool converting, const std::function<void()> &save);

    QPointer<SoundFile> m_document;
    QPointer<QMessageBox> m_closePrompt;
    QPointer<QMessageBox> m_failureAlert;
    ChannelTableSource *m_convertModel = nullptr;
    ChannelTableSource *m_peakModel = nullptr;
    ChunkTableModel *m_chunkModel = nullptr;
    MarkerTableModel *m_markerModel = nullptr;
    IxmlTab *m_ixmlTab = nullptr;
    bool m_closeConfirmed = false;
    // A close came while a save ran: the window closes once it reported.
    bool m_closeWhenSaved = false;
    // The close prompt's Save: the window closes if the save succeeds.
    bool m_closeIfSaved = false;
    // Guards against handing texts back while the window fills its fields.
    bool m_filling = false;
    // The "Strings" and "BEXT" pages, so a later fill for another container
    // can hide or bring them back.
    QWidget *m_stringsPage = nullptr;
    QWidget *m_bextPage = nullptr;
    QWidget *m_chunksPage = nullptr;
    QWidget *m_markersPage = nullptr;
};
