// The command line: option parsing, and --info / --peak printing exactly what
// the document window shows for the same file.
#include "DocumentFixture.h"
#include "Fixtures.h"

#include "report/FileReport.h"
#include "document/SoundFile.h"
#include "window/SoundFileWindow.h"
#include "report/CommandLine.h"
#include "toolkit/DocumentController.h"

#include <QDir>
#include <QFile>
#include <QFormLayout>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QTextStream>
#include <QtTest>

Q_DECLARE_METATYPE(CommandLineMode)

namespace {

struct Run {
    int status = 0;
    QString out;
    QString err;
};

Run run(const QStringList &args)
{
    Run r;
    QTextStream out(&r.out);
    QTextStream err(&r.err);
    r.status = runCommandLine(args, out, err);
    return r;
}

// One file's block of --info/--peak text output, read back.
struct Entry {
    QString label;
    QString text;
};
struct Section {
    QString title;
    QList<Entry> entries;
};
struct Parsed {
    QString file;
    QList<Section> sections;
};

// Reads the layout reportText() promises: the file name, section titles at
// the margin, "  Label: text" lines, further lines of a text aligned under its
// first (blank ones empty), a blank line between files.
QList<Parsed> parseReportText(const QString &output)
{
    QStringList lines = output.split(u'\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    QList<Parsed> files;
    bool expectFile = true;
    Entry *entry = nullptr;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString &line = lines[i];
        const bool continuation = line.startsWith(QLatin1String("   "));
        if (line.isEmpty()) {
            if (entry && i + 1 < lines.size() && lines[i + 1].startsWith(QLatin1String("   ")))
                entry->text += u'\n';
            else
                expectFile = true;
            continue;
        }
        if (expectFile) {
            files.append(Parsed{line, {}});
            expectFile = false;
            entry = nullptr;
        } else if (!line.startsWith(u' ')) {
            files.last().sections.append(Section{line, {}});
            entry = nullptr;
        } else if (continuation && entry) {
            entry->text += u'\n' + line.mid(2 + entry->label.size() + 2);
        } else if (!files.isEmpty() && !files.last().sections.isEmpty()) {
            const QString body = line.mid(2);
            const qsizetype colon = body.indexOf(u':');
            QList<Entry> &entries = files.last().sections.last().entries;
            entries.append(Entry{body.left(colon), body.mid(colon + 2)});
            entry = &entries.last();
        }
    }
    return files;
}

// What a field of the window shows.
QString widgetText(const QWidget *w)
{
    if (const auto *label = qobject_cast<const QLabel *>(w))
        return label->text();
    if (const auto *edit = qobject_cast<const QLineEdit *>(w))
        return edit->text();
    if (const auto *edit = qobject_cast<const QPlainTextEdit *>(w))
        return edit->toPlainText();
    return QStringLiteral("<no text of %1>").arg(QString::fromLatin1(w->metaObject()->className()));
}

QString withoutClosingBreaks(QString text)
{
    while (text.endsWith(u'\n'))
        text.chop(1);
    return text;
}

// The window's pages that --info reports, in the window's order.
QList<QWidget *> reportedPages(SoundFile *doc)
{
    QList<QWidget *> pages;
    for (int i = 0; i < doc->tabView->count(); ++i) {
        QWidget *page = doc->tabView->widget(i);
        if (QStringList{"Properties", "Strings", "BEXT"}.contains(page->objectName()))
            pages.append(page);
    }
    return pages;
}

struct FormRow {
    QString caption; // without the colon
    QWidget *field;
};

QList<FormRow> formRows(QWidget *page)
{
    QList<FormRow> rows;
    auto *form = qobject_cast<QFormLayout *>(page->layout());
    if (!form)
        return rows;
    for (int r = 0; r < form->rowCount(); ++r) {
        QLayoutItem *label = form->itemAt(r, QFormLayout::LabelRole);
        QLayoutItem *field = form->itemAt(r, QFormLayout::FieldRole);
        if (!label || !field || !label->widget() || !field->widget())
            continue;
        QString caption = qobject_cast<QLabel *>(label->widget())->text();
        if (caption.endsWith(u':'))
            caption.chop(1);
        rows.append(FormRow{caption, field->widget()});
    }
    return rows;
}

} // namespace

