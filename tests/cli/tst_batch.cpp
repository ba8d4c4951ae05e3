// Batch work from the command line (--set, CSV export and import, --check,
// --convert) against what the window writes and shows for the same files.
#include "document/SoundFile.h"
#include "cli/BatchEdit.h"
#include "cli/CommandLine.h"
#include "cli/Csv.h"
#include "container/TagReader.h"
#include "rewrite/MetadataSave.h"
#include "window/FieldControls.h"
#include "window/SoundFileWindow.h"

#include "ChunkFileBuilder.h"
#include "CommandRun.h"
#include "DocumentFixture.h"
#include "RecorderTake.h"

#include <QAction>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

#include <cmath>
#include <csignal>
#include <sys/stat.h>

using B = ChunkFileBuilder;
using F = MetadataField;

namespace {


FileMetadata metadataOf(const QString &path, int *samplerate = nullptr)
{
    SF_INFO info{};
    SNDFILE *f = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    const FileMetadata read = readSavedMetadata(f, info.format, path);
    sf_close(f);
    if (samplerate)
        *samplerate = info.samplerate;
    return read;
}

rewrite::MetadataTexts textsOf(const QString &path)
{
    int samplerate = 0;
    const FileMetadata read = metadataOf(path, &samplerate);
    return rewrite::metadataTexts(read, samplerate);
}

// Inode and modification time: a file that was written anew shows it.
QString stamp(const QString &path)
{
    struct stat st{};
    ::stat(QFile::encodeName(path).constData(), &st);
    return QStringLiteral("%1:%2.%3").arg(st.st_ino).arg(st.st_mtim.tv_sec).arg(st.st_mtim.tv_nsec);
}

// A WAV (or AIFF) built chunk by chunk, its bext bytes exactly as given.
QByteArray bwf(const QByteArray &date, const QByteArray &time, const QByteArray &text, const QByteArray &history,
               bool aiff = false, const QByteArray &ixml = "<BWFXML/>")
{
    const QByteArray bext = fixtures::bextRecord(text, "Orig", "Ref", date, time, 0, 1, "", "").left(602) + history;
    if (aiff)
        return B(ChunkContainer::Aiff).add("COMM", B::aiffCommon(1, 100, 16, 48000)).add("bext", bext)
            .add("SSND", B::be32(0) + B::be32(0) + QByteArray(200, 1)).bytes();
    return B().add("fmt ", B::pcmFormat(3, 48000, 16)).add("bext", bext).add("iXML", ixml)
        .add("data", QByteArray(1200, 3)).bytes();
}

} // namespace

class TestBatch : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

    // Runs a shell command in the test's folder; its exit status.
    int shell(const QString &command) { return QProcess::execute("sh", {"-c", "cd \"$0\" && " + command, m_dir.path()}); }

    // A file of the kind named by its extension, with a title, an artist and,
    // for WAV, a broadcast record.
    QString make(const QString &name)
    {
        const QString path = m_dir.filePath(name);
        if (name.endsWith(".mp3")) {
            QProcess::execute("ffmpeg", {"-v", "error", "-y", "-f", "lavfi", "-i", "sine=duration=0.5", "-metadata",
                                         "title=Old", "-metadata", "artist=Someone", "-c:a", "libmp3lame", path});
            return path;
        }
        const int format = name.endsWith(".aiff") ? SF_FORMAT_AIFF | SF_FORMAT_PCM_16
                         : name.endsWith(".flac") ? SF_FORMAT_FLAC | SF_FORMAT_PCM_16 : SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        fixtures::Spec spec = docfix::spec(name.startsWith("big") ? 4000000 : 4800, 2, format);
        spec.strings[SF_STR_TITLE - 1] = "Old";
        spec.strings[SF_STR_ARTIST - 1] = "Someone";
        if (name.endsWith(".wav"))
            spec.bext = fixtures::bextRecord("Desc", "Orig", "Ref", "2024-01-02", "03:04:05", 4410, 1, "", "A=PCM\r\n");
        return fixtures::write(path, spec) ? path : QString();
    }

