// The iXML chunk as recorders write it: read into fields, each field edited
// with every byte outside its text kept, missing elements inserted in the
// file's own layout, and chunks that are not well-formed kept and refused.
#include "filelogic/IxmlChunk.h"

#include "RecorderTake.h"

#include <QTest>

using F = MetadataField;

namespace {

// The recorder's chunk with its layout changed.
QByteArray recorderChunk(const QByteArray &nl, const QByteArray &head = recorder::Layout().head,
                         const QByteArray &note = recorder::Layout().note, const QByteArray &extra = {})
{
    recorder::Layout layout;
    layout.nl = nl;
    layout.head = head;
    layout.note = note;
    layout.extra = extra;
    return recorder::ixml({QStringLiteral("Boom"), QStringLiteral("Lav Ü")}, layout);
}

const char *const kElements[] = {"PROJECT", "SCENE", "TAKE", "TAPE", "CIRCLED", "NOTE"};

void addRecorderRows()
{
    QTest::addColumn<QByteArray>("chunk");
    QTest::addColumn<QString>("note");
    const QString note = QStringLiteral("Wind & rain <3 é");
    QTest::newRow("indented, CR LF") << recorderChunk("\r\n") << note;
    QTest::newRow("one line") << recorderChunk({}) << note;
    QTest::newRow("byte-order mark") << recorderChunk("\n", "\xef\xbb\xbf<?xml version=\"1.0\"?>") << note;
    QTest::newRow("CDATA") << recorderChunk("\n", {}, "<NOTE><![CDATA[a <b> & c]]></NOTE>") << "a <b> & c";
    QTest::newRow("unknown elements, padding")
        << recorderChunk("\n", {}, "<NOTE/>", "\n<HISTORY><SCENE>old</SCENE></HISTORY><!-- x --><LOCATION a='1>2'/>")
               + QByteArray(40, '\0')
        << "";
    QTest::newRow("entity declared") << recorderChunk("\n", "<!DOCTYPE BWFXML [<!ENTITY rec \"Rec\">]>", "<NOTE>&rec; 1</NOTE>")
                                     << "Rec 1";
}

} // namespace

class TestIxmlChunk : public QObject
{
    Q_OBJECT

private slots:
    void readsRecorderChunks_data() { addRecorderRows(); }
    void readsRecorderChunks()
    {
        QFETCH(QByteArray, chunk);
        QFETCH(QString, note);
        const IxmlChunk read = readIxmlChunk(chunk);
        QVERIFY2(read.wellFormed && read.editable, qPrintable(read.problem));
        QCOMPARE(read.text(F::IxmlProject), QStringLiteral("Nächte 🎬"));
        QVERIFY(read.text(F::IxmlScene) == "12A" && read.text(F::IxmlTake) == "3" && read.text(F::IxmlTape) == "D01");
        QCOMPARE(read.text(F::IxmlCircled), QStringLiteral("FALSE"));
        QCOMPARE(read.text(F::IxmlNote), note);
        QVERIFY(read.trackCount == QStringLiteral("2") && read.timecodeRate == "25/1" && read.fileSampleRate == "48000");
        QCOMPARE(read.trackNames(), (TrackNames{{1, QStringLiteral("Boom")}, {2, QStringLiteral("Lav Ü")}}));
    }

