// The program's command line: options that print or change something and
// end without opening a window (--help, --version, --info, --peak, --json,
// and the batch work: --set, --export-csv, --import-csv, --check,
// --convert, --verify, --embed-md5, --export-chunk, --import-chunk), and
// otherwise files to open, each in its own window.
//
// Main thread. Nothing here needs a display or a QGuiApplication.
#pragma once

#include "cli/BatchEdit.h"
#include "cli/ChunkTransfer.h"

#include <QString>
#include <QStringList>

#include <optional>

class QTextStream;

enum class CommandLineMode {
    Gui,        // open the files in windows
    Help,       // print the usage text
    Version,    // print "WavQuill <version>"
    Inspect,    // --info, --peak and/or --loudness on the files
    UsageError, // the options make no sense together; `error` says why
    Set,        // --set FIELD=VALUE... on the files
    ExportCsv,  // --export-csv: the files' fields as CSV
    ImportCsv,  // --import-csv CSV: the CSV's fields back into its files
    Check,      // --check: what does not follow the conventions
    Convert,    // --convert --format F -o OUT FILE
    Verify,     // --verify: each file's audio against its stored checksum
    EmbedMd5,   // --embed-md5: the audio's checksum into each file
    ExportChunk, // --export-chunk ID FILE: a chunk's payload to standard output
    ImportChunk, // --import-chunk ID=PATH: an XML chunk from a file into each file
    // --completion-words fields|extensions: the --set field names or the
    // sound-file extensions, one a line, for the shell completion the build
    // generates; left out of --help.
    CompletionWords,
};

struct CommandLineOptions {
    CommandLineMode mode = CommandLineMode::Gui;
    bool info = false;
    bool peak = false;
    bool loudness = false;
    bool json = false;
    // --set, each FIELD=VALUE as parsed; --dry-run with --set or --import-csv.
    QList<FieldEdit> edits;
    // --dry-run, --split-links and --keep-mtime.
    EditRules rules;
    QString csv; // --import-csv's file
    // --convert's choices (source = the one file).
    QString format;
    std::optional<QString> channels; // as given; not set keeps every channel
    QString output;
    bool keepBext = false;
    QByteArray chunkId;              // --export-chunk's
    QList<ChunkImport> chunkImports; // --import-chunk's, in order
    QString completionWords; // fields or extensions
    bool force = false;
    // The files, in order: to open (Gui) or to inspect (Inspect). Every
    // argument that does not start with "-" is a file; so is every argument
    // after "--". Other options are an error with --info or --peak, and left
    // to Qt otherwise.
    QStringList files;
    QString error;
};

// args are the arguments after the program's name. --help wins over
// everything else, then --version. --json needs --info, --peak, --loudness
// or --verify; those need at least one file, as do --set, --export-csv,
// --check, --embed-md5 and --import-chunk; --export-chunk takes one. One kind of
// work at a time; an option of another kind, an unknown field in --set or a
// field named twice is a usage error.
CommandLineOptions parseCommandLine(const QStringList &args);

// The text --help prints.
QString commandLineUsage();

// runCommandLine's answer when the arguments ask for windows: nothing has been
// printed, and the caller starts the application.
constexpr int kStartGui = -1;

// Carries out the options that end without a window, writing what they print
// to out and complaints to err. `unencodable` are the arguments whose bytes
// did not survive decoding (see nameIsEncodable): a file named by one is
// refused, never taken for the file its decoded text names. Returns the exit
// status: 0, 1 when a file could not be read or written (the others are
// still done) or --check found something, 2 for a usage error, 130 (143,
// 129) when Ctrl+C (SIGTERM, SIGHUP) stopped a batch; or kStartGui.
int runCommandLine(const QStringList &args, QTextStream &out, QTextStream &err, const QStringList &unencodable = {});
