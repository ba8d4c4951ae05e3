#include "toolkit/CommandLine.h"

#include "analysis/ChannelTableSource.h"
#include "analysis/PeakScan.h"
#include "document/FileReport.h"
#include "document/SoundFile.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTextStream>
#include <QUrl>

namespace {

const QString kProgram = QStringLiteral("wavquill");

// Opens the file the way a document does (same checks, same error texts) and
// collects what the window's tabs would show.
FileReport inspectFile(const QString &file, bool info, bool peak)
{
    FileReport report;
    report.file = file;
    SoundFile doc;
    DocumentError error;
    if (!doc.readFromURL(QUrl::fromLocalFile(QFileInfo(file).absoluteFilePath()), QString(), &error)) {
        report.error = error.localizedDescription.isEmpty() ? QStringLiteral("Unable to open the file.")
                                                            : error.localizedDescription;
        return report;
    }
    if (info)
        report.sections = infoSections(doc.sndfile, doc.sfinfo, qint64(doc.file_stat.st_size));
    if (peak) {
        // The same model and scan the Peak tab uses, so the texts match.
        ChannelTableSource peaks;
        peaks.setNumChannels(doc.sfinfo.channels);
        peaks.setType(ChannelTableTypePeak);
        peaks.setSFinfo(&doc.sfinfo);
        scanPeaks(doc.sndfile, doc.sfinfo, peaks, {});
        report.sections.append(peakSection(peaks));
    }
    doc.close();
    return report;
}

} // namespace

CommandLineOptions parseCommandLine(const QStringList &args)
{
    CommandLineOptions options;
    bool help = false;
    bool version = false;
    bool optionsEnded = false;
    for (const QString &arg : args) {
        if (optionsEnded) {
            options.files.append(arg);
        } else if (arg == QLatin1String("--")) {
            optionsEnded = true;
        } else if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            help = true;
        } else if (arg == QLatin1String("--version")) {
            version = true;
        } else if (arg == QLatin1String("--info")) {
            options.info = true;
        } else if (arg == QLatin1String("--peak")) {
            options.peak = true;
        } else if (arg == QLatin1String("--json")) {
            options.json = true;
        } else {
            options.files.append(arg);
        }
    }

    if (help) {
        options.mode = CommandLineMode::Help;
    } else if (version) {
        options.mode = CommandLineMode::Version;
    } else if (options.info || options.peak) {
        options.mode = CommandLineMode::Inspect;
        if (options.files.isEmpty()) {
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
