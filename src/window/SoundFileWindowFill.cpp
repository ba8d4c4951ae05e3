// Filling the document window from its document.
#include "window/SoundFileWindow.h"

#include "document/SoundFile.h"
#include "document/PeakJob.h"
#include "document/Transport.h"
#include "filelogic/ContainerTable.h"
#include "filelogic/FileText.h"
#include "filelogic/PlayPosition.h"
#include "filelogic/PropertyText.h"
#include "cli/FileReport.h"
#include "window/ChannelTableSource.h"
#include "window/ChunkTableModel.h"
#include "window/FieldControls.h"
#include "window/IxmlTab.h"
#include "window/MetadataWarnings.h"
#include "cli/ChunkReport.h"

#include <QFile>
#include <QHeaderView>

namespace {

constexpr int kStringsTabPosition = 1;
constexpr int kBextTabPosition = 2;

} // namespace

void SoundFileWindow::fillAll()
{
    m_filling = true;
    fillProperties();
    fillTabs();
    fillTexts();
    fillFormatPopUps();
    fillChannelModels();
    fillTransport();
    fillChunks();
    fillMarkers();
    m_ixmlTab->fill();
    showChannelNames();
    setWindowModified(m_document->isDocumentEdited());
    m_filling = false;
    showConversionLoses();
}

void SoundFileWindow::fillProperties()
{
    // The same texts the command line's report prints, label by label.
    const SoundFile *doc = m_document;
    // The format's names need no handle: libsndfile looks them up by word.
    const ReportSection section = propertiesSection(nullptr, doc->info(), doc->fileSize());
    for (const ReportField &field : section.fields)
        if (QLabel *label = reportLabel(ui, field.key)) {
            label->setText(field.text);
            // The accessible name says what the label is; screen readers
            // find what it shows in the description.
            label->setAccessibleDescription(field.text);
        }
}

void SoundFileWindow::setTabPresent(QWidget *page, int position, bool present)
{
    QTabWidget *tabs = ui.tabView;
    const int index = tabs->indexOf(page);
    if (!present && index >= 0) {
        tabs->removeTab(index);
    } else if (present && index < 0) {
        // A later fill (after a conversion onto the document's own path) may
        // be for a container that offers the tab again.
        tabs->insertTab(std::min(position, tabs->count()), page, page->objectName());
    }
}

void SoundFileWindow::fillTabs()
{
    const int format = m_document->info().format;
    setTabPresent(m_stringsPage, kStringsTabPosition, formatOffersStrings(format));
    setTabPresent(m_bextPage, std::min(kBextTabPosition, ui.tabView->indexOf(m_stringsPage) + 1),
                  formatOffersBext(format));
    const int last = ui.tabView->count();
    setTabPresent(m_chunksPage, last, m_document->chunks().has_value() || !m_document->chunkError().isEmpty());
    // A field the container cannot keep (AIFF's date) says so rather than
    // take text that a save would lose.
    for (const FieldFacts &f : metadataFieldTable()) {
        QString why = whyFieldNotKept(format, f.id);
        QWidget *control = fieldControl(ui, f.id);
        control->setProperty("readOnly", !why.isEmpty()); // line and text edits alike
        if (!why.isEmpty())
            why = why.at(0).toUpper() + why.mid(1) + u'.';
        control->setToolTip(why);
    }
}

void SoundFileWindow::fillTexts()
{
    const SoundFile *doc = m_document;
    for (int i = 0; i < kMetadataFieldCount; ++i) {
        const auto field = MetadataField(i);
        QWidget *control = fieldControl(ui, field);
        if (auto *line = qobject_cast<QLineEdit *>(control))
            line->setText(doc->text(field));
        else if (auto *edit = qobject_cast<QPlainTextEdit *>(control))
            edit->setPlainText(doc->text(field));
    }
    // The UMID is binary; its text is only what precedes the first zero
    // byte, so the whole identifier is offered in hexadecimal too.
    const FileMetadata &read = doc->metadataAsRead();
    ui.bextUMID->setToolTip(read.hasBext ? hexBytes(bextFieldRawBytes(read.bext, BextField::UMID), 4) : QString());
    ui.convertKeepBEXT->setEnabled(read.hasBext);
    ui.convertKeepBEXT->setChecked(doc->conversion().keepBext());
    showMetadataWarnings(ui, checkMetadata(read, doc->info().format, doc->chunks()));
}

void SoundFileWindow::fillFormatPopUps()
{
    ui.convertFormat->clear();
    for (const FormatEntry &entry : majorFormats())
        ui.convertFormat->addItem(entry.name, entry.format);
    ui.convertFormat->setCurrentIndex(m_document->conversion().majorIndex());
    fillSubformats();
}

void SoundFileWindow::fillSubformats()
{
    const bool filling = m_filling;
    m_filling = true;
    ui.convertSubformat->clear();
    for (const FormatEntry &entry : m_document->conversion().subformats())
        ui.convertSubformat->addItem(entry.name, entry.format);
    const int chosen = ui.convertSubformat->findData(m_document->conversion().format());
    ui.convertSubformat->setCurrentIndex(std::max(chosen, 0));
    m_filling = filling;
    showConversionLoses();
}