private slots:
    void setWritesWhatTheWindowWrites_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("sets");
        QTest::newRow("wav") << "s.wav" << QStringList{"title=New", "description=", "codingHistory=A=PCM,F=44100\n",
                                                      "loudnessValue=-23.00", "maxTruePeakLevel=-1.50"};
        QTest::newRow("aiff") << "s.aiff" << QStringList{"title=New", "comment=Hi"};
        QTest::newRow("flac") << "s.flac" << QStringList{"artist=", "date=2024-05-06"};
        QTest::newRow("mp3") << "s.mp3" << QStringList{"title=Grüße", "copyright=C"};
    }
    void setWritesWhatTheWindowWrites()
    {
        QFETCH(QString, name);
        QFETCH(QStringList, sets);
        if (name.endsWith(".mp3") && !fixtures::haveProgram("ffmpeg"))
            QSKIP("ffmpeg is not installed");
        const QString cli = make(name), window = m_dir.filePath("window-" + name);
        QVERIFY(QFile::copy(cli, window));
        rewrite::MetadataTexts expected = textsOf(cli);
        auto doc = docfix::open(window);
        QStringList args;
        for (const QString &set : sets) {
            QString error;
            const FieldEdit edit = *parseFieldEdit(set, &error);
            expected[size_t(edit.field)] = edit.value;
            doc->setText(edit.field, edit.value);
            args << "--set" << set;
        }
        QVERIFY(docfix::save(*doc));
        const CommandRun r = runWavquill(args << cli);
        QCOMPARE(r.err, QString());
        QCOMPARE(r.status, 0);
        QVERIFY(textsOf(cli) == expected);
        QCOMPARE(docfix::fileBytes(cli), docfix::fileBytes(window));
    }

    // Every field the batch writes, by the key --json shows it under and the
    // CSV names its column after.
    void everyKeyRoundTrips()
    {
        const QString path = make("keys.wav");
        const QList<QPair<QString, QString>> values = {
            {"title", "T"}, {"artist", "A"}, {"comment", "C"}, {"copyright", "(c)"}, {"software", "S"},
            {"date", "2024-05-06"}, {"description", "D"}, {"originator", "O"}, {"originatorRef", "R"},
            {"originationDate", "2024-05-07"}, {"originationTime", "01:02:03"}, {"timecode", "001:00:00:5"},
            {"umid", "060a2b34"}, {"codingHistory", "A=PCM\n"}, {"loudnessValue", "-23.00"},
            {"loudnessRange", "4.00"}, {"maxTruePeakLevel", "-1.00"}, {"maxMomentaryLoudness", "-20.00"},
            {"maxShortTermLoudness", "-21.00"}, {"ixml.project", "P"}, {"ixml.scene", "S"}, {"ixml.take", "2"},
            {"ixml.tape", "T"}, {"ixml.circled", "TRUE"}, {"ixml.note", "N &\n<n>"}, {"ixml.track1", "Boom"},
            {"ixml.track2", "Lav"}};
        QStringList args, keys;
        for (const auto &[key, value] : values)
            args << "--set" << key + '=' + value;
        QCOMPARE(runWavquill(args << path).err, QString());
        const QJsonObject report = QJsonDocument::fromJson(runWavquill({"--info", "--json", path}).out.toUtf8()).object();
        QVariantMap shown = report["strings"].toObject().toVariantMap();
        shown.insert(report["bext"].toObject().toVariantMap());
        shown.insert(report["ixml"].toObject().toVariantMap());
        for (const auto &[key, value] : values) {
            QCOMPARE(shown.take(key).toString(), value);
            keys << key;
        }
        QCOMPARE(shown.keys(), QString("ixml.fileSampleRate ixml.fileUid ixml.timecodeFlag ixml.timecodeRate ixml.ubits "
                                       "version").split(' '));
        QCOMPARE(runWavquill({"--export-csv", path}).out.section("\r\n", 0, 0), "file," + keys.join(','));
    }

    // Each file is all or nothing; the batch goes on past one that fails.
    void failuresLeaveFilesAsTheyWere()
    {
        const QStringList files{make("a.wav"), make("ro.wav"), make("c.aiff"), make("b.wav")};
        QFile::setPermissions(files[1], QFile::ReadOwner | QFile::ReadGroup);
        QList<QByteArray> before;
        for (const QString &f : files)
            before << docfix::fileBytes(f);
        const CommandRun dry = runWavquill(QStringList{"--set", "description=X", "--dry-run"} + files);
        QCOMPARE(dry.status, 1);
        QCOMPARE(dry.out, files[0] + ": description: \"Desc\" -> \"X\"\n" + files[0] + ": in place\n" + files[3]
                              + ": description: \"Desc\" -> \"X\"\n" + files[3] + ": in place\n");
        // libsndfile leaves no room before the audio for a longer title.
        QVERIFY(runWavquill({"--set", "title=A longer title", "--dry-run", files[0]}).out.endsWith(": rewritten (0.0 MB copied)\n"));
        QCOMPARE(runWavquill({"--set", "mood=calm", files[0]}).status, 2);
        QVERIFY(runWavquill({"--set", "loudnessRange=wide", files[0]}).err.endsWith("loudnessRange: not a number from -327.68 to 327.66\n"));
        QVERIFY(runWavquill({"--set", "umid=0a0", files[0]}).err.endsWith("umid: not at most 64 bytes in hexadecimal\n"));
        QCOMPARE(docfix::fileBytes(files[0]), before[0]);
        const CommandRun r = runWavquill(QStringList{"--set", "description=X", "--set", "title=T"} + files);
        QCOMPARE(r.status, 1);
        QCOMPARE(r.err, "wavquill: " + files[1] + ": the file is read-only\nwavquill: " + files[2]
                            + ": description: this format has no broadcast (BEXT) record\n");
        for (int i : {0, 3})
            QCOMPARE(textsOf(files[i])[size_t(F::Description)] + textsOf(files[i])[size_t(F::Title)], "XT");
        for (int i : {1, 2})
            QCOMPARE(docfix::fileBytes(files[i]), before[i]);
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Hidden | QDir::Files).filter(".wavquill"), QStringList());
    }

    // Every mode opens a file the same way: a save cut short is undone
    // first, and standard error says so once.
    void interruptedSaveIsUndoneAndTold()
    {
        const QString path = make("cut.wav");
        const QByteArray before = docfix::fileBytes(path);
        QVERIFY(docfix::cutSaveShort(path) && docfix::fileBytes(path) != before);
        QVERIFY(runWavquill({"--export-csv", path}).err.contains("An interrupted save of “cut.wav” was undone"));
        QCOMPARE(docfix::fileBytes(path), before);
        QVERIFY(runWavquill({"--info", path}).err.isEmpty());
    }

    // A chunk's payload out and in again, byte for byte; only well-formed
    // UTF-8 XML goes in, and a file holding it already is left alone.
    void chunksInAndOut()
    {
        const QByteArray chunk = recorder::ixml();
        const QString from = m_dir.filePath("from.wav"), to = m_dir.filePath("to.wav"), xml = m_dir.filePath("x.xml");
        QVERIFY(docfix::writeFileBytes(from, recorder::take(2, chunk)) && docfix::writeFileBytes(to, recorder::take(2, {})));
        QProcess program;
        program.start(WAVQUILL_BINARY, {"--export-chunk", "iXML", from});
        QVERIFY(program.waitForFinished() && program.exitCode() == 0);
        QCOMPARE(program.readAllStandardOutput(), chunk);
        QVERIFY(docfix::writeFileBytes(xml, runWavquill({"--export-chunk", "iXML", from}).out.toLatin1()));
        QCOMPARE(runWavquill({"--import-chunk", "iXML=" + xml, to}).status, 0);
        QCOMPARE(readChunkOf(to, "iXML").value_or(""), chunk);
        const QString written = stamp(to);
        QCOMPARE(runWavquill({"--import-chunk", "iXML=" + xml, "--dry-run", to}).out, QString());
        QVERIFY(docfix::writeFileBytes(xml, "<BWFXML><SCENE>"));
        QVERIFY(runWavquill({"--import-chunk", "iXML=" + xml, to}).err.endsWith("nothing was written\n"));
        QCOMPARE(runWavquill({"--export-chunk", "axml", to}).status, 1);
        QCOMPARE(stamp(to), written);
    }

    // Through a spreadsheet and back: every cell quoted, LF row ends, CR LF
    // inside cells, paths relative to the CSV; a cell a spreadsheet would run
    // as a formula goes out with a ' before it and comes back without.
    void csvRoundTrip()
    {
        QDir::setCurrent(m_dir.path());
        const QStringList files{make("c1.wav"), make("c2.flac")};
        const QString history = "A=PCM,F=44100\r\nA=ANALOGUE,M=stereo\r\n";
        // A UMID is binary, with line ends and zeros inside: it travels as hexadecimal.
        const QString umid = "060a2b34 01010105 01010d20 13000000 00010203";
        QCOMPARE(runWavquill({"--set", "codingHistory=" + history, "--set", "umid=" + umid.toUpper().remove(' '),
                              "--set", "loudnessValue=-23", "--set", "title==cmd|' /C calc'!A0", "--set", "artist=@x",
                              "--set", "ixml.track2=Boom", "c1.wav"}).status, 0);
        QCOMPARE(QByteArray(metadataOf(files[0]).bext.umid, 64), QByteArray::fromHex(umid.toLatin1()).leftJustified(64, 0));
        const CommandRun exported = runWavquill({"--export-csv", "c1.wav", "c2.flac"});
        QDir::setCurrent(QDir::rootPath());
        QString error;
        QList<QStringList> rows = *parseCsv(exported.out, &error);
        QCOMPARE(rows.size(), 3);
        QCOMPARE(rows[1].first() + rows[1][rows[0].indexOf("codingHistory")], "c1.wav" + history);
        QCOMPARE(rows[1][rows[0].indexOf("umid")], umid);
        QVERIFY(exported.out.contains(",'=cmd|' /C calc'!A0,'@x,") && exported.out.contains(",-23.00,"));
        QCOMPARE(rows[1][rows[0].indexOf("title")] + rows[1][rows[0].indexOf("artist")], "=cmd|' /C calc'!A0@x");
        // A ' of the text's own before such a cell is kept too.
        const QStringList cells{"'=x", "-1.5", "\t-"};
        QCOMPARE(csvRow(cells), "''=x,-1.5,'\t-\r\n");
        QCOMPARE(parseCsv(csvRow(cells), &error)->value(0), cells);
        // A column for each track a file names; empty cells where a file
        // has no such track, which the import leaves alone.
        QCOMPARE(rows[0].mid(rows[0].indexOf("ixml.track1")), (QStringList{"ixml.track1", "ixml.track2"}));
        QCOMPARE(rows[1].mid(rows[0].indexOf("ixml.track1")) + rows[2].mid(rows[0].indexOf("ixml.track1")),
                 (QStringList{"", "Boom", "", ""}));
        // As a spreadsheet may give the numbers back: no change either.
        rows[1][rows[0].indexOf("loudnessValue")] = "-23";
        rows[1][rows[0].indexOf("umid")] = umid.toUpper().remove(' ');
        const QString csv = m_dir.filePath("list.csv");
        const auto import = [&csv](const QList<QStringList> &table) {
            QString text;
            for (const QStringList &row : table)
                text += '"' + QStringList(row).replaceInStrings("\"", "\"\"").join("\",\"") + "\"\n";
            docfix::writeFileBytes(csv, text.toUtf8());
            return runWavquill({"--import-csv", csv});
        };
        const QString first = stamp(files[0]), stamps = first + stamp(files[1]);
        QCOMPARE(import(rows).status, 0);
        docfix::writeFileBytes(csv, exported.out.toUtf8());
        QCOMPARE(runWavquill({"--import-csv", csv}).status, 0);
        QCOMPARE(stamp(files[0]) + stamp(files[1]), stamps);

        QList<QStringList> edited = rows;
        edited[2][rows[0].indexOf("title")] = "Edited";
        rewrite::MetadataTexts expected = textsOf(files[1]);
        expected[size_t(F::Title)] = "Edited";
        const QList<QStringList> refused = QList<QStringList>{rows[0] + QStringList{"mood"}, edited[2] + QStringList{"x"}};
        QVERIFY(import(refused).err.contains("unknown column 'mood'; nothing was written"));
        docfix::writeFileBytes(csv, "file,title\nc2.flac,Gr\xfc\xdf" "e\n"); // Windows-1252
        QVERIFY(runWavquill({"--import-csv", csv}).err.contains("not UTF-8 text (save it from the spreadsheet as UTF-8 CSV); nothing"));
        QCOMPARE(stamp(files[0]) + stamp(files[1]), stamps);
        const CommandRun r = import(edited << (QStringList{"gone.wav"} + rows[1].mid(1)));
        QCOMPARE(r.status, 1);
        QVERIFY(r.err.contains(m_dir.filePath("gone.wav")));
        QCOMPARE(stamp(files[0]), first);
        QVERIFY(textsOf(files[1]) == expected);
    }

    void check_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("dateString");
        QTest::addColumn<QStringList>("keys");
        const QByteArray good = "A=PCM,F=48000,W=16,M=mono,T=ok\r\nA=ANALOGUE,B=x\r\n";
        QTest::newRow("conforming") << bwf("2024_05.06", "07 08:09", "Take 1", good) << "2024-05-06" << QStringList{};
        QTest::newRow("date") << bwf("06/05/2024", "07:08:09", "", good) << "May" << QStringList{"date", "originationDate"};
        QTest::newRow("time") << bwf("2024-05-06", "25:00:00", "", good) << "" << QStringList{"originationTime"};
        QTest::newRow("non-ASCII") << bwf("", "", "Gr\xc3\xbc\xc3\x9f" "e", "") << "" << QStringList{"description"};
        QTest::newRow("history not A= first") << bwf("", "", "", "F=48000,A=PCM\r\n") << "" << QStringList{"codingHistory"};
        QTest::newRow("history key") << bwf("", "", "", "A=PCM,X=1\r\n") << "" << QStringList{"codingHistory"};
        QTest::newRow("history LF") << bwf("", "", "", "A=PCM\n") << "" << QStringList{"codingHistory"};
        QTest::newRow("bext in AIFF") << bwf("", "", "", good, true) << "" << QStringList{"bext"};
        QTest::newRow("MD5 chunk of 15 bytes") << B().add("fmt ", B::pcmFormat(1, 48000, 16)).add("data", QByteArray(200, 1))
            .add("MD5 ", QByteArray(15, 'x')).bytes() << "" << QStringList{"md5"};
        QTest::newRow("iXML not well-formed") << recorder::take(2, "<BWFXML><SCENE>") << "" << QStringList{"ixml"};
        QTest::newRow("iXML tracks and rate") << recorder::take(2, recorder::ixml({"A", "B", "C"}).replace("48000", "44100"))
                                              << "" << QStringList{"ixml", "ixml.track3", "ixml"};
        const QByteArray section = "<BWFXML><BEXT><BWF_DESCRIPTION>Take 2</BWF_DESCRIPTION><BWF_TIME_REFERENCE_LOW>0"
                                   "</BWF_TIME_REFERENCE_LOW><BWF_TIME_REFERENCE_HIGH>1</BWF_TIME_REFERENCE_HIGH></BEXT></BWFXML>";
        QTest::newRow("iXML BEXT section") << bwf("", "", "Take 1", good, false, section) << "" << QStringList{"ixml", "ixml"};
    }
    // --check, and the window's marks for the same findings.
    void check()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, dateString);
        QFETCH(QStringList, keys);
        const QString path = m_dir.filePath(keys.contains("bext") ? "check.aiff" : "check.wav");
        QVERIFY(docfix::writeFileBytes(path, bytes));
        if (!dateString.isEmpty())
            QCOMPARE(runWavquill({"--set", "date=" + dateString, path}).status, 0);
        const CommandRun r = runWavquill({"--check", path});
        QStringList found;
        for (const QString &line : r.out.split('\n', Qt::SkipEmptyParts))
            found << line.section(": ", 1, 1);
        QCOMPARE(found, keys);
        QCOMPARE(r.status, keys.isEmpty() ? 0 : 1);

        SoundFileWindow *window = docfix::openWindow(path);
        // The iXML tab lists what it finds instead of marking a field.
        QCOMPARE(window->ui.ixmlWarning->isHidden(), !keys.join(' ').contains("ixml"));
        QStringList marked;
        for (MetadataField field : batchFields())
            if (QWidget *control = fieldControl(window->ui, field);
                control->findChild<QAction *>("metadataWarning") || control->findChild<QLabel *>("metadataWarning"))
                marked << fieldKey(field);
        docfix::closeAllDocuments();
        keys.removeIf([](const QString &key) { return key == "bext" || key == "md5" || key.startsWith("ixml"); });
        QCOMPARE(marked, keys);
    }

    void convertWritesWhatTheTabWrites_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<QString>("channels");
        QTest::addColumn<bool>("keepBext");
        QTest::addColumn<bool>("popUpNames");
        QTest::newRow("24-bit, two channels, record kept") << (SF_FORMAT_WAV | SF_FORMAT_PCM_24) << "2,0" << true << false;
        QTest::newRow("FLAC by the pop-ups' names") << (SF_FORMAT_FLAC | SF_FORMAT_PCM_16) << "" << false << true;
        QTest::newRow("same format, record dropped") << (SF_FORMAT_WAV | SF_FORMAT_PCM_16) << "" << false << false;
        QTest::newRow("u-law of a signal beyond full scale") << (SF_FORMAT_WAV | SF_FORMAT_ULAW) << "1" << false << false;
    }
    void convertWritesWhatTheTabWrites()
    {
        QFETCH(int, format);
        QFETCH(QString, channels);
        QFETCH(bool, keepBext);
        QFETCH(bool, popUpNames);
        QString source = m_dir.filePath("convert.wav");
        if (format & SF_FORMAT_ULAW)
            QVERIFY(fixtures::write(source, docfix::spec(3000, 3, SF_FORMAT_WAV | SF_FORMAT_FLOAT),
                                    [](sf_count_t f, int) { return f % 3 ? 1.7 : std::nan(""); }));
        else
            QVERIFY(docfix::writeFileBytes(source, bwf("2024-05-06", "07:08:09", "Take", "A=PCM\r\n")));
        const QString tab = m_dir.filePath("tab.out"), cli = m_dir.filePath("cli.out");
        QFile::remove(cli); // another row's, of another format
        auto doc = docfix::open(source);
        QVERIFY(docfix::chooseConvertFormat(*doc, format));
        for (int c = 0; c < 3; ++c)
            doc->conversion().setChannelKept(c, channels.isEmpty() || channels.contains(QString::number(c)));
        doc->conversion().setKeepBext(keepBext);
        QVERIFY(doc->convertToURL(QUrl::fromLocalFile(tab), true, nullptr));

        QString name = QStringLiteral("%1:%2").arg(format >> 16 == SF_FORMAT_WAV >> 16 ? "wav" : "FLAC")
                           .arg(format & SF_FORMAT_ULAW ? "ULAW" : (format & 0xff) == 3 ? "pcm_24" : "PCM_16");
        for (const FormatEntry &sub : writableSubformats(majorFormatIndex(format)))
            if (popUpNames && sub.format == format)
                name = majorFormats()[majorFormatIndex(format)].name + ":" + sub.name;
        QStringList args{"--convert", "--format", name, "-o", cli, source};
        if (keepBext)
            args << "--keep-bext";
        const CommandRun r = runWavquill(args << (channels.isEmpty() ? QStringList() : QStringList{"--channels", channels}));
        QCOMPARE(r.status, 0);
        QCOMPARE(r.err.contains("not carried over: iXML"), format != (SF_FORMAT_WAV | SF_FORMAT_PCM_16) && !(format & SF_FORMAT_ULAW));
        QCOMPARE(docfix::fileBytes(cli), docfix::fileBytes(tab));
        QCOMPARE(runWavquill({"--convert", "--format", "WAV:VORBIS", "-o", cli, source}).status, 2);
        QCOMPARE(runWavquill({"--convert", "--format", "WAV:PCM_16", "--channels", "", "-o", cli, source}).status, 2);
    }

    // The same format is a byte copy, whose tags keep every string.
    void convertToTheSameMp3WarnsOfNothing()
    {
        if (!fixtures::haveProgram("ffmpeg"))
            QSKIP("ffmpeg is not installed");
        const QString source = make("same.mp3"), out = m_dir.filePath("same-out.mp3");
        const CommandRun r = runWavquill({"--convert", "--format", "MPEG:MPEG_LAYER_III", "-o", out, source});
        QCOMPARE(r.err, QString());
        QCOMPARE(docfix::fileBytes(out), docfix::fileBytes(source));
    }

    // --embed-md5 stores the audio's MD5 where a title save keeps it and
    // --verify finds it; FLAC keeps its own, and a flipped audio byte is a
    // mismatch.
    void embedAndVerify()
    {
        const QString wav = m_dir.filePath("fixity.wav"), flac = make("fixity.flac");
        QVERIFY(docfix::writeFileBytes(wav, bwf("2024-05-06", "07:08:09", "Take", "A=PCM\r\n")));
        CommandRun r = runWavquill({"--verify", wav, flac});
        QCOMPARE(r.out, wav + ": no checksum stored\n" + flac + ": ok\n");
        QCOMPARE(r.status, 0);
        r = runWavquill({"--embed-md5", wav, flac});
        QCOMPARE(r.status, 1);
        QVERIFY2(r.err.contains(flac + ": only WAV and RF64"), qPrintable(r.err));
        const auto md5Chunk = [&wav] {
            const QByteArray bytes = docfix::fileBytes(wav);
            return bytes.mid(bytes.indexOf("MD5 "), 24);
        };
        const QByteArray stored = md5Chunk();
        QCOMPARE(runWavquill({"--set", "title=Kept", wav}).status, 0);
        QCOMPARE(md5Chunk(), stored);
        const QJsonObject json = QJsonDocument::fromJson(runWavquill({"--verify", "--json", wav}).out.toUtf8()).object();
        QCOMPARE(json["status"].toString(), "ok");
        QCOMPARE(json["md5Stored"].toString(), QString::fromLatin1(stored.mid(8).toHex()));
        QCOMPARE(json["md5Computed"], json["md5Stored"]);

        QByteArray bytes = docfix::fileBytes(wav);
        bytes[bytes.indexOf(QByteArray(1200, 3)) + 7] = 0x7f;
        QVERIFY(docfix::writeFileBytes(wav, bytes));
        r = runWavquill({"--verify", wav});
        QCOMPARE(r.out, wav + ": MISMATCH\n");
        QCOMPARE(r.status, 1);
    }

    // -o is never the source under another name, nor a file of another
    // kind unless forced.
    void convertRefusesItsSourceAndOtherFiles_data()
    {
        QTest::addColumn<QString>("setUp"); // of conv-out.wav, beside the source
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("refusal");
        const QString source = "is the file being converted (the same file by another name or link)";
        QTest::newRow("the source") << "ln -s conv-src.wav conv-out.wav" << QStringList{"-o", "conv-src.wav"} << source;
        QTest::newRow("a hard link of the source") << "ln conv-src.wav conv-out.wav" << QStringList() << source;
        QTest::newRow("a symbolic link to the source") << "ln -s conv-src.wav conv-out.wav" << QStringList() << source;
        QTest::newRow("a text file") << "echo notes > conv-out.wav" << QStringList() << "exists and is not a WAV (Microsoft) file; nothing";
        QTest::newRow("a text file, forced") << "echo notes > conv-out.wav" << QStringList{"--force"} << "";
    }
    void convertRefusesItsSourceAndOtherFiles()
    {
        QFETCH(QString, setUp);
        QFETCH(QStringList, options);
        QFETCH(QString, refusal);
        const QString source = make("conv-src.wav"), out = m_dir.filePath("conv-out.wav");
        QCOMPARE(shell("rm -f conv-out.wav && " + setUp), 0);
        const QByteArray before = docfix::fileBytes(source), outBefore = docfix::fileBytes(out);
        QDir::setCurrent(m_dir.path());
        const CommandRun r = runWavquill(QStringList{"--convert", "--format", "WAV:PCM_24", "-o", "conv-out.wav", "conv-src.wav"} + options);
        QDir::setCurrent(QDir::rootPath());
        QCOMPARE(r.status, refusal.isEmpty() ? 0 : 1);
        QVERIFY2(r.err.contains(refusal), qPrintable(r.err));
        QCOMPARE(docfix::fileBytes(source), before);
        QCOMPARE(docfix::fileBytes(out) == outBefore, !refusal.isEmpty());
    }

    // A save edits the file the kernel opens for the name given, and keeps
    // that file's identity: ".." after a linked folder is where the link
    // leads, a file with two names is split only when asked, and keeps its
    // modification time when asked.
    void setFollowsTheFileItNames_data()
    {
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("field"); // a longer history needs a new file; a same-size title does not
        QTest::addColumn<QString>("edited"); // empty: refused
        QTest::addColumn<QString>("kept");  // empty: no other file
        QTest::newRow("'..' after a linked folder") << "a/dl/../x.wav" << "" << "codingHistory" << "b/x.wav" << "a/x.wav";
        QTest::newRow("two names") << "a/h.wav" << "" << "codingHistory" << "" << "a/x.wav";
        QTest::newRow("two names, split") << "a/h.wav" << "--split-links" << "codingHistory" << "a/h.wav" << "a/x.wav";
        QTest::newRow("two names, in place") << "a/h.wav" << "" << "title" << "a/x.wav" << "";
        QTest::newRow("time kept") << "b/x.wav" << "--keep-mtime" << "codingHistory" << "b/x.wav" << "a/x.wav";
    }
    void setFollowsTheFileItNames()
    {
        QFETCH(QString, given);
        QFETCH(QString, option);
        QFETCH(QString, field);
        QFETCH(QString, edited);
        QFETCH(QString, kept);
        QCOMPARE(shell("rm -rf id && mkdir -p id/a id/b/c && ln -s ../b/c id/a/dl"), 0);
        QVERIFY(!make("id/b/x.wav").isEmpty() && shell("ln " + make("id/a/x.wav") + " id/a/h.wav") == 0);
        const size_t f = size_t(*fieldNamed(field));
        const QString old = textsOf(m_dir.filePath("id/a/x.wav"))[f];
        QDir::setCurrent(m_dir.filePath("id"));
        const QString before = stamp(m_dir.filePath("id/b/x.wav"));
        const QString value = field == "title" ? "New" : "A=PCM,F=44100,W=16,M=stereo,T=" + QString(160, 'x');
        const CommandRun r = runWavquill(QStringList{"--set", field + "=" + value, given} + (option.isEmpty() ? QStringList() : QStringList{option}));
        QDir::setCurrent(QDir::rootPath());
        QCOMPARE(r.status, edited.isEmpty() ? 1 : 0);
        QVERIFY(edited.isEmpty() ? r.err.contains("has 2 names") : textsOf(m_dir.filePath("id/" + edited))[f] == value);
        QVERIFY(kept.isEmpty() || textsOf(m_dir.filePath("id/" + kept))[f] == old);
        QVERIFY(option != "--keep-mtime" || stamp(m_dir.filePath("id/b/x.wav")).section(':', 1) == before.section(':', 1));
    }

    // Saving another user's file in a shared folder as a new file (a longer
    // history has no room in place) makes it the saver's: the batch says so.
    void ownerChangeIsReported()
    {
        if (::geteuid() != 0 || !fixtures::haveProgram("setpriv"))
            QSKIP("Needs root and setpriv, to save as another user.");
        QCOMPARE(shell("chmod 711 . && mkdir -p shared && chmod 777 shared"), 0);
        const QString path = make("shared/root.wav");
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther | QFileDevice::WriteOther));
        QProcess program;
        program.start("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", WAVQUILL_BINARY, "--set", "codingHistory=" + QString(300, 'x'), path});
        QVERIFY(program.waitForFinished(60000) && program.exitCode() == 0);
        QVERIFY(program.readAllStandardError().contains("the saved file belongs to you now, no longer to root:root"));
        QCOMPARE(QFileInfo(path).ownerId(), 65534u);
    }

    // A name whose bytes are not valid in the system's encoding is refused,
    // never taken for the file its decoded text names.
    void nameNotInTheEncodingIsRefused()
    {
        const QString sibling = make(QStringLiteral("take\uFFFD.wav"));
        QCOMPARE(shell("cp take\uFFFD.wav \"$(printf 'take\\377.wav')\""), 0);
        // Qt cannot name the file to remove it with the folder: the shell can.
        const auto removeIt = qScopeGuard([this] { shell("rm -f \"$(printf 'take\\377.wav')\""); });
        const QByteArray before = docfix::fileBytes(sibling);
        QProcess program;
        program.start("sh", {"-c", "exec \"$0\" --set title=New \"$1/$(printf 'take\\377.wav')\"", WAVQUILL_BINARY, m_dir.path()});
        QVERIFY(program.waitForFinished(60000));
        QCOMPARE(program.exitCode(), 1);
        QVERIFY(program.readAllStandardError().contains("the file name is not valid in this system's encoding; rename it"));
        QCOMPARE(docfix::fileBytes(sibling), before);
    }

    // Ctrl+C (or SIGTERM, SIGHUP) before the 34th of 40 files, with up to 32
    // saves in flight: each file is written whole or left as it was, none
    // after the stop is started, and no temporary file is left, named ones
    // included.
    void stopSignalsStopTheBatch_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<bool>("named");
        QTest::newRow("Ctrl+C") << int(SIGINT) << false;
        QTest::newRow("SIGTERM, named temporaries") << int(SIGTERM) << true;
        QTest::newRow("SIGHUP, named temporaries") << int(SIGHUP) << true;
    }
    void stopSignalsStopTheBatch()
    {
        QFETCH(int, signal);
        QFETCH(bool, named);
        QStringList files{make("big.wav")};
        for (int i = 1; i < 40; ++i)
            files << make(QStringLiteral("small%1.wav").arg(i));
        QList<QByteArray> before;
        for (const QString &file : files)
            before << docfix::fileBytes(file);
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("WAVQUILL_PROGRESS_AFTER_MS", "0");
        env.insert("WAVQUILL_INTERRUPT_BEFORE_FILE", "34");
        env.insert("WAVQUILL_INTERRUPT_SIGNAL", QString::number(signal));
        if (named)
            env.insert("WAVQUILL_NAMED_TEMPORARIES", "1");
        program.setProcessEnvironment(env);
        program.start(QStringLiteral(WAVQUILL_BINARY), QStringList{"--set", "title=New"} + files);
        QVERIFY(program.waitForFinished(60000));
        const QString progress = QString::fromUtf8(program.readAllStandardError());
        QCOMPARE(program.exitCode(), 128 + signal);
        qsizetype left = 0;
        for (int i = 0; i < files.size(); ++i) {
            const bool unchanged = docfix::fileBytes(files[i]) == before[i];
            QVERIFY(i < 33 || unchanged);
            QCOMPARE(textsOf(files[i])[size_t(F::Title)], unchanged ? "Old" : "New");
            left += unchanged;
        }
        QVERIFY2(progress.contains(QStringLiteral("interrupted; %1 of 40 files left as they were").arg(left)), qPrintable(progress));
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Hidden | QDir::Files).filter(".wavquill"), QStringList());
    }
};

QTEST_MAIN(TestBatch)
#include "tst_batch.moc"
