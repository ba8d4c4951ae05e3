// A save killed halfway leaves the original as it was and nothing else: the
// new file has no name until it is complete. Where the file system cannot
// make unnamed files, the named temporary left behind is removed by the
// next save or open of the same target. A save replaces only the file it
// read, as it read it, and keeps that file's owner and attributes.
#include "ChunkFileBuilder.h"
#include "Fixtures.h"

#include "rewrite/ChunkSave.h"
#include "rewrite/ReplacementFile.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QtTest>

#include <cstdio>
#include <future>

#include <fcntl.h>
#include <linux/fs.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

QByteArray digest(const QString &path)
{
    QFile f(path);
    QCryptographicHash hash(QCryptographicHash::Sha1);
    return f.open(QIODevice::ReadOnly) && hash.addData(&f) ? hash.result() : QByteArray();
}

bool writeWav(const QString &path, char fill = '\2')
{
    QFile out(path);
    const QByteArray bytes = ChunkFileBuilder().add("fmt ", ChunkFileBuilder::pcmFormat(1, 8000, 16)).add("data", QByteArray(8000, fill)).bytes();
    return out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size();
}

// A title saved into path in place; the refusal's or failure's text, or
// empty when it was saved.
QString saveTitle(const QString &path, const ReplaceOptions &options = {}, const std::function<bool(double)> &progress = {},
                  const RewriteFaults &faults = {})
{
    ChunkSaveJob job;
    job.sourcePath = job.targetPath = path;
    sf_close(sf_open(QFile::encodeName(path).constData(), SFM_READ, &job.sourceInfo));
    job.strings[0] = QByteArray("new");
    ReplacementFile temp;
    QString error;
    if (!temp.create(path, &error, options))
        return error;
    const RewriteResult r = saveChunks(job, temp, progress, faults);
    return r.ok ? QString() : r.cancelled ? QStringLiteral("cancelled") : r.detail;
}

// The child: saves a title into path, slowly, saying when it has started.
int saveSlowly(const QString &path, bool named)
{
    if (named)
        qputenv("WAVQUILL_NAMED_TEMPORARIES", "1");
    saveTitle(path, {}, [](double) {
        std::puts("saving");
        std::fflush(stdout);
        ::usleep(50000);
        return true;
    });
    return 0;
}

// An extended attribute of a file (an ACL is one).
QByteArray attributeOf(const QString &path, const char *name)
{
    QByteArray value(4096, '\0');
    return value.left(int(::getxattr(QFile::encodeName(path).constData(), name, value.data(), size_t(value.size()))));
}

} // namespace

class TestReplacementFile : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString bigWav()
    {
        const QString path = m_dir.filePath(QStringLiteral("big.wav"));
        QByteArray audio(64 << 20, '\0');
        for (int i = 0; i < audio.size(); i += 4096)
            audio[i] = char(i >> 12);
        QFile out(path);
        const QByteArray bytes = ChunkFileBuilder().add("fmt ", ChunkFileBuilder::pcmFormat(2, 48000, 16)).add("data", audio).bytes();
        return out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size() ? path : QString();
    }

    void killMidSave(const QString &path, bool named)
    {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(),
                    {named ? QStringLiteral("--save-slowly-named") : QStringLiteral("--save-slowly"), path});
        QVERIFY(child.waitForStarted());
        QVERIFY(child.waitForReadyRead(20000));
        ::usleep(200000);
        child.kill();
        QVERIFY(child.waitForFinished());
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    }

