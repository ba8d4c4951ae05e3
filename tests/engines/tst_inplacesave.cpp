// Saves in place: each rule by which an edit fits into the file itself, the
// new file's save for each edit that does not, what the file keeps by
// being written where it is, and a nearly full disk.
#include "EngineFixtures.h"
#include "InPlaceFixtures.h"

#include "container/MpegStream.h"
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

struct stat statOf(const QString &path, bool follow = true)
{
    struct stat st {};
    (follow ? ::stat : ::lstat)(QFile::encodeName(path).constData(), &st);
    return st;
}

// Every extended attribute's name and value.
QByteArray extendedAttributes(const QByteArray &name)
{
    QByteArray names(4096, '\0'), out;
    names.truncate(std::max<ssize_t>(0, ::listxattr(name.constData(), names.data(), size_t(names.size()))));
    for (const QByteArray &attribute : names.split('\0')) {
        QByteArray value(4096, '\0');
        value.truncate(std::max<ssize_t>(0, ::getxattr(name.constData(), attribute.constData(), value.data(), 4096)));
        out += attribute + '=' + value + '\n';
    }
    return out;
}

// Where the audio bytes lie: the data chunk's payload, FLAC's frames, or
// what lies between MP3's tags (Ogg: nothing is compared).
QPair<qint64, qint64> audioRange(const QString &path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    QString error;
    if (const std::optional<ChunkList> list = readChunksOf(path, &error)) {
        const Chunk &data = list->chunks[list->dataIndex];
        return {data.payloadOffset(), data.payloadOffset() + data.size};
    }
    if (const auto layout = tags::readFlacLayout(file, &error))
        return {layout->audioStart, file.size()};
    if (file.seek(0) && file.read(4) == "OggS")
        return {0, 0};
    file.seek(file.size() - 128);
    return {id3v2TagsEnd(FdByteSource(file.handle())), file.size() - (file.read(3) == "TAG" ? 128 : 0)};
}

// The save the caller runs when the edit does not fit: a new file.
RewriteResult newFileSave(const QString &path, const SaveEngine &engine)
{
    ReplacementFile temp;
    RewriteJob job;
    job.sourcePath = job.targetPath = path;
    return rewrite::runSave(job, engine, temp, {});
}

} // namespace

