// Nothing is lost: every failure of a rewrite is reported and leaves the
// target and the source as they were, with no temporary file behind; a save
// in place keeps the file's mode, its links and the open handle, and never
// shortens it.
#include "EngineFixtures.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <random>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace fixtures;

namespace {

constexpr int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
constexpr int kGsm = SF_FORMAT_WAV | SF_FORMAT_GSM610;

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// A run that fails once it has begun writing.
struct Failure {
    int from = kWav16;            // the source's format (GSM cannot seek)
    int to = kWav16;              // the new file's
    RewriteFaults faults;
    int cancelAt = 0;             // progress call that cancels; 0: none
    rlim_t sizeLimit = 0;         // largest file the process may write; 0: any
    const char *sourcePath = "";  // the source's name as the job gives it; "": its own
    bool targetIsFolder = false;  // a folder with a file in it stands in the target's place
    bool replaced = false;        // the target holds the new file all the same
    QString detail;               // part of the reason given
};

// A run refused before anything is written.
struct Refusal {
    QString target;
    int format, channels;
    std::vector<int> keep;
    int describedChannels; // what the job says the stereo source has
    QString detail;        // empty: any text
};

} // namespace

Q_DECLARE_METATYPE(Failure)
Q_DECLARE_METATYPE(Refusal)

class RewriteSafetyTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }

