// The command line: its options and exit statuses, and what --info / --peak
// print as text and as JSON, in the library and in the built program.
#include "container/SoundFileOpen.h"
#include "cli/CommandLine.h"
#include "cli/FileReport.h"

#include "ChunkFileBuilder.h"
#include "CommandRun.h"
#include "Fixtures.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

#include <sys/stat.h>

#include <cmath>

Q_DECLARE_METATYPE(CommandLineMode)

namespace {


QJsonValue json(const QStringList &args)
{
    const QJsonDocument doc = QJsonDocument::fromJson(runWavquill(QStringList{"--json"} + args).out.toUtf8());
    return doc.isArray() ? QJsonValue(doc.array()) : QJsonValue(doc.object());
}

} // namespace

class TestCommandLine : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

    QString makeFile(const QString &name, fixtures::Spec spec, const fixtures::Generator &gen = fixtures::sineSample)
    {
        spec.frames = spec.frames ? spec.frames : 4800;
        return fixtures::write(m_dir.filePath(name), spec, gen) ? m_dir.filePath(name) : QString();
    }

private slots:
    void options_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<CommandLineMode>("mode");
        QTest::addColumn<QString>("set"); // i: --info, p: --peak, j: --json
        QTest::addColumn<QStringList>("files");
        auto row = [](const char *name, const QStringList &args, CommandLineMode mode, const char *set,
                      const QStringList &files) { QTest::newRow(name) << args << mode << set << files; };
        using M = CommandLineMode;
        row("nothing", {}, M::Gui, "", {});
        row("help wins", {"--version", "--info", "--help"}, M::Help, "i", {});
        row("version", {"--info", "x", "--version"}, M::Version, "i", {"x"});
        row("all three among files", {"a", "--json", "--peak", "--info", "b"}, M::Inspect, "ipj", {"a", "b"});
        row("json alone", {"--json", "a"}, M::UsageError, "j", {"a"});
        row("files only after --", {"--peak", "--"}, M::UsageError, "p", {});
        row("-- ends options", {"--", "--info", "--help"}, M::Gui, "", {"--info", "--help"});
        row("second -- is a file", {"--info", "--", "--peak", "--"}, M::Inspect, "i", {"--peak", "--"});
        row("unknown option left to Qt", {"-x", "a"}, M::Gui, "", {"a"});
        row("unknown option with --info", {"--info", "--infox", "a"}, M::UsageError, "i", {"a"});
        row("completion words of no kind", {"--completion-words", "x"}, M::UsageError, "", {});
        row("chunk id too long", {"--export-chunk", "iXMLs", "a"}, M::UsageError, "", {"a"});
        row("chunk of two files", {"--export-chunk", "iXML", "a", "b"}, M::UsageError, "", {"a", "b"});
        row("import without a path", {"--import-chunk", "iXML", "a"}, M::UsageError, "", {"a"});
    }
    // Parsed, and carried out: the files named here do not exist.
    void options()
    {
        QFETCH(QStringList, args);
        QFETCH(CommandLineMode, mode);
        QFETCH(QString, set);
        const CommandLineOptions o = parseCommandLine(args);
        QCOMPARE(o.mode, mode);
        QCOMPARE(QString(o.info ? "i" : "") + (o.peak ? "p" : "") + (o.json ? "j" : ""), set);
        QTEST(o.files, "files");
        QCOMPARE(o.error.isEmpty(), mode != CommandLineMode::UsageError);

        const CommandRun r = runWavquill(args);
        const int status[] = {kStartGui, 0, 0, 1, 2}; // Gui, Help, Version, Inspect, UsageError
        QCOMPARE(r.status, status[int(mode)]);
        QCOMPARE(r.err.isEmpty() && (mode != CommandLineMode::Gui || r.out.isEmpty()), r.status <= 0);
        if (mode == CommandLineMode::UsageError)
            QVERIFY(r.err.startsWith("wavquill: " + o.error + '\n'));
        if (mode == CommandLineMode::Help || mode == CommandLineMode::Version)
            QCOMPARE(r.out, mode == CommandLineMode::Help ? commandLineUsage() : "WavQuill " WAVQUILL_VERSION "\n");
    }

    void fieldsAsTheFileHoldsThem()
    {
        fixtures::Spec spec{SF_FORMAT_WAV | SF_FORMAT_PCM_24, 2, 48000, 0, {}, {}};
        spec.strings[SF_STR_TITLE - 1] = QByteArray("Gr\xc3\xbc\xc3\x9f" "e");
        spec.bext = fixtures::bextRecord("A description", "Originator", "REF-1", "2024-05-06", "07:08:09",
                                         quint64(3600) * 48000 + 5, 1, "UMIDTEXT", "A=PCM,F=48000\r\n\r\nA=PCM\r\n");
        const QString bwf = makeFile("bwf.wav", spec);
        const QJsonObject report = json({"--info", bwf}).toObject();
        QCOMPARE(report["properties"].toObject().keys(),
                 QStringList({"bytesPerSample", "bytesPerSecond", "channels", "filesize", "format", "frames", "length",
                              "sampleFormat", "samplerate", "sections"}));
        QCOMPARE(report["strings"]["title"].toString(), QStringLiteral("Grüße"));
        QCOMPARE(report["strings"]["artist"].toString(), QString());
        QCOMPARE(report["bext"]["timecode"].toString(), QStringLiteral("001:00:00:5"));
        QVERIFY(report["bext"]["codingHistory"].toString().startsWith("A=PCM,F=48000\n\nA=PCM\n"));
        QVERIFY(runWavquill({"--info", bwf}).out.contains("\n  Coding history: A=PCM,F=48000\n\n                  A=PCM\n"));

        // A file without a record shows every field of it empty.
        spec.bext.reset();
        const QJsonObject bext = json({"--info", makeFile("plain.wav", spec)})["bext"].toObject();
        QCOMPARE(bext.size(), 14);
        for (const QJsonValue &field : bext)
            QCOMPARE(field.toString(), QString());
    }

    // A file that cannot be read is named on stderr with the text the window's
    // alert shows, and the others are still reported, by the library and by
    // the built program started without a display. A FIFO must not block (the
    // program goes first, so a hang ends in a failure rather than a stall).
    void unreadableFiles_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("missing") << "missing";
        QTest::newRow("directory") << "directory";
        QTest::newRow("fifo") << "fifo";
    }
    void unreadableFiles()
    {
        QFETCH(QString, kind);
        const QString bad = m_dir.filePath(kind);
        if (kind == "directory")
            QCOMPARE(::mkdir(QFile::encodeName(bad).constData(), 0700), 0);
        else if (kind == "fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(bad).constData(), 0600), 0);
        const QString good = makeFile("good.wav", fixtures::Spec());
        QProcess program;
        program.setProcessEnvironment(QProcessEnvironment()); // no display, no platform, nothing
        program.start(QStringLiteral(WAVQUILL_BINARY), {"--info", bad, good});
        QVERIFY(program.waitForFinished(120000));
        SF_INFO info;
        DocumentError expected;
        QVERIFY(!openSoundFile(bad, &info, nullptr, &expected));
        const CommandRun r = runWavquill({"--info", bad, good});
        QCOMPARE(r.status, 1);
        QCOMPARE(r.err, QStringLiteral("wavquill: %1: %2\n").arg(bad, expected.localizedDescription));
        QVERIFY(r.out.startsWith(good + "\nProperties\n"));
        const QJsonArray reports = json({"--info", bad, good}).toArray();
        QCOMPARE(reports[0]["error"].toString() + reports[1]["file"].toString(), expected.localizedDescription + good);

        QCOMPARE(program.exitCode(), 1);
        QCOMPARE(QString::fromUtf8(program.readAllStandardOutput()), r.out);
        QCOMPARE(QString::fromUtf8(program.readAllStandardError()), r.err);
    }

    // Markers as the Markers tab lists them, by time.
    void markers()
    {
        using B = ChunkFileBuilder;
        const QByteArray bytes = B().add("fmt ", B::pcmFormat(1, 8000, 16)).add("cue ", B::cue({{7, 12000}, {3, 4000}}))
            .add("LIST", B::list("adtl", {{"labl", B::cueText(7, "Bird")}, {"note", B::cueText(7, "loud")},
                                          {"ltxt", B::cueRegion(7, 2000)}}))
            .add("data", QByteArray(32000, '\0')).bytes();
        QFile file(m_dir.filePath("marked.wav"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        file.close();
        const QJsonArray rows = json({"--info", file.fileName()})["markers"].toArray();
        QCOMPARE(rows[1].toObject(), QJsonObject({{"time", "00:00:01.500"}, {"frame", 12000}, {"kind", "region"}, {"id", 7},
                                                  {"label", "Bird"}, {"note", "loud"}, {"length", "00:00:00.250"},
                                                  {"frames", 2000}}));
        QVERIFY(runWavquill({"--info", file.fileName()}).out.contains(
            "\nMarkers\n  00:00:00.500:\n  00:00:01.500: Bird (loud), length 00:00:00.250\nChunks\n"));
    }

    // Channel c swings between -a and +a, a = 0.5 / 2^c, over more than one scan block.
    void peak()
    {
        const QString path = makeFile("peak.wav", {SF_FORMAT_WAV | SF_FORMAT_PCM_24, 3, 44100, 70000, {}, {}},
                                      [](sf_count_t frame, int c) { return (frame % 2 ? 0.5 : -0.5) / (1 << c); });
        QString expected = path + "\nPeak";
        const QJsonArray rows = json({"--peak", path})["peak"].toArray();
        for (int c = 0; c < 3; ++c) {
            const QString line = QString::asprintf("Channel #%d: %.2f dB", c, 20 * std::log10(0.5 / (1 << c)));
            expected += "\n  " + line;
            QCOMPARE(rows[c]["channel"].toString() + ": " + rows[c]["peak"].toString(), line);
        }
        QCOMPARE(runWavquill({"--peak", path}).out, expected + u'\n');
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
