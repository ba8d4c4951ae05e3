#include "cli/CommandLine.h"

#include "analysis/PeakScan.h"
#include "container/SoundFileOpen.h"
#include "container/TagReader.h"
#include "filelogic/FilePath.h"
#include "filelogic/FormatList.h"
#include "filelogic/SaveJournal.h"
#include "cli/BatchChecksum.h"
#include "cli/BatchConvert.h"
#include "cli/ChunkReport.h"
#include "cli/Csv.h"
#include "cli/FileReport.h"
#include "cli/LoudnessReport.h"
#include "cli/MarkerReport.h"
#include "cli/MetadataCheck.h"
#include "rewrite/ChunkSave.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTextStream>

namespace {

const QString kProgram = QStringLiteral("wavquill");

// What --info can still show of a file libsndfile refuses: the chunks of a
// WAV, RF64 or AIFF file up to where they are damaged, or an MP3's ID3 tags.
QList<ReportSection> readableParts(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    if (chunkContainerOf(FdByteSource(file.handle())))
        return {chunksSection(path)};
    FileMetadata tags;
    if (const std::optional<TagStrings> strings = readId3Tags(path)) {
        tags.strings = *strings;
        return {metadataSection(FieldStore::Strings, tags, 0)};
    }
    return {};
}

// Opens the file the way a document does (same checks, same error texts) and
// collects what the window's tabs would show.
FileReport inspectFile(const QString &file, bool info, bool peak)
{
    FileReport report;
    report.file = file;
    const QString path = absolutePathAsGiven(file);
    SF_INFO sfinfo{};
    qint64 size = 0;
    DocumentError error;
    const SoundHandle handle = openSoundFile(path, &sfinfo, &size, &error);
    if (!handle) {
        if (info && QFileInfo(path).isFile())
            report.sections = readableParts(path);
        if (!report.sections.isEmpty())
            error.localizedDescription += QStringLiteral(" The audio cannot be decoded.");
        report.error = error.localizedDescription.isEmpty() ? QStringLiteral("Unable to open the file.") : error.oneLine();
        return report;
    }
    if (info) {
        report.sections = infoSections(handle.get(), sfinfo, size, path);
        if (chunkSaveSupported(sfinfo.format)) {
            // As the window shows its Markers tab: only when there are some.
            if (const ReportSection markers = markersSection(path, sfinfo.samplerate); !markers.fields.isEmpty())
                report.sections.append(markers);
            report.sections.append(chunksSection(path));
        }
    }
    if (peak) {
        const ChannelNames naming = fileChannelNames(handle.get(), sfinfo.channels,
                                                       readSavedMetadata(handle.get(), sfinfo.format, path));
        std::vector<double> peaks;
        scanPeaks(handle.get(), sfinfo, peaks, {});
        report.sections.append(peakSection(peaks, sfinfo.format, naming));
    }
    return report;
}

// The words the shell completes for --completion-words kind.
std::optional<QStringList> completionWords(const QString &kind)
{
    if (kind == QLatin1String("extensions"))
        return soundFileExtensions();
    if (kind != QLatin1String("fields"))
        return std::nullopt;
    QStringList keys;
    // A track's key takes its number; the first stands for them all.
    for (MetadataField field : batchFields())
        keys << (field == MetadataField::IxmlTrackName ? trackKey(1) : fieldKey(field));
    return keys;
}

} // namespace