private slots:
    void killedSaveLeavesNothing()
    {
        const QString path = bigWav();
        QVERIFY(!path.isEmpty());
        const QByteArray before = digest(path);
        killMidSave(path, false);
        QCOMPARE(digest(path), before);
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("big.wav")});
    }

    // Every way a chunk save can fail leaves the original and no file.
    void failuresLeaveOriginal_data()
    {
        QTest::addColumn<int>("failure");
        QTest::newRow("cancel") << 0;
        QTest::newRow("read-back differs") << 1;
        QTest::newRow("flush fails") << 2;
        QTest::newRow("unwritable folder") << 3;
    }
    void failuresLeaveOriginal()
    {
        QFETCH(int, failure);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("take.wav"));
        QVERIFY(writeWav(path));
        const QByteArray before = digest(path);
        RewriteFaults faults;
        faults.corruptReadBack = failure == 1;
        faults.fileSyncErrno = failure == 2 ? EIO : 0;
        QVERIFY(failure != 3 || QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        const QString error = saveTitle(path, {}, [failure](double) { return failure != 0; }, faults);
        if (failure == 3 && error.isEmpty())
            QSKIP("root may write to a read-only folder");
        QVERIFY(!error.isEmpty() && (error == "cancelled") == (failure == 0));
        QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QCOMPARE(digest(path), before);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("take.wav")});
    }

    // The name a killed save leaves (the named fallback's, or an unnamed
    // file's between link and rename) goes at the next save (or open: see
    // the window's tests).
    void staleNamedTemporaryIsRemovedNextTime()
    {
        const QString path = bigWav();
        const QByteArray before = digest(path);
        killMidSave(path, true);
        QCOMPARE(digest(path), before);
        const QStringList left = QDir(m_dir.path()).entryList({ReplacementFile::temporaryPrefix(path) + '*'}, QDir::Files | QDir::Hidden);
        QCOMPARE(left.size(), 1);
        ReplacementFile next;
        QString error;
        QVERIFY(next.create(path, &error));
        QVERIFY(!QFile::exists(m_dir.filePath(left.first())));
    }

    // Another program's hand on the file (a shell command run in its
    // folder, or still running until it says "ready"), before the save or
    // while it is paused between reading and replacing: refused, everything
    // as that program left it, a symbolic link's target untouched.
    void interferenceIsRefused_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<bool>("whileSaving");
        QTest::addColumn<QString>("refusal");
        const QString changed = QStringLiteral("was changed by another program while it was being saved; nothing was written");
        QTest::newRow("symlink swapped in") << "ln -sf other.wav take.wav" << true << changed;
        QTest::newRow("appended") << "printf x >> take.wav" << true << changed;
        // Its size kept, its time on however fast the test runs.
        QTest::newRow("rewritten") << "printf xy | dd of=take.wav bs=1 seek=100 conv=notrunc && touch -d @2000000000 take.wav"
                                   << true << changed;
        QTest::newRow("renamed over") << "cp other.wav new && printf x >> new && mv new take.wav" << true << changed;
        QTest::newRow("flock held") << "exec flock take.wav sh -c 'echo ready; exec sleep 600'" << false
                                    << "is locked by another program (process ";
        QTest::newRow("OFD lock held") << "" << false << "is locked by another program";
        QTest::newRow("open for writing") << "exec 3>>take.wav; echo ready; exec sleep 600" << false
                                          << "is open for writing in another program";
        QTest::newRow("immutable") << "chattr +i take.wav" << false << "is marked immutable";
    }
    void interferenceIsRefused()
    {
        QFETCH(QString, command);
        QFETCH(bool, whileSaving);
        QFETCH(QString, refusal);
        QTemporaryDir dir;
        const QString target = dir.filePath("take.wav"), other = dir.filePath("other.wav"), gate = dir.filePath("gate");
        QVERIFY(writeWav(target) && writeWav(other, '\3'));
        const QByteArray otherBefore = digest(other);
        QFile held(target);
        struct flock writeLock {};
        writeLock.l_type = F_WRLCK; // an OFD lock: closing other descriptors keeps it, unlike a POSIX one
        QVERIFY(!command.isEmpty() || (held.open(QIODevice::ReadWrite) && ::fcntl(held.handle(), F_OFD_SETLK, &writeLock) == 0));
        if (command.contains("3>>") && !(held.open(QIODevice::ReadOnly) && ::fcntl(held.handle(), F_SETLEASE, F_RDLCK) == 0))
            QSKIP("No leases on this file system: writers cannot be seen.");
        if (command.contains("3>>"))
            held.close();
        QProcess holder;
        const auto run = [&] {
            holder.start("sh", {"-c", "cd \"$0\" && " + command, dir.path()});
            return command.contains("ready") ? holder.waitForReadyRead() : holder.waitForFinished() && holder.exitCode() == 0;
        };
        if (!whileSaving && !command.isEmpty() && !run())
            QSKIP("The system or the user cannot do that to a file here.");
        QVERIFY(!whileSaving || ::mkfifo(QFile::encodeName(gate).constData(), 0600) == 0);
        qputenv("WAVQUILL_PAUSE_BEFORE_REPLACE", whileSaving ? QFile::encodeName(gate) : QByteArray());
        std::future<QString> saved = std::async(std::launch::async, [&] { return saveTitle(target, {fileIdentityOf(target), false, false, {}}); });
        QFile pause(gate);
        QVERIFY(!whileSaving || (pause.open(QIODevice::WriteOnly) && run())); // the save waits meanwhile
        pause.close();
        const QByteArray afterChange = digest(target);
        const QString error = saved.get();
        holder.kill();
        holder.waitForFinished();
        QProcess::execute("chattr", {"-i", target});
        QVERIFY2(error.contains(refusal), qPrintable(error));
        QVERIFY(digest(target) == afterChange && digest(other) == otherBefore);
        QCOMPARE(QDir(dir.path()).entryList({".wavquill-*"}, QDir::Files | QDir::Hidden), QStringList());
    }

    // Writing in place: the file is writable once locked, and no other
    // writer gets in meanwhile.
    void inPlaceTargetKeepsOthersOut()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("take.wav");
        QVERIFY(writeWav(path));
        SaveTarget first, second;
        QString error;
        QVERIFY(first.open(path, SaveTarget::Access::ReadWrite, &error) && first.lock(&error));
        QVERIFY(first.unchangedSince(fileIdentityOf(path), &error) && ::pwrite(first.fd(), "RIFF", 4, 0) == 4);
        QVERIFY(second.open(path, SaveTarget::Access::ReadWrite, &error) && !second.lock(&error));
        QVERIFY2(error.contains("is locked by another program"), qPrintable(error));
    }

    // A copy save gives the new file the old one's owner, group, mode (set-id
    // bits included) and extended attributes, ACLs among them; its time
    // only when asked.
    void copySaveKeepsAttributes_data()
    {
        QTest::addColumn<bool>("otherOwner");
        QTest::addColumn<bool>("keepModified");
        QTest::newRow("own file") << false << false;
        QTest::newRow("own file, time kept") << false << true;
        QTest::newRow("another user's file") << true << false;
    }
    void copySaveKeepsAttributes()
    {
        QFETCH(bool, otherOwner);
        QFETCH(bool, keepModified);
        const QString user = QStringLiteral("wqtest%1").arg(::getpid());
        if (otherOwner && (::geteuid() != 0 || QProcess::execute("useradd", {"-M", "-N", "-s", "/bin/false", user}) != 0))
            QSKIP("Needs root and useradd, to give a file to a throwaway user.");
        QTemporaryDir dir;
        const QString path = dir.filePath("kept.wav");
        QVERIFY(writeWav(path));
        const QByteArray name = QFile::encodeName(path);
        // user::rw- user:12345:r-- group::r-- mask::r-- other::---
        const QByteArray acl = QByteArray::fromHex("02000000" "01000600ffffffff" "0200040039300000" "04000400ffffffff"
                                                   "10000400ffffffff" "20000000ffffffff");
        QVERIFY(::setxattr(name, "user.archive", "box 12", 6, 0) == 0);
        QVERIFY(::setxattr(name, "system.posix_acl_access", acl.constData(), size_t(acl.size()), 0) == 0);
        const timespec past[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
        QVERIFY(::chmod(name, 02640) == 0 && ::utimensat(AT_FDCWD, name, past, 0) == 0);
        if (otherOwner)
            QVERIFY(::getpwnam(qPrintable(user)) && ::chown(name, ::getpwnam(qPrintable(user))->pw_uid, 100) == 0);
        struct stat before {}, after {};
        QVERIFY(::stat(name, &before) == 0);
        QCOMPARE(saveTitle(path, {{}, false, keepModified, {}}), QString());
        if (otherOwner)
            QProcess::execute("userdel", {user});
        QVERIFY(::stat(name, &after) == 0 && after.st_ino != before.st_ino);
        QVERIFY(after.st_uid == before.st_uid && after.st_gid == before.st_gid && after.st_mode == before.st_mode);
        QVERIFY(attributeOf(path, "user.archive") == "box 12" && attributeOf(path, "system.posix_acl_access") == acl);
        QCOMPARE(after.st_mtim.tv_sec == before.st_mtim.tv_sec, keepModified);
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 3 && (qstrcmp(argv[1], "--save-slowly") == 0 || qstrcmp(argv[1], "--save-slowly-named") == 0))
        return saveSlowly(QString::fromLocal8Bit(argv[2]), qstrcmp(argv[1], "--save-slowly-named") == 0);
    TestReplacementFile test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_replacementfile.moc"
