#include "cli/CommandLine.h"

#include "analysis/PeakScan.h"
#include "filelogic/SoundFileOpen.h"
#include "cli/BatchConvert.h"
#include "cli/ChunkReport.h"
#include "cli/Csv.h"
#include "cli/FileReport.h"
#include "cli/LoudnessReport.h"
#include "cli/MetadataCheck.h"
#include "rewrite/ChunkSave.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTextStream>

namespace {

const QString kProgram = QStringLiteral("wavquill");

// Opens the file the way a document does (same checks, same error texts) and
// collects what the window's tabs would show.
FileReport inspectFile(const QString &file, bool info, bool peak)
{
    FileReport report;
    report.file = file;
    SF_INFO sfinfo{};
    qint64 size = 0;
    DocumentError error;
    const SoundHandle handle = openSoundFile(QFileInfo(file).absoluteFilePath(), &sfinfo, &size, &error);
    if (!handle) {
        report.error = error.localizedDescription.isEmpty() ? QStringLiteral("Unable to open the file.")
                                                            : error.localizedDescription;
        return report;
    }
    if (info) {
        report.sections = infoSections(handle.get(), sfinfo, size, QFileInfo(file).absoluteFilePath());
        if (chunkSaveSupported(sfinfo.format))
            report.sections.append(chunksSection(QFileInfo(file).absoluteFilePath()));
    }
    if (peak) {
        std::vector<double> peaks;
        scanPeaks(handle.get(), sfinfo, peaks, {});
        report.sections.append(peakSection(peaks, sfinfo.format));
    }
    return report;
}

} // namespace

namespace {

// The options of one kind of work, and the other options each allows.
struct Action {
    CommandLineMode mode;
    const char *option;
    QStringList allows;
};

// Options that only some kinds of work take.
const QStringList kModeOptions{"json", "dry-run", "format", "channels", "o", "keep-bext"};

QString optionText(const QString &name)
{
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}

// What the options ask for beyond the mode: files, values and the options
// only some modes take. Empty when all is well, else the usage error.
QString checkAction(const Action &action, const QCommandLineParser &parser, CommandLineOptions &options)
{
    for (const QString &name : kModeOptions)
        if (parser.isSet(name) && !action.allows.contains(name))
            return QStringLiteral("%1 does not go with --%2").arg(optionText(name), QLatin1String(action.option));
    const QString need = QStringLiteral("--%1 needs at least one file").arg(QLatin1String(action.option));
    switch (action.mode) {
    case CommandLineMode::ImportCsv:
        return options.files.isEmpty() ? QString() : QStringLiteral("--import-csv takes the files from the CSV");
    case CommandLineMode::Convert:
        if (options.format.isEmpty() || options.output.isEmpty())
            return QStringLiteral("--convert needs --format and -o");
        return options.files.size() == 1 ? QString() : QStringLiteral("--convert takes one file");
    case CommandLineMode::Set:
        for (const QString &text : parser.values(QStringLiteral("set"))) {
            QString error;
            const std::optional<FieldEdit> edit = parseFieldEdit(text, &error);
            if (!edit)
                return QStringLiteral("--set: ") + error;
            for (const FieldEdit &earlier : options.edits)
                if (earlier.field == edit->field)
                    return QStringLiteral("--set names '%1' twice").arg(batchFieldKey(edit->field));
            options.edits << *edit;
        }
        break;
    default:
        break;
    }
    return options.files.isEmpty() ? need : QString();
}

} // namespace

