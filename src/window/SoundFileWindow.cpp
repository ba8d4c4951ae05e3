#include "window/SoundFileWindow.h"

#include "document/SoundFile.h"
#include "document/PeakJob.h"
#include "document/Transport.h"
#include "toolkit/DocumentController.h"
#include "window/AccessibleNames.h"
#include "window/ChannelTableSource.h"
#include "window/ChunkTableModel.h"
#include "window/FieldControls.h"
#include "window/FixityPanel.h"
#include "window/IxmlTab.h"
#include "window/LoudnessPanel.h"
#include "window/RecentFiles.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QMenuBar>
#include <QMimeData>
#include <QSettings>

void SoundFileWindow::registerWithController()
{
    DocumentController &controller = DocumentController::sharedDocumentController();
    controller.setWindowFactory([](SoundFile *document) { return new SoundFileWindow(document); });
    static bool remembering = false;
    if (!remembering)
        QObject::connect(&controller, &DocumentController::documentOpened, &controller,
                         [](SoundFile *document) { RecentFiles::add(document->fileURL().toLocalFile()); });
    remembering = true;
}

SoundFileWindow *SoundFileWindow::forDocument(const SoundFile *document)
{
    return qobject_cast<SoundFileWindow *>(DocumentController::windowFor(document));
}

SoundFileWindow::SoundFileWindow(SoundFile *document, QWidget *parent)
    : QMainWindow(parent), m_document(document)
{
    ui.setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    setAcceptDrops(true);
    m_stringsPage = ui.Strings;
    m_bextPage = ui.BEXT;
    m_chunksPage = ui.Chunks;
    m_chunkModel = new ChunkTableModel(this);
    ui.chunkTable->setModel(m_chunkModel);
    m_convertModel = new ChannelTableSource(this);
    m_peakModel = new ChannelTableSource(this);
    m_peakModel->setType(ChannelTableTypePeak);
    ui.convertTable->setModel(m_convertModel);
    m_ixmlTab = new IxmlTab(ui, document, this);
    connect(m_ixmlTab, &IxmlTab::trackNamesEdited, this, &SoundFileWindow::showChannelNames);
    buildMenus();
    setUpConvertSheet();
    applyAccessibleNames(this);
    document->setWindowForSheet(this, this);
    setWindowFilePath(document->fileURL().toLocalFile());
    connectDocument();
    connectEditFields();
    connectControls();
    connectMarkers();
    connectActions();
    connectLoudnessPanel(ui, document, this);
    connectFixityPanel(ui, document, this);
    ui.waveformView->setDocument(document);
    fillAll();
    restoreGeometry(QSettings().value(QStringLiteral("window/geometry")).toByteArray());
}

SoundFileWindow::~SoundFileWindow()
{
    if (m_document)
        m_document->setWindowForSheet(nullptr, nullptr);
}

void SoundFileWindow::buildMenus()
{
    DocumentController &controller = DocumentController::sharedDocumentController();
    QMenu *file = menuBar()->addMenu(tr("&File"));
    QAction *open = file->addAction(tr("&Open…"), this, [this, &controller] { controller.runOpenPanel(this); });
    open->setShortcut(QKeySequence::Open);
    buildRecentMenu(file->addMenu(tr("Open &Recent")));
    file->addSeparator();
    saveAction = file->addAction(tr("&Save"));
    saveAction->setShortcut(QKeySequence::Save);
    saveAsAction = file->addAction(tr("Save &As…"));
    saveAsAction->setShortcut(QKeySequence::SaveAs);
    saveCopyAction = file->addAction(tr("Save a Cop&y…"));
    revertAction = file->addAction(tr("Re&vert to Saved"), this, &SoundFileWindow::askToRevert);
    connect(file, &QMenu::aboutToShow, this, [this] { revertAction->setEnabled(m_document && m_document->isDocumentEdited()); });
    file->addSeparator();
    convertAction = file->addAction(tr("Conv&ert…"));
    convertAction->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_E));
    file->addSeparator();
    QAction *closeAction = file->addAction(tr("&Close"), this, &QWidget::close);
    closeAction->setShortcut(QKeySequence::Close);
    QAction *quit = file->addAction(tr("&Quit"), qApp, [] {
        // Each window asks about its own unsaved edits; the application ends
        // when the last document has closed.
        for (QWidget *w : QApplication::topLevelWidgets())
            if (qobject_cast<SoundFileWindow *>(w))
                w->close();
    });
    quit->setShortcut(QKeySequence::Quit);
    buildEditMenu();

    QMenu *sound = menuBar()->addMenu(tr("&Sound"));
    playAction = sound->addAction(tr("&Play/Pause"));
    playAction->setShortcut(QKeySequence(Qt::Key_Space));
    peakAction = sound->addAction(tr("Calculate &Peak"));
    peakAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_K));
    buildHelpMenu();
    for (QWidget *w : findChildren<QWidget *>())
        w->installEventFilter(this);
}

