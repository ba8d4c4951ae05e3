// The waveform above the transport row: what it draws, seeking with the
// mouse as the slider does, the routed pair of a wide file, and the overview
// restarting after a save (the jobs' tests stop it by closing).
#include "DocumentFixture.h"

#include "analysis/WaveformOverview.h"
#include "document/SoundFile.h"
#include "window/SoundFileWindow.h"
#include "window/WaveformView.h"

#include <QSignalSpy>
#include <QtTest>

#include <cmath>

namespace {

constexpr sf_count_t kFrames = 88200;

// Rising on channel 0, falling on 1, silent beyond.
double rampSample(sf_count_t f, int c)
{
    const double share = double(f) / double(kFrames);
    return (c == 0 ? share : c == 1 ? 1.0 - share : 0.0) * std::sin(double(f) / 7.0);
}

// Pixels of one colour in a column between two rows (the second excluded).
int pixelsInColumn(const QImage &image, int x, int fromY, int toY, QRgb colour)
{
    int n = 0;
    for (int y = fromY; y < toY; ++y)
        n += image.pixel(x, y) == colour;
    return n;
}

int pixelsInRows(const QImage &image, int fromY, int toY, QRgb colour)
{
    int n = 0;
    for (int x = 0; x < image.width(); ++x)
        n += pixelsInColumn(image, x, fromY, toY, colour);
    return n;
}

} // namespace

class TestWaveform : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    SoundFileWindow *open(const QString &name, const fixtures::Spec &spec)
    {
        SoundFileWindow *w = docfix::openWindow(docfix::make(m_dir, name, spec, rampSample));
        w->document()->waveform()->waitForFinished();
        return w;
    }

private slots:
    void cleanup() { docfix::closeAllDocuments(); }

    void drawsEnvelopesAndThePlayPosition()
    {
        SoundFileWindow *w = open(QStringLiteral("ramp.wav"), docfix::spec(kFrames));
        WaveformView *view = w->ui.waveformView;
        QVERIFY(view->height() >= 80 && view->y() < w->ui.playSlider->y());
        QCOMPARE(view->accessibleName(), QStringLiteral("Waveform"));
        w->document()->transport()->seekToFrame(kFrames / 3);
        const QImage image = view->grab().toImage();
        const QRgb wave = view->palette().color(QPalette::Highlight).rgb();
        const QRgb base = view->palette().color(QPalette::Base).rgb();
        const int width = image.width(), half = image.height() / 2;
        // Channel 0 on top grows from left to right, channel 1 below shrinks.
        QVERIFY(pixelsInColumn(image, width / 10, 0, half, wave) * 3 < pixelsInColumn(image, width * 9 / 10, 0, half, wave));
        QVERIFY(pixelsInColumn(image, width / 10, half, 2 * half, wave) > 3 * pixelsInColumn(image, width * 9 / 10, half, 2 * half, wave));
        // The play position: one column of its own colour, from top to bottom.
        const int line = int(qint64(width) * (kFrames / 3) / kFrames);
        const QRgb lineColour = image.pixel(line, 1);
        QVERIFY(lineColour != base && lineColour != wave);
        QCOMPARE(pixelsInColumn(image, line, 0, image.height(), lineColour), image.height());
        QVERIFY(image.pixel(line - 1, 1) == base && image.pixel(line + 1, 1) == base);
        QVERIFY(w->grab().save(fixtures::artifactsDir() + QStringLiteral("/waveform.png")));
    }

    void seeksLikeTheSlider_data()
    {
        QTest::addColumn<int>("format");
        QTest::newRow("pcm") << (SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        // GSM in WAV cannot seek: the overview is whole, the mouse moves nothing.
        QTest::newRow("gsm") << (SF_FORMAT_WAV | SF_FORMAT_GSM610);
    }
    void seeksLikeTheSlider()
    {
        QFETCH(int, format);
        SoundFileWindow *w = open(QStringLiteral("seek.wav"), docfix::spec(kFrames, 1, format, 8000));
        SoundFile *doc = w->document();
        WaveformView *view = w->ui.waveformView;
        const WaveformSnapshot s = doc->waveform()->snapshot({0});
        QVERIFY(s.complete && s.filled == s.planned && s.planned > 0);
        const bool seekable = doc->info().seekable;
        QCOMPARE(seekable, format != (SF_FORMAT_WAV | SF_FORMAT_GSM610));
        const int width = view->width(), y = view->height() / 2;
        // Within a bucket (and a pixel) of where the mouse is.
        const auto near = [&](double share) {
            return seekable ? std::abs(doc->transport()->position() - qint64(share * kFrames)) <= kFrames / s.planned + kFrames / width + 1
                            : doc->transport()->position() == 0;
        };
        QTest::mousePress(view, Qt::LeftButton, {}, QPoint(width / 4, y));
        QTest::mouseMove(view, QPoint(width / 2, y));
        QCOMPARE(doc->transport()->position(), 0);
        // The line follows the drag (its top row is above a half-loud signal).
        const QImage image = view->grab().toImage();
        const QRgb base = view->palette().color(QPalette::Base).rgb();
        bool line = false;
        for (int x = image.width() / 2 - 2; x < image.width() / 2 + 2; ++x)
            line = line || image.pixel(x, 1) != base;
        QCOMPARE(line, seekable);
        QTest::mouseRelease(view, Qt::LeftButton, {}, QPoint(width / 2, y));
        QVERIFY2(near(0.5), qPrintable(QString::number(doc->transport()->position())));
        QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(width * 3 / 4, y));
        QVERIFY2(near(0.75), qPrintable(QString::number(doc->transport()->position())));
    }

    // Four channels: the pair routed to the outputs, channel 3 silent.
    void wideFilesShowTheRoutedPair()
    {
        SoundFileWindow *w = open(QStringLiteral("quad.wav"), docfix::spec(kFrames, 4));
        WaveformView *view = w->ui.waveformView;
        const QRgb wave = view->palette().color(QPalette::Highlight).rgb();
        QCOMPARE(view->shownChannels(), std::vector<int>({0, 1}));
        const QSize size = view->grab().toImage().size();
        QVERIFY(pixelsInRows(view->grab().toImage(), size.height() / 2, size.height(), wave) > 10 * size.width());
        w->ui.rightChannel->setCurrentIndex(3);
        QCOMPARE(view->shownChannels(), std::vector<int>({0, 3}));
        // Silence: one pixel a column, on the zero line.
        QVERIFY(pixelsInRows(view->grab().toImage(), size.height() / 2, size.height(), wave) <= size.width());
    }

    void restartsAfterASave()
    {
        SoundFileWindow *w = open(QStringLiteral("save.wav"), docfix::spec(kFrames));
        SoundFile *doc = w->document();
        QSignalSpy finished(doc->waveform(), &WaveformJob::finished);
        doc->setText(MetadataField::Title, QStringLiteral("saved"));
        QVERIFY(docfix::save(*doc));
        doc->waveform()->waitForFinished();
        QCOMPARE(finished.count(), 1);
        QVERIFY(doc->waveform()->snapshot({0}).complete);
    }
};

QTEST_MAIN(TestWaveform)
#include "tst_waveform.moc"
