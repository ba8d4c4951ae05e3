// Nothing is lost: every failure of a rewrite is reported, leaves the target
// and the source as they were and leaves no temporary file behind.
#include "Fixtures.h"
#include "RewriteFixtures.h"

#include "rewrite/FileRewriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <random>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace fixtures;

namespace {

const QString kUnable = QStringLiteral("Unable to write file");

Spec stereo16(sf_count_t frames)
{
    Spec spec;
    spec.frames = frames;
    return spec;
}

} // namespace

class RewriteSafetyTest : public QObject {
    Q_OBJECT

private slots:
    void temporaryNameLivesBesideTarget();
    void hardLinkIsTheSameFile();
    void unwritableTargetIsReported_data();
    void unwritableTargetIsReported();
    void readOnlyFolderIsReported();
    void wrongSourceDescriptionIsRefused();
    void fullDiskKeepsTarget();
    void failedRenameKeepsTarget();
    void failedSyncKeepsTarget();
    void failedFolderSyncSaysReplaced();
    void cancelKeepsTarget_data();
    void cancelKeepsTarget();
    void readBackCatchesDamage_data();
    void readBackCatchesDamage();
    void alacEncoderFaultIsCaught();
    void inPlaceOnAnotherFileSystem();
    void inPlaceKeepsModeAndOpenHandle();
    void symbolicLinkStaysALink();
    void unseekableSourceNeedsItsFile_data();
    void unseekableSourceNeedsItsFile();
    void inPlaceSaveNeverShortens_data();
    void inPlaceSaveNeverShortens();

private:
    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }
    // A source file and a different, existing target the run must not damage.
    void makePair(const QString &source, const QString &target, sf_count_t frames);
};

void RewriteSafetyTest::makePair(const QString &source, const QString &target, sf_count_t frames)
{
    QVERIFY(write(source, stereo16(frames)));
    Spec other = stereo16(1000);
    other.strings[SF_STR_TITLE - 1] = QByteArray("the old target");
    QVERIFY(write(target, other, [](sf_count_t, int) { return 0.25; }));
}

void RewriteSafetyTest::temporaryNameLivesBesideTarget()
{
    int owner = 0;
    const QString target = path("take.wav");
    const QString temp = temporaryPathFor(target, &owner);
    QCOMPARE(QFileInfo(temp).absolutePath(), QFileInfo(target).absolutePath());
    const QString expectedStart = QStringLiteral(".wavquill-%1-").arg(QString::asprintf("%p", static_cast<void *>(&owner)));
    QVERIFY2(QFileInfo(temp).fileName().startsWith(expectedStart), qPrintable(temp));
    QVERIFY(QRegularExpression(QStringLiteral("-[0-9a-f]{8}$")).match(temp).hasMatch());
    QCOMPARE(temporaryPathFor(target, &owner), temp);
    QVERIFY(temporaryPathFor(path("other.wav"), &owner) != temp);
}

void RewriteSafetyTest::hardLinkIsTheSameFile()
{
    const QString file = path("linked.wav");
    const QString link = path("link-to-linked.wav");
    QVERIFY(write(file, stereo16(10)));
    QCOMPARE(::link(QFile::encodeName(file).constData(), QFile::encodeName(link).constData()), 0);
    QVERIFY(isSameFile(file, link));
    QVERIFY(isSameFile(file, m_dir.path() + "/./linked.wav"));
    QVERIFY(!isSameFile(file, path("missing.wav")));
    const QString copy = path("copy-of-linked.wav");
    QVERIFY(QFile::copy(file, copy));
    QVERIFY(!isSameFile(file, copy));
}

