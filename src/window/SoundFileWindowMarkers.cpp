// The Markers tab: the document's markers in a table whose labels can be
// edited, and a click on a marker moves playback there. The tab is shown
// only for a file that has markers: they cannot be added here, so an empty
// table would offer nothing to do.
#include "window/SoundFileWindow.h"

#include "document/Transport.h"
#include "window/MarkerTableModel.h"

#include <QHeaderView>

void SoundFileWindow::connectMarkers()
{
    m_markersPage = ui.Markers;
    m_markerModel = new MarkerTableModel(this);
    ui.markerTable->setModel(m_markerModel);
    ui.markerTable->setToolTip(tr("Click a marker to play from there; double-click a label to edit it."));
    SoundFile *doc = m_document;
    connect(m_markerModel, &MarkerTableModel::labelEdited, doc, &SoundFile::setMarkerLabel);
    const auto seek = [this, doc](const QModelIndex &index) {
        if (index.isValid() && doc->info().seekable)
            doc->transport()->seekToFrame(m_markerModel->marker(index.row()).frame);
    };
    connect(ui.markerTable, &QAbstractItemView::clicked, this, seek);
    connect(ui.markerTable, &QAbstractItemView::activated, this, seek);
}

void SoundFileWindow::fillMarkers()
{
    const QList<Marker> &markers = m_document->markers();
    m_markerModel->setMarkers(markers, m_document->info().samplerate);
    const int chunks = ui.tabView->indexOf(m_chunksPage);
    setTabPresent(m_markersPage, chunks >= 0 ? chunks : ui.tabView->count(), !markers.isEmpty());
    // The times keep their width; label and note share the rest.
    QHeaderView *header = ui.markerTable->horizontalHeader();
    for (int column = 0; column < MarkerTableModel::ColumnCount; ++column) {
        const bool text = column == MarkerTableModel::LabelColumn || column == MarkerTableModel::NoteColumn;
        header->setSectionResizeMode(column, text ? QHeaderView::Stretch : QHeaderView::ResizeToContents);
    }
    ui.markerTable->verticalHeader()->setDefaultSectionSize(ui.markerTable->fontMetrics().height() + 8);
}
