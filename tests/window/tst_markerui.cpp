// The Markers tab and the markers on the overview: listed with their times,
// drawn as ticks and bands with their labels on hover; a click on one seeks
// and a label typed into the table is the document's (tst_chunksave saves
// one).
#include "ChunkFileBuilder.h"
#include "DocumentFixture.h"

#include "analysis/WaveformOverview.h"
#include "document/Transport.h"
#include "window/SoundFileWindow.h"
#include "window/WaveformView.h"

#include <QtTest>

using B = ChunkFileBuilder;

namespace {

constexpr int kRate = 8000;
constexpr quint32 kFrames = 16000;

// A quiet 16-bit square wave at half the rate, in either byte order.
QByteArray tone(bool bigEndian)
{
    return QByteArray(bigEndian ? "\x20\0\xe0\0" : "\0\x20\0\xe0", 4).repeated(kFrames / 2);
}

// Cue points at 0.25 s, 1 s (a half-second region) and 1.75 s among the
// chunks a recorder writes.
QByteArray markedWave()
{
    return B().add("fmt ", B::pcmFormat(1, kRate, 16))
        .add("bext", B::bext("Take 1"))
        .add("cue ", B::cue({{1, 2000}, {2, 8000}, {3, 14000}}))
        .add("LIST", B::list("adtl", {{"labl", B::cueText(1, "Intro")}, {"note", B::cueText(2, "take 2")},
                                      {"labl", B::cueText(2, "Verse")}, {"ltxt", B::cueRegion(2, 4000)}}))
        .add("data", tone(false))
        .add("JUNK", "odd")
        .bytes();
}

// The same marks in an AIFF, the first two bounding a sustain loop.
QByteArray markedAiff()
{
    return B(ChunkContainer::Aiff).add("COMM", B::aiffCommon(1, kFrames, 16, kRate))
        .add("MARK", B::aiffMarkers({{1, 2000}, {2, 8000}, {3, 14000}}, {"A", "B", "C"}))
        .add("INST", QByteArray(8, '\0') + B::be16(1) + B::be16(1) + B::be16(2) + QByteArray(6, '\0'))
        .add("SSND", QByteArray(8, '\0') + tone(true))
        .bytes();
}

QStringList tableRows(const QAbstractItemModel *model)
{
    QStringList rows;
    for (int r = 0; r < model->rowCount(); ++r) {
        QStringList cells;
        for (int c = 0; c < model->columnCount(); ++c)
            cells << model->index(r, c).data().toString();
        rows << cells.join(u'|');
    }
    return rows;
}

} // namespace

class TestMarkerUi : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    void cleanup() { docfix::closeAllDocuments(); }

    void listedAndDrawn_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QStringList>("rows");
        QTest::newRow("WAV") << markedWave() << QStringList{"00:00:00.250|Intro||", "00:00:01.000|Verse|take 2|00:00:00.500",
                                                            "00:00:01.750|||"};
        QTest::newRow("AIFF") << markedAiff() << QStringList{"00:00:00.250|A||", "00:00:00.250|Sustain loop|forward|00:00:00.750",
                                                             "00:00:01.000|B||", "00:00:01.750|C||"};
    }
    // A tick in each marker's column from top to bottom, a tinted band over
    // the region or loop, the label where the mouse rests; a click on the
    // last marker seeks there, a label edit marks the document edited.
    void listedAndDrawn()
    {
        QFETCH(QByteArray, file);
        QVERIFY(docfix::writeFileBytes(m_dir.filePath(QTest::currentDataTag()), file));
        SoundFileWindow *w = docfix::openWindow(m_dir.filePath(QTest::currentDataTag()));
        QVERIFY(w->ui.tabView->indexOf(w->ui.Markers) >= 0);
        QTEST(tableRows(w->ui.markerTable->model()), "rows");
        QCOMPARE(w->ui.markerTable->accessibleName(), QStringLiteral("Markers"));
        WaveformView *view = w->ui.waveformView;
        w->document()->waveform()->waitForFinished();
        const QImage image = view->grab().toImage();
        const QRgb tick = WaveformView::markerColour().rgb();
        const QRgb base = view->palette().color(QPalette::Base).rgb();
        QList<int> ticks;
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, 0) == tick && image.pixel(x, image.height() - 1) == tick)
                ticks << x;
        QCOMPARE(ticks, QList<int>({view->columnOf(2000), view->columnOf(8000), view->columnOf(14000)}));
        const int inBand = view->columnOf(file.startsWith("RIFF") ? 10000 : 5000);
        QVERIFY(image.pixel(inBand, 0) != base && image.pixel(inBand, 0) != tick);
        QCOMPARE(image.pixel(view->columnOf(12500), 0), base);
        QVERIFY(view->markerTextAt(view->columnOf(2000) + 2).startsWith(file.startsWith("RIFF") ? "Intro (00:00:00.250)" : "A ("));
        QVERIFY(view->markerTextAt(inBand).contains(file.startsWith("RIFF") ? "Verse" : "Sustain loop"));
        QCOMPARE(view->markerTextAt(view->columnOf(12500)), QString());
        w->ui.tabView->setCurrentWidget(w->ui.Markers);
        QVERIFY(w->grab().save(fixtures::artifactsDir() + QStringLiteral("/markers-%1.png").arg(QTest::currentDataTag())));

        QAbstractItemModel *model = w->ui.markerTable->model();
        const QRect last = w->ui.markerTable->visualRect(model->index(model->rowCount() - 1, 0));
        QTest::mouseClick(w->ui.markerTable->viewport(), Qt::LeftButton, {}, last.center());
        QCOMPARE(w->document()->transport()->position(), qint64(14000));
        QVERIFY(model->setData(model->index(0, 1), QStringLiteral("Opening")));
        QVERIFY(w->document()->isDocumentEdited() && w->document()->markers().at(0).label == "Opening");

        // A file without markers has no Markers tab.
        SoundFileWindow *plain = docfix::openWindow(m_dir, QStringLiteral("plain.wav"), docfix::spec(100));
        QCOMPARE(plain->ui.tabView->indexOf(plain->ui.Markers), -1);
    }
};

QTEST_MAIN(TestMarkerUi)
#include "tst_markerui.moc"
