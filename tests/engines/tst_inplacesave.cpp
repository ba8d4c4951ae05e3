// Saves in place: each rule by which an edit fits into the file itself, the
// new file's save for each edit that does not, what the file keeps by
// being written where it is, and a nearly full disk.
#include "EngineFixtures.h"
#include "InPlaceFixtures.h"

#include "container/TagFormats.h"
#include "container/TagReader.h"
#include "filelogic/SaveJournal.h"
#include "rewrite/InPlaceSave.h"
#include "rewrite/MetadataSave.h"
#include "rewrite/ReplacementFile.h"

#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace fixtures;
using C = ChunkContainer;

namespace {

struct Fit {
    QByteArray file;
    QByteArray title; // empty: removed
    QString layout;   // the chunks after the save in place; empty: it does not fit
};

struct Kept {
    enum What { Links, Owner, Mode, Xattr, Acl, Symlink } what;
};

struct stat statOf(const QString &path, bool follow = true)
{
    struct stat st {};
    (follow ? ::stat : ::lstat)(QFile::encodeName(path).constData(), &st);
    return st;
}

qint64 audioOffset(const QString &path)
{
    QString error;
    const std::optional<ChunkList> list = readChunksOf(path, &error);
    return list ? list->chunks[list->dataIndex].offset : -1;
}

// Where the audio of a FLAC or MP3 file lies.
QPair<qint64, qint64> tagAudio(const QString &path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    QString error;
    if (const auto layout = tags::readFlacLayout(file, &error))
        return {layout->audioStart, file.size()};
    file.seek(file.size() - 128);
    return {tags::leadingId3v2Size(file), file.size() - (file.read(3) == "TAG" ? 128 : 0)};
}

// The save the caller runs when the edit does not fit: a new file.
RewriteResult newFileSave(const QString &path, const SaveEngine &engine)
{
    ReplacementFile temp;
    QString why;
    RewriteJob job;
    job.sourcePath = job.targetPath = path;
    return temp.create(path, &why) ? rewrite::runSave(job, engine, temp, {}) : RewriteResult{};
}

} // namespace

Q_DECLARE_METATYPE(Fit)
Q_DECLARE_METATYPE(Kept)