void RewriteSafetyTest::unwritableTargetIsReported_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("channels");
    QTest::addColumn<std::vector<int>>("keep");
    QTest::addColumn<QString>("detail"); // empty: any text

    const int wav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    QTest::newRow("missing folder") << "no/such/folder/x.wav" << wav16 << 2 << std::vector<int>{}
                                    << QString::fromLocal8Bit(std::strerror(ENOENT));
    QTest::newRow("refused format") << "mp3.wav" << (SF_FORMAT_WAV | SF_FORMAT_MPEG_LAYER_III) << 2
                                    << std::vector<int>{} << QString();
    QTest::newRow("no channel") << "none.wav" << wav16 << 0 << std::vector<int>{} << QString();
    QTest::newRow("unordered selection") << "sel.wav" << wav16 << 2 << std::vector<int>{1, 0} << QString();
    QTest::newRow("count mismatch") << "count.wav" << wav16 << 2 << std::vector<int>{1} << QString();
}

void RewriteSafetyTest::unwritableTargetIsReported()
{
    QFETCH(QString, target);
    QFETCH(int, format);
    QFETCH(int, channels);
    QFETCH(std::vector<int>, keep);
    QFETCH(QString, detail);
    QTemporaryDir dir;
    const QString source = dir.filePath("source.wav");
    QVERIFY(write(source, stereo16(100)));
    OpenSoundFile in(source);
    RewriteJob job = sameFormatJob(in, dir.filePath(target));
    job.targetInfo.format = format;
    job.targetInfo.channels = channels;
    job.channels = keep;

    const RewriteResult r = FileRewriter().run(job, {});
    QVERIFY(!r.ok);
    QVERIFY(!r.cancelled);
    QCOMPARE(r.message, kUnable);
    QVERIFY(!r.detail.isEmpty());
    if (!detail.isEmpty())
        QCOMPARE(r.detail, detail);
    if (format == (SF_FORMAT_WAV | SF_FORMAT_MPEG_LAYER_III))
        QCOMPARE(r.detail, QString::fromLocal8Bit(sf_strerror(nullptr)));
    QVERIFY(!QFile::exists(job.targetPath));
    QCOMPARE(temporaryLeftovers(dir.path()), QStringList());
}

void RewriteSafetyTest::readOnlyFolderIsReported()
{
    if (::geteuid() == 0)
        QSKIP("Running as root: folder permissions do not stop writes (the missing-folder case covers an open failure).");
    QTemporaryDir dir;
    const QString source = dir.filePath("source.wav");
    QVERIFY(write(source, stereo16(100)));
    const QString locked = dir.filePath("locked");
    QVERIFY(QDir().mkdir(locked));
    QCOMPARE(::chmod(QFile::encodeName(locked).constData(), 0555), 0);
    OpenSoundFile in(source);
    const RewriteResult r = FileRewriter().run(sameFormatJob(in, locked + "/x.wav"), {});
    ::chmod(QFile::encodeName(locked).constData(), 0755);
    QVERIFY(!r.ok);
    QCOMPARE(r.message, kUnable);
    QCOMPARE(r.detail, QString::fromLocal8Bit(std::strerror(EACCES)));
    QVERIFY(QDir(locked).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty());
}

void RewriteSafetyTest::wrongSourceDescriptionIsRefused()
{
    const QString source = path("described.wav");
    const QString target = path("described-target.wav");
    makePair(source, target, 100);
    const QByteArray before = fileBytes(target);
    OpenSoundFile in(source);
    RewriteJob job = sameFormatJob(in, target);
    job.sourceInfo.channels = 3; // reads of 3-item frames would return nothing
    job.targetInfo.channels = 3;
    const RewriteResult r = FileRewriter().run(job, {});
    QVERIFY(!r.ok);
    QCOMPARE(r.message, kUnable);
    QCOMPARE(fileBytes(target), before);
}