void SoundFileWindow::fillChannelModels()
{
    const SF_INFO &info = m_document->info();
    m_convertModel->setNumChannels(info.channels);
    m_peakModel->setNumChannels(info.channels);
    m_peakModel->setFormat(info.format);
    ui.convertTable->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);

    showPeaksUnmeasured();

    const bool truncated = info.channels > kListedChannels;
    const QString note = tr("This file has %1 channels; only the first %2 are listed. "
                            "A conversion always keeps the channels that are not listed.")
                             .arg(info.channels).arg(kListedChannels);
    for (QLabel *label : {ui.convertChannelsNote, ui.peakChannelsNote}) {
        label->setText(note);
        label->setVisible(truncated);
    }
}

void SoundFileWindow::fillTransport()
{
    const Transport *transport = m_document->transport();
    const SF_INFO &info = m_document->info();
    ui.playSlider->setMaximum(transport->sliderScale().maximum());
    ui.leftChannel->clear();
    ui.rightChannel->clear();
    const int listed = std::min(std::max(info.channels, 0), kListedChannels);
    for (int i = 0; i < listed; ++i) {
        ui.leftChannel->addItem(channelName(i));
        ui.rightChannel->addItem(channelName(i));
    }
    ui.leftChannel->setCurrentIndex(listed > 0 ? transport->outputChannel(true) : -1);
    ui.rightChannel->setCurrentIndex(listed > 0 ? transport->outputChannel(false) : -1);
    // libsndfile cannot seek in some codings (XI, GSM in WAV, ...): such a
    // file plays from its start only.
    ui.playSlider->setEnabled(info.seekable);
    ui.playSlider->setToolTip(info.seekable ? QString() : tr("This file's coding can only be played from its start."));
    showPlaying(transport->isPlaying());
    showPosition(transport->position());
}

void SoundFileWindow::showPosition(qint64 frame)
{
    // Never under the user's hand: the drag decides where playback goes.
    if (!ui.playSlider->isSliderDown()) {
        // Moving the slider from here must not read as the user seeking.
        const QSignalBlocker blocker(ui.playSlider);
        ui.playSlider->setValue(m_document->transport()->sliderScale().valueForFrame(frame));
    }
    const qint64 shown = m_document->transport()->sliderScale().frameForValue(ui.playSlider->value());
    ui.playPos->setText(playPosText(shown, m_document->info().samplerate));
}

void SoundFileWindow::showPlaying(bool playing)
{
    ui.playButton->setText(playing ? QStringLiteral("pause") : QStringLiteral("play"));
}

void SoundFileWindow::showPeaksUnmeasured()
{
    ui.peakTable->setModel(nullptr);
    ui.peakTable->hide();
    ui.peakProgress->hide();
    ui.peakNotYet->show();
    ui.peakCalculate->show();
    peakAction->setEnabled(true);
}

void SoundFileWindow::showPeakScanStarted()
{
    ui.peakProgress->setRange(0, 100);
    ui.peakProgress->setValue(0);
    ui.peakProgress->show();
    // Whatever started the scan (button or menu), the button goes: the
    // table replaces it.
    ui.peakCalculate->hide();
    peakAction->setEnabled(false);
}

void SoundFileWindow::showPeaks()
{
    // A scan that could not read the file leaves the tab as it was before;
    // its alert says why.
    if (!m_document->peakScan()->measured()) {
        showPeaksUnmeasured();
        return;
    }
    ui.peakProgress->hide();
    ui.peakNotYet->hide();
    m_peakModel->setPeaks(m_document->peakScan()->peaks());
    ui.peakTable->setModel(m_peakModel);
    ui.peakTable->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    ui.peakTable->show();
    showChannelNames();
}

void SoundFileWindow::showChannelNames()
{
    const ChannelNames naming = m_document->channelNames();
    for (QComboBox *popUp : {ui.leftChannel, ui.rightChannel})
        for (int i = 0; i < popUp->count(); ++i)
            popUp->setItemText(i, naming.label(i));
    m_convertModel->setNaming(naming);
    m_peakModel->setNaming(naming);
    // The column says nothing for a file that names no channel.
    const bool named = naming.namesAny(std::clamp(m_document->info().channels, 0, kListedChannels));
    for (QTableView *table : {ui.convertTable, ui.peakTable})
        table->setColumnHidden(ChannelTableSource::NameColumn, !named);
}

void SoundFileWindow::fillChunks()
{
    const auto &chunks = m_document->chunks();
    if (chunks)
        m_chunkModel->setChunks(*chunks);
    else
        m_chunkModel->clear();
    ui.chunkTable->horizontalHeader()->setSectionResizeMode(ChunkTableModel::IdColumn, QHeaderView::ResizeToContents);
    ui.chunkContents->setPlainText(chunks ? QString() : m_document->chunkError());
}

void SoundFileWindow::showChunkContents()
{
    const auto &chunks = m_document->chunks();
    const int row = ui.chunkTable->currentIndex().row();
    if (!chunks || row < 0)
        return;
    QFile file(m_document->fileURL().toLocalFile());
    if (!file.open(QIODevice::ReadOnly))
        return;
    ui.chunkContents->setPlainText(chunkContentsText(FdByteSource(file.handle()), *chunks, row));
}

void SoundFileWindow::showConversionLoses()
{
    if (m_filling || !m_document)
        return;
    const QStringList lost = m_document->conversionLoses();
    ui.convertNotCarried->setText(lost.isEmpty() ? QString() : tr("Not carried over: %1").arg(lost.join(QStringLiteral(", "))));
    ui.convertNotCarried->setVisible(!lost.isEmpty());
}
