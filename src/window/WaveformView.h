// The waveform above the transport row: each shown channel's envelope
// (smallest and largest sample per column, channels stacked), the file's
// markers (a tick per point, a band per region or loop, the label on hover),
// the play position as a vertical line, and seeking by click and drag as the
// position slider does: the line follows the mouse, the document seeks on
// release.
//
// Mono and stereo files show every channel; wider ones the pair routed to
// the left and right outputs. The envelope is drawn one column per device
// pixel, so it stays sharp at any scale factor.
//
// Main thread only.
#pragma once

#include "analysis/WaveformOverview.h"

#include <QImage>
#include <QPointer>
#include <QWidget>

#include <optional>

class SoundFile;

class WaveformView : public QWidget
{
    Q_OBJECT

public:
    explicit WaveformView(QWidget *parent = nullptr);

    // Follows this document's overview, position and refills; asks it for
    // its overview, which starts the overview.
    void setDocument(SoundFile *document);
    // The file channels drawn, top to bottom.
    std::vector<int> shownChannels() const;
    // The frame a point x (logical pixels) stands for.
    qint64 frameAt(qreal x) const;
    // The device pixel column a frame is drawn in; -1 while nothing is drawn.
    int columnOf(qint64 frame) const;
    // What hovering at x shows: the label, time and note of the marker whose
    // tick is nearest (within a few pixels), else of a region under x.
    QString markerTextAt(qreal x) const;
    // The colour of marker ticks; their bands are a translucent shade of it.
    static QColor markerColour();

    QSize sizeHint() const override;

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    bool canSeek() const;
    // The frames the width stands for: the file's, or when its length is
    // unknown, those the overview has covered.
    qint64 totalFrames() const;
    void takeSnapshot();
    void showPosition(qint64 frame);
    void renderEnvelope(const QSize &devicePixels);
    void drawPositionLine(QPainter &painter, qint64 frame, qreal dpr) const;
    void drawMarkers(QPainter &painter, qreal dpr) const;

    QPointer<SoundFile> m_document;
    WaveformSnapshot m_snapshot;
    std::vector<int> m_shownChannels;
    // The envelope as last drawn, and what it was drawn from.
    QImage m_envelope;
    bool m_envelopeStale = true;
    qint64 m_position = 0;
    // Where a drag under way would seek to.
    std::optional<qint64> m_dragFrame;
};