private slots:
    void names()
    {
        const QString target = path("take.wav");
        QVERIFY(write(target, Spec{}));
        QVERIFY(::link(QFile::encodeName(target).constData(), QFile::encodeName(path("hard.wav")).constData()) == 0);
        QVERIFY(QFile::copy(target, path("copy.wav")));
        QVERIFY(isSameFile(target, path("hard.wav")) && isSameFile(target, m_dir.path() + "/./take.wav"));
        QVERIFY(!isSameFile(target, path("copy.wav")) && !isSameFile(target, path("missing.wav")));
    }

    void refusedBeforeWriting_data()
    {
        QTest::addColumn<Refusal>("f");
        QTest::newRow("missing folder") << Refusal{"no/such/x.wav", kWav16, 2, {}, 2, errorText(ENOENT)};
        QTest::newRow("folder is a file") << Refusal{"file.wav/x.wav", kWav16, 2, {}, 2, errorText(ENOTDIR)};
        QTest::newRow("read-only folder") << Refusal{"locked/x.wav", kWav16, 2, {}, 2, "locked” cannot be written: " + errorText(EACCES)};
        QTest::newRow("refused format") << Refusal{"mp3.wav", SF_FORMAT_WAV | SF_FORMAT_MPEG_LAYER_III, 2, {}, 2, {}};
        QTest::newRow("no channel") << Refusal{"none.wav", kWav16, 0, {}, 2, {}};
        QTest::newRow("unordered selection") << Refusal{"sel.wav", kWav16, 2, {1, 0}, 2, {}};
        QTest::newRow("count mismatch") << Refusal{"count.wav", kWav16, 2, {1}, 2, {}};
        // Reads of 3-item frames from a stereo handle would return nothing.
        QTest::newRow("wrong description") << Refusal{"desc.wav", kWav16, 3, {}, 3, {}};
    }

    void refusedBeforeWriting()
    {
        QFETCH(Refusal, f);
        if (f.target.startsWith("locked") && ::geteuid() == 0)
            QSKIP("Folder permissions do not stop root.");
        QVERIFY(write(path("file.wav"), Spec{kWav16, 2, 44100, 100}));
        QVERIFY(QDir().mkpath(path("locked")) && ::chmod(QFile::encodeName(path("locked")).constData(), 0555) == 0);
        const RewriteResult r = rewriteFile(OpenSoundFile{path("file.wav")}, path(f.target), [&](RewriteJob &job) {
            job.sourceInfo.channels = f.describedChannels;
            job.targetInfo.format = f.format;
            job.targetInfo.channels = f.channels;
            job.channels = f.keep;
        });
        ::chmod(QFile::encodeName(path("locked")).constData(), 0755);
        QVERIFY(!r.ok && !r.cancelled && !r.replaced && !r.detail.isEmpty());
        QCOMPARE(r.message, QStringLiteral("Unable to write file"));
        QVERIFY2(r.detail.endsWith(f.detail), qPrintable(r.detail));
        QVERIFY(!QFileInfo::exists(path(f.target)));
        QCOMPARE(temporaryLeftovers(m_dir.path()) + temporaryLeftovers(path("locked")), QStringList());
    }

    void failuresKeepTarget_data()
    {
        QTest::addColumn<Failure>("f");
        const QString damaged = QStringLiteral("did not read back correctly");
        const int wav24 = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
        const int wavFloat = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        const int ulaw = SF_FORMAT_WAV | SF_FORMAT_ULAW;
        QTest::newRow("fsync of the file") << Failure{kWav16, kWav16, {EIO, 0, false}, 0, 0, "", false, false, errorText(EIO)};
        QTest::newRow("fsync of the folder") << Failure{kWav16, kWav16, {0, EIO, false}, 0, 0, "", false, true, errorText(EIO)};
        QTest::newRow("disk full") << Failure{kWav16, kWav16, {}, 0, 256 * 1024, "", false, false, errorText(EFBIG)};
        QTest::newRow("cancel while copying") << Failure{kWav16, kWav16, {}, 1, 0, "", false, false, "cancelled"};
        QTest::newRow("cancel while reading back") << Failure{kWav16, kWav16, {}, 8, 0, "", false, false, "cancelled"};
        QTest::newRow("integers damaged") << Failure{kWav16, kWav16, {0, 0, true}, 0, 0, "", false, false, damaged};
        QTest::newRow("floats damaged") << Failure{wavFloat, wavFloat, {0, 0, true}, 0, 0, "", false, false, damaged};
        QTest::newRow("ulaw bytes damaged") << Failure{ulaw, ulaw, {0, 0, true}, 0, 0, "", false, false, damaged};
        QTest::newRow("16 to 24 damaged") << Failure{kWav16, wav24, {0, 0, true}, 0, 0, "", false, false, damaged};
        QTest::newRow("24 to float damaged") << Failure{wav24, wavFloat, {0, 0, true}, 0, 0, "", false, false, damaged};
        // Loud noise is what libsndfile's ALAC encoder gets wrong.
        QTest::newRow("alac encoder") << Failure{wav24, SF_FORMAT_CAF | SF_FORMAT_ALAC_24, {}, 0, 0, "", false, false, damaged};
        // A source that cannot seek is read back through its name.
        QTest::newRow("unseekable, no name") << Failure{kGsm, kGsm, {}, 0, 0, nullptr, false, false, "its name is not known"};
        QTest::newRow("unseekable, gone") << Failure{kGsm, kGsm, {}, 0, 0, "gone.wav", false, false, "cannot be read again"};
        QTest::newRow("folder in the target's place") << Failure{kWav16, kWav16, {}, 0, 0, "", true, false, errorText(EISDIR)};
        QTest::newRow("unseekable, another file") << Failure{kGsm, kGsm, {}, 0, 0, "target.wav", false, false, "no longer the one"};
    }

    void failuresKeepTarget()
    {
        QFETCH(Failure, f);
        std::mt19937 rng(7);
        std::uniform_real_distribution<double> noise(-0.5, 0.5);
        // 800 KB in 16 bits: seven copy blocks, then the read-back.
        const Spec source{f.from, f.from == kGsm ? 1 : 2, f.from == kGsm ? 8000 : 44100, 200000};
        QVERIFY(write(path("source.wav"), source, [&](sf_count_t, int) { return noise(rng); }));
        QFile::remove(path("target.wav"));
        QVERIFY(f.targetIsFolder ? QDir().mkpath(path("target.wav/inside")) : write(path("target.wav"), Spec{kWav16, 2, 44100, 10}));
        const QByteArray before = fileBytes(path("target.wav"));
        struct rlimit saved;
        ::getrlimit(RLIMIT_FSIZE, &saved);
        struct rlimit limited{f.sizeLimit ? f.sizeLimit : saved.rlim_cur, saved.rlim_max};
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN); // writes past the limit fail as on a full disk
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limited), 0);
        int calls = 0;
        const RewriteResult r = rewriteFile(OpenSoundFile{path("source.wav")}, path("target.wav"), [&](RewriteJob &job) {
            job.targetInfo.format = f.to;
            if (!f.sourcePath || *f.sourcePath)
                job.sourcePath = f.sourcePath ? path(f.sourcePath) : QString();
        }, f.faults, [&](double) { return ++calls != f.cancelAt; });
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
        QVERIFY(!r.ok);
        QCOMPARE(r.cancelled, f.cancelAt > 0);
        QCOMPARE(r.replaced, f.replaced);
        QCOMPARE(r.message, f.cancelAt ? QString() : QStringLiteral("Unable to write file"));
        QVERIFY2(r.detail.contains(f.detail), qPrintable(r.detail));
        QVERIFY(f.replaced ? readInts(path("target.wav")) == readInts(path("source.wav")) : fileBytes(path("target.wav")) == before);
        QVERIFY(QFileInfo(path("target.wav/inside")).isDir() == f.targetIsFolder);
        QCOMPARE(temporaryLeftovers(m_dir.path()), QStringList());
        QDir(path("target.wav")).removeRecursively();
    }

    // Through the document's handle, standing wherever playback left it and
    // reading raw doubles, and through a symbolic link: the whole file is
    // copied, its mode and the link stay, and the handle is given back as
    // lent, still reading the file it opened.
    void inPlaceKeepsModeLinkAndHandle()
    {
        const QString file = path("inplace.wav");
        QVERIFY(write(file, Spec{kWav16, 2, 44100, 70000}));
        QVERIFY(::chmod(QFile::encodeName(file).constData(), 0640) == 0 && QFile::link(file, path("alias.wav")));
        const std::vector<int> samples = readInts(file);
        OpenSoundFile in{file};
        sf_seek(in.sf, 12345, SEEK_SET);
        sf_command(in.sf, SFC_SET_NORM_DOUBLE, nullptr, SF_FALSE);
        const RewriteResult r = rewriteFile(in, path("alias.wav"), [](RewriteJob &job) { job.strings[SF_STR_ARTIST - 1] = QByteArray("someone"); });
        QVERIFY2(r.ok && r.replaced && r.framesWritten == 70000, qPrintable(r.detail));
        struct stat st;
        QVERIFY(::stat(QFile::encodeName(file).constData(), &st) == 0 && (st.st_mode & 07777) == 0640);
        QVERIFY(QFileInfo(path("alias.wav")).isSymLink());
        QCOMPARE(readString(file, SF_STR_ARTIST), QByteArray("someone"));
        QCOMPARE(readInts(file), samples);
        QCOMPARE(sf_command(in.sf, SFC_GET_NORM_DOUBLE, nullptr, 0), SF_FALSE);
        std::vector<int> again(samples.size());
        QCOMPARE(sf_read_int(in.sf, again.data(), sf_count_t(again.size())), sf_count_t(again.size()));
        QCOMPARE(again, samples);
    }

    void inPlaceNeverShortens_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("cutPercent");       // of the file's size
        QTest::addColumn<bool>("cutAfterOpening"); // the handle still believes the old length
        // libsndfile reports the FLAC header's frame count but decodes only
        // the whole frames that are left.
        QTest::newRow("flac cut in its audio frames") << (SF_FORMAT_FLAC | SF_FORMAT_PCM_16) << 60 << false;
        // Cut before its last page: an unknown length, nothing decodes.
        QTest::newRow("ogg cut before its last page") << (SF_FORMAT_OGG | SF_FORMAT_VORBIS) << 70 << false;
        QTest::newRow("wav cut under the open handle") << kWav16 << 60 << true;
        // Opened after the cut, a WAV reports the frames it holds: it saves.
        QTest::newRow("wav cut before opening") << kWav16 << 60 << false;
    }

    void inPlaceNeverShortens()
    {
        QFETCH(int, format);
        QFETCH(int, cutPercent);
        QFETCH(bool, cutAfterOpening);
        const QString file = path("shorten");
        QVERIFY(write(file, Spec{format, 2, 44100, 88200}));
        QFile disk(file);
        const qint64 cutSize = disk.size() * cutPercent / 100;
        QVERIFY(cutAfterOpening || disk.resize(cutSize));
        OpenSoundFile in{file};
        QVERIFY(in.sf && (!cutAfterOpening || disk.resize(cutSize)));
        const sf_count_t readable = sf_count_t(readInts(file).size() / 2);
        const QByteArray before = fileBytes(file);
        const auto edit = [](RewriteJob &job) { job.requireAllFrames = job.targetPath == job.sourcePath; };
        const RewriteResult r = rewriteFile(in, file, edit);
        QCOMPARE(temporaryLeftovers(m_dir.path()), QStringList());
        QCOMPARE(r.ok, readable == in.info.frames);
        if (r.ok)
            return;
        QVERIFY(!r.replaced && !r.cancelled && r.framesWritten == readable);
        const QString expected = in.info.frames == SF_COUNT_MAX
            ? QStringLiteral("Only %1 frames could be read, and the file does not say how long it is").arg(readable)
            : QStringLiteral("Only %1 of %2 frames could be read").arg(readable).arg(in.info.frames);
        QVERIFY2(r.detail.startsWith(expected) && r.detail.contains("Save a copy instead"), qPrintable(r.detail));
        QCOMPARE(fileBytes(file), before);
        const RewriteResult copy = rewriteFile(in, file + "-copy", edit); // elsewhere: what can be read is kept
        QVERIFY2(copy.ok && copy.framesWritten == readable, qPrintable(copy.detail));
    }
};

QTEST_GUILESS_MAIN(RewriteSafetyTest)
#include "tst_rewrite_safety.moc"