    // Each field, and a track's name, edited to text that needs escaping:
    // the chunk changes only between that element's tags.
    void editChangesOnlyTheText_data()
    {
        QTest::addColumn<QByteArray>("chunk");
        QTest::addColumn<int>("field"); // a MetadataField, or -1 for track 2's name
        QTest::addColumn<QByteArray>("element");
        const QList<QPair<QByteArray, QByteArray>> chunks = {
            {"indented", recorderChunk("\r\n")},
            {"one line", recorderChunk({})},
            {"byte-order mark", recorderChunk("\n", "\xef\xbb\xbf")},
            {"CDATA note", recorderChunk("\n", {}, "<NOTE><![CDATA[a <b>]]></NOTE>")}};
        for (const auto &[name, chunk] : chunks) {
            for (int i = 0; i < 6; ++i)
                QTest::addRow("%s, %s", name.constData(), kElements[i]) << chunk << int(F::IxmlProject) + i << QByteArray(kElements[i]);
            QTest::addRow("%s, track 2", name.constData()) << chunk << -1 << QByteArray("NAME");
        }
    }
    void editChangesOnlyTheText()
    {
        QFETCH(QByteArray, chunk);
        QFETCH(int, field);
        QFETCH(QByteArray, element);
        const QString text = QStringLiteral("Ünï <&> 🎬 ]]> x\ry");
        IxmlEdits edits;
        if (field < 0)
            edits.trackNames[2] = text;
        else
            edits.fields[F(field)] = text;
        QString error;
        const std::optional<QByteArray> edited = editIxmlChunk(chunk, edits, &error);
        QVERIFY2(edited, qPrintable(error));
        // The content of the element edited (the second NAME for track 2).
        const qsizetype start = chunk.indexOf('<' + element + '>', field < 0 ? chunk.indexOf("Lav") - 10 : 0) + element.size() + 2;
        const qsizetype end = chunk.indexOf("</" + element + '>', start);
        QCOMPARE(*edited, chunk.left(start) + "\xc3\x9cn\xc3\xaf &lt;&amp;&gt; \xf0\x9f\x8e\xac ]]&gt; x&#13;y" + chunk.mid(end));
        const IxmlChunk read = readIxmlChunk(*edited);
        QCOMPARE(field < 0 ? read.trackNames().at(2) : read.text(F(field)), text.trimmed());
    }

    // Missing elements go before their parent's end tag, laid out as the
    // parent's other children are.
    void insertsMissingElements_data()
    {
        QTest::addColumn<QByteArray>("chunk");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("one line") << QByteArray("<BWFXML><SCENE>1</SCENE><TRACK_LIST><TRACK_COUNT>1</TRACK_COUNT>"
                                                "<TRACK><CHANNEL_INDEX>1</CHANNEL_INDEX></TRACK></TRACK_LIST></BWFXML>")
                                  << QByteArray("<BWFXML><SCENE>1</SCENE><TRACK_LIST><TRACK_COUNT>2</TRACK_COUNT>"
                                                "<TRACK><CHANNEL_INDEX>1</CHANNEL_INDEX><NAME>Boom</NAME></TRACK>"
                                                "<TRACK><CHANNEL_INDEX>3</CHANNEL_INDEX><INTERLEAVE_INDEX>3</INTERLEAVE_INDEX>"
                                                "<NAME>Mix</NAME></TRACK></TRACK_LIST><TAPE>T7</TAPE></BWFXML>");
        const QByteArray padding(2, '\0');
        QTest::newRow("indented, padded") << QByteArray("<BWFXML>\n  <SCENE>1</SCENE>\n</BWFXML>") + padding
                                             << QByteArray("<BWFXML>\n  <SCENE>1</SCENE>\n  <TAPE>T7</TAPE>\n  <TRACK_LIST>\n"
                                                           "    <TRACK_COUNT>2</TRACK_COUNT>\n    <TRACK>\n"
                                                           "      <CHANNEL_INDEX>1</CHANNEL_INDEX>\n"
                                                           "      <INTERLEAVE_INDEX>1</INTERLEAVE_INDEX>\n"
                                                           "      <NAME>Boom</NAME>\n    </TRACK>\n    <TRACK>\n"
                                                           "      <CHANNEL_INDEX>3</CHANNEL_INDEX>\n"
                                                           "      <INTERLEAVE_INDEX>3</INTERLEAVE_INDEX>\n"
                                                           "      <NAME>Mix</NAME>\n    </TRACK>\n  </TRACK_LIST>\n</BWFXML>")
                                                  + padding;
        QTest::newRow("empty elements") << QByteArray("<BWFXML><TAPE /><TRACK_LIST/></BWFXML>")
                                        << QByteArray("<BWFXML><TAPE >T7</TAPE><TRACK_LIST>"
                                                      "<TRACK><CHANNEL_INDEX>1</CHANNEL_INDEX><INTERLEAVE_INDEX>1</INTERLEAVE_INDEX>"
                                                      "<NAME>Boom</NAME></TRACK><TRACK><CHANNEL_INDEX>3</CHANNEL_INDEX>"
                                                      "<INTERLEAVE_INDEX>3</INTERLEAVE_INDEX><NAME>Mix</NAME></TRACK>"
                                                      "</TRACK_LIST></BWFXML>");
        QTest::newRow("empty root") << QByteArray("<BWFXML/>")
                                    << QByteArray("<BWFXML><TAPE>T7</TAPE><TRACK_LIST><TRACK_COUNT>2</TRACK_COUNT>"
                                                  "<TRACK><CHANNEL_INDEX>1</CHANNEL_INDEX><INTERLEAVE_INDEX>1</INTERLEAVE_INDEX>"
                                                  "<NAME>Boom</NAME></TRACK><TRACK><CHANNEL_INDEX>3</CHANNEL_INDEX>"
                                                  "<INTERLEAVE_INDEX>3</INTERLEAVE_INDEX><NAME>Mix</NAME></TRACK>"
                                                  "</TRACK_LIST></BWFXML>");
    }
    void insertsMissingElements()
    {
        QFETCH(QByteArray, chunk);
        QFETCH(QByteArray, expected);
        QString error;
        const IxmlEdits edits{{{F::IxmlTape, QStringLiteral("T7")}, {F::IxmlTake, QString()}},
                              {{1, QStringLiteral("Boom")}, {2, QString()}, {3, QStringLiteral("Mix")}}};
        QCOMPARE(editIxmlChunk(chunk, edits, &error).value_or(error.toUtf8()), expected);
    }

