// The real program in a real X server: start wavquill on a file under Xvfb,
// type a new title into the Strings tab through the X server's keyboard,
// save with Ctrl+S, close with Ctrl+W, and read the title back from the file.
// A screenshot of the window goes into the artifacts folder.
//
// Skipped where Xvfb or xdotool is missing. Every wait has a generous limit
// and only ends early; nothing asserts how fast anything happens.
#include "Fixtures.h"

#include <sndfile.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>

#include <signal.h>
#include <sys/prctl.h>

namespace {

constexpr int kLongWait = 120 * 1000;
const QByteArray kTypedTitle = "Typed through X11 2";
const QByteArray kArtist = "Kept artist";

// The children die with the test, whatever ends it.
void dieWithParent()
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
}

std::optional<QByteArray> fileString(const QString &path, int id)
{
    SF_INFO info{};
    SNDFILE *f = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!f)
        return std::nullopt;
    std::optional<QByteArray> text;
    if (const char *s = sf_get_string(f, id))
        text = QByteArray(s);
    sf_close(f);
    return text;
}

// An X window dump (xwd's format: a big-endian header, the colour map, then
// the rows of pixels) as an image. Handles the true-colour 24/32-bit pixels
// Xvfb produces; anything else gives a null image.
QImage imageFromXwd(const QByteArray &xwd)
{
    auto card32 = [&](int index) -> quint32 {
        const int at = index * 4;
        if (at + 4 > xwd.size())
            return 0;
        const auto *p = reinterpret_cast<const uchar *>(xwd.constData() + at);
        return quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | p[3];
    };
    const quint32 headerSize = card32(0), format = card32(2), width = card32(4), height = card32(5);
    const quint32 byteOrder = card32(7), bitsPerPixel = card32(11), bytesPerLine = card32(12);
    const quint32 redMask = card32(14), greenMask = card32(15), blueMask = card32(16), colours = card32(19);
    const qint64 pixels = qint64(headerSize) + qint64(colours) * 12;
    if (format != 2 /* ZPixmap */ || (bitsPerPixel != 32 && bitsPerPixel != 24) || width == 0 || height == 0
        || width > 16384 || height > 16384 || !redMask || !greenMask || !blueMask
        || pixels + qint64(bytesPerLine) * height > xwd.size())
        return QImage();
    auto channel = [](quint32 value, quint32 mask) {
        int shift = 0;
        while (!((mask >> shift) & 1))
            ++shift;
        const quint32 max = mask >> shift;
        return int(((value & mask) >> shift) * 255 / max);
    };
    QImage image(int(width), int(height), QImage::Format_RGB32);
    const int bytes = int(bitsPerPixel / 8);
    for (quint32 y = 0; y < height; ++y) {
        const auto *row = reinterpret_cast<const uchar *>(xwd.constData() + pixels + qint64(y) * bytesPerLine);
        auto *out = reinterpret_cast<QRgb *>(image.scanLine(int(y)));
        for (quint32 x = 0; x < width; ++x) {
            const uchar *p = row + x * quint32(bytes);
            quint32 v = 0;
            for (int b = 0; b < bytes; ++b)
                v |= quint32(p[b]) << (byteOrder == 0 ? 8 * b : 8 * (bytes - 1 - b));
            out[x] = qRgb(channel(v, redMask), channel(v, greenMask), channel(v, blueMask));
        }
    }
    return image;
}

} // namespace

