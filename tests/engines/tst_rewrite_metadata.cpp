// Strings and the broadcast record through the rewrite engine: written byte
// for byte, stable over repeated saves, readable by libsndfile's own tools.
#include "Fixtures.h"
#include "RewriteFixtures.h"

#include "rewrite/FileRewriter.h"
#include "rewrite/RewriteMetadata.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

using namespace fixtures;

namespace {

// Saves source to target in its own format with the record and strings the
// file holds now, the way a document saves what it read.
RewriteResult resave(const QString &source, const QString &target)
{
    OpenSoundFile in(source);
    RewriteJob job = sameFormatJob(in, target);
    BextRecord record;
    if (readBext(source, &record))
        job.bext = record;
    for (int id = SF_STR_TITLE; id <= SF_STR_DATE; ++id)
        job.strings[size_t(id - 1)] = readString(source, id);
    return FileRewriter().run(job, {});
}

QByteArray historyOf(const BextRecord &record)
{
    return QByteArray(record.coding_history, int(strnlen(record.coding_history, record.coding_history_size)));
}

} // namespace

class RewriteMetadataTest : public QObject {
    Q_OBJECT

private slots:
    void recordWrittenOnlyWhenGiven_data();
    void recordWrittenOnlyWhenGiven();
    void recordFieldsRoundTrip();
    void longCodingHistoryStaysOnResave();
    void codingHistoryPreparation();
    void stringsKeepTheirBytes();
    void softwareStringSettles();
    void peerToolReadsWhatWasWritten();

private:
    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }
};

void RewriteMetadataTest::recordWrittenOnlyWhenGiven_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<bool>("give");
    QTest::addColumn<bool>("expected");
    QTest::newRow("wav, given") << (SF_FORMAT_WAV | SF_FORMAT_PCM_16) << true << true;
    QTest::newRow("wav, not given") << (SF_FORMAT_WAV | SF_FORMAT_PCM_16) << false << false;
    QTest::newRow("rf64, given") << (SF_FORMAT_RF64 | SF_FORMAT_PCM_24) << true << true;
    QTest::newRow("aiff refuses") << (SF_FORMAT_AIFF | SF_FORMAT_PCM_16) << true << false;
    QTest::newRow("flac refuses") << (SF_FORMAT_FLAC | SF_FORMAT_PCM_16) << true << false;
}

void RewriteMetadataTest::recordWrittenOnlyWhenGiven()
{
    QFETCH(int, format);
    QFETCH(bool, give);
    QFETCH(bool, expected);
    const QString tag = QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-').remove(',');
    const QString source = path("bext-src-" + tag);
    Spec spec;
    spec.frames = 100;
    spec.bext = bextRecord("kept", "WavQuill", "", "", "", 0, 1, "", "");
    QVERIFY(write(source, spec)); // a WAV that has a record

    OpenSoundFile in(source);
    RewriteJob job = sameFormatJob(in, path("bext-out-" + tag));
    job.targetInfo.format = format;
    if (give) {
        job.bext.emplace();
        QVERIFY(readBext(source, &*job.bext));
    }
    const RewriteResult r = FileRewriter().run(job, {});
    QVERIFY2(r.ok, qPrintable(r.detail));
    BextRecord back;
    QCOMPARE(readBext(job.targetPath, &back), expected);
    if (expected)
        QCOMPARE(QByteArray(back.description), QByteArray("kept"));
}

void RewriteMetadataTest::recordFieldsRoundTrip()
{
    BextRecord record;
    std::memset(&record, 0, sizeof record);
    std::memset(record.description, 'd', sizeof record.description); // all 256 bytes used
    std::memset(record.originator, 'o', sizeof record.originator);
    std::memcpy(record.originator_reference, "REF-1", 5);
    std::memcpy(record.origination_date, "2023-12-31", 10);
    std::memcpy(record.origination_time, "23:59:58", 8);
    record.time_reference_low = 0x89abcdefu;
    record.time_reference_high = 0x12u;
    for (int i = 0; i < 64; ++i)
        record.umid[i] = char(i == 63 ? 0xff : i * 4); // NUL first, 0xFF last
    record.loudness_value = -2300;
    record.max_true_peak_level = -100;

    const QString source = path("fields.wav");
    Spec spec;
    spec.frames = 10;
    QVERIFY(write(source, spec));
    OpenSoundFile in(source);
    RewriteJob job = sameFormatJob(in, path("fields-out.wav"));
    job.bext = record;
    const RewriteResult r = FileRewriter().run(job, {});
    QVERIFY2(r.ok, qPrintable(r.detail));

    BextRecord back;
    QVERIFY(readBext(job.targetPath, &back));
    QCOMPARE(QByteArray(back.description, 256), QByteArray(record.description, 256));
    QCOMPARE(QByteArray(back.originator, 32), QByteArray(record.originator, 32));
    QCOMPARE(QByteArray(back.originator_reference, 32), QByteArray(record.originator_reference, 32));
    QCOMPARE(QByteArray(back.origination_date, 10), QByteArray("2023-12-31"));
    QCOMPARE(QByteArray(back.origination_time, 8), QByteArray("23:59:58"));
    QCOMPARE(back.time_reference_low, record.time_reference_low);
    QCOMPARE(back.time_reference_high, record.time_reference_high);
    QCOMPARE(QByteArray(back.umid, 64), QByteArray(record.umid, 64));
    QCOMPARE(back.loudness_value, record.loudness_value);
    QCOMPARE(back.max_true_peak_level, record.max_true_peak_level);
}

