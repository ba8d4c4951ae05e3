// The real program in a real X server: start wavquill on a file under Xvfb,
// type a new title into the Strings tab through the X server's keyboard,
// save with Ctrl+S, close with Ctrl+W, and read the title back from the file.
// Then the desktop habits the same way: Open Recent, Undo of typed text and
// Revert to Saved, reached by keyboard. A screenshot of the window goes into
// the artifacts folder.
//
// Skipped where Xvfb or xdotool is missing. Every wait has a generous limit
// and only ends early; nothing asserts how fast anything happens.
#include "DocumentFixture.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QThread>

#include <signal.h>
#include <sys/prctl.h>

namespace {

constexpr int kLongWait = 120 * 1000;

QByteArray title(const QString &path)
{
    return docfix::metadataOf(path).strings[SF_STR_TITLE - 1].value_or("<none>");
}

} // namespace

class TestRealWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QProcess m_xvfb;
    QProcess m_app;
    QProcessEnvironment m_env = QProcessEnvironment::systemEnvironment();

    // Starts a process that dies with the test, whatever ends it.
    void start(QProcess &p, const QString &program, const QStringList &args)
    {
        p.setProcessEnvironment(m_env);
        p.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        p.start(program, args);
    }
    // Runs an X client to its end; its output, or nothing when it failed.
    std::optional<QByteArray> x(const QString &program, const QStringList &args)
    {
        QProcess p;
        start(p, program, args);
        if (p.waitForFinished(kLongWait) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
            return p.readAllStandardOutput();
        qWarning("%s %s failed: %s", qPrintable(program), qPrintable(args.join(u' ')), p.readAllStandardError().constData());
        return std::nullopt;
    }
    bool xdotool(const QStringList &args) { return x(QStringLiteral("xdotool"), args).has_value(); }
    // The first visible window whose title contains `name`; empty when none comes.
    QString windowNamed(const QString &name)
    {
        const QByteArray found = x(QStringLiteral("xdotool"), {"search", "--sync", "--onlyvisible", "--name", name})
                                     .value_or(QByteArray()).trimmed();
        return QString::fromLatin1(found.split('\n').first());
    }
    // Ctrl+W until the program ends. Without a window manager nobody gives
    // the focus back after a sheet, and a key sent while the window is busy
    // is lost: focus and key again.
    bool closeAll(const QStringList &windows)
    {
        for (int attempt = 0; attempt < 5 && m_app.state() != QProcess::NotRunning; ++attempt) {
            for (const QString &window : windows)
                if (x(QStringLiteral("xdotool"), {"search", "--onlyvisible", "--name", "."}).value_or("").split('\n').contains(window.toLatin1())
                    && xdotool({"windowfocus", "--sync", window}))
                    xdotool({"key", "ctrl+w"});
            m_app.waitForFinished(kLongWait / 8);
        }
        return m_app.state() == QProcess::NotRunning && m_app.exitStatus() == QProcess::NormalExit && m_app.exitCode() == 0;
    }

private slots:
    void initTestCase()
    {
        if (!fixtures::haveProgram("Xvfb") || !fixtures::haveProgram("xdotool"))
            QSKIP("Xvfb or xdotool is not installed (scripts/deps installs them)");
        // Xvfb picks a free display and writes its number once it takes clients.
        start(m_xvfb, QStringLiteral("Xvfb"), {"-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"});
        QByteArray number;
        for (QDeadlineTimer deadline(kLongWait); !number.contains('\n') && !deadline.hasExpired() && m_xvfb.state() != QProcess::NotRunning;)
            number += m_xvfb.waitForReadyRead(1000) ? m_xvfb.readAllStandardOutput() : QByteArray();
        QVERIFY2(number.contains('\n'), m_xvfb.readAllStandardError().constData());
        m_env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        m_env.insert(QStringLiteral("DISPLAY"), u':' + QString::fromLatin1(number.trimmed()));
        m_env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        // Recent files and window places of this test's own.
        m_env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_dir.filePath(QStringLiteral("config")));
    }

    void cleanupTestCase() { m_xvfb.kill(), m_xvfb.waitForFinished(); }

    void editTitleSaveAndClose()
    {
        fixtures::Spec spec = docfix::spec(48000);
        spec.strings[SF_STR_TITLE - 1] = QByteArray("Old title");
        const QString path = docfix::make(m_dir, QStringLiteral("realwindow.wav"), spec);
        start(m_app, QStringLiteral(WAVQUILL_BINARY), {path});
        // The document window: visible, of our program (Qt's helper windows
        // are never mapped).
        const QByteArray found = x(QStringLiteral("xdotool"), {"search", "--sync", "--onlyvisible", "--classname", "^wavquill$"})
                                     .value_or(QByteArray()).trimmed();
        QVERIFY2(!found.isEmpty(), m_app.readAllStandardError().constData());
        const QString window = QString::fromLatin1(found.split('\n').first());

        // Keyboard only: the tab bar has the focus first; Right opens the
        // Strings tab and Tab enters the title, selecting its text.
        QVERIFY(xdotool({"windowfocus", "--sync", window}) && xdotool({"key", "Right", "Tab"}));
        QVERIFY(xdotool({"type", QStringLiteral("Typed through X11")}) && xdotool({"key", "ctrl+s"}));
        for (QDeadlineTimer deadline(kLongWait); title(path) != "Typed through X11" && !deadline.hasExpired();)
            QThread::msleep(100);
        QCOMPARE(title(path), QByteArray("Typed through X11"));
        if (fixtures::haveProgram("ffmpeg"))
            QVERIFY(x(QStringLiteral("ffmpeg"), {"-v", "error", "-y", "-f", "x11grab", "-window_id", window, "-i", m_env.value("DISPLAY"),
                                                 "-frames:v", "1", fixtures::artifactsDir() + QStringLiteral("/realwindow.png")}));

        // Ctrl+W closes the window and, as the last document, the program.
        QVERIFY2(closeAll({window}), m_app.readAllStandardError().constData());
        QCOMPARE(title(path), QByteArray("Typed through X11"));
    }

    // realwindow.wav is a recent file now (the test above opened it).
    void recentUndoAndRevert()
    {
        fixtures::Spec spec = docfix::spec(48000);
        spec.strings[SF_STR_TITLE - 1] = QByteArray("Old title");
        const QString path = docfix::make(m_dir, QStringLiteral("habits.wav"), spec);
        start(m_app, QStringLiteral(WAVQUILL_BINARY), {path});
        const QString window = windowNamed(QStringLiteral("habits.wav"));
        QVERIFY2(!window.isEmpty(), m_app.readAllStandardError().constData());

        // File > Open Recent: habits.wav first, then the file opened before.
        QVERIFY(xdotool({"windowfocus", "--sync", window}) && xdotool({"key", "alt+f", "r", "Down", "Return"}));
        const QString recent = windowNamed(QStringLiteral("realwindow.wav"));
        QVERIFY2(!recent.isEmpty(), "Open Recent did not open the earlier file");

        // Undo takes back what was typed over the title; what is typed after
        // it is saved onto the old title.
        QVERIFY(xdotool({"windowfocus", "--sync", window}) && xdotool({"key", "Right", "Tab"}));
        QVERIFY(xdotool({"type", QStringLiteral("Mistake")}) && xdotool({"key", "ctrl+z", "End"}));
        QVERIFY(xdotool({"type", QStringLiteral(" kept")}) && xdotool({"key", "ctrl+s"}));
        for (QDeadlineTimer deadline(kLongWait); title(path) != "Old title kept" && !deadline.hasExpired();)
            QThread::msleep(100);
        QCOMPARE(title(path), QByteArray("Old title kept"));

        // Revert to Saved asks first; once reverted, closing asks nothing
        // and the file keeps the saved title.
        QVERIFY(xdotool({"windowfocus", "--sync", window}) && xdotool({"key", "ctrl+a"}));
        QVERIFY(xdotool({"type", QStringLiteral("Unsaved")}) && xdotool({"key", "alt+f", "v"}));
        const QString prompt = windowNamed(QStringLiteral("Revert to Saved"));
        QVERIFY(!prompt.isEmpty() && xdotool({"windowfocus", "--sync", prompt}) && xdotool({"key", "alt+r"}));
        QVERIFY2(closeAll({recent, window}), m_app.readAllStandardError().constData());
        QCOMPARE(title(path), QByteArray("Old title kept"));
    }
};

QTEST_MAIN(TestRealWindow)
#include "tst_realwindow.moc"
