// Starts the program: options that only print something run without a
// display; otherwise every argument names a file to open in a window.
#include "window/SoundFileWindowController.h"
#include "cli/CommandLine.h"

#include <QApplication>
#include <QCoreApplication>
#include <QIcon>
#include <QTextStream>
#include <QTimer>

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
    for (int i = 1; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));

    if (parseCommandLine(args).mode != CommandLineMode::Gui) {
        // No QGuiApplication: these must work without any display.
        QCoreApplication app(argc, argv);
        setApplicationNames();
        QTextStream out(stdout);
        QTextStream err(stderr);
        return runCommandLine(args, out, err);
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
        files.append(QString::fromLocal8Bit(argv[i]));

    SoundFileWindowController delegate;
    QTimer::singleShot(0, &delegate, [&delegate, files] { delegate.applicationDidFinishLaunching(files); });
    return QApplication::exec();
}
