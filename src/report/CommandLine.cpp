#include "report/CommandLine.h"

#include "analysis/PeakScan.h"
#include "filelogic/SoundFileOpen.h"
#include "report/ChunkReport.h"
#include "report/FileReport.h"
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
    SNDFILE *handle = openSoundFile(QFileInfo(file).absoluteFilePath(), &sfinfo, &size, &error);
    if (!handle) {
        report.error = error.localizedDescription.isEmpty() ? QStringLiteral("Unable to open the file.")
                                                            : error.localizedDescription;
        return report;
    }
    if (info) {
        report.sections = infoSections(handle, sfinfo, size);
        if (chunkSaveSupported(sfinfo.format))
            report.sections.append(chunksSection(QFileInfo(file).absoluteFilePath()));
    }
    if (peak) {
        std::vector<double> peaks;
        scanPeaks(handle, sfinfo, peaks, {});
        report.sections.append(peakSection(peaks, sfinfo.format));
    }
    sf_close(handle);
    return report;
}

} // namespace

CommandLineOptions parseCommandLine(const QStringList &args)
{
    QCommandLineParser parser;
    // Unknown options in a window's command line are Qt's own (-platform,
    // -style); without --info or --peak they are left to it.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringLiteral("version"));
    const QCommandLineOption info(QStringLiteral("info"));
    const QCommandLineOption peak(QStringLiteral("peak"));
    const QCommandLineOption json(QStringLiteral("json"));
    parser.addOptions({help, version, info, peak, json});
    parser.parse(QStringList{kProgram} + args);

    CommandLineOptions options;
    options.info = parser.isSet(info);
    options.peak = parser.isSet(peak);
    options.json = parser.isSet(json);
    options.files = parser.positionalArguments();
    if (parser.isSet(help)) {
        options.mode = CommandLineMode::Help;
    } else if (parser.isSet(version)) {
        options.mode = CommandLineMode::Version;
    } else if (options.info || options.peak) {
        options.mode = CommandLineMode::Inspect;
        if (!parser.unknownOptionNames().isEmpty()) {
            options.mode = CommandLineMode::UsageError;
            options.error = QStringLiteral("unknown option '%1'").arg(parser.unknownOptionNames().first());
        } else if (options.files.isEmpty()) {
            options.mode = CommandLineMode::UsageError;
            options.error = options.info ? QStringLiteral("--info needs at least one file")
                                         : QStringLiteral("--peak needs at least one file");
        }
    } else if (options.json) {
        options.mode = CommandLineMode::UsageError;
        options.error = QStringLiteral("--json goes with --info or --peak");
    }
    return options;
}

QString commandLineUsage()
{
    return QStringLiteral(
        "Usage: wavquill [FILE...]\n"
        "       wavquill --info [--peak] [--json] FILE...\n"
        "       wavquill --peak [--json] FILE...\n"
        "\n"
        "Opens each sound file in a window of its own, where its properties, text\n"
        "metadata and broadcast (BEXT) record can be read and edited, and the file\n"
        "can be played, measured and converted.\n"
        "\n"
        "Options:\n"
        "  --info      print what the window's Properties, Strings and BEXT tabs show\n"
        "              for each file, without opening a window\n"
        "  --peak      print each channel's peak level, as the Peak tab shows it\n"
        "  --json      with --info or --peak: print JSON instead, one object per\n"
        "              file (an array of them when several files are named)\n"
        "  -h, --help  print this text and exit\n"
        "  --version   print the program's version and exit\n"
        "  --          every later argument is a file, even one starting with -\n"
        "\n"
        "Without --info or --peak, Qt's own options (-platform, -style, ...) apply\n"
        "to the windows.\n"
        "\n"
        "Exit status: 0 when every file was read, 1 when one could not be read (the\n"
        "others are still printed), 2 when the options are wrong.\n");
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
    }

    int status = 0;
    QJsonArray json;
    bool printedOne = false;
    for (const QString &file : options.files) {
        const FileReport report = inspectFile(file, options.info, options.peak);
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