void RewriteSafetyTest::fullDiskKeepsTarget()
{
    const QString source = path("big.wav");
    const QString target = path("full-target.wav");
    makePair(source, target, 200000); // 800 KB of samples
    const QByteArray before = fileBytes(target);
    OpenSoundFile in(source);

    // The file size limit makes writes fail the way a full disk does.
    struct rlimit saved;
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit limited = saved;
    limited.rlim_cur = 256 * 1024;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const RewriteResult r = FileRewriter().run(sameFormatJob(in, target), {});
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    QVERIFY(!r.ok);
    QCOMPARE(r.message, kUnable);
    QVERIFY2(r.detail.contains(QString::fromLocal8Bit(std::strerror(EFBIG))), qPrintable(r.detail));
    QCOMPARE(fileBytes(target), before);
    QCOMPARE(temporaryLeftovers(m_dir.path()), QStringList());
}

void RewriteSafetyTest::failedRenameKeepsTarget()
{
    const QString source = path("rename-source.wav");
    QVERIFY(write(source, stereo16(100)));
    const QString folder = path("a-folder.wav"); // a folder in the target's place
    QVERIFY(QDir().mkpath(folder + "/inside"));
    OpenSoundFile in(source);
    const RewriteResult r = FileRewriter().run(sameFormatJob(in, folder), {});
    QVERIFY(!r.ok);
    QVERIFY(!r.replaced);
    QCOMPARE(r.message, kUnable);
    QVERIFY2(r.detail.contains(QString::fromLocal8Bit(std::strerror(EISDIR))), qPrintable(r.detail));
    QVERIFY(QFileInfo(folder + "/inside").isDir());
    QCOMPARE(temporaryLeftovers(m_dir.path()), QStringList());
}

void RewriteSafetyTest::failedSyncKeepsTarget()
{
    const QString source = path("sync-source.wav");
    const QString target = path("sync-target.wav");
    makePair(source, target, 1000);
    const QByteArray before = fileBytes(target);
    OpenSoundFile in(source);
    FileRewriter rewriter;
    rewriter.setFaultsForTesting({EIO, 0, false});
    const RewriteResult r = rewriter.run(sameFormatJob(in, target), {});
    QVERIFY(!r.ok);
    QCOMPARE(r.message, kUnable);
    QVERIFY2(r.detail.contains(QString::fromLocal8Bit(std::strerror(EIO))), qPrintable(r.detail));
    QCOMPARE(fileBytes(target), before);
    QCOMPARE(temporaryLeftovers(m_dir.path()), QStringList());
}

void RewriteSafetyTest::failedFolderSyncSaysReplaced()
{
    const QString source = path("dirsync-source.wav");
    const QString target = path("dirsync-target.wav");
    makePair(source, target, 1000);
    OpenSoundFile in(source);
    FileRewriter rewriter;
    rewriter.setFaultsForTesting({0, EIO, false});
    const RewriteResult r = rewriter.run(sameFormatJob(in, target), {});
    QVERIFY(!r.ok);
    QVERIFY(r.replaced);
    QCOMPARE(r.message, kUnable);
    QVERIFY(r.detail.contains(QString::fromLocal8Bit(std::strerror(EIO))));
    QCOMPARE(readInts(target), readInts(source));
}

void RewriteSafetyTest::cancelKeepsTarget_data()
{
    QTest::addColumn<int>("cancelAtCall");
    // 70000 stereo frames are three copy blocks of 32768 frames.
    QTest::newRow("after the first block") << 1;
    QTest::newRow("while reading back") << 4;
}

void RewriteSafetyTest::cancelKeepsTarget()
{
    QFETCH(int, cancelAtCall);
    const QString source = path("cancel-source.wav");
    const QString target = path("cancel-target.wav");
    makePair(source, target, 70000);
    const QByteArray before = fileBytes(target);
    OpenSoundFile in(source);
    int calls = 0;
    const RewriteResult r = FileRewriter().run(sameFormatJob(in, target), [&](double) { return ++calls < cancelAtCall; });
    QVERIFY(r.cancelled);
    QVERIFY(!r.ok);
    QCOMPARE(calls, cancelAtCall);
    QVERIFY(r.message.isEmpty());
    QCOMPARE(fileBytes(target), before);
    QCOMPARE(temporaryLeftovers(m_dir.path()), QStringList());
}