    // A file without iXML gets a minimal chunk only once a field is set.
    void newChunk()
    {
        QString error;
        const QByteArray made = editIxmlChunk({}, {{{F::IxmlScene, QStringLiteral("4")}}, {{2, QStringLiteral("Boom")}}}, &error).value_or("");
        const IxmlChunk read = readIxmlChunk(made);
        QVERIFY(made.startsWith("<?xml") && read.editable && read.text(F::IxmlScene) == "4");
        QCOMPARE(read.trackNames(), (TrackNames{{2, QStringLiteral("Boom")}}));
        // A control character has no place in XML.
        QVERIFY(!editIxmlChunk(made, {{{F::IxmlNote, QStringLiteral("bell \a")}}, {}}, &error) && !error.isEmpty());
    }

    // Chunks this program must not rewrite: what can be read is shown, an
    // edit is refused with the reason.
    void refusesWhatItCannotKeep_data()
    {
        QTest::addColumn<QByteArray>("chunk");
        QTest::addColumn<QString>("scene"); // as read
        QTest::addColumn<bool>("wellFormed");
        QTest::newRow("unclosed") << QByteArray("<BWFXML><SCENE>5</SCENE><TAKE>1</BWFXML>") << "5" << false;
        QTest::newRow("text after the root") << QByteArray("<BWFXML><SCENE>5</SCENE></BWFXML>junk") << "5" << false;
        QTest::newRow("Latin-1 as declared") << QByteArray("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><BWFXML><SCENE>\xe9</SCENE></BWFXML>")
                                             << "é" << true;
        QTest::newRow("UTF-16") << QByteArray("\xff\xfe<\0B\0/\0>\0", 10) << "" << true;
        QTest::newRow("element holding others") << QByteArray("<BWFXML><SCENE>5<X/></SCENE></BWFXML>") << "5" << true;
    }
    void refusesWhatItCannotKeep()
    {
        QFETCH(QByteArray, chunk);
        QFETCH(QString, scene);
        QFETCH(bool, wellFormed);
        const IxmlChunk read = readIxmlChunk(chunk);
        QVERIFY(read.wellFormed == wellFormed && read.text(F::IxmlScene) == scene);
        QString error;
        QVERIFY(!editIxmlChunk(chunk, {{{F::IxmlScene, QStringLiteral("6")}}, {}}, &error) && !error.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestIxmlChunk)
#include "tst_ixmlchunk.moc"