bool SoundFileWindow::eventFilter(QObject *watched, QEvent *event)
{
    // A check box, button, pop-up or table takes Space for itself; only
    // elsewhere is it the Play/Pause shortcut.
    if (event->type() == QEvent::ShortcutOverride && static_cast<QKeyEvent *>(event)->key() == Qt::Key_Space
        && static_cast<QKeyEvent *>(event)->modifiers() == Qt::NoModifier
        && (qobject_cast<QAbstractButton *>(watched) || qobject_cast<QComboBox *>(watched)
            || qobject_cast<QAbstractItemView *>(watched)))
        event->accept();
    return QMainWindow::eventFilter(watched, event);
}

void SoundFileWindow::connectActions()
{
    SoundFile *doc = m_document;
    connect(saveAction, &QAction::triggered, this, &SoundFileWindow::saveDocument);
    connect(saveAsAction, &QAction::triggered, this, [this] { runSavePanel(SaveOperationType::SaveAs); });
    connect(saveCopyAction, &QAction::triggered, this, [this] { runSavePanel(SaveOperationType::SaveTo); });
    connect(convertAction, &QAction::triggered, this, [this, doc] {
        ui.tabView->setCurrentWidget(ui.Convert);
        doc->convert(nullptr);
    });
    connect(playAction, &QAction::triggered, this, [this, doc] { doc->play(ui.playButton); });
    connect(peakAction, &QAction::triggered, this, [this, doc] {
        ui.tabView->setCurrentWidget(ui.Peak);
        doc->calculatePeak(ui.peakCalculate);
    });
}

void SoundFileWindow::connectDocument()
{
    SoundFile *doc = m_document;
    connect(doc, &SoundFile::modificationChanged, this, &QWidget::setWindowModified);
    connect(doc, &SoundFile::fileURLChanged, this, [this](const QUrl &url) { setWindowFilePath(url.toLocalFile()); });
    connect(doc, &SoundFile::refilled, this, &SoundFileWindow::fillAll);
    connect(doc, &SoundFile::textsReplaced, this, [this] {
        m_filling = true;
        fillTexts();
        m_filling = false;
    });
    connect(doc, &SoundFile::errorPresented, this, &SoundFileWindow::showError);
    connect(doc, &SoundFile::warningRaised, this, &SoundFileWindow::showWarning);
    connect(doc->transport(), &Transport::playingChanged, this, &SoundFileWindow::showPlaying);
    connect(doc->transport(), &Transport::positionChanged, this, &SoundFileWindow::showPosition);
    connect(doc, &SoundFile::subformatsListed, this, &SoundFileWindow::fillSubformats);
    connect(doc, &SoundFile::convertTargetWanted, this, &SoundFileWindow::askForConvertTarget);
    connect(doc->peakScan(), &PeakJob::started, this, &SoundFileWindow::showPeakScanStarted);
    connect(doc->peakScan(), &PeakJob::progress, ui.peakProgress, &QProgressBar::setValue);
    connect(doc->peakScan(), &PeakJob::finished, this, &SoundFileWindow::showPeaks);
    connect(doc, &SoundFile::rewriteStarted, this, &SoundFileWindow::showRewriteStarted);
    connect(doc, &SoundFile::rewriteProgress, ui.convertProgress, &QProgressBar::setValue);
    connect(doc, &SoundFile::rewriteFinished, this, &SoundFileWindow::saveEnded);
}

void SoundFileWindow::connectEditFields()
{
    for (int i = 0; i < kMetadataFieldCount; ++i) {
        const auto field = MetadataField(i);
        QWidget *control = fieldControl(ui, field);
        if (auto *line = qobject_cast<QLineEdit *>(control)) {
            // As many characters as the record's field has bytes: ASCII fits
            // whole, longer UTF-8 is cut at a character when saved. A text
            // read from the file fits: it has no more characters than bytes.
            if (const int width = fieldFacts(field).maxBytes; width > 0)
                line->setMaxLength(width);
            connect(line, &QLineEdit::textChanged, this, [this, field](const QString &text) {
                if (!m_filling && m_document)
                    m_document->setText(field, text);
            });
        } else if (auto *edit = qobject_cast<QPlainTextEdit *>(control)) {
            connect(edit, &QPlainTextEdit::textChanged, this, [this, field, edit] {
                if (!m_filling && m_document)
                    m_document->setText(field, edit->toPlainText());
            });
        }
    }
}