void RewriteMetadataTest::longCodingHistoryStaysOnResave()
{
    QByteArray history;
    for (int take = 1; history.size() < 600; ++take)
        history += QStringLiteral("A=ANALOGUE,M=stereo,T=Studer A80;take %1\r\n").arg(take, 3, 10, QChar('0')).toLatin1();
    history.truncate(600);
    const QString original = path("history.wav");
    Spec spec;
    spec.frames = 100;
    spec.bext = bextRecord("long history", "", "", "", "", 0, 1, "", history);
    QVERIFY(write(original, spec));

    const QString first = path("history-1.wav");
    const QString second = path("history-2.wav");
    RewriteResult r = resave(original, first);
    QVERIFY2(r.ok, qPrintable(r.detail));
    r = resave(first, second);
    QVERIFY2(r.ok, qPrintable(r.detail));

    BextRecord a;
    BextRecord b;
    QVERIFY(readBext(first, &a));
    QVERIFY(readBext(second, &b));
    QVERIFY(historyOf(a).startsWith(history));
    QCOMPARE(historyOf(a).count("T=libsndfile"), 1);
    QCOMPARE(historyOf(b), historyOf(a));
}

void RewriteMetadataTest::codingHistoryPreparation()
{
    QVERIFY(rewrite::isLibsndfileHistoryLine("A=PCM,F=48000,W=16,M=mono,T=libsndfile-1.2.0"));
    QVERIFY(rewrite::isLibsndfileHistoryLine("A=PCM,F=44100,W=24,M=12chn,T=libsndfile-1.0.31"));
    QVERIFY(!rewrite::isLibsndfileHistoryLine("A=PCM,F=48000,W=16,M=mono,T=Some Recorder"));
    QVERIFY(!rewrite::isLibsndfileHistoryLine("A=ANALOGUE,M=stereo,T=libsndfile-1.2.0"));

    auto prepared = [](const QByteArray &history) {
        auto record = std::make_unique<BextRecord>();
        std::memcpy(record->coding_history, history.constData(), size_t(history.size()));
        record->coding_history_size = uint32_t(history.size());
        return rewrite::codingHistoryForWriting(*record);
    };
    const QByteArray ours = "A=PCM,F=44100,W=24,M=stereo,T=libsndfile-1.2.0";
    // Only a last line that libsndfile wrote goes; line breaks become CRLF.
    QCOMPARE(prepared("first\n" + ours + "\r\n"), QByteArray("first\r\n"));
    QCOMPARE(prepared("first\r" + ours), QByteArray("first\r\n"));
    QCOMPARE(prepared(ours + "\nlast"), ours + "\r\nlast");
    QCOMPARE(prepared(ours), QByteArray());
    // A history too long for libsndfile to read back is cut at a line end.
    QByteArray huge;
    while (huge.size() < 20000)
        huge += "0123456789012345678901234567890123456789\r\n";
    const QByteArray cut = prepared(huge.left(kBextCodingHistoryCapacity));
    QVERIFY(cut.size() <= rewrite::codingHistoryRoom());
    QVERIFY(cut.size() > rewrite::codingHistoryRoom() - 64);
    QVERIFY(cut.endsWith("\r\n"));
    QVERIFY(huge.startsWith(cut));

    // libsndfile takes the full record and the file opens with it.
    const QString source = path("huge-history.wav");
    Spec spec;
    spec.frames = 10;
    QVERIFY(write(source, spec));
    OpenSoundFile in(source);
    RewriteJob job = sameFormatJob(in, path("huge-history-out.wav"));
    job.bext.emplace();
    std::memset(&*job.bext, 0, sizeof(BextRecord));
    std::memcpy(job.bext->coding_history, huge.constData(), kBextCodingHistoryCapacity);
    job.bext->coding_history_size = kBextCodingHistoryCapacity;
    const RewriteResult r = FileRewriter().run(job, {});
    QVERIFY2(r.ok, qPrintable(r.detail));
    BextRecord back;
    QVERIFY(readBext(job.targetPath, &back));
    QVERIFY(historyOf(back).startsWith(cut));
}