CommandLineOptions parseCommandLine(const QStringList &args)
{
    QCommandLineParser parser;
    // Unknown options in a window's command line are Qt's own (-platform,
    // -style); without an option of ours they are left to it.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QStringList flags{"version", "info", "peak", "loudness", "json", "dry-run", "export-csv", "check", "convert", "keep-bext"};
    for (const QString &flag : flags)
        parser.addOption(QCommandLineOption(flag));
    parser.addOption(QCommandLineOption(QStringList{QStringLiteral("h"), QStringLiteral("help")}));
    for (const char *valued : {"set", "import-csv", "format", "channels"})
        parser.addOption(QCommandLineOption(QString::fromLatin1(valued), QString(), QStringLiteral("value")));
    parser.addOption(QCommandLineOption(QStringList{QStringLiteral("o"), QStringLiteral("output")}, QString(),
                                        QStringLiteral("file")));
    const bool parsed = parser.parse(QStringList{kProgram} + args);

    CommandLineOptions options;
    options.info = parser.isSet(QStringLiteral("info"));
    options.peak = parser.isSet(QStringLiteral("peak"));
    options.loudness = parser.isSet(QStringLiteral("loudness"));
    options.json = parser.isSet(QStringLiteral("json"));
    options.dryRun = parser.isSet(QStringLiteral("dry-run"));
    options.csv = parser.value(QStringLiteral("import-csv"));
    options.format = parser.value(QStringLiteral("format"));
    if (parser.isSet(QStringLiteral("channels")))
        options.channels = parser.value(QStringLiteral("channels"));
    options.output = parser.value(QStringLiteral("o"));
    options.keepBext = parser.isSet(QStringLiteral("keep-bext"));
    options.files = parser.positionalArguments();
    if (parser.isSet(QStringLiteral("help"))) {
        options.mode = CommandLineMode::Help;
        return options;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        options.mode = CommandLineMode::Version;
        return options;
    }
    using M = CommandLineMode;
    const QList<Action> actions = {
        {M::Inspect, options.info ? "info" : options.peak ? "peak" : "loudness", {"json"}}, {M::Set, "set", {"dry-run"}},
        {M::ExportCsv, "export-csv", {}},                        {M::ImportCsv, "import-csv", {"dry-run"}},
        {M::Check, "check", {}},                                 {M::Convert, "convert", {"format", "channels", "o", "keep-bext"}},
    };
    QList<Action> asked;
    for (const Action &action : actions)
        if (parser.isSet(QLatin1String(action.option)) || (action.mode == M::Inspect && (options.peak || options.loudness)))
            asked << action;
    if (!parsed && parser.unknownOptionNames().isEmpty()) {
        options.error = parser.errorText(); // an option without its value
    } else if (asked.size() > 1) {
        options.error = QStringLiteral("--%1 and --%2 do not go together").arg(QLatin1String(asked[0].option), QLatin1String(asked[1].option));
    } else if (asked.isEmpty()) {
        for (const QString &name : kModeOptions)
            if (options.error.isEmpty() && parser.isSet(name))
                options.error = QStringLiteral("%1 goes with %2").arg(optionText(name),
                    name == QLatin1String("json") ? QStringLiteral("--info, --peak or --loudness")
                    : name == QLatin1String("dry-run") ? QStringLiteral("--set or --import-csv") : QStringLiteral("--convert"));
    } else if (!parser.unknownOptionNames().isEmpty()) {
        options.error = QStringLiteral("unknown option '%1'").arg(parser.unknownOptionNames().first());
    } else {
        options.error = checkAction(asked.first(), parser, options);
    }
    options.mode = !options.error.isEmpty() ? M::UsageError : asked.isEmpty() ? M::Gui : asked.first().mode;
    return options;
}