void RewriteSafetyTest::readBackCatchesDamage_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");
    QTest::newRow("integers") << (SF_FORMAT_WAV | SF_FORMAT_PCM_16) << (SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    QTest::newRow("floats") << (SF_FORMAT_WAV | SF_FORMAT_FLOAT) << (SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    QTest::newRow("ulaw bytes") << (SF_FORMAT_WAV | SF_FORMAT_ULAW) << (SF_FORMAT_WAV | SF_FORMAT_ULAW);
    QTest::newRow("16 to 24") << (SF_FORMAT_WAV | SF_FORMAT_PCM_16) << (SF_FORMAT_WAV | SF_FORMAT_PCM_24);
    QTest::newRow("24 to float") << (SF_FORMAT_WAV | SF_FORMAT_PCM_24) << (SF_FORMAT_WAV | SF_FORMAT_FLOAT);
}

void RewriteSafetyTest::readBackCatchesDamage()
{
    QFETCH(int, from);
    QFETCH(int, to);
    const QString tag = QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-');
    const QString source = path("damage-source-" + tag);
    const QString target = path("damage-target-" + tag);
    Spec spec = stereo16(5000);
    spec.format = from;
    QVERIFY(write(source, spec));
    QVERIFY(write(target, stereo16(10)));
    const QByteArray before = fileBytes(target);
    OpenSoundFile in(source);
    RewriteJob job = sameFormatJob(in, target);
    job.targetInfo.format = to;
    FileRewriter rewriter;
    rewriter.setFaultsForTesting({0, 0, true});
    const RewriteResult r = rewriter.run(job, {});
    QVERIFY(!r.ok);
    QCOMPARE(r.message, kUnable);
    QVERIFY2(r.detail.contains(QStringLiteral("did not read back correctly")), qPrintable(r.detail));
    QCOMPARE(fileBytes(target), before);
    QCOMPARE(temporaryLeftovers(m_dir.path()), QStringList());
}

void RewriteSafetyTest::alacEncoderFaultIsCaught()
{
    // Loud stereo noise is what libsndfile's ALAC encoder gets wrong.
    Spec spec = stereo16(30000);
    spec.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> noise(-0.5, 0.5);
    const QString source = path("noise.wav");
    const QString target = path("noise.caf");
    QVERIFY(write(source, spec, [&](sf_count_t, int) { return noise(rng); }));
    QVERIFY(write(target, stereo16(10)));
    const QByteArray before = fileBytes(target);
    OpenSoundFile in(source);
    RewriteJob job = sameFormatJob(in, target);
    job.targetInfo.format = SF_FORMAT_CAF | SF_FORMAT_ALAC_24;
    const RewriteResult r = FileRewriter().run(job, {});
    QVERIFY(!r.ok);
    QVERIFY2(r.detail.contains(QStringLiteral("did not read back correctly")), qPrintable(r.detail));
    QCOMPARE(fileBytes(target), before);
    QCOMPARE(temporaryLeftovers(m_dir.path()), QStringList());
}

void RewriteSafetyTest::inPlaceOnAnotherFileSystem()
{
    QTemporaryDir shm(QStringLiteral("/dev/shm/wavquill-rewrite-XXXXXX"));
    if (!shm.isValid())
        QSKIP("/dev/shm is not available here.");
    const QString file = shm.filePath("song.wav");
    QVERIFY(write(file, stereo16(50000)));
    const std::vector<int> samples = readInts(file);
    OpenSoundFile in(file);
    RewriteJob job = sameFormatJob(in, file);
    job.strings[SF_STR_TITLE - 1] = QByteArray("saved on tmpfs");
    const RewriteResult r = FileRewriter().run(job, {});
    QVERIFY2(r.ok, qPrintable(r.detail));
    QVERIFY(r.replaced);
    QCOMPARE(readString(file, SF_STR_TITLE), QByteArray("saved on tmpfs"));
    QCOMPARE(readInts(file), samples);
    QCOMPARE(temporaryLeftovers(shm.path()), QStringList());
}

void RewriteSafetyTest::inPlaceKeepsModeAndOpenHandle()
{
    const QString file = path("inplace.wav");
    QVERIFY(write(file, stereo16(3000)));
    QCOMPARE(::chmod(QFile::encodeName(file).constData(), 0640), 0);
    const std::vector<int> samples = readInts(file);
    OpenSoundFile in(file);
    RewriteJob job = sameFormatJob(in, file);
    job.strings[SF_STR_ARTIST - 1] = QByteArray("someone");
    const RewriteResult r = FileRewriter().run(job, {});
    QVERIFY2(r.ok, qPrintable(r.detail));

    struct stat st;
    QCOMPARE(::stat(QFile::encodeName(file).constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 07777), 0640);
    QCOMPARE(readString(file, SF_STR_ARTIST), QByteArray("someone"));
    // The document's handle still reads the file it opened.
    std::vector<int> again(samples.size());
    QCOMPARE(sf_seek(in.sf, 0, SEEK_SET), sf_count_t(0));
    QCOMPARE(sf_read_int(in.sf, again.data(), sf_count_t(again.size())), sf_count_t(again.size()));
    QCOMPARE(again, samples);
}

void RewriteSafetyTest::symbolicLinkStaysALink()
{
    const QString real = path("real.wav");
    const QString link = path("alias.wav");
    QVERIFY(write(real, stereo16(100)));
    QVERIFY(QFile::link(real, link));
    OpenSoundFile in(real);
    RewriteJob job = sameFormatJob(in, link);
    job.strings[SF_STR_TITLE - 1] = QByteArray("through the link");
    const RewriteResult r = FileRewriter().run(job, {});
    QVERIFY2(r.ok, qPrintable(r.detail));
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(readString(real, SF_STR_TITLE), QByteArray("through the link"));
}

void RewriteSafetyTest::unseekableSourceNeedsItsFile_data()
{
    QTest::addColumn<QString>("sourcePath"); // relative to the test's folder; empty: none given
    QTest::addColumn<QString>("detail");     // part of the reason given
    QTest::newRow("no name") << QString() << "its name is not known";
    QTest::newRow("missing file") << "gone.wav" << "cannot be read again";
    QTest::newRow("another file") << "other.wav" << "is no longer the one that was opened";
}

void RewriteSafetyTest::unseekableSourceNeedsItsFile()
{
    // A source libsndfile cannot seek is read back through a second handle
    // on its file; without that file nothing may be written.
    QFETCH(QString, sourcePath);
    QFETCH(QString, detail);
    QTemporaryDir dir;
    const QString source = dir.filePath("gsm.wav");
    Spec spec;
    spec.format = SF_FORMAT_WAV | SF_FORMAT_GSM610;
    spec.channels = 1;
    spec.samplerate = 8000;
    spec.frames = 8000;
    QVERIFY(write(source, spec));
    QVERIFY(write(dir.filePath("other.wav"), stereo16(8000)));
    const QString target = dir.filePath("target.wav");
    QVERIFY(write(target, stereo16(10)));
    const QByteArray before = fileBytes(target);
    const QByteArray sourceBefore = fileBytes(source);

    OpenSoundFile in(source);
    QCOMPARE(in.info.seekable, 0);
    RewriteJob job = sameFormatJob(in, target);
    job.sourcePath = sourcePath.isEmpty() ? QString() : dir.filePath(sourcePath);
    const RewriteResult r = FileRewriter().run(job, {});
    QVERIFY(!r.ok);
    QVERIFY(!r.replaced);
    QCOMPARE(r.message, kUnable);
    QVERIFY2(r.detail.contains(detail), qPrintable(r.detail));
    QCOMPARE(fileBytes(target), before);
    QCOMPARE(fileBytes(source), sourceBefore);
    QCOMPARE(temporaryLeftovers(dir.path()), QStringList());
}

void RewriteSafetyTest::inPlaceSaveNeverShortens_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("cutPercent");     // of the file's size
    QTest::addColumn<bool>("cutAfterOpening"); // the handle still believes the old length
    QTest::addColumn<bool>("saved");

    const int flac = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
    const int wav = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    const int ogg = SF_FORMAT_OGG | SF_FORMAT_VORBIS;
    // libsndfile reports the FLAC header's frame count but decodes only the
    // whole frames that are left.
    QTest::newRow("flac cut in its audio frames") << flac << 60 << false << false;
    // Cut before its last page: an unknown length (SF_COUNT_MAX), nothing
    // decodes.
    QTest::newRow("ogg cut before its last page") << ogg << 70 << false << false;
    // A WAV opened after the cut reports the frames it holds: nothing is lost.
    QTest::newRow("wav cut before opening") << wav << 60 << false << true;
    QTest::newRow("wav cut under the open handle") << wav << 60 << true << false;
    QTest::newRow("flac whole") << flac << 100 << false << true;
}