class TestCommandLine : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    // A file of each kind the --info tests use.
    QString makeFile(const QString &kind)
    {
        fixtures::Spec spec;
        spec.frames = 4800;
        QString name = kind + QStringLiteral(".wav");
        if (kind == QLatin1String("bwf")) {
            spec.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
            spec.samplerate = 48000;
            spec.strings = {QByteArray("Gr\xc3\xbc\xc3\x9f" "e"), QByteArray("(c) Someone"), QByteArray("Tool 1"),
                            QByteArray("An Artist"), QByteArray("A comment"), QByteArray("2024-05-06")};
            spec.bext = fixtures::bextRecord("A description", "Originator", "REF-1", "2024-05-06", "07:08:09",
                                             quint64(3600) * 48000 + 5, 1, "UMIDTEXT",
                                             "A=PCM,F=48000,W=24\r\n\r\nA=PCM,F=44100,W=16\r\n");
        } else if (kind == QLatin1String("plain")) {
            spec.strings[SF_STR_TITLE - 1] = QByteArray("Only a title");
        } else if (kind == QLatin1String("wavex")) {
            spec.format = SF_FORMAT_WAVEX | SF_FORMAT_FLOAT;
            spec.channels = 3;
            spec.bext = fixtures::bextRecord(QByteArray(256, 'd'), "O", "", "", "", 0, 0, "", "");
        } else if (kind == QLatin1String("aiff")) {
            spec.format = SF_FORMAT_AIFF | SF_FORMAT_PCM_16;
            spec.strings[SF_STR_TITLE - 1] = QByteArray("Aiff title");
            spec.strings[SF_STR_ARTIST - 1] = QByteArray("Aiff artist");
            name = kind + QStringLiteral(".aiff");
        } else if (kind == QLatin1String("flac")) {
            spec.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
            spec.strings[SF_STR_COMMENT - 1] = QByteArray("Flac comment");
            name = kind + QStringLiteral(".flac");
        } else if (kind == QLatin1String("au")) {
            spec.format = SF_FORMAT_AU | SF_FORMAT_ULAW;
            spec.channels = 1;
            name = kind + QStringLiteral(".au");
        }
        const QString path = m_dir.filePath(name);
        return fixtures::write(path, spec) ? path : QString();
    }

    void addFileKinds()
    {
        QTest::addColumn<QString>("kind");
        for (const char *kind : {"bwf", "plain", "wavex", "aiff", "flac", "au"})
            QTest::newRow(kind) << QString::fromLatin1(kind);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        DocumentController::sharedDocumentController().setQuitWhenLastDocumentCloses(false);
    }

    void cleanup() { fixtures::closeAllDocuments(); }

    void parsing_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<CommandLineMode>("mode");
        QTest::addColumn<bool>("info");
        QTest::addColumn<bool>("peak");
        QTest::addColumn<bool>("json");
        QTest::addColumn<QStringList>("files");
        using M = CommandLineMode;
        const QStringList none;
        QTest::newRow("nothing") << none << M::Gui << false << false << false << none;
        QTest::newRow("files") << QStringList{"a.wav", "b.aiff"} << M::Gui << false << false << false
                               << QStringList{"a.wav", "b.aiff"};
        QTest::newRow("help") << QStringList{"a.wav", "--help"} << M::Help << false << false << false
                              << QStringList{"a.wav"};
        QTest::newRow("-h") << QStringList{"-h"} << M::Help << false << false << false << none;
        QTest::newRow("help wins") << QStringList{"--version", "--info", "--help"} << M::Help << true << false
                                   << false << none;
        QTest::newRow("version") << QStringList{"--info", "x", "--version"} << M::Version << true << false << false
                                 << QStringList{"x"};
        QTest::newRow("info") << QStringList{"--info", "a"} << M::Inspect << true << false << false
                              << QStringList{"a"};
        QTest::newRow("peak among files") << QStringList{"a", "--peak", "b"} << M::Inspect << false << true << false
                                          << QStringList{"a", "b"};
        QTest::newRow("info json") << QStringList{"--json", "--info", "a"} << M::Inspect << true << false << true
                                   << QStringList{"a"};
        QTest::newRow("info and peak") << QStringList{"--peak", "--info", "a"} << M::Inspect << true << true
                                       << false << QStringList{"a"};
        QTest::newRow("json alone") << QStringList{"--json", "a"} << M::UsageError << false << false << true
                                    << QStringList{"a"};
        QTest::newRow("info without file") << QStringList{"--info"} << M::UsageError << true << false << false
                                           << none;
        QTest::newRow("peak, files only after --") << QStringList{"--peak", "--"} << M::UsageError << false << true
                                                   << false << none;
        QTest::newRow("-- ends options") << QStringList{"--", "--info", "--help"} << M::Gui << false << false
                                         << false << QStringList{"--info", "--help"};
        QTest::newRow("second -- is a file") << QStringList{"--info", "--", "--peak", "--"} << M::Inspect << true
                                             << false << false << QStringList{"--peak", "--"};
        QTest::newRow("unknown options are files") << QStringList{"-x", "--infox", "-"} << M::Gui << false << false
                                                   << false << QStringList{"-x", "--infox", "-"};
    }

    void parsing()
    {
        QFETCH(QStringList, args);
        QFETCH(CommandLineMode, mode);
        const CommandLineOptions o = parseCommandLine(args);
        QCOMPARE(o.mode, mode);
        QTEST(o.info, "info");
        QTEST(o.peak, "peak");
        QTEST(o.json, "json");
        QTEST(o.files, "files");
        QCOMPARE(o.error.isEmpty(), mode != CommandLineMode::UsageError);
    }

    void printingOptions()
    {
        const Run help = run({"--help"});
        QCOMPARE(help.status, 0);
        QVERIFY(help.out.startsWith(QLatin1String("Usage: wavquill [FILE...]\n")));
        QCOMPARE(help.out, commandLineUsage());
        QVERIFY(help.err.isEmpty());

        const Run version = run({"--version"});
        QCOMPARE(version.status, 0);
        QCOMPARE(version.out, QStringLiteral("WavQuill " WAVQUILL_VERSION "\n"));

        const Run wrong = run({"--json", "x.wav"});
        QCOMPARE(wrong.status, 2);
        QVERIFY(wrong.out.isEmpty());
        QVERIFY(wrong.err.contains(QLatin1String("--json")));

        // Arguments for windows print nothing and leave the start to the caller.
        const Run gui = run({"a.wav"});
        QCOMPARE(gui.status, kStartGui);
        QVERIFY(gui.out.isEmpty() && gui.err.isEmpty());
    }

    // --info and --info --json against the window opened on the same file.
    void reportsMatchWindow_data() { addFileKinds(); }

    void reportsMatchWindow()
    {
        QFETCH(QString, kind);
        const QString path = makeFile(kind);
        QVERIFY(!path.isEmpty());

        const Run r = run({"--info", path});
        QCOMPARE(r.status, 0);
        QVERIFY2(r.err.isEmpty(), qPrintable(r.err));
        const QList<Parsed> reports = parseReportText(r.out);
        QCOMPARE(reports.size(), 1);
        QCOMPARE(reports[0].file, path);

        const Run j = run({"--json", "--info", path});
        QCOMPARE(j.status, 0);
        QJsonParseError error;
        const QJsonDocument json = QJsonDocument::fromJson(j.out.toUtf8(), &error);
        QCOMPARE(error.error, QJsonParseError::NoError);
        QVERIFY(json.isObject());
        const QJsonObject report = json.object();
        QCOMPARE(report.value("file").toString(), path);

        SoundFile *doc = fixtures::openDocument(path);
        QVERIFY(doc);
        const QList<QWidget *> pages = reportedPages(doc);
        QCOMPARE(reports[0].sections.size(), pages.size());
        QCOMPARE(report.size(), 1 + pages.size());
        for (int s = 0; s < pages.size(); ++s) {
            const Section &section = reports[0].sections[s];
            QCOMPARE(section.title, pages[s]->objectName());
            const QJsonObject jsonSection = report.value(pages[s]->objectName().toLower()).toObject();
            const QList<FormRow> rows = formRows(pages[s]);
            QVERIFY(!rows.isEmpty());
            QCOMPARE(section.entries.size(), rows.size());
            QCOMPARE(jsonSection.size(), rows.size());
            for (int i = 0; i < rows.size(); ++i) {
                const QString shown = widgetText(rows[i].field);
                QCOMPARE(section.entries[i].label, rows[i].caption);
                QCOMPARE(section.entries[i].text, withoutClosingBreaks(shown));
                const QString key = reportJsonKey(rows[i].field->objectName());
                QVERIFY2(jsonSection.contains(key), qPrintable(key));
                // Exact, closing line breaks and all.
                QCOMPARE(jsonSection.value(key).toString(), shown);
            }
        }
    }

    void severalFilesInOrder()
    {
        const QString a = makeFile("plain");
        const QString b = makeFile("aiff");
        const QList<Parsed> text = parseReportText(run({"--info", a, b}).out);
        QCOMPARE(text.size(), 2);
        QCOMPARE(text[0].file, a);
        QCOMPARE(text[1].file, b);
        QCOMPARE(text[1].sections.size(), 2); // AIFF: no BEXT tab

        const QJsonDocument json = QJsonDocument::fromJson(run({"--info", "--json", a, b}).out.toUtf8());
        QVERIFY(json.isArray());
        QCOMPARE(json.array().size(), 2);
        QCOMPARE(json.array()[0].toObject().value("file").toString(), a);
        QCOMPARE(json.array()[1].toObject().value("strings").toObject().value("title").toString(),
                 QStringLiteral("Aiff title"));
    }

    void peakMatchesWindow_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("channels");
        QTest::newRow("pcm16 stereo") << (SF_FORMAT_WAV | SF_FORMAT_PCM_16) << 2;
        QTest::newRow("pcm24 three") << (SF_FORMAT_WAV | SF_FORMAT_PCM_24) << 3;
        QTest::newRow("float mono") << (SF_FORMAT_WAV | SF_FORMAT_FLOAT) << 1;
        QTest::newRow("flac stereo") << (SF_FORMAT_FLAC | SF_FORMAT_PCM_16) << 2;
    }

    void peakMatchesWindow()
    {
        QFETCH(int, format);
        QFETCH(int, channels);
        const QString path = m_dir.filePath(QStringLiteral("peak-%1-%2.%3")
                                                .arg(format, 0, 16)
                                                .arg(channels)
                                                .arg((format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC ? "flac" : "wav"));
        fixtures::Spec spec;
        spec.format = format;
        spec.channels = channels;
        spec.frames = 70000; // more than one scan block
        // Channel c swings between -a and +a with a = 0.5 / 2^c: -6.02 dB,
        // -12.04 dB, ...
        QVERIFY(fixtures::write(path, spec, [](sf_count_t frame, int c) {
            return (frame % 2 ? 0.5 : -0.5) / double(1 << c);
        }));

        const Run r = run({"--peak", path});
        QCOMPARE(r.status, 0);
        const QList<Parsed> reports = parseReportText(r.out);
        QCOMPARE(reports.size(), 1);
        QCOMPARE(reports[0].sections.size(), 1);
        const Section &peak = reports[0].sections[0];
        QCOMPARE(peak.title, QStringLiteral("Peak"));
        QCOMPARE(peak.entries.size(), channels);
        QCOMPARE(peak.entries[0].label + ": " + peak.entries[0].text, QStringLiteral("Channel #0: -6.02 dB"));

        SoundFile *doc = fixtures::openDocument(path);
        QVERIFY(doc);
        doc->calculatePeak(nullptr);
        const QAbstractItemModel *model = doc->peakTable->model();
        QVERIFY(model);
        QCOMPARE(model->rowCount(), channels);
        const QJsonArray json =
            QJsonDocument::fromJson(run({"--peak", "--json", path}).out.toUtf8()).object().value("peak").toArray();
        QCOMPARE(json.size(), channels);
        for (int row = 0; row < channels; ++row) {
            const QString name = model->index(row, 0).data().toString();
            const QString value = model->index(row, 1).data().toString();
            QCOMPARE(peak.entries[row].label, name);
            QCOMPARE(peak.entries[row].text, value);
            QCOMPARE(json[row].toObject().value("channel").toString(), name);
            QCOMPARE(json[row].toObject().value("peak").toString(), value);
        }
    }

    void unreadableFiles_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("text") << "text";
        QTest::newRow("empty") << "empty";
        QTest::newRow("missing") << "missing";
        QTest::newRow("directory") << "directory";
    }

    void unreadableFiles()
    {
        QFETCH(QString, kind);
        const QString bad = m_dir.filePath(QStringLiteral("bad-") + kind);
        if (kind == QLatin1String("text") || kind == QLatin1String("empty")) {
            QFile f(bad);
            QVERIFY(f.open(QIODevice::WriteOnly));
            if (kind == QLatin1String("text"))
                f.write("This is not a sound file at all.\n");
        } else if (kind == QLatin1String("directory")) {
            QVERIFY(QDir().mkpath(bad));
        }
        const QString good = makeFile("plain");

        // The same words the window's alert would show.
        DocumentError expected;
        QVERIFY(!DocumentController::sharedDocumentController().openDocumentWithContentsOfURL(
            QUrl::fromLocalFile(bad), false, &expected));
        QVERIFY(!expected.localizedDescription.isEmpty());

        const Run r = run({"--info", bad, good});
        QCOMPARE(r.status, 1);
        QCOMPARE(r.err, QStringLiteral("wavquill: %1: %2\n").arg(bad, expected.localizedDescription));
        const QList<Parsed> printed = parseReportText(r.out);
        QCOMPARE(printed.size(), 1);
        QCOMPARE(printed[0].file, good);

        const Run peak = run({"--peak", bad});
        QCOMPARE(peak.status, 1);
        QVERIFY(peak.out.isEmpty());

        const QJsonArray json = QJsonDocument::fromJson(run({"--info", "--json", bad, good}).out.toUtf8()).array();
        QCOMPARE(json.size(), 2);
        QCOMPARE(json[0].toObject().value("error").toString(), expected.localizedDescription);
        QVERIFY(json[1].toObject().contains("properties"));
    }

    // Texts as a multi-line field gives them back, checked against the field.
    void plainTextAsShown_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("crlf") << "A=PCM\r\nB=2\r\n";
        QTest::newRow("blank crlf line") << "a\r\n\r\nb";
        QTest::newRow("lf cr") << "a\n\rb";
        QTest::newRow("cr cr lf") << "a\r\r\nb";
        QTest::newRow("lone cr") << "a\rb\r";
        QTest::newRow("separators") << QStringLiteral("a\u2028b\u2029c");
        QTest::newRow("no-break space") << QStringLiteral("a\u00a0b");
        QTest::newRow("tab and control") << "t\tz\x01q";
        QTest::newRow("latin-1 bytes") << QString::fromLatin1("caf\xe9 \xa0\xff");
    }

    void plainTextAsShown()
    {
        QFETCH(QString, text);
        QPlainTextEdit edit;
        edit.setPlainText(text);
        QCOMPARE(::plainTextAsShown(text), edit.toPlainText());
    }

    void jsonKeys_data()
    {
        QTest::addColumn<QString>("outlet");
        QTest::addColumn<QString>("key");
        QTest::newRow("label") << "labelBytesPerSecond" << "bytesPerSecond";
        QTest::newRow("string") << "stringTitle" << "title";
        QTest::newRow("bext") << "bextOriginatorRef" << "originatorRef";
        QTest::newRow("acronym") << "bextUMID" << "umid";
        QTest::newRow("acronym then word") << "bextUMIDText" << "umidText";
        QTest::newRow("prefix only as a word") << "labels" << "labels";
    }

    void jsonKeys()
    {
        QFETCH(QString, outlet);
        QTEST(reportJsonKey(outlet), "key");
    }

    void multiLineLayout()
    {
        FileReport report{QStringLiteral("f.wav"), QString(),
                          {ReportSection{QStringLiteral("BEXT"),
                                         {ReportField{"bextCodingHistory", "Coding history", "one\r\n\r\ntwo\r\n"},
                                          ReportField{"bextUMID", "UMID", QString()}}}}};
        QCOMPARE(reportText(report), QStringLiteral("f.wav\nBEXT\n"
                                                    "  Coding history: one\n"
                                                    "\n"
                                                    "                  two\n"
                                                    "  UMID:"));
    }

    // The real program, as a user starts it: no display is needed to print.
    void realBinary()
    {
        const QString good = makeFile("bwf");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QString::fromLatin1(name));
        auto start = [&](const QStringList &args) {
            auto *p = new QProcess(this);
            p->setProcessEnvironment(env);
            p->start(QStringLiteral(WAVQUILL_BINARY), args);
            p->waitForFinished(120000);
            return p;
        };

        QProcess *version = start({"--version"});
        QCOMPARE(version->exitStatus(), QProcess::NormalExit);
        QCOMPARE(version->exitCode(), 0);
        QCOMPARE(QString::fromUtf8(version->readAllStandardOutput()), QStringLiteral("WavQuill " WAVQUILL_VERSION "\n"));

        const QString missing = m_dir.filePath(QStringLiteral("missing.wav"));
        QProcess *info = start({"--info", good, missing});
        QCOMPARE(info->exitStatus(), QProcess::NormalExit);
        QCOMPARE(info->exitCode(), 1);
        QCOMPARE(QString::fromUtf8(info->readAllStandardOutput()), run({"--info", good}).out);
        QVERIFY(QString::fromUtf8(info->readAllStandardError()).startsWith(QStringLiteral("wavquill: ") + missing));
    }
};

QTEST_MAIN(TestCommandLine)
#include "tst_commandline.moc"
