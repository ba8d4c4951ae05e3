#include "window/IxmlTab.h"

#include "document/SoundFile.h"
#include "filelogic/ContainerTable.h"
#include "filelogic/FileText.h"
#include "filelogic/IxmlChunk.h"
#include "cli/IxmlCheck.h"
#include "window/FieldControls.h"
#include "window/TrackTableModel.h"
#include "ui_SoundFile.h"

#include <QHeaderView>
#include <QStringDecoder>

namespace {

using F = MetadataField;

bool isTrue(const QString &text)
{
    return text.compare(QLatin1String("TRUE"), Qt::CaseInsensitive) == 0;
}

// "25/1 NDF · file 48000 Hz"
QString speedText(const IxmlChunk &chunk)
{
    QStringList parts;
    if (!chunk.timecodeRate.isEmpty() || !chunk.timecodeFlag.isEmpty())
        parts << QStringList{chunk.timecodeRate, chunk.timecodeFlag}.join(u' ').trimmed();
    if (!chunk.fileSampleRate.isEmpty())
        parts << IxmlTab::tr("file %1 Hz").arg(chunk.fileSampleRate);
    return parts.join(QStringLiteral(" · "));
}

// The chunk as text in the encoding it has (UTF-16 has a byte-order mark).
QString chunkText(const QByteArray &payload)
{
    const std::optional<QStringConverter::Encoding> encoding = QStringConverter::encodingForData(payload);
    if (!encoding || *encoding == QStringConverter::Utf8)
        return decodeFileText(payload);
    QStringDecoder decode(*encoding);
    return decode(payload);
}

} // namespace

IxmlTab::IxmlTab(Ui::SoundFile &ui, SoundFile *document, QObject *parent)
    : QObject(parent), m_ui(ui), m_document(document), m_page(ui.iXML), m_tracks(new TrackTableModel(document, this))
{
    ui.ixmlTrackTable->setModel(m_tracks);
    connect(ui.ixmlCircled, &QCheckBox::toggled, this, &IxmlTab::circledToggled);
    connect(m_tracks, &TrackTableModel::trackRenamed, this, &IxmlTab::trackNamesEdited);
}

void IxmlTab::fill()
{
    SoundFile *doc = m_document;
    if (!doc)
        return;
    const bool offered = formatOffersIxml(doc->info().format);
    QTabWidget *tabs = m_ui.tabView;
    if (!offered && tabs->indexOf(m_page) >= 0)
        tabs->removeTab(tabs->indexOf(m_page));
    else if (offered && tabs->indexOf(m_page) < 0)
        tabs->insertTab(tabs->indexOf(m_ui.BEXT) + 1, m_page, m_page->objectName());

    const std::optional<QByteArray> &payload = doc->metadataAsRead().ixml;
    const IxmlChunk chunk = readIxmlChunk(payload.value_or(QByteArray()));
    const bool editable = offered && chunk.editable;
    m_ui.ixmlSpeed->setText(speedText(chunk));
    m_ui.ixmlFileUid->setText(chunk.fileUid);
    m_ui.ixmlUbits->setText(chunk.ubits);
    for (F field : {F::IxmlProject, F::IxmlScene, F::IxmlTake, F::IxmlTape, F::IxmlNote})
        if (!chunk.editable)
            fieldControl(m_ui, field)->setProperty("readOnly", true);
    m_filling = true;
    m_circledAsRead = chunk.text(F::IxmlCircled);
    m_ui.ixmlCircled->setChecked(isTrue(doc->text(F::IxmlCircled)));
    m_ui.ixmlCircled->setEnabled(editable);
    m_filling = false;
    m_tracks->refill(chunk, editable);
    m_ui.ixmlTrackTable->horizontalHeader()->setSectionResizeMode(TrackTableModel::ChannelColumn, QHeaderView::ResizeToContents);

    QStringList warnings;
    if (!chunk.problem.isEmpty())
        warnings << tr("This iXML chunk is kept as it is, and its fields cannot be edited: %1.").arg(chunk.problem);
    for (const MetadataFinding &finding : chunk.wellFormed ? checkIxml(doc->metadataAsRead(), doc->info()) : QList<MetadataFinding>())
        warnings << finding.message.at(0).toUpper() + finding.message.mid(1) + u'.';
    m_ui.ixmlWarning->setText(warnings.join(u'\n'));
    m_ui.ixmlWarning->setVisible(!warnings.isEmpty());
    // A chunk that cannot be taken apart is shown whole.
    m_ui.ixmlText->setPlainText(chunk.editable ? QString() : chunkText(payload.value_or(QByteArray())));
    m_ui.ixmlText->setVisible(!chunk.editable);
}

void IxmlTab::circledToggled(bool checked)
{
    // Unticked, a box that was ticked says FALSE; one that was not ticked
    // keeps what the file had, nothing included.
    if (!m_filling && m_document)
        m_document->setText(F::IxmlCircled, checked ? QStringLiteral("TRUE")
                                                    : isTrue(m_circledAsRead) ? QStringLiteral("FALSE") : m_circledAsRead);
}
