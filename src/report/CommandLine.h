// The program's command line: a few options that print something and end
// without opening a window (--help, --version, --info, --peak, --json), and
// otherwise files to open, each in its own window.
//
// Main thread. Nothing here needs a display or a QGuiApplication.
#pragma once

#include <QString>
#include <QStringList>

class QTextStream;

enum class CommandLineMode {
    Gui,        // open the files in windows
    Help,       // print the usage text
    Version,    // print "WavQuill <version>"
    Inspect,    // --info and/or --peak on the files
    UsageError, // the options make no sense together; `error` says why
};

struct CommandLineOptions {
    CommandLineMode mode = CommandLineMode::Gui;
    bool info = false;
    bool peak = false;
    bool json = false;
    // The files, in order: to open (Gui) or to inspect (Inspect). Every
    // argument that does not start with "-" is a file; so is every argument
    // after "--". Other options are an error with --info or --peak, and left
    // to Qt otherwise.
    QStringList files;
    QString error;
};

// args are the arguments after the program's name. --help wins over
// everything else, then --version. --json needs --info or --peak; those two
// need at least one file.
CommandLineOptions parseCommandLine(const QStringList &args);

// The text --help prints.
QString commandLineUsage();

// runCommandLine's answer when the arguments ask for windows: nothing has been
// printed, and the caller starts the application.
constexpr int kStartGui = -1;

// Carries out the options that end without a window, writing what they print
// to out and complaints to err. Returns the exit status: 0, 1 when a file could
// not be read (the others are still reported), 2 for a usage error; or
// kStartGui.
int runCommandLine(const QStringList &args, QTextStream &out, QTextStream &err);