class InPlaceSaveTest : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    void fits_data()
    {
        QTest::addColumn<QString>("kind"); // wav, rf64, aiff: the chunks given; else a mediaFile kind
        QTest::addColumn<QStringList>("chunks");
        QTest::addColumn<QByteArray>("title"); // empty: removed
        QTest::addColumn<QString>("after"); // the chunks after a save in place, "fits"; empty: no fit
        const auto row = [](const char *name, const char *kind, const QStringList &chunks, const char *title, const char *after) {
            QTest::newRow(name) << kind << chunks << QByteArray(title) << after;
        };
        row("same size", "wav", {"LIST:Old title", "data"}, "New title", "fmt 16|LIST 22|data 400");
        row("grows into padding", "wav", {"LIST:Old", "JUNK:64", "data"}, "Older title", "fmt 16|LIST 24|JUNK 56|data 400");
        row("takes the padding exactly", "wav", {"LIST:Old", "JUNK:0", "data"}, "Older title", "fmt 16|LIST 24|data 400");
        row("padding would keep no header", "wav", {"LIST:Old", "JUNK:4", "data"}, "Older title", "");
        row("shrink grows padding", "wav", {"LIST:Older title", "PAD :64", "data"}, "Old", "fmt 16|LIST 16|PAD 72|data 400");
        row("shrink leaves padding", "wav", {"LIST:Older title", "data"}, "Old", "fmt 16|LIST 16|JUNK 0|data 400");
        row("shrink too small for padding", "wav", {"LIST:Old title", "data"}, "Old t", "");
        row("removed into padding", "wav", {"LIST:Old", "junk:8", "data"}, "", "fmt 16|junk 32|data 400");
        row("new list before padding", "wav", {"JUNK:64", "data"}, "Title", "fmt 16|LIST 18|JUNK 38|data 400");
        row("no room before the audio", "wav", {"LIST:Old", "data"}, "Older title", "");
        row("padding before the change", "wav", {"JUNK:64", "LIST:Old", "data"}, "Older title", "");
        row("tail extended", "wav", {"data", "LIST:Old"}, "Older title, longer", "fmt 16|data 400|LIST 32");
        row("tail cut", "wav", {"data", "LIST:Older title, longer"}, "Old", "fmt 16|data 400|LIST 16");
        row("tail chunk removed", "wav", {"data", "LIST:Old"}, "", "fmt 16|data 400");
        row("RF64 tail", "rf64", {"data", "LIST:Old"}, "Older title", "ds64 28|fmt 16|data 400|LIST 24");
        row("AIFF odd chunk in the tail", "aiff", {"SSND", "NAME:Odd"}, "Odder", "COMM 18|SSND 408|NAME 5");
        row("AIFF filler", "aiff", {"NAME:Odd", "FLLR:32", "SSND"}, "Odder", "COMM 18|NAME 5|FLLR 30|SSND 408");
        row("AIFF no room", "aiff", {"NAME:Odd", "SSND"}, "Odder", "");
        row("FLAC into padding", "flac", {}, "A title much longer than the old one", "fits");
        row("FLAC same size, no padding", "flac-plain", {}, "New title", "fits");
        row("FLAC shrink leaves padding", "flac-plain", {}, "Old", "fits");
        row("FLAC no room", "flac-plain", {}, "A longer title", "");
        row("MP3 into padding", "mp3", {}, "A title much longer than the old one", "fits");
        // TagLib writes 2.3 texts as UTF-16: "Old" takes a byte less than the old Latin-1 "Old title".
        row("MP3 shorter, no padding", "mp3-bare", {}, "Old", "fits");
        row("MP3 no room", "mp3-bare", {}, "New title", "");
        row("MP3 ID3v1 only", "mp3-v1", {}, "", "fits");
        row("MP3 needs a new ID3v2 tag", "mp3-v1", {}, "New", "");
        // Ogg pages carry checksums and numbers: never written in place.
        row("Ogg", "ogg", {}, "Old", "");
    }
    void fits()
    {
        QFETCH(QString, kind);
        QFETCH(QStringList, chunks);
        QFETCH(QByteArray, title);
        QFETCH(QString, after);
        const QMap<QString, C> containers{{"wav", C::Wave}, {"rf64", C::Rf64}, {"aiff", C::Aiff}};
        const QByteArray bytes = containers.contains(kind) ? chunkFile(containers[kind], chunks) : mediaFile(kind, m_dir.path());
        if (bytes.isEmpty())
            QSKIP("ffmpeg is not installed or failed");
        const QString path = m_dir.filePath("fit");
        QVERIFY(writeBytes(path, bytes));
        const ino_t inode = statOf(path).st_ino;
        const auto [start, end] = audioRange(path);
        const SaveEngine engine = textSave(path, title);
        const std::optional<RewriteResult> result = saveInPlace(engine, {});
        QCOMPARE(bool(result), !after.isEmpty());
        if (!result)
            QCOMPARE(fileBytes(path), bytes);
        QVERIFY2(result ? result->ok : newFileSave(path, engine).ok, result ? qPrintable(result->detail) : "");
        QCOMPARE(statOf(path).st_ino == inode, bool(result));
        if (result && containers.contains(kind))
            QCOMPARE(chunkLayout(path), after);
        if (result)
            QCOMPARE(audioRange(path), qMakePair(start, end));
        const auto [newStart, newEnd] = audioRange(path);
        QCOMPARE(fileBytes(path).mid(newStart, newEnd - newStart), bytes.mid(start, end - start));
        QCOMPARE(containers.contains(kind) ? readString(path, SF_STR_TITLE) : readTags(path)[0].value_or(QByteArray()), title);
        QVERIFY(!QFile::exists(journalPath(path)));
    }

    // What belongs to the file stays: its inode, links, owner, mode,
    // extended attributes and ACL; a symbolic link it was saved through
    // stays a link.
    void keepsWhatBelongsToTheFile()
    {
        const QString path = m_dir.filePath("kept.wav"), alias = m_dir.filePath("alias.wav");
        QVERIFY(writeBytes(path, chunkFile(C::Wave, {"LIST:Old title", "data"})));
        const QByteArray name = QFile::encodeName(path);
        // A minimal access ACL: owner rw, user 1000 r, group r, mask r, others none.
        const QByteArray acl = QByteArray::fromHex("02000000" "01000600ffffffff" "02000400e8030000" "04000400ffffffff"
                                                   "10000400ffffffff" "20000000ffffffff");
        QStringList unsupported;
        const auto attempt = [&](const char *what, int result) {
            if (result != 0)
                unsupported << QStringLiteral("%1 (%2)").arg(what, QString::fromLocal8Bit(std::strerror(errno)));
        };
        QVERIFY(::symlink(name, QFile::encodeName(alias)) == 0 && ::chmod(name, 0640) == 0);
        attempt("hard link", ::link(name, QFile::encodeName(m_dir.filePath("hard.wav"))));
        attempt("owner", ::chown(name, 4321, 4322));
        attempt("user attributes", ::setxattr(name, "user.wavquill", "kept", 4, 0));
        attempt("ACL", ::setxattr(name, "system.posix_acl_access", acl.constData(), size_t(acl.size()), 0));
        const struct stat before = statOf(path);
        const QByteArray attributes = extendedAttributes(name);
        const std::optional<RewriteResult> result = saveInPlace(textSave(alias, "New title"), {});
        QVERIFY(result && result->ok);
        const struct stat after = statOf(path);
        QVERIFY(after.st_ino == before.st_ino && after.st_nlink == before.st_nlink && after.st_uid == before.st_uid
                && after.st_gid == before.st_gid && after.st_mode == before.st_mode);
        QCOMPARE(extendedAttributes(name), attributes);
        QVERIFY(S_ISLNK(statOf(alias, false).st_mode));
        QCOMPARE(readString(path, SF_STR_TITLE), QByteArray("New title"));
        if (!unsupported.isEmpty())
            QSKIP(qPrintable(QStringLiteral("not possible here, not checked: ") + unsupported.join(QStringLiteral(", "))));
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
