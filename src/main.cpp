// Starts the application: every argument names a file to open.
#include "document/SoundFileWindowController.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("WavQuill"));
    QApplication::setApplicationVersion(QStringLiteral(WAVQUILL_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("wavquill"));
    // Documents decide when the application ends (after the last one closed),
    // not the window system: a dialog closing is not the end.
    QApplication::setQuitOnLastWindowClosed(false);

    QStringList files = QApplication::arguments();
    files.removeFirst();

    SoundFileWindowController delegate;
    QTimer::singleShot(0, &delegate, [&delegate, files] { delegate.applicationDidFinishLaunching(files); });
    return QApplication::exec();
}
