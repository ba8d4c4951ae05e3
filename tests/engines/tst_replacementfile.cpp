// A save killed halfway leaves the original as it was and nothing else: the
// new file has no name until it is complete. Where the file system cannot
// make unnamed files, the named temporary left behind is removed by the
// next save of the same target.
#include "ChunkFileBuilder.h"

#include "rewrite/ChunkSave.h"
#include "rewrite/ReplacementFile.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QtTest>

#include <cstdio>
#include <unistd.h>

namespace {

QByteArray digest(const QString &path)
{
    QFile f(path);
    QCryptographicHash hash(QCryptographicHash::Sha1);
    return f.open(QIODevice::ReadOnly) && hash.addData(&f) ? hash.result() : QByteArray();
}

// The child: saves a title into path, slowly, saying when it has started.
int saveSlowly(const QString &path, bool named)
{
    SF_INFO info{};
    SNDFILE *f = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!f)
        return 2;
    sf_close(f);
    ChunkSaveJob job;
    job.sourcePath = job.targetPath = path;
    job.sourceInfo = info;
    job.strings[0] = QByteArray("killed");
    if (named)
        qputenv("WAVQUILL_NAMED_TEMPORARIES", "1");
    ReplacementFile temp;
    QString error;
    if (!temp.create(path, &error))
        return 3;
    saveChunks(job, temp, [](double) {
        std::puts("saving");
        std::fflush(stdout);
        ::usleep(50000);
        return true;
    });
    return 0;
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
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(ChunkFileBuilder().add("fmt ", ChunkFileBuilder::pcmFormat(1, 8000, 16)).add("data", QByteArray(8000, '\2')).bytes());
        out.close();
        const QByteArray before = digest(path);
        ChunkSaveJob job;
        job.sourcePath = job.targetPath = path;
        SNDFILE *f = sf_open(QFile::encodeName(path).constData(), SFM_READ, &job.sourceInfo);
        QVERIFY(f);
        sf_close(f);
        job.strings[0] = QByteArray("new");
        RewriteFaults faults;
        faults.corruptReadBack = failure == 1;
        faults.fileSyncErrno = failure == 2 ? EIO : 0;
        if (failure == 3)
            QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        {
            ReplacementFile temp;
            QString error;
            if (!temp.create(path, &error)) {
                QCOMPARE(failure, 3);
            } else {
                if (failure == 3)
                    QSKIP("root may write to a read-only folder");
                const RewriteResult r = saveChunks(job, temp, [failure](double) { return failure != 0; }, faults);
                QVERIFY(!r.ok && !r.replaced);
                QCOMPARE(r.cancelled, failure == 0);
            }
        }
        QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QCOMPARE(digest(path), before);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("take.wav")});
    }

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