namespace {

// The options of one kind of work, and the other options each allows.
struct Action {
    CommandLineMode mode;
    const char *option;
    QStringList allows;
};

// Options that only some kinds of work take, and the work they go with.
const QList<QPair<QString, QString>> kModeOptions{
    {"json", "--info, --peak, --loudness or --verify"},
    {"dry-run", "--set, --import-csv, --embed-md5 or --import-chunk"},
    {"keep-mtime", "--set, --import-csv, --embed-md5 or --import-chunk"},
    {"split-links", "--set, --import-csv, --embed-md5, --import-chunk or --convert"},
    {"format", "--convert"}, {"channels", "--convert"}, {"o", "--convert"}, {"keep-bext", "--convert"},
    {"force", "--convert"}};

QString optionText(const QString &name)
{
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}

// What the options ask for beyond the mode: files, values and the options
// only some modes take. Empty when all is well, else the usage error.
QString checkAction(const Action &action, const QCommandLineParser &parser, CommandLineOptions &options)
{
    for (const auto &[name, goesWith] : kModeOptions)
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
    case CommandLineMode::ExportChunk: {
        QString error;
        const std::optional<QByteArray> id = chunkIdArgument(parser.value(QStringLiteral("export-chunk")), &error);
        if (!id)
            return QStringLiteral("--export-chunk: ") + error;
        options.chunkId = *id;
        return options.files.size() == 1 ? QString() : QStringLiteral("--export-chunk takes one file");
    }
    case CommandLineMode::ImportChunk:
        for (const QString &text : parser.values(QStringLiteral("import-chunk"))) {
            QString error;
            const std::optional<ChunkImport> import = parseChunkImport(text, &error);
            if (!import)
                return QStringLiteral("--import-chunk: ") + error;
            options.chunkImports << *import;
        }
        break;
    case CommandLineMode::Set:
        for (const QString &text : parser.values(QStringLiteral("set"))) {
            QString error;
            const std::optional<FieldEdit> edit = parseFieldEdit(text, &error);
            if (!edit)
                return QStringLiteral("--set: ") + error;
            for (const FieldEdit &earlier : options.edits)
                if (earlier.key() == edit->key())
                    return QStringLiteral("--set names '%1' twice").arg(edit->key());
            options.edits << *edit;
        }
        break;
    default:
        break;
    }
    return options.files.isEmpty() ? need : QString();
}

// An option's description filled into lines under its indent, as the
// others are laid out.
QString described(const QString &text)
{
    constexpr qsizetype kIndent = 14, kWidth = 77;
    const QString indent(kIndent, u' ');
    QString out, line;
    for (const QString &word : text.split(u' ', Qt::SkipEmptyParts)) {
        if (!line.isEmpty() && kIndent + line.size() + 1 + word.size() > kWidth) {
            out += indent + line + u'\n';
            line.clear();
        }
        line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
    }
    return out + indent + line + u'\n';
}

} // namespace

namespace {

void addOptions(QCommandLineParser &parser)
{
    // Unknown options in a window's command line are Qt's own (-platform,
    // -style); without an option of ours they are left to it.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QStringList flags{"version", "info", "peak", "loudness", "json", "dry-run", "export-csv", "check", "convert",
                            "keep-bext", "force", "split-links", "keep-mtime", "verify", "embed-md5"};
    for (const QString &flag : flags)
        parser.addOption(QCommandLineOption(flag));
    parser.addOption(QCommandLineOption(QStringList{QStringLiteral("h"), QStringLiteral("help")}));
    for (const char *valued : {"set", "import-csv", "format", "channels", "completion-words", "export-chunk", "import-chunk"})
        parser.addOption(QCommandLineOption(QString::fromLatin1(valued), QString(), QStringLiteral("value")));
    parser.addOption(QCommandLineOption(QStringList{QStringLiteral("o"), QStringLiteral("output")}, QString(),
                                        QStringLiteral("file")));
}

} // namespace

