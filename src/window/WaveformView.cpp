#include "window/WaveformView.h"

#include "cli/MarkerReport.h"
#include "document/SoundFile.h"
#include "document/Transport.h"
#include "document/WaveformJob.h"

#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

#include <algorithm>
#include <cmath>

namespace {

// A sample value's row in a lane of `height` rows starting at `top`: +1.0 at
// the top row, -1.0 at the bottom one.
int rowFor(float value, int top, int height)
{
    const float v = std::clamp(std::isnan(value) ? 0.0f : value, -1.0f, 1.0f);
    return top + int(std::lround((1.0f - v) * 0.5f * float(height - 1)));
}

void fillRows(QImage &image, int x, int from, int to, QRgb colour)
{
    for (int y = std::min(from, to); y <= std::max(from, to); ++y)
        reinterpret_cast<QRgb *>(image.scanLine(y))[x] = colour;
}

} // namespace

WaveformView::WaveformView(QWidget *parent) : QWidget(parent)
{
    setMinimumHeight(80);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

QSize WaveformView::sizeHint() const
{
    return {400, 100};
}

void WaveformView::setDocument(SoundFile *document)
{
    m_document = document;
    if (!document)
        return;
    connect(document->waveform(), &WaveformJob::updated, this, [this] {
        takeSnapshot();
        update();
    });
    connect(document->transport(), &Transport::positionChanged, this, &WaveformView::showPosition);
    const auto fill = [this] {
        m_dragFrame.reset();
        setToolTip(m_document && !canSeek() ? tr("This file's coding can only be played from its start.") : QString());
        takeSnapshot();
        update();
    };
    connect(document, &SoundFile::refilled, this, fill);
    m_position = document->transport()->position();
    fill();
}

std::vector<int> WaveformView::shownChannels() const
{
    const int channels = m_document ? m_document->info().channels : 0;
    if (channels <= 2) {
        std::vector<int> all(size_t(std::max(channels, 0)));
        for (int c = 0; c < channels; ++c)
            all[size_t(c)] = c;
        return all;
    }
    const int left = m_document->transport()->outputChannel(true);
    const int right = m_document->transport()->outputChannel(false);
    return left == right ? std::vector<int>{left} : std::vector<int>{left, right};
}

bool WaveformView::canSeek() const
{
    // As the slider: a file libsndfile cannot seek in plays from its start.
    return m_document && !m_document->isClosed() && m_document->info().seekable;
}

qint64 WaveformView::totalFrames() const
{
    if (!m_document)
        return 0;
    const sf_count_t frames = m_document->info().frames;
    return frames == SF_COUNT_MAX ? m_snapshot.span : std::max<qint64>(frames, 0);
}

qint64 WaveformView::frameAt(qreal x) const
{
    const qint64 total = totalFrames();
    if (total <= 0 || width() <= 0)
        return 0;
    const double share = std::clamp(double(x) / double(width()), 0.0, 1.0);
    return std::min<qint64>(qint64(std::floor(share * double(total))), total);
}

void WaveformView::takeSnapshot()
{
    m_shownChannels = shownChannels();
    if (m_document && !m_document->isClosed())
        m_snapshot = m_document->waveform()->snapshot(m_shownChannels);
    m_envelopeStale = true;
}

void WaveformView::showPosition(qint64 frame)
{
    m_position = frame;
    update();
}

void WaveformView::renderEnvelope(const QSize &devicePixels)
{
    QImage image(devicePixels, QImage::Format_RGB32);
    image.fill(palette().color(QPalette::Base));
    const int lanes = std::max(1, int(m_snapshot.minima.size()));
    const QRgb wave = palette().color(QPalette::Highlight).rgb();
    const QRgb axis = palette().color(QPalette::Midlight).rgb();
    const QRgb separator = palette().color(QPalette::Mid).rgb();
    const int w = image.width();
    const int h = image.height();
    const qint64 total = totalFrames();
    for (int lane = 0; lane < lanes && h >= lanes; ++lane) {
        const int top = lane * h / lanes;
        const int height = (lane + 1) * h / lanes - top;
        std::fill_n(reinterpret_cast<QRgb *>(image.scanLine(rowFor(0.0f, top, height))), w, axis);
        if (lane > 0)
            std::fill_n(reinterpret_cast<QRgb *>(image.scanLine(top)), w, separator);
        if (size_t(lane) >= m_snapshot.minima.size() || total <= 0)
            continue;
        const std::vector<float> &lo = m_snapshot.minima[size_t(lane)];
        const std::vector<float> &hi = m_snapshot.maxima[size_t(lane)];
        const int filled = std::min(m_snapshot.filled, int(lo.size()));
        for (int x = 0; x < w; ++x) {
            // The buckets under this column's frames.
            const auto first = qint64(static_cast<__int128>(x) * total / w);
            const auto end = qint64(static_cast<__int128>(x + 1) * total / w);
            const int b0 = m_snapshot.bucketOf(first);
            if (b0 >= filled)
                break;
            const int b1 = std::min(m_snapshot.bucketOf(std::max(first, end - 1)), filled - 1);
            const float low = *std::min_element(lo.begin() + b0, lo.begin() + b1 + 1);
            const float high = *std::max_element(hi.begin() + b0, hi.begin() + b1 + 1);
            fillRows(image, x, rowFor(high, top, height), rowFor(low, top, height), wave);
        }
    }
    image.setDevicePixelRatio(devicePixelRatioF());
    m_envelope = image;
    m_envelopeStale = false;
}

int WaveformView::columnOf(qint64 frame) const
{
    const qint64 total = totalFrames();
    const int w = qRound(width() * devicePixelRatioF());
    if (total <= 0 || w <= 0)
        return -1;
    return int(std::clamp<qint64>(qint64(static_cast<__int128>(frame) * w / total), 0, w - 1));
}

QColor WaveformView::markerColour()
{
    return QColor(0xe0, 0x8c, 0x00);
}

void WaveformView::drawPositionLine(QPainter &painter, qint64 frame, qreal dpr) const
{
    const int column = columnOf(frame);
    if (column < 0)
        return;
    // Through the middle of one device pixel column: one sharp pixel wide.
    const qreal x = (column + 0.5) / dpr;
    painter.setPen(QPen(QColor(0xd0, 0x30, 0x20), 0));
    painter.drawLine(QLineF(x, 0, x, height()));
}

void WaveformView::drawMarkers(QPainter &painter, qreal dpr) const
{
    if (!m_document || columnOf(0) < 0)
        return;
    QColor band = markerColour();
    band.setAlpha(56);
    painter.setPen(QPen(markerColour(), 0));
    for (const Marker &m : m_document->markers()) {
        // A marker beyond the end (a damaged cue) has nowhere to go.
        if (m.frame > totalFrames())
            continue;
        const int column = columnOf(m.frame);
        if (m.length > 0) {
            const int end = columnOf(std::min(m.frame + m.length, totalFrames()));
            painter.fillRect(QRectF(column / dpr, 0, (end - column + 1) / dpr, height()), band);
        }
        const qreal x = (column + 0.5) / dpr;
        painter.drawLine(QLineF(x, 0, x, height()));
    }
}

QString WaveformView::markerTextAt(qreal x) const
{
    if (!m_document || columnOf(0) < 0)
        return {};
    const qreal dpr = devicePixelRatioF();
    constexpr qreal kReach = 4; // logical pixels either side of a tick
    const Marker *nearest = nullptr;
    const Marker *under = nullptr;
    qreal best = kReach;
    for (const Marker &m : m_document->markers()) {
        if (m.frame > totalFrames())
            continue;
        const qreal distance = std::abs((columnOf(m.frame) + 0.5) / dpr - x);
        if (distance < best) {
            best = distance;
            nearest = &m;
        }
        if (!under && m.length > 0 && x >= columnOf(m.frame) / dpr && x <= (columnOf(m.frame + m.length) + 1) / dpr)
            under = &m;
    }
    const Marker *m = nearest ? nearest : under;
    if (!m)
        return {};
    const QString time = markerTimeText(*m, m_document->info().samplerate);
    QString text = m->label.isEmpty() ? time : tr("%1 (%2)").arg(m->label, time);
    if (!m->note.isEmpty())
        text += u'\n' + m->note;
    return text;
}

bool WaveformView::event(QEvent *event)
{
    if (event->type() == QEvent::ToolTip) {
        const auto *help = static_cast<QHelpEvent *>(event);
        if (const QString text = markerTextAt(help->pos().x()); !text.isEmpty()) {
            QToolTip::showText(help->globalPos(), text, this);
            return true;
        }
    }
    return QWidget::event(event);
}

void WaveformView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const qreal dpr = devicePixelRatioF();
    const QSize device(qRound(width() * dpr), qRound(height() * dpr));
    // The routed pair may have changed since the last snapshot.
    if (shownChannels() != m_shownChannels)
        takeSnapshot();
    if (m_envelopeStale || m_envelope.size() != device || m_envelope.devicePixelRatio() != dpr)
        renderEnvelope(device);
    painter.drawImage(QPointF(0, 0), m_envelope);
    drawMarkers(painter, dpr);
    drawPositionLine(painter, m_dragFrame.value_or(m_position), dpr);
}

void WaveformView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || !canSeek()) {
        event->ignore();
        return;
    }
    m_dragFrame = frameAt(event->position().x());
    update();
}

void WaveformView::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_dragFrame || !(event->buttons() & Qt::LeftButton)) {
        event->ignore();
        return;
    }
    m_dragFrame = frameAt(event->position().x());
    update();
}

void WaveformView::mouseReleaseEvent(QMouseEvent *event)
{
    if (!m_dragFrame || event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    // Seeks once, where the mouse let go, as the slider does.
    const qint64 frame = frameAt(event->position().x());
    m_dragFrame.reset();
    if (canSeek())
        m_document->transport()->seekToFrame(frame);
    update();
}