class TestRealWindow : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_xvfb;
    std::unique_ptr<QProcess> m_app;
    QString m_display;

    QProcessEnvironment xEnvironment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.insert(QStringLiteral("DISPLAY"), m_display);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("SDL_AUDIODRIVER"), QStringLiteral("dummy"));
        return env;
    }

    // Runs an X client to its end; its standard output, or nothing (with a
    // warning saying why) when it failed or hung.
    std::optional<QByteArray> x(const QString &program, const QStringList &args)
    {
        QProcess p;
        p.setProcessEnvironment(xEnvironment());
        p.setChildProcessModifier(dieWithParent);
        p.start(program, args);
        if (!p.waitForFinished(kLongWait)) {
            qWarning("%s %s did not finish", qPrintable(program), qPrintable(args.join(u' ')));
            p.kill();
            p.waitForFinished();
            return std::nullopt;
        }
        if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
            qWarning("%s %s failed: %s", qPrintable(program), qPrintable(args.join(u' ')),
                     p.readAllStandardError().constData());
            return std::nullopt;
        }
        return p.readAllStandardOutput();
    }

    bool xdotool(const QStringList &args) { return x(QStringLiteral("xdotool"), args).has_value(); }

    QString windowName(const QString &window)
    {
        return QString::fromUtf8(x(QStringLiteral("xdotool"), {"getwindowname", window}).value_or("")).trimmed();
    }

    // Polls until done() holds or the limit passes; true when it held.
    template <typename Done>
    bool waitFor(Done done, int limitMs = kLongWait)
    {
        QDeadlineTimer deadline(limitMs);
        while (!done()) {
            if (deadline.hasExpired() || (m_app && m_app->state() == QProcess::NotRunning))
                return done();
            QThread::msleep(100);
        }
        return true;
    }

    void saveScreenshot(const QString &window, const QString &name)
    {
        if (!fixtures::haveProgram("xwd")) {
            qInfo("no xwd: no screenshot");
            return;
        }
        const QStringList args = window.isEmpty() ? QStringList{"-root", "-silent"}
                                                  : QStringList{"-id", window, "-silent"};
        const std::optional<QByteArray> dump = x(QStringLiteral("xwd"), args);
        if (!dump)
            return;
        const QString dir = fixtures::artifactsDir();
        const QImage image = imageFromXwd(*dump);
        const QString path = dir + u'/' + name + (image.isNull() ? QStringLiteral(".xwd") : QStringLiteral(".png"));
        if (image.isNull()) {
            QFile f(path);
            if (f.open(QIODevice::WriteOnly))
                f.write(*dump);
        } else {
            image.save(path);
        }
        qInfo("screenshot: %s", qPrintable(path));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        if (!fixtures::haveProgram("Xvfb"))
            QSKIP("Xvfb is not installed (package xvfb; scripts/deps installs it)");
        if (!fixtures::haveProgram("xdotool"))
            QSKIP("xdotool is not installed (package xdotool; scripts/deps installs it)");

        // Xvfb picks a free display itself and writes its number to stdout
        // once it accepts clients.
        m_xvfb = std::make_unique<QProcess>();
        m_xvfb->setChildProcessModifier(dieWithParent);
        m_xvfb->setProcessChannelMode(QProcess::SeparateChannels);
        m_xvfb->start(QStringLiteral("Xvfb"),
                      {"-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"});
        QVERIFY2(m_xvfb->waitForStarted(kLongWait), qPrintable(m_xvfb->errorString()));
        QByteArray number;
        QDeadlineTimer deadline(kLongWait);
        while (!number.contains('\n') && !deadline.hasExpired() && m_xvfb->state() == QProcess::Running) {
            m_xvfb->waitForReadyRead(1000);
            number += m_xvfb->readAllStandardOutput();
        }
        QVERIFY2(number.contains('\n'), m_xvfb->readAllStandardError().constData());
        m_display = u':' + QString::fromLatin1(number.trimmed());
        qInfo("Xvfb on display %s", qPrintable(m_display));
    }

    void cleanupTestCase()
    {
        for (auto *p : {m_app.get(), m_xvfb.get()}) {
            if (p && p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(kLongWait);
            }
        }
    }

    void cleanup()
    {
        if (QTest::currentTestFailed() && m_xvfb && m_xvfb->state() == QProcess::Running)
            saveScreenshot(QString(), QStringLiteral("realwindow-failure"));
    }

    void editTitleSaveAndClose()
    {
        const QString path = m_dir.filePath(QStringLiteral("realwindow.wav"));
        fixtures::Spec spec;
        spec.frames = 48000;
        spec.strings[SF_STR_TITLE - 1] = QByteArray("Old title");
        spec.strings[SF_STR_ARTIST - 1] = kArtist;
        QVERIFY(fixtures::write(path, spec));

        m_app = std::make_unique<QProcess>();
        m_app->setProcessEnvironment(xEnvironment());
        m_app->setChildProcessModifier(dieWithParent);
        m_app->start(QStringLiteral(WAVQUILL_BINARY), {path});
        QVERIFY2(m_app->waitForStarted(kLongWait), qPrintable(m_app->errorString()));

        // The document window: visible, of our program. (Qt's own helper
        // windows are never mapped.)
        const std::optional<QByteArray> found = x(QStringLiteral("xdotool"),
            {"search", "--sync", "--onlyvisible", "--classname", "^wavquill$"});
        QVERIFY2(found && !found->trimmed().isEmpty(), m_app->readAllStandardError().constData());
        const QString window = QString::fromLatin1(found->trimmed().split('\n').first());
        qInfo("window %s: \"%s\"", qPrintable(window), qPrintable(windowName(window)));

        // Keyboard only: the tab bar has the focus first; Right opens the
        // Strings tab and Tab enters its first field, the title, selecting
        // its text so typing replaces it.
        QVERIFY(xdotool({"windowfocus", "--sync", window}));
        QVERIFY(xdotool({"key", "Right"}));
        QVERIFY(xdotool({"key", "Tab"}));
        QVERIFY(xdotool({"type", QString::fromLatin1(kTypedTitle)}));
        QVERIFY2(waitFor([&] { return windowName(window).contains(u'*'); }),
                 "the typing did not mark the document edited");
        QVERIFY(xdotool({"key", "ctrl+s"}));

        // Saved: the file holds the new title and the window's edited mark is
        // gone (the save has finished and the window was refilled).
        QVERIFY2(waitFor([&] { return fileString(path, SF_STR_TITLE) == kTypedTitle; }),
                 qPrintable(QStringLiteral("title on disk: ") + fileString(path, SF_STR_TITLE).value_or("<none>")));
        QVERIFY(waitFor([&] { return !windowName(window).contains(u'*'); }));
        saveScreenshot(window, QStringLiteral("realwindow"));

        // Ctrl+W closes the window and, as the last document, the program.
        // The focus is set again first: without a window manager nobody gives
        // it back after the progress sheet. A key lost while the window was
        // still busy is sent again.
        for (int attempt = 0; attempt < 5 && m_app->state() != QProcess::NotRunning; ++attempt) {
            xdotool({"windowfocus", "--sync", window});
            xdotool({"key", "ctrl+w"});
            m_app->waitForFinished(kLongWait / 4);
        }
        QVERIFY2(m_app->state() == QProcess::NotRunning, "the program did not end after Ctrl+W");
        QCOMPARE(m_app->exitStatus(), QProcess::NormalExit);
        QVERIFY2(m_app->exitCode() == 0, m_app->readAllStandardError().constData());

        QCOMPARE(fileString(path, SF_STR_TITLE).value_or("<none>"), kTypedTitle);
        QCOMPARE(fileString(path, SF_STR_ARTIST).value_or("<none>"), kArtist);
    }
};

QTEST_MAIN(TestRealWindow)
#include "tst_realwindow.moc"
