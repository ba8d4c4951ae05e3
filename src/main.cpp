// Starts the program: options that only print something run without a
// display; otherwise every argument names a file to open in a window.
#include "window/SoundFileWindowController.h"
#include "window/TerminationWatcher.h"
#include "cli/CommandLine.h"
#include "filelogic/FilePath.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFile>
#include <QIcon>
#include <QTextStream>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

void setApplicationNames()
{
    QCoreApplication::setApplicationName(QStringLiteral("WavQuill"));
    QCoreApplication::setOrganizationName(QStringLiteral("WavQuill"));
    QCoreApplication::setApplicationVersion(QStringLiteral(WAVQUILL_VERSION));
}

} // namespace

int main(int argc, char **argv)
{
    QStringList args;
    // Arguments whose bytes a QString cannot hold: as files they are
    // refused, never mistaken for the file their decoded text names.
    QStringList unencodable;
    for (int i = 1; i < argc; ++i) {
        args.append(QFile::decodeName(argv[i]));
        if (!nameIsEncodable(argv[i]))
            unencodable.append(args.last());
    }

    if (parseCommandLine(args).mode != CommandLineMode::Gui) {
        // No QGuiApplication: these must work without any display.
        QCoreApplication app(argc, argv);
        setApplicationNames();
        QTextStream out(stdout);
        QTextStream err(stderr);
        return runCommandLine(args, out, err, unencodable);
    }

    // Qt takes its own options (-platform, -style, ...) out of the arguments
    // it is given; those after "--" are files whatever they look like, so Qt
    // never sees them.
    int qtArgc = argc;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) {
            qtArgc = i;
            break;
        }
    }
    std::vector<char *> qtArgv(argv, argv + qtArgc);
    qtArgv.push_back(nullptr);

    QApplication app(qtArgc, qtArgv.data());
    setApplicationNames();
    QApplication::setDesktopFileName(QStringLiteral("wavquill"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("wavquill")));
    // Documents decide when the application ends (after the last one closed),
    // not the window system: a dialog closing is not the end.
    QApplication::setQuitOnLastWindowClosed(false);

    QStringList files = QApplication::arguments().mid(1);
    for (int i = qtArgc + 1; i < argc; ++i)
        files.append(QFile::decodeName(argv[i]));
    files.removeIf([&unencodable](const QString &file) {
        if (unencodable.contains(file))
            std::fprintf(stderr, "wavquill: %s: %s\n", qPrintable(file), qPrintable(unencodableNameText()));
        return unencodable.contains(file);
    });

    // SIGTERM and SIGHUP close every document, running saves cancelled.
    TerminationWatcher watcher;
    QObject::connect(&watcher, &TerminationWatcher::terminated, &app, &QCoreApplication::exit);
    SoundFileWindowController delegate;
    QTimer::singleShot(0, &delegate, [&delegate, files] { delegate.applicationDidFinishLaunching(files); });
    return QApplication::exec();
}