QString commandLineUsage()
{
    return QStringLiteral(
        "Usage: wavquill [FILE...]\n"
        "       wavquill --info [--peak] [--json] FILE...\n"
        "       wavquill --peak [--json] FILE...\n"
        "       wavquill --loudness [--json] FILE...\n"
        "       wavquill --set FIELD=VALUE [--set ...] [--dry-run] FILE...\n"
        "       wavquill --export-csv FILE... > list.csv\n"
        "       wavquill --import-csv list.csv [--dry-run]\n"
        "       wavquill --check FILE...\n"
        "       wavquill --convert --format MAJOR[:SUBTYPE] [--channels 0,2,...] [--keep-bext] -o OUT FILE\n"
        "\n"
        "Opens each sound file in a window of its own, where its properties, text\n"
        "metadata and broadcast (BEXT) record can be read and edited, and the file\n"
        "can be played, measured and converted.\n"
        "\n"
        "Options:\n"
        "  --info      print what the window's Properties, Strings and BEXT tabs show\n"
        "              for each file, without opening a window\n"
        "  --peak      print each channel's peak level, as the Peak tab shows it\n"
        "  --loudness  print each file's loudness (EBU R128), as the Peak tab shows it\n"
        "  --json      with --info, --peak or --loudness: print JSON instead, one\n"
        "              object per file (an array of them when several files are named)\n"
        "  --set FIELD=VALUE\n"
        "              write a field into each file as the window's Save does;\n"
        "              FIELD is a key of --json (title, artist, comment, copyright,\n"
        "              software, date, description, originator, originatorRef,\n"
        "              originationDate, originationTime, timecode, umid,\n"
        "              codingHistory, loudnessValue, loudnessRange,\n"
        "              maxTruePeakLevel, maxMomentaryLoudness,\n"
        "              maxShortTermLoudness); FIELD= clears it. The umid is\n"
        "              given in hexadecimal (up to 64 bytes). A file whose format\n"
        "              cannot hold a field is left as it was and reported\n"
        "  --dry-run   with --set or --import-csv: print what would change, write\n"
        "              nothing\n"
        "  --export-csv  print the files' fields as CSV, one row per file\n"
        "  --import-csv CSV\n"
        "              write back the cells of an (edited) CSV that differ from\n"
        "              the files; relative paths are taken from the CSV's folder\n"
        "  --check     report what does not follow EBU Tech 3285 and the INFO\n"
        "              conventions (dates, times, ASCII, the coding history)\n"
        "  --convert   convert FILE as the Convert tab does: --format names the\n"
        "              format and encoding as the tab's pop-ups do or as libsndfile\n"
        "              does (WAV:PCM_24), --channels the channels to keep (from 0),\n"
        "              --keep-bext keeps the broadcast record, -o the new file\n"
        "  -h, --help  print this text and exit\n"
        "  --version   print the program's version and exit\n"
        "  --          every later argument is a file, even one starting with -\n"
        "\n"
        "Without any of these, Qt's own options (-platform, -style, ...) apply to\n"
        "the windows. Batches show progress on standard error once they take more\n"
        "than a second. After Ctrl+C no file starts, and each file being written\n"
        "is either finished or left as it was.\n"
        "\n"
        "Exit status: 0 when every file was read or written, 1 when one could not\n"
        "be (the others are still done) or --check reported something, 2 when the\n"
        "options are wrong, 130 when Ctrl+C stopped a batch.\n");
}

int runCommandLine(const QStringList &args, QTextStream &out, QTextStream &err)
{
    const CommandLineOptions options = parseCommandLine(args);
    switch (options.mode) {
    case CommandLineMode::Gui:
        return kStartGui;
    case CommandLineMode::Help:
        out << commandLineUsage();
        out.flush();
        return 0;
    case CommandLineMode::Version:
        out << "WavQuill " << QStringLiteral(WAVQUILL_VERSION) << '\n';
        out.flush();
        return 0;
    case CommandLineMode::UsageError:
        err << kProgram << ": " << options.error << '\n'
            << "Try 'wavquill --help' for more information.\n";
        err.flush();
        return 2;
    case CommandLineMode::Inspect:
        break;
    case CommandLineMode::Set: {
        QList<QPair<QString, FieldEdits>> files;
        for (const QString &file : options.files)
            files << qMakePair(file, options.edits);
        return runFieldEdits(files, options.dryRun, out, err);
    }
    case CommandLineMode::ExportCsv:
        return runExportCsv(options.files, out, err);
    case CommandLineMode::ImportCsv:
        return runImportCsv(options.csv, options.dryRun, out, err);
    case CommandLineMode::Check:
        return runCheck(options.files, out, err);
    case CommandLineMode::Convert:
        return runConvert({options.files.first(), options.output, options.format, options.channels, options.keepBext},
                          out, err);
    }

    int status = 0;
    QJsonArray json;
    bool printedOne = false;
    for (const QString &file : options.files) {
        FileReport report = inspectFile(file, options.info, options.peak);
        if (options.loudness)
            addLoudnessSection(report);
        if (!report.error.isEmpty()) {
            status = 1;
            err << kProgram << ": " << file << ": " << report.error << '\n';
            err.flush();
        }
        if (options.json) {
            // A program reading the JSON learns of the failure there too.
            json.append(reportJson(report));
        } else if (report.error.isEmpty()) {
            // Files are separated by a blank line, and printed as they are
            // read so a long list shows progress.
            if (printedOne)
                out << '\n';
            out << reportText(report) << '\n';
            out.flush();
            printedOne = true;
        }
    }
    if (options.json) {
        const QJsonDocument doc = options.files.size() == 1 ? QJsonDocument(json.first().toObject())
                                                            : QJsonDocument(json);
        out << doc.toJson(QJsonDocument::Indented);
        out.flush();
    }
    return status;
}
