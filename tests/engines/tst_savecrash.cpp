// A save in place cut short at any instant leaves, once the file is opened
// again, the old file or the new one and no journal: stopped after each of
// its writes and flushes, with that write torn (its journal's too), or
// killed at random instants. A journal that does not describe the file is
// never applied.
#include "EngineFixtures.h"
#include "InPlaceFixtures.h"

#include "container/SoundFileOpen.h"
#include "filelogic/SaveJournal.h"
#include "rewrite/InPlaceSave.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

#include <sys/wait.h>
#include <unistd.h>

using namespace fixtures;
using C = ChunkContainer;

namespace {

// A file and the title a save gives it.
struct Case {
    QByteArray file;
    QByteArray title;
};

Case caseNamed(const QString &name, const QString &folder)
{
    if (name == "padding")
        return {chunkFile(C::Wave, {"LIST:Old", "JUNK:64", "data"}), "Older title"};
    if (name == "tail extended")
        return {chunkFile(C::Wave, {"data", "LIST:Old"}), "Older title, longer"};
    if (name == "tail cut")
        return {chunkFile(C::Wave, {"data", "LIST:Older title, longer"}), "Old"};
    if (name == "RF64 tail")
        return {chunkFile(C::Rf64, {"data", "LIST:Old"}), "Older title"};
    return {mediaFile(name, folder), "A title much longer than the old one"};
}

} // namespace

Q_DECLARE_METATYPE(RewriteFaults)

class SaveCrashTest : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_path = m_dir.filePath("take.wav");

    // The file as the save leaves it when nothing stops it.
    QByteArray savedForm(const Case &c)
    {
        writeBytes(m_path, c.file);
        const std::optional<RewriteResult> r = saveInPlace(textSave(m_path, c.title), {});
        return r && r->ok ? fileBytes(m_path) : QByteArray();
    }

private slots:
    void stoppedAtEveryStep_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("torn");
        for (const char *name : {"padding", "tail extended", "tail cut", "RF64 tail", "flac", "mp3"})
            for (bool torn : {false, true})
                QTest::addRow("%s%s", name, torn ? ", torn" : "") << QString(name) << torn;
    }
    void stoppedAtEveryStep()
    {
        QFETCH(QString, name);
        QFETCH(bool, torn);
        const Case c = caseNamed(name, m_dir.path());
        if (c.file.isEmpty())
            QSKIP("ffmpeg is not installed or failed");
        const QByteArray wanted = savedForm(c);
        QVERIFY(!wanted.isEmpty() && wanted != c.file);
        QList<RecoveryOutcome> outcomes;
        for (int step = 1;; ++step) {
            QVERIFY(step < 100);
            writeBytes(m_path, c.file);
            RewriteFaults faults;
            faults.stopAfterStep = step;
            faults.tearLastStep = torn;
            const std::optional<RewriteResult> r = saveInPlace(textSave(m_path, c.title), {}, {}, faults);
            QVERIFY(r);
            outcomes << recoverInterruptedSave(m_path).outcome;
            const QByteArray now = fileBytes(m_path);
            QVERIFY2(now == c.file || now == wanted, qPrintable(QStringLiteral("after step %1").arg(step)));
            QVERIFY(!QFile::exists(journalPath(m_path)));
            if (r->ok)
                break;
        }
        // The journal's write comes first (torn, it is thrown away); a stop
        // before the last write into the file is undone, one after it
        // completed.
        QCOMPARE(outcomes.first(), torn ? RecoveryOutcome::Discarded : RecoveryOutcome::Undone);
        QVERIFY(outcomes.contains(RecoveryOutcome::Undone) && outcomes.contains(RecoveryOutcome::Completed));
        QCOMPARE(outcomes.last(), RecoveryOutcome::NoJournal);
    }

    void foreignJournalIsKept_data()
    {
        QTest::addColumn<int>("change");
        QTest::newRow("another file") << 0;
        QTest::newRow("another size") << 1;
        QTest::newRow("another user's journal") << 2;
    }
    void foreignJournalIsKept()
    {
        QFETCH(int, change);
        const Case c = caseNamed("padding", {});
        writeBytes(m_path, c.file);
        RewriteFaults faults;
        faults.stopAfterStep = 4; // after the first write into the file
        QVERIFY(saveInPlace(textSave(m_path, c.title), {}, {}, faults));
        const QByteArray touched = fileBytes(m_path);
        if (change == 0)
            QVERIFY(writeBytes(m_path + ".new", touched) && ::rename(QFile::encodeName(m_path + ".new"), QFile::encodeName(m_path)) == 0);
        else if (change == 1)
            QVERIFY(writeBytes(m_path, touched + "more"));
        else if (::chown(QFile::encodeName(journalPath(m_path)).constData(), 4321, 4321) != 0)
            QSKIP("changing a file's owner needs root");
        const QByteArray before = fileBytes(m_path);
        const RecoveryResult r = recoverInterruptedSave(m_path);
        QCOMPARE(r.outcome, RecoveryOutcome::Kept);
        QVERIFY2(r.message.contains("take.wav") && r.message.contains("left in place"), qPrintable(r.message));
        QCOMPARE(fileBytes(m_path), before);
        QVERIFY(QFile::remove(journalPath(m_path)));
    }

    void failedCheckPutsOldBytesBack_data()
    {
        QTest::addColumn<RewriteFaults>("faults");
        QTest::newRow("read back differs") << RewriteFaults{0, 0, true};
        QTest::newRow("flush fails") << RewriteFaults{EIO, 0, false};
    }
    void failedCheckPutsOldBytesBack()
    {
        QFETCH(RewriteFaults, faults);
        const Case c = caseNamed("tail extended", {});
        writeBytes(m_path, c.file);
        const std::optional<RewriteResult> r = saveInPlace(textSave(m_path, c.title), {}, {}, faults);
        QVERIFY(r && !r->ok && !r->replaced);
        QVERIFY2(r->detail.endsWith("The file was left as it was."), qPrintable(r->detail));
        QCOMPARE(fileBytes(m_path), c.file);
        QVERIFY(!QFile::exists(journalPath(m_path)));
    }

    // A child saves one file back and forth until it is killed; the next
    // open finds one of the two forms, and no journal.
    void killedAtRandomInstants_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("padding") << "padding";
        QTest::newRow("tail") << "tail extended";
    }
    void killedAtRandomInstants()
    {
        QFETCH(QString, name);
        const Case c = caseNamed(name, {});
        const QByteArray other = savedForm(c);
        QVERIFY(!other.isEmpty());
        for (int kill = 0; kill < 100; ++kill) {
            const pid_t child = ::fork();
            if (child == 0) {
                for (int n = 0;; ++n)
                    saveInPlace(textSave(m_path, n % 2 ? c.title : QByteArray("Old")), {});
            }
            ::usleep(QRandomGenerator::global()->bounded(4000));
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
            SF_INFO info{};
            openSoundFile(m_path, &info, nullptr, nullptr); // recovers what the journal holds
            const QByteArray now = fileBytes(m_path);
            QVERIFY2(now == c.file || now == other, qPrintable(QStringLiteral("kill %1").arg(kill)));
            QVERIFY(!QFile::exists(journalPath(m_path)));
        }
        takeRecoveryNotices();
    }
};

QTEST_GUILESS_MAIN(SaveCrashTest)
#include "tst_savecrash.moc"