void RewriteSafetyTest::inPlaceSaveNeverShortens()
{
    QFETCH(int, format);
    QFETCH(int, cutPercent);
    QFETCH(bool, cutAfterOpening);
    QFETCH(bool, saved);
    const QString tag = QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-');
    const QString file = path("shorten-" + tag);
    Spec spec = stereo16(88200);
    spec.format = format;
    QVERIFY(write(file, spec));
    auto cut = [&] {
        QFile f(file);
        return f.resize(f.size() * cutPercent / 100);
    };
    if (!cutAfterOpening)
        QVERIFY(cut());
    OpenSoundFile in(file);
    QVERIFY(in.sf);
    if (cutAfterOpening)
        QVERIFY(cut());
    const sf_count_t readable = sf_count_t(readInts(file).size() / 2);
    const QByteArray before = fileBytes(file);

    RewriteJob job = sameFormatJob(in, file);
    job.requireAllFrames = true;
    job.strings[SF_STR_TITLE - 1] = QByteArray("edited");
    const RewriteResult r = FileRewriter().run(job, {});
    QCOMPARE(temporaryLeftovers(m_dir.path()), QStringList());
    if (saved) {
        QVERIFY2(r.ok, qPrintable(r.detail));
        QCOMPARE(r.framesWritten, in.info.frames);
        QCOMPARE(sf_count_t(readInts(file).size() / 2), readable);
        return;
    }
    QVERIFY(readable < in.info.frames);
    QVERIFY(!r.ok);
    QVERIFY(!r.replaced);
    QVERIFY(!r.cancelled);
    QCOMPARE(r.message, kUnable);
    QCOMPARE(r.framesWritten, readable);
    const QString expected = in.info.frames == SF_COUNT_MAX
        ? QStringLiteral("Only %1 frames could be read, and the file does not say how long it is").arg(readable)
        : QStringLiteral("Only %1 of %2 frames could be read").arg(readable).arg(in.info.frames);
    QVERIFY2(r.detail.startsWith(expected), qPrintable(r.detail));
    QVERIFY2(r.detail.contains(QStringLiteral("Save a copy instead")), qPrintable(r.detail));
    QCOMPARE(fileBytes(file), before);

    // The same source may still be copied elsewhere: what can be read is kept.
    job.targetPath = path("shorten-" + tag + "-copy");
    job.requireAllFrames = false;
    const std::vector<int> delivered = readInts(file);
    const RewriteResult copy = FileRewriter().run(job, {});
    QVERIFY2(copy.ok, qPrintable(copy.detail));
    QCOMPARE(copy.framesWritten, readable);
    if (!cutAfterOpening) // a fresh handle reads what the open one delivered
        QCOMPARE(readInts(job.targetPath), delivered);
}

QTEST_GUILESS_MAIN(RewriteSafetyTest)
#include "tst_rewrite_safety.moc"