class InPlaceSaveTest : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    void chunksFit_data()
    {
        QTest::addColumn<Fit>("f");
        const auto wav = [](const QStringList &chunks) { return chunkFile(C::Wave, chunks); };
        QTest::newRow("same size") << Fit{wav({"LIST:Old title", "data"}), "New title", "fmt 16|LIST 22|data 400"};
        QTest::newRow("grows into padding") << Fit{wav({"LIST:Old", "JUNK:64", "data"}), "Older title", "fmt 16|LIST 24|JUNK 56|data 400"};
        QTest::newRow("takes the padding exactly") << Fit{wav({"LIST:Old", "JUNK:0", "data"}), "Older title", "fmt 16|LIST 24|data 400"};
        QTest::newRow("padding would keep no header") << Fit{wav({"LIST:Old", "JUNK:4", "data"}), "Older title", {}};
        QTest::newRow("shrink grows padding") << Fit{wav({"LIST:Older title", "PAD :64", "data"}), "Old", "fmt 16|LIST 16|PAD 72|data 400"};
        QTest::newRow("shrink leaves padding") << Fit{wav({"LIST:Older title", "data"}), "Old", "fmt 16|LIST 16|JUNK 0|data 400"};
        QTest::newRow("shrink too small for padding") << Fit{wav({"LIST:Old title", "data"}), "Old t", {}};
        QTest::newRow("removed into padding") << Fit{wav({"LIST:Old", "junk:8", "data"}), "", "fmt 16|junk 32|data 400"};
        QTest::newRow("new list before padding") << Fit{wav({"JUNK:64", "data"}), "Title", "fmt 16|LIST 18|JUNK 38|data 400"};
        QTest::newRow("no room before the audio") << Fit{wav({"LIST:Old", "data"}), "Older title", {}};
        QTest::newRow("padding before the change") << Fit{wav({"JUNK:64", "LIST:Old", "data"}), "Older title", {}};
        QTest::newRow("tail extended") << Fit{wav({"data", "LIST:Old"}), "Older title, longer", "fmt 16|data 400|LIST 32"};
        QTest::newRow("tail cut") << Fit{wav({"data", "LIST:Older title, longer"}), "Old", "fmt 16|data 400|LIST 16"};
        QTest::newRow("tail chunk removed") << Fit{wav({"data", "LIST:Old"}), "", "fmt 16|data 400"};
        QTest::newRow("RF64 tail") << Fit{chunkFile(C::Rf64, {"data", "LIST:Old"}), "Older title", "ds64 28|fmt 16|data 400|LIST 24"};
        QTest::newRow("AIFF odd chunk in the tail") << Fit{chunkFile(C::Aiff, {"SSND", "NAME:Odd"}), "Odder", "COMM 18|SSND 408|NAME 5"};
        QTest::newRow("AIFF filler") << Fit{chunkFile(C::Aiff, {"NAME:Odd", "FLLR:32", "SSND"}), "Odder", "COMM 18|NAME 5|FLLR 30|SSND 408"};
        QTest::newRow("AIFF no room") << Fit{chunkFile(C::Aiff, {"NAME:Odd", "SSND"}), "Odder", {}};
    }
    void chunksFit()
    {
        QFETCH(Fit, f);
        const QString path = m_dir.filePath("fit"), original = m_dir.filePath("original");
        QVERIFY(writeBytes(path, f.file) && writeBytes(original, f.file));
        const ino_t inode = statOf(path).st_ino;
        const SaveEngine engine = textSave(path, f.title);
        const std::optional<RewriteResult> result = saveInPlace(engine, {});
        if (f.layout.isEmpty()) {
            QVERIFY(!result);
            QCOMPARE(fileBytes(path), f.file);
            QVERIFY(newFileSave(path, engine).ok);
            QVERIFY(statOf(path).st_ino != inode);
        } else {
            QVERIFY2(result && result->ok, result ? qPrintable(result->detail) : "did not fit");
            QCOMPARE(chunkLayout(path), f.layout);
            QCOMPARE(statOf(path).st_ino, inode);
            QCOMPARE(audioOffset(path), audioOffset(original));
        }
        QCOMPARE(readString(path, SF_STR_TITLE), f.title);
        QCOMPARE(readRawBytes(path), readRawBytes(original));
        QVERIFY(!QFile::exists(journalPath(path)));
    }

    void tagsFit_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QByteArray>("title");
        QTest::addColumn<bool>("fits");
        QTest::newRow("FLAC into padding") << "flac" << QByteArray("A title much longer than the old one") << true;
        QTest::newRow("FLAC same size, no padding") << "flac-plain" << QByteArray("New title") << true;
        QTest::newRow("FLAC shrink leaves padding") << "flac-plain" << QByteArray("Old") << true;
        QTest::newRow("FLAC no room") << "flac-plain" << QByteArray("A longer title") << false;
        QTest::newRow("MP3 into padding") << "mp3" << QByteArray("A title much longer than the old one") << true;
        // TagLib writes 2.3 texts as UTF-16: "Old" takes a byte less than the old Latin-1 "Old title".
        QTest::newRow("MP3 shorter, no padding") << "mp3-bare" << QByteArray("Old") << true;
        QTest::newRow("MP3 no room") << "mp3-bare" << QByteArray("New title") << false;
        QTest::newRow("MP3 ID3v1 only") << "mp3-v1" << QByteArray() << true;
        QTest::newRow("MP3 needs a new ID3v2 tag") << "mp3-v1" << QByteArray("New") << false;
    }
    void tagsFit()
    {
        QFETCH(QString, kind);
        QFETCH(QByteArray, title);
        QFETCH(bool, fits);
        const QByteArray bytes = mediaFile(kind, m_dir.path());
        if (bytes.isEmpty())
            QSKIP("ffmpeg is not installed or failed");
        const QString path = m_dir.filePath("tags");
        QVERIFY(writeBytes(path, bytes));
        const ino_t inode = statOf(path).st_ino;
        const auto [start, end] = tagAudio(path);
        const SaveEngine engine = textSave(path, title);
        const std::optional<RewriteResult> result = saveInPlace(engine, {});
        QCOMPARE(bool(result), fits);
        QVERIFY(result ? result->ok : newFileSave(path, engine).ok);
        QCOMPARE(statOf(path).st_ino == inode, fits);
        QCOMPARE(readTags(path)[0], title.isEmpty() ? std::nullopt : std::optional(title));
        if (fits) {
            QCOMPARE(tagAudio(path), qMakePair(start, end));
            QCOMPARE(fileBytes(path).mid(start, end - start), bytes.mid(start, end - start));
        }
    }

    // Ogg pages carry checksums and numbers: never written in place.
    void oggIsWrittenAnew()
    {
        if (!haveProgram("ffmpeg"))
            QSKIP("ffmpeg is not installed");
        const QString path = m_dir.filePath("a.ogg");
        QVERIFY(QProcess::execute("ffmpeg", {"-v", "error", "-y", "-f", "lavfi", "-i", "sine=d=0.2", "-c:a", "libvorbis", path}) == 0);
        QVERIFY(!saveInPlace(textSave(path, "Title"), {}));
    }

    void keeps_data()
    {
        QTest::addColumn<Kept>("k");
        QTest::newRow("hard links") << Kept{Kept::Links};
        QTest::newRow("owner and group") << Kept{Kept::Owner};
        QTest::newRow("mode") << Kept{Kept::Mode};
        QTest::newRow("extended attributes") << Kept{Kept::Xattr};
        QTest::newRow("ACL") << Kept{Kept::Acl};
        QTest::newRow("symbolic link") << Kept{Kept::Symlink};
    }
    void keeps()
    {
        QFETCH(Kept, k);
        const QString path = m_dir.filePath("kept.wav"), other = m_dir.filePath("other-name.wav");
        QFile::remove(other);
        QVERIFY(writeBytes(path, chunkFile(C::Wave, {"LIST:Old title", "data"})));
        const QByteArray name = QFile::encodeName(path);
        // A minimal access ACL: owner rw, user 1000 r, group r, mask r, others none.
        const QByteArray acl = QByteArray::fromHex("02000000" "01000600ffffffff" "02000400e8030000" "04000400ffffffff"
                                                   "10000400ffffffff" "20000000ffffffff");
        int made = 0;
        switch (k.what) {
        case Kept::Links: made = ::link(name, QFile::encodeName(other)); break;
        case Kept::Owner: made = ::chown(name, 4321, 4322); break;
        case Kept::Mode: made = ::chmod(name, 0640); break;
        case Kept::Xattr: made = ::setxattr(name, "user.wavquill", "kept", 4, 0); break;
        case Kept::Acl: made = ::setxattr(name, "system.posix_acl_access", acl.constData(), size_t(acl.size()), 0); break;
        case Kept::Symlink: made = ::symlink(name, QFile::encodeName(other)); break;
        }
        if (made != 0)
            QSKIP(qPrintable(QStringLiteral("not possible here: %1").arg(QString::fromLocal8Bit(std::strerror(errno)))));
        const struct stat before = statOf(path);
        char value[256] = {};
        const ssize_t xattr = ::getxattr(name, k.what == Kept::Acl ? "system.posix_acl_access" : "user.wavquill", value, sizeof value);
        const std::optional<RewriteResult> result =
            saveInPlace(textSave(k.what == Kept::Symlink ? other : path, "New title"), {});
        QVERIFY(result && result->ok);
        const struct stat after = statOf(path);
        QCOMPARE(after.st_ino, before.st_ino);
        QCOMPARE(after.st_nlink, before.st_nlink);
        QCOMPARE(after.st_uid, before.st_uid);
        QCOMPARE(after.st_gid, before.st_gid);
        QCOMPARE(after.st_mode, before.st_mode);
        char now[256] = {};
        QCOMPARE(::getxattr(name, k.what == Kept::Acl ? "system.posix_acl_access" : "user.wavquill", now, sizeof now), xattr);
        QCOMPARE(QByteArray(now, 256), QByteArray(value, 256));
        QCOMPARE(S_ISLNK(statOf(other, false).st_mode), k.what == Kept::Symlink);
        QCOMPARE(readString(path, SF_STR_TITLE), QByteArray("New title"));
    }

    // On a small file system of its own: an edit that fits is saved, one
    // that needs a new file says how much room that takes.
    void nearlyFullDisk()
    {
        QTemporaryDir mount;
        const QByteArray where = QFile::encodeName(mount.path());
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
            || ::mount("wavquill-test", where.constData(), "tmpfs", 0, "size=256k") != 0)
            QSKIP(qPrintable(QStringLiteral("cannot mount a file system here: %1").arg(QString::fromLocal8Bit(std::strerror(errno)))));
        const QString fits = mount.filePath("fits.wav"), tight = mount.filePath("tight.wav");
        const QByteArray tightBytes = chunkFile(C::Wave, {"LIST:Old", "data", "JUNK:60000"});
        QVERIFY(writeBytes(fits, chunkFile(C::Wave, {"LIST:Old", "JUNK:64", "data"})) && writeBytes(tight, tightBytes));
        struct Unmount {
            QByteArray at;
            ~Unmount() { ::umount(at.constData()); }
        } unmount{where};
        // Filled to the last page, then 16 KiB given back.
        const int filler = ::open(QFile::encodeName(mount.filePath("filler")).constData(), O_WRONLY | O_CREAT, 0600);
        const QByteArray page(4096, 'x');
        off_t filled = 0;
        while (::write(filler, page.constData(), 4096) == 4096)
            filled += 4096;
        QVERIFY(::ftruncate(filler, filled - 16384) == 0);
        ::close(filler);
        const RewriteResult saved = newFileSave(fits, textSave(fits, "Older title"));
        QVERIFY2(saved.ok, qPrintable(saved.detail));
        QCOMPARE(readString(fits, SF_STR_TITLE), QByteArray("Older title"));
        const RewriteResult refused = newFileSave(tight, textSave(tight, "Older title"));
        QVERIFY(!refused.ok);
        QVERIFY2(refused.detail.contains("needs 0.1 MB free"), qPrintable(refused.detail));
        QCOMPARE(fileBytes(tight), tightBytes);
    }
};

QTEST_GUILESS_MAIN(InPlaceSaveTest)
#include "tst_inplacesave.moc"