void SoundFileWindow::connectControls()
{
    SoundFile *doc = m_document;
    connect(ui.playButton, &QPushButton::clicked, doc, [this, doc] { doc->play(ui.playButton); });
    // Dragging only renews the text; the document seeks once the slider is
    // released (or moved by click or key), not on every mouse move.
    ui.playSlider->setTracking(false);
    connect(ui.playSlider, &QSlider::sliderMoved, this, [this, doc](int value) {
        ui.playPos->setText(playPosText(doc->transport()->sliderScale().frameForValue(value), doc->info().samplerate));
    });
    connect(ui.playSlider, &QSlider::valueChanged, doc, [this, doc] { doc->playSliderMoved(ui.playSlider); });
    for (QComboBox *popUp : {ui.leftChannel, ui.rightChannel}) {
        popUp->setProperty(SoundFile::kFeedsLeftOutput, popUp == ui.leftChannel);
        connect(popUp, &QComboBox::currentIndexChanged, this, [this, doc, popUp] {
            if (!m_filling)
                doc->setOutputMapping(popUp);
            ui.waveformView->update(); // it draws the routed pair of a wide file
        });
    }
    connect(ui.convertFormat, &QComboBox::currentIndexChanged, this, [this, doc] {
        if (!m_filling)
            doc->convertFormatSelected(ui.convertFormat);
    });
    connect(ui.convertSubformat, &QComboBox::currentIndexChanged, this, [this, doc] {
        if (!m_filling)
            doc->conversion().setFormat(ui.convertSubformat->currentData().toInt());
    });
    connect(m_convertModel, &QAbstractItemModel::dataChanged, this, [this, doc](const QModelIndex &from, const QModelIndex &to) {
        for (int row = from.row(); row <= to.row(); ++row)
            doc->conversion().setChannelKept(row, m_convertModel->channelIsSelected(row));
    });
    connect(ui.convertKeepBEXT, &QCheckBox::toggled, doc, [doc](bool keep) { doc->conversion().setKeepBext(keep); });
    // What a conversion would leave behind is said before it runs.
    connect(ui.convertSubformat, &QComboBox::currentIndexChanged, this, &SoundFileWindow::showConversionLoses);
    connect(m_convertModel, &QAbstractItemModel::dataChanged, this, &SoundFileWindow::showConversionLoses);
    connect(ui.chunkTable->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            &SoundFileWindow::showChunkContents);
    for (QTableView *table : {ui.convertTable, ui.peakTable})
        table->verticalHeader()->setDefaultSectionSize(table->fontMetrics().height() + 8);
    connect(ui.peakCalculate, &QPushButton::clicked, doc, [this, doc] { doc->calculatePeak(ui.peakCalculate); });
    connect(ui.convertButton, &QPushButton::clicked, doc, [this, doc] { doc->convert(ui.convertButton); });
}

void SoundFileWindow::closeEvent(QCloseEvent *event)
{
    if (!m_document || m_document->isClosed()) {
        event->accept();
        return;
    }
    if (m_closePrompt) {
        event->ignore();
        return;
    }
    // A save or conversion in flight is cancelled first; the window closes
    // once it has reported, and the document then shows what the file holds.
    if (m_document->isBusy()) {
        event->ignore();
        m_closeWhenSaved = true;
        m_document->convertCancel(this);
        return;
    }
    if (m_document->isDocumentEdited() && !m_closeConfirmed) {
        event->ignore();
        askToSave();
        return;
    }
    event->accept();
    QSettings().setValue(QStringLiteral("window/geometry"), saveGeometry());
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
    box->addButton(QMessageBox::Save);
    box->addButton(QMessageBox::Discard);
    box->addButton(QMessageBox::Cancel);
    box->setDefaultButton(QMessageBox::Save);
    box->setWindowModality(Qt::WindowModal);
    m_closePrompt = box;
    connect(box, &QMessageBox::finished, this, &SoundFileWindow::closePromptFinished);
    box->open();
}

void SoundFileWindow::closePromptFinished(int)
{
    QMessageBox *box = m_closePrompt;
    m_closePrompt = nullptr;
    if (!box || !m_document)
        return;
    box->deleteLater();
    const QMessageBox::StandardButton choice = box->standardButton(box->clickedButton());
    // The window closes once the save has succeeded; one that fails keeps
    // it open, and its alert says why.
    if (choice == QMessageBox::Save) {
        m_closeIfSaved = saveDocument();
        return;
    }
    if (choice != QMessageBox::Discard)
        return;
    m_closeConfirmed = true;
    close();
}

void SoundFileWindow::saveEnded(bool ok)
{
    showRewriteFinished();
    const bool saved = m_closeIfSaved && ok && !m_document->isDocumentEdited();
    const bool closeNow = m_closeWhenSaved || saved;
    m_closeConfirmed = m_closeConfirmed || saved;
    m_closeWhenSaved = m_closeIfSaved = false;
    // Queued: the save is still handing its result back.
    if (closeNow)
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
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