CommandLineOptions parseCommandLine(const QStringList &args)
{
    QCommandLineParser parser;
    addOptions(parser);
    const bool parsed = parser.parse(QStringList{kProgram} + args);

    CommandLineOptions options;
    options.info = parser.isSet(QStringLiteral("info"));
    options.peak = parser.isSet(QStringLiteral("peak"));
    options.loudness = parser.isSet(QStringLiteral("loudness"));
    options.json = parser.isSet(QStringLiteral("json"));
    options.rules.dryRun = parser.isSet(QStringLiteral("dry-run"));
    options.rules.splitLinks = parser.isSet(QStringLiteral("split-links"));
    options.rules.keepModified = parser.isSet(QStringLiteral("keep-mtime"));
    options.force = parser.isSet(QStringLiteral("force"));
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
    if (parser.isSet(QStringLiteral("completion-words"))) {
        options.completionWords = parser.value(QStringLiteral("completion-words"));
        options.mode = CommandLineMode::CompletionWords;
        if (!completionWords(options.completionWords)) {
            options.mode = CommandLineMode::UsageError;
            options.error = QStringLiteral("--completion-words takes fields or extensions");
        }
        return options;
    }
    using M = CommandLineMode;
    const QList<Action> actions = {
        {M::Inspect, options.info ? "info" : options.peak ? "peak" : "loudness", {"json"}},
        {M::Set, "set", {"dry-run", "split-links", "keep-mtime"}},
        {M::ExportCsv, "export-csv", {}},
        {M::ImportCsv, "import-csv", {"dry-run", "split-links", "keep-mtime"}},
        {M::Check, "check", {}},
        {M::Convert, "convert", {"format", "channels", "o", "keep-bext", "force", "split-links"}},
        {M::Verify, "verify", {"json"}},
        {M::EmbedMd5, "embed-md5", {"dry-run", "split-links", "keep-mtime"}},
        {M::ExportChunk, "export-chunk", {}},
        {M::ImportChunk, "import-chunk", {"dry-run", "split-links", "keep-mtime"}},
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
        for (const auto &[name, goesWith] : kModeOptions)
            if (options.error.isEmpty() && parser.isSet(name))
                options.error = QStringLiteral("%1 goes with %2").arg(optionText(name), goesWith);
    } else if (!parser.unknownOptionNames().isEmpty()) {
        options.error = QStringLiteral("unknown option '%1'").arg(parser.unknownOptionNames().first());
    } else {
        options.error = checkAction(asked.first(), parser, options);
    }
    options.mode = !options.error.isEmpty() ? M::UsageError : asked.isEmpty() ? M::Gui : asked.first().mode;
    return options;
}

