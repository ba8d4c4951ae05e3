// Markers: what the readers make of cue/adtl and AIFF MARK/INST/COMT chunks,
// damaged ones included, and label edits that rebuild only the labels.
#include "ChunkFileBuilder.h"
#include "container/MarkerReader.h"
#include "rewrite/MarkerLabels.h"

#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

using B = ChunkFileBuilder;

namespace {

// One line per marker: "region 700+300 Bird|loud".
QStringList summary(const QList<Marker> &markers)
{
    static const char *const kinds[] = {"point", "region", "sustain", "release"};
    QStringList lines;
    for (const Marker &m : markers)
        lines << QStringLiteral("%1 %2%3 %4|%5")
                     .arg(kinds[int(m.kind)]).arg(m.frame)
                     .arg(m.length ? QStringLiteral("+%1").arg(m.length) : QString(), m.label, m.note);
    return lines;
}

QByteArray wave(const QByteArray &cue, const QList<QPair<QByteArray, QByteArray>> &adtl = {},
                ChunkContainer container = ChunkContainer::Wave)
{
    B b(container);
    b.add("fmt ", B::pcmFormat(1, 8000, 16)).add("cue ", cue);
    if (!adtl.isEmpty())
        b.add("LIST", B::list("adtl", adtl));
    return b.add("data", QByteArray(2000, '\0')).bytes();
}

// Empty INST and COMT chunks hold no loops and no comments.
QByteArray aiff(const QByteArray &mark, const QByteArray &inst = {}, const QByteArray &comt = {})
{
    return B(ChunkContainer::Aiff).add("COMM", B::aiffCommon(1, 1000, 16, 8000)).add("MARK", mark).add("INST", inst)
        .add("COMT", comt).add("SSND", QByteArray(2008, '\0')).bytes();
}

// INST with a sustain and a release loop: (play mode, start id, end id) each.
QByteArray inst(quint16 sustainMode, quint16 from, quint16 to, quint16 releaseMode, quint16 releaseFrom,
                quint16 releaseTo)
{
    return QByteArray(8, '\0') + B::be16(sustainMode) + B::be16(from) + B::be16(to) + B::be16(releaseMode)
        + B::be16(releaseFrom) + B::be16(releaseTo);
}

// Two cue points, labelled, one a region with a note.
const QByteArray twoCues = wave(B::cue({{1, 100}, {2, 700}}),
                                {{"labl", B::cueText(1, "Start")}, {"note", B::cueText(2, "loud")},
                                 {"labl", B::cueText(2, "Bird")}, {"ltxt", B::cueRegion(2, 300)}});
const QByteArray threeMarks = B::aiffMarkers({{1, 10}, {2, 40}, {3, 90}}, {"A", "Bb", "C"});

} // namespace