void RewriteMetadataTest::stringsKeepTheirBytes()
{
    const QString source = path("strings.wav");
    Spec spec;
    spec.frames = 10;
    spec.strings[SF_STR_COPYRIGHT - 1] = QByteArray("(c) old");
    spec.strings[SF_STR_DATE - 1] = QByteArray("1999");
    QVERIFY(write(source, spec));

    OpenSoundFile in(source);
    RewriteJob job = sameFormatJob(in, path("strings-out.wav"));
    const QByteArray latin1Title("Caf\xe9 na\xefve \xff\xa0!");
    const QByteArray utf8Artist("Bj\xc3\xb6rk \xe2\x99\xab");
    job.strings[SF_STR_TITLE - 1] = latin1Title;
    job.strings[SF_STR_ARTIST - 1] = utf8Artist;
    job.strings[SF_STR_COMMENT - 1] = QByteArray("a\tcomment\r\nwith lines");
    job.strings[SF_STR_COPYRIGHT - 1] = QByteArray(); // cleared: not written
    const RewriteResult r = FileRewriter().run(job, {});
    QVERIFY2(r.ok, qPrintable(r.detail));

    QCOMPARE(readString(job.targetPath, SF_STR_TITLE), latin1Title);
    QCOMPARE(readString(job.targetPath, SF_STR_ARTIST), utf8Artist);
    QCOMPARE(readString(job.targetPath, SF_STR_COMMENT), QByteArray("a\tcomment\r\nwith lines"));
    QCOMPARE(readString(job.targetPath, SF_STR_COPYRIGHT), QByteArray());
    QCOMPARE(readString(job.targetPath, SF_STR_DATE), QByteArray());
}

void RewriteMetadataTest::softwareStringSettles()
{
    // libsndfile names itself in the software string on every write unless
    // the string already does; after one save the text no longer changes.
    const QString source = path("software.wav");
    Spec spec;
    spec.frames = 10;
    QVERIFY(write(source, spec));
    OpenSoundFile in(source);
    RewriteJob job = sameFormatJob(in, path("software-1.wav"));
    job.strings[SF_STR_SOFTWARE - 1] = QByteArray("WavQuill");
    RewriteResult r = FileRewriter().run(job, {});
    QVERIFY2(r.ok, qPrintable(r.detail));
    const QByteArray once = readString(job.targetPath, SF_STR_SOFTWARE);
    QVERIFY2(once.startsWith("WavQuill (libsndfile-"), once.constData());

    r = resave(job.targetPath, path("software-2.wav"));
    QVERIFY2(r.ok, qPrintable(r.detail));
    QCOMPARE(readString(path("software-2.wav"), SF_STR_SOFTWARE), once);
}

void RewriteMetadataTest::peerToolReadsWhatWasWritten()
{
    if (!haveProgram("sndfile-metadata-get"))
        QSKIP("sndfile-metadata-get is not installed.");
    const QString source = path("peer.wav");
    Spec spec;
    spec.frames = 100;
    QVERIFY(write(source, spec));
    OpenSoundFile in(source);
    RewriteJob job = sameFormatJob(in, path("peer-out.wav"));
    QByteArray raw(fixtures::bextRecord("Interview, take 3", "Field recorder", "", "2024-05-06", "07:08:09", 0, 1, "", ""));
    job.bext.emplace();
    std::memset(&*job.bext, 0, sizeof(BextRecord));
    std::memcpy(&*job.bext, raw.constData(), size_t(raw.size()));
    job.strings[SF_STR_TITLE - 1] = QByteArray("Peer title");
    job.strings[SF_STR_ARTIST - 1] = QByteArray("Peer artist");
    const RewriteResult r = FileRewriter().run(job, {});
    QVERIFY2(r.ok, qPrintable(r.detail));

    QProcess tool;
    tool.start(QStringLiteral("sndfile-metadata-get"),
               {"--bext-description", "--bext-originator", "--bext-orig-date", "--str-title", "--str-artist", job.targetPath});
    QVERIFY(tool.waitForFinished(30000));
    QCOMPARE(tool.exitCode(), 0);
    const QByteArray out = tool.readAllStandardOutput();
    for (const char *expected : {"Interview, take 3", "Field recorder", "2024-05-06", "Peer title", "Peer artist"})
        QVERIFY2(out.contains(expected), out.constData());
}

QTEST_GUILESS_MAIN(RewriteMetadataTest)
#include "tst_rewrite_metadata.moc"