namespace {

// The options after --set in the usage text.
QString laterOptionsText()
{
    return QStringLiteral(
        "  --dry-run   with --set, --import-csv, --embed-md5 or --import-chunk:\n"
        "              print what would change and whether each file would be\n"
        "              saved in place or rewritten; write nothing\n"
        "  --export-csv  print the files' fields as CSV, one row per file\n"
        "  --import-csv CSV\n"
        "              write back the cells of an (edited) CSV that differ from\n"
        "              the files; relative paths are taken from the CSV's folder\n"
        "  --check     report what does not follow EBU Tech 3285 and the INFO\n"
        "              conventions (dates, times, ASCII, the coding history) and\n"
        "              what does not add up in the iXML chunk (XML, tracks, sample\n"
        "              rate, its copy of the broadcast record)\n"
        "  --convert   convert FILE as the Convert tab does: --format names the\n"
        "              format and encoding as the tab's pop-ups do or as libsndfile\n"
        "              does (WAV:PCM_24), --channels the channels to keep (from 0),\n"
        "              --keep-bext keeps the broadcast record, -o the new file,\n"
        "              which may not be FILE itself under any name\n"
        "  --force     with --convert: replace an -o file that exists and is not a\n"
        "              sound file of the chosen format\n"
        "  --split-links  with --set, --import-csv, --embed-md5 or --convert: save a\n"
        "              file that has other names (hard links) all the same; the name\n"
        "              saved gets a file of its own, the other names keep the old one\n"
        "  --keep-mtime  with --set, --import-csv or --embed-md5: saved files keep\n"
        "              their modification time\n"
        "  --verify    compute the MD5 of each file's audio (WAV, RF64 and BW64: the\n"
        "              data chunk's bytes; AIFF: the sound data; FLAC: the decoded\n"
        "              samples) and compare it with the one the file stores (an MD5\n"
        "              chunk, or FLAC's STREAMINFO): a line per file says \"ok\",\n"
        "              \"MISMATCH\" or \"no checksum stored\"; with --json, objects\n"
        "              with md5Stored, md5Computed and status (ok, mismatch,\n"
        "              notStored, error)\n"
        "  --embed-md5  store that MD5 in each WAV or RF64 file as an MD5 chunk,\n"
        "              saved as --set saves; a file already holding it is left alone\n"
        "  --export-chunk ID\n"
        "              write the payload of FILE's chunk ID (iXML, axml, _PMX, cue,\n"
        "              ...; shorter ids are padded with spaces) to standard output\n"
        "  --import-chunk ID=PATH\n"
        "              set chunk ID of each file to the contents of PATH, which must\n"
        "              be well-formed UTF-8 XML: the first such chunk is replaced\n"
        "              where it stands, else one is added; saved as --set saves\n"
        "  -h, --help  print this text and exit\n"
        "  --version   print the program's version and exit\n"
        "  --          every later argument is a file, even one starting with -\n"
        "\n"
        "Without any of these, Qt's own options (-platform, -style, ...) apply to\n"
        "the windows. Batches show progress on standard error once they take more\n"
        "than a second. After Ctrl+C, SIGTERM or SIGHUP no file starts, and each\n"
        "file being written is either finished or left as it was. A file that\n"
        "another program locks, writes or replaces while it is saved is left as\n"
        "it is and reported.\n"
        "\n"
        "Exit status: 0 when every file was read or written, 1 when one could not\n"
        "be (the others are still done), --check reported something or --verify\n"
        "found a mismatch, 2 when the options are wrong, 130 when Ctrl+C stopped a\n"
        "batch (143 for SIGTERM, 129 for SIGHUP).\n");
}

} // namespace

QString commandLineUsage()
{
    QStringList keys;
    for (MetadataField field : batchFields())
        keys << (field == MetadataField::IxmlTrackName ? fieldKey(field) + u'N' : fieldKey(field));
    return QStringLiteral(
        "Usage: wavquill [FILE...]\n"
        "   or: wavquill --info [--peak] [--json] FILE...\n"
        "   or: wavquill --peak [--json] FILE...\n"
        "   or: wavquill --loudness [--json] FILE...\n"
        "   or: wavquill --set FIELD=VALUE [--set ...] [--dry-run] [--split-links] [--keep-mtime] FILE...\n"
        "   or: wavquill --export-csv FILE... > list.csv\n"
        "   or: wavquill --import-csv list.csv [--dry-run] [--split-links] [--keep-mtime]\n"
        "   or: wavquill --check FILE...\n"
        "   or: wavquill --convert --format MAJOR[:SUBTYPE] [--channels 0,2,...] [--keep-bext] [--force]\n"
        "                [--split-links] -o OUT FILE\n"
        "   or: wavquill --verify [--json] FILE...\n"
        "   or: wavquill --embed-md5 [--dry-run] [--split-links] [--keep-mtime] FILE...\n"
        "   or: wavquill --export-chunk ID FILE > payload\n"
        "   or: wavquill --import-chunk ID=PATH [--import-chunk ...] [--dry-run] [--split-links] [--keep-mtime] FILE...\n"
        "\n"
        "Opens each sound file in a window of its own, where its properties, text\n"
        "metadata, broadcast (BEXT) record and iXML can be read and edited, and the\n"
        "file can be played, measured and converted.\n"
        "\n"
        "Options:\n"
        "  --info      print what the window's Properties, Strings, BEXT, iXML,\n"
        "              Markers and Chunks tabs show for each file, without opening\n"
        "              a window\n"
        "  --peak      print each channel's peak level, as the Peak tab shows it\n"
        "  --loudness  print each file's loudness (EBU R128), as the Peak tab shows it\n"
        "  --json      with --info, --peak, --loudness or --verify: print JSON\n"
        "              instead, one object per file (an array of them when several\n"
        "              files are named)\n"
        "  --set FIELD=VALUE\n")
        + described(QStringLiteral("write a field into each file as the window's Save does; FIELD is a key of --json "
                                   "(%1); FIELD= clears it. The umid is given in hexadecimal (up to %2 bytes); "
                                   "ixml.trackN names the iXML track whose CHANNEL_INDEX is N. A "
                                   "file whose format cannot hold a field is left as it was and reported")
                        .arg(keys.join(QStringLiteral(", ")))
                        .arg(fieldFacts(MetadataField::UMID).maxBytes))
        + laterOptionsText();
}