class TestMarkers : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    void reads_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("cue with labels, note and region") << twoCues << QStringList{"point 100 Start|", "region 700+300 Bird|loud"};
        QTest::newRow("RF64, unlabelled, by frame") << wave(B::cue({{4, 500}, {3, 50}}), {}, ChunkContainer::Rf64)
                                                   << QStringList{"point 50 |", "point 500 |"};
        const QByteArray comment = B::be16(2) + B::be32(0) + B::be16(3) + B::be16(5) + "hello" + '\0' + B::be32(0)
            + B::be16(3) + B::be16(2) + "no";
        QTest::newRow("AIFF markers, loops, comment") << aiff(threeMarks, inst(1, 1, 2, 2, 2, 3), comment)
            << QStringList{"point 10 A|", "sustain 10+30 Sustain loop|forward", "point 40 Bb|",
                           "release 40+50 Release loop|forward and backward", "point 90 C|hello"};
        // Damaged: more points and markers counted than held, an adtl entry
        // too short to name its point, a name cut by the chunk's end, a loop
        // naming a marker that does not exist.
        QTest::newRow("cut cue and adtl") << wave(B::cue({{1, 100}}).replace(0, 4, B::le32(9)),
                                                  {{"labl", B::cueText(1, "Kept")}, {"labl", B::le32(1).left(2)}})
                                          << QStringList{"point 100 Kept|"};
        QTest::newRow("cut MARK, loop without marker") << aiff(B::be16(3) + B::be16(1) + B::be32(5) + "\x05" "abc",
                                                               inst(1, 1, 9, 0, 0, 0))
                                                       << QStringList{"point 5 abc|"};
    }
    void reads()
    {
        QFETCH(QByteArray, file);
        QString error;
        const std::optional<ChunkList> list = readChunkList(MemoryByteSource(file), &error);
        QVERIFY2(list, qPrintable(error));
        QTEST(summary(readMarkers(MemoryByteSource(file), *list)), "expected");
    }

    void relabels_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<MarkerLabels>("labels");
        QTest::addColumn<QStringList>("expected"); // empty: refused
        QTest::newRow("renamed, note and region kept") << twoCues << MarkerLabels{{2, "Owl"}}
                                                       << QStringList{"point 100 Start|", "region 700+300 Owl|loud"};
        QTest::newRow("one cleared, one renamed") << twoCues << MarkerLabels{{1, ""}, {2, "Two"}}
                                            << QStringList{"point 100 |", "region 700+300 Two|loud"};
        QTest::newRow("first adtl list") << wave(B::cue({{5, 1}})) << MarkerLabels{{5, "New"}}
                                         << QStringList{"point 1 New|"};
        QTest::newRow("last label cleared") << wave(B::cue({{5, 1}}), {{"labl", B::cueText(5, "Old")}})
                                            << MarkerLabels{{5, ""}} << QStringList{"point 1 |"};
        QTest::newRow("AIFF names, loops kept") << aiff(threeMarks, inst(1, 1, 2, 0, 0, 0)) << MarkerLabels{{2, "Bee"}}
            << QStringList{"point 10 A|", "sustain 10+30 Sustain loop|forward", "point 40 Bee|", "point 90 C|"};
        QTest::newRow("two adtl lists refused") << B(ChunkContainer::Wave).add("fmt ", B::pcmFormat(1, 8000, 16))
                                                       .add("cue ", B::cue({{1, 1}})).add("LIST", B::list("adtl", {}))
                                                       .add("LIST", B::list("adtl", {})).add("data", "dd").bytes()
                                                << MarkerLabels{{1, "x"}} << QStringList{};
    }
    // The edit goes through the chunk writer (marker_fuzz checks that every
    // adtl entry but the labels keeps its bytes).
    void relabels()
    {
        QFETCH(QByteArray, file);
        QFETCH(MarkerLabels, labels);
        QFETCH(QStringList, expected);
        const QString in = m_dir.filePath(QTest::currentDataTag());
        QFile f(in);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(file) == file.size());
        f.close();
        QString error;
        const std::optional<ChunkPayload> edit = markerLabelEdit(in, labels, &error);
        QCOMPARE(edit.has_value(), !expected.isEmpty());
        if (!edit) {
            QVERIFY(!error.isEmpty());
            return;
        }
        const std::optional<ChunkList> list = readChunkList(MemoryByteSource(file), &error);
        const int source = ::open(QFile::encodeName(in).constData(), O_RDONLY);
        const int target = ::open(QFile::encodeName(in + ".new").constData(), O_RDWR | O_CREAT, 0600);
        const ChunkWriteResult written = writeChunks(source, *list, ChunkEdits{{}, {}, {*edit}}, target);
        QVERIFY2(written.status == ChunkWriteStatus::Ok, qPrintable(written.error));
        QCOMPARE(summary(readMarkers(FdByteSource(target), written.written)), expected);
        ::close(source);
        ::close(target);
    }
};

QTEST_GUILESS_MAIN(TestMarkers)
#include "tst_markers.moc"
