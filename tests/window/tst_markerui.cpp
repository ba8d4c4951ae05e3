// The Markers tab and the markers on the overview: listed with their times,
// drawn as ticks and bands with their labels on hover, a click on one seeks,
// and a label edit saved keeps every other chunk of the file.
#include "ChunkFileBuilder.h"
#include "DocumentFixture.h"

#include "analysis/WaveformOverview.h"
#include "window/SoundFileWindow.h"
#include "window/WaveformView.h"

#include <QtTest>

#include <cmath>

using B = ChunkFileBuilder;

namespace {

constexpr int kRate = 8000;
constexpr quint32 kFrames = 16000;

// A quiet sine, 16-bit, in either byte order.
QByteArray tone(bool bigEndian)
{
    QByteArray samples;
    for (quint32 f = 0; f < kFrames; ++f) {
        const auto v = quint16(qint16(8000 * std::sin(f / 9.0)));
        samples += bigEndian ? B::be16(v) : B::le16(v);
    }
    return samples;
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

// Each chunk's bytes but those of one id (LISTs by type), in file order.
QByteArrayList chunksBut(const QString &path, const QByteArray &id)
{
    const QByteArray bytes = docfix::fileBytes(path);
    QString error;
    const std::optional<ChunkList> list = readChunkList(MemoryByteSource(bytes), &error);
    QByteArrayList out;
    for (qsizetype i = 0; list && i < list->chunks.size(); ++i) {
        const Chunk &c = list->chunks[i];
        if (c.depth == 0 && c.id != id && c.listType != id)
            out << bytes.mid(c.offset, c.totalSize());
    }
    return out;
}

} // namespace

class TestMarkerUi : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

    SoundFileWindow *open(const QString &name, const QByteArray &bytes)
    {
        const QString path = m_dir.filePath(name);
        return docfix::writeFileBytes(path, bytes) ? docfix::openWindow(path) : nullptr;
    }

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
    // the region or loop, the label where the mouse rests.
    void listedAndDrawn()
    {
        QFETCH(QByteArray, file);
        SoundFileWindow *w = open(QTest::currentDataTag(), file);
        QVERIFY(w && w->ui.tabView->indexOf(w->ui.Markers) >= 0);
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

        // A file without markers has no Markers tab.
        SoundFileWindow *plain = docfix::openWindow(m_dir, QStringLiteral("plain.wav"), docfix::spec(100));
        QCOMPARE(plain->ui.tabView->indexOf(plain->ui.Markers), -1);
    }

    void clickSeeksAndLabelsSave_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QByteArray>("labelChunk");
        QTest::newRow("WAV") << markedWave() << QByteArray("adtl");
        QTest::newRow("AIFF") << markedAiff() << QByteArray("MARK");
    }
    void clickSeeksAndLabelsSave()
    {
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, labelChunk);
        SoundFileWindow *w = open(QTest::currentDataTag(), file);
        SoundFile *doc = w->document();
        const QString path = doc->fileURL().toLocalFile();
        w->ui.tabView->setCurrentWidget(w->ui.Markers);
        QAbstractItemModel *model = w->ui.markerTable->model();
        const QModelIndex last = model->index(model->rowCount() - 1, 0);
        QTest::mouseClick(w->ui.markerTable->viewport(), Qt::LeftButton, {}, w->ui.markerTable->visualRect(last).center());
        QCOMPARE(doc->position(), qint64(14000));

        const QByteArrayList kept = chunksBut(path, labelChunk);
        QVERIFY(model->setData(model->index(0, 1), QStringLiteral("Opening – 1")));
        QVERIFY(doc->isDocumentEdited());
        QVERIFY(docfix::save(*doc));
        QCOMPARE(chunksBut(path, labelChunk), kept);
        QCOMPARE(model->index(0, 1).data().toString(), QStringLiteral("Opening – 1"));
        QCOMPARE(doc->markers().at(0).frame, qint64(2000));
    }
};

QTEST_MAIN(TestMarkerUi)
#include "tst_markerui.moc"