namespace {

// Takes the files named by arguments whose bytes were lost in decoding out
// of the options, saying so on err: such a name would name another file. 1
// when there was one, else 0; -1 when nothing is left to do.
int dropUnencodable(CommandLineOptions &options, const QStringList &unencodable, QTextStream &err)
{
    const auto unusable = [&](const QString &name) {
        if (!unencodable.contains(name))
            return false;
        err << kProgram << ": " << name << ": " << unencodableNameText() << '\n';
        err.flush();
        return true;
    };
    using M = CommandLineMode;
    if (options.mode == M::Gui || options.mode == M::Help || options.mode == M::Version || options.mode == M::UsageError)
        return 0;
    const int refused = options.files.removeIf(unusable) > 0 ? 1 : 0;
    if (unusable(options.output) || unusable(options.csv)
        || (refused && (options.files.isEmpty() || options.mode == M::Convert)))
        return -1;
    return refused;
}

// --info, --peak and --loudness: a report per file, as text or JSON.
int runInspect(const CommandLineOptions &options, int refused, QTextStream &out, QTextStream &err)
{
    int status = refused;
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
        } else if (report.error.isEmpty() || !report.sections.isEmpty()) {
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

// refused: 1 when files were dropped before (the status is then at least 1).
int runMode(const CommandLineOptions &options, int refused, QTextStream &out, QTextStream &err)
{
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
    case CommandLineMode::CompletionWords:
        out << completionWords(options.completionWords)->join(u'\n') << '\n';
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
        return std::max(refused, runFieldEdits(files, options.rules, out, err));
    }
    case CommandLineMode::ExportCsv:
        return std::max(refused, runExportCsv(options.files, out, err));
    case CommandLineMode::ImportCsv:
        return runImportCsv(options.csv, options.rules, out, err);
    case CommandLineMode::Check:
        return std::max(refused, runCheck(options.files, out, err));
    case CommandLineMode::Verify:
        return std::max(refused, runVerify(options.files, options.json, out, err));
    case CommandLineMode::EmbedMd5:
        return std::max(refused, runEmbedMd5(options.files, options.rules, out, err));
    case CommandLineMode::ExportChunk:
        return runExportChunk(options.chunkId, options.files.first(), out, err);
    case CommandLineMode::ImportChunk:
        return std::max(refused, runImportChunks(options.chunkImports, options.files, options.rules, out, err));
    case CommandLineMode::Convert:
        return runConvert({options.files.first(), options.output, options.format, options.channels, options.keepBext,
                           options.force, options.rules.splitLinks},
                          out, err);
    }

    return runInspect(options, refused, out, err);
}

} // namespace

int runCommandLine(const QStringList &args, QTextStream &out, QTextStream &err, const QStringList &unencodable)
{
    CommandLineOptions options = parseCommandLine(args);
    const int refused = dropUnencodable(options, unencodable, err);
    const int status = refused < 0 ? 1 : runMode(options, refused, out, err);
    // Saves cut short that opening the files finished or undid.
    for (const QString &notice : takeRecoveryNotices())
        err << kProgram << ": " << notice << '\n';
    err.flush();
    return status;
}
