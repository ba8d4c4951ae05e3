// In-place tag saves: only the edited string changes, the audio and every
// other tag, picture and block stay, and libsndfile reads the new text.
#include "rewrite/TagWriter.h"

#include <sndfile.h>

#include <taglib/attachedpictureframe.h>
#include <taglib/fileref.h>
#include <taglib/flacfile.h>
#include <taglib/flacproperties.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tpropertymap.h>

#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using rewrite::TagEdits;

namespace {

std::optional<QByteArray> sfString(const QString &path, int index)
{
    SF_INFO info = {};
    SNDFILE *file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    const char *text = file ? sf_get_string(file, SF_STR_TITLE + index) : nullptr;
    // An ID3v1 tag makes libsndfile report its empty fields as "".
    std::optional<QByteArray> out = text && *text ? std::optional<QByteArray>(text) : std::nullopt;
    if (file)
        sf_close(file);
    return out;
}

QByteArray bytes(const TagLib::ByteVector &v)
{
    return QByteArray(v.data(), int(v.size()));
}

// What a tag save must leave alone, read with TagLib and libsndfile.
struct Snapshot {
    QMap<QString, QStringList> properties;
    QList<QByteArray> pictures;
    QVector<float> samples;
    QByteArray md5;
    int id3Version = 0;
    bool id3v1 = false;
};

Snapshot snapshot(const QString &path)
{
    Snapshot s;
    TagLib::FileRef ref(QFile::encodeName(path).constData());
    for (const auto &[key, values] : ref.file()->properties())
        for (const TagLib::String &value : values)
            s.properties[QString::fromStdString(key.to8Bit(true))] << QString::fromStdString(value.to8Bit(true));
    if (auto *flac = dynamic_cast<TagLib::FLAC::File *>(ref.file())) {
        for (const TagLib::FLAC::Picture *picture : flac->pictureList())
            s.pictures << bytes(picture->data());
        s.md5 = bytes(flac->audioProperties()->signature());
    }
    if (auto *mp3 = dynamic_cast<TagLib::MPEG::File *>(ref.file())) {
        for (const TagLib::ID3v2::Frame *frame : mp3->ID3v2Tag()->frameList("APIC"))
            s.pictures << bytes(static_cast<const TagLib::ID3v2::AttachedPictureFrame *>(frame)->picture());
        s.id3Version = mp3->hasID3v2Tag() ? int(mp3->ID3v2Tag()->header()->majorVersion()) : 0;
        s.id3v1 = mp3->hasID3v1Tag();
    }
    SF_INFO info = {};
    SNDFILE *file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    s.samples.resize(int(info.frames * info.channels));
    s.samples.resize(int(sf_readf_float(file, s.samples.data(), info.frames) * info.channels));
    sf_close(file);
    return s;
}

} // namespace

class TagWriterTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void editKeepsEverythingElse_data();
    void editKeepsEverythingElse();
    void allSixStringsReachLibsndfile_data();
    void allSixStringsReachLibsndfile();
    void failedWriteSaysWhy();
    void tagsNotCarried_data();
    void tagsNotCarried();

private:
    QString build(const QString &kind);
    QString copyOf(const QString &original);
    QTemporaryDir m_dir;
};

void TagWriterTest::initTestCase()
{
    if (QStandardPaths::findExecutable(QStringLiteral("ffmpeg")).isEmpty())
        QSKIP("ffmpeg is not installed");
    QVERIFY(m_dir.isValid());
}

// One second of noise with tags, a picture where the format takes one, built
// once per kind: ffmpeg files, or "flac-plain" the way libsndfile writes FLAC
// (no padding).
QString TagWriterTest::build(const QString &kind)
{
    const QString ext = kind.startsWith(QLatin1String("mp3")) ? "mp3" : kind == "vorbis" ? "ogg" : kind == "opus" ? "opus" : "flac";
    const QString path = m_dir.filePath(kind + "." + ext);
    if (QFile::exists(path))
        return path;
    if (kind == "flac-plain") {
        SF_INFO info = {0, 48000, 2, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 0, 0};
        SNDFILE *file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
        sf_set_string(file, SF_STR_TITLE, "Old title");
        QVector<short> noise(96000);
        for (short &v : noise)
            v = short(QRandomGenerator::global()->bounded(-8000, 8000));
        sf_writef_short(file, noise.data(), 48000);
        sf_close(file);
        return path;
    }
    const QString png = m_dir.filePath("cover.png");
    QProcess::execute("ffmpeg", {"-v", "error", "-y", "-f", "lavfi", "-i", "color=c=red:s=16x16", "-frames:v", "1", png});
    QStringList args{"-v", "error", "-y", "-f", "lavfi", "-i", "anoisesrc=d=1:c=pink:r=48000:a=0.3", "-ac", "2"};
    if (ext != "ogg" && ext != "opus")
        args << "-i" << png << "-map" << "0:a" << "-map" << "1:v" << "-c:v" << "copy" << "-disposition:v" << "attached_pic";
    for (const char *tag : {"title=Old title", "artist=Old artist", "album=Album", "date=2020", "comment=Old comment",
                            "copyright=Old copyright", "track=3", "REPLAYGAIN_TRACK_GAIN=-3.20 dB"})
        args << "-metadata" << tag;
    if (ext == "mp3")
        args << "-c:a" << "libmp3lame" << "-ar" << "44100" << "-id3v2_version" << (kind == "mp3-v24" ? "4" : "3")
             << "-write_id3v1" << (kind == "mp3-v1" ? "1" : "0");
    else
        args << "-c:a" << (ext == "ogg" ? "libvorbis" : ext == "opus" ? "libopus" : "flac") << "-sample_fmt:a" << (ext == "flac" ? "s16" : ext == "ogg" ? "fltp" : "flt");
    if (QProcess::execute("ffmpeg", args << path) != 0)
        qWarning() << "ffmpeg failed for" << kind;
    return path;
}

QString TagWriterTest::copyOf(const QString &original)
{
    const QString copy = m_dir.filePath("edited-" + QFileInfo(original).fileName());
    QFile::remove(copy);
    QFile::copy(original, copy);
    QFile::setPermissions(copy, QFile::ReadOwner | QFile::WriteOwner);
    return copy;
}

void TagWriterTest::editKeepsEverythingElse_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("index");
    QTest::addColumn<QByteArray>("value"); // empty: remove
    QTest::addColumn<QString>("property"); // TagLib's name for what is edited
    QTest::newRow("flac title") << "flac" << 0 << QByteArray("New title") << "TITLE";
    QTest::newRow("flac non-ASCII title") << "flac" << 0 << QByteArray("Grüße aus 東京") << "TITLE";
    QTest::newRow("flac without padding") << "flac-plain" << 0 << QByteArray("A title longer than before") << "TITLE";
    QTest::newRow("vorbis title") << "vorbis" << 0 << QByteArray("New title") << "TITLE";
    QTest::newRow("vorbis artist removed") << "vorbis" << 3 << QByteArray() << "ARTIST";
    QTest::newRow("opus title") << "opus" << 0 << QByteArray("New title") << "TITLE";
    QTest::newRow("opus software") << "opus" << 2 << QByteArray("WavQuill") << "ENCODER";
    QTest::newRow("mp3 2.3 title") << "mp3" << 0 << QByteArray("New title") << "TITLE";
    QTest::newRow("mp3 2.3 non-ASCII title") << "mp3" << 0 << QByteArray("Grüße aus 東京") << "TITLE";
    QTest::newRow("mp3 2.3 full date") << "mp3" << 5 << QByteArray("2021-05-03") << "DATE";
    QTest::newRow("mp3 2.4 title") << "mp3-v24" << 0 << QByteArray("New title") << "TITLE";
    QTest::newRow("mp3 with ID3v1 artist removed") << "mp3-v1" << 3 << QByteArray() << "ARTIST";
}

void TagWriterTest::editKeepsEverythingElse()
{
    QFETCH(QString, kind);
    QFETCH(int, index);
    QFETCH(QByteArray, value);
    QFETCH(QString, property);
    const QString original = build(kind);
    const QString copy = copyOf(original);
    TagEdits edits;
    edits[size_t(index)] = value;
    QString error;
    QVERIFY2(rewrite::writeTags(copy, edits, &error), qPrintable(error));
    QVERIFY2(rewrite::verifyAudioUnchanged(original, copy, &error), qPrintable(error));
    QVERIFY2(rewrite::verifyTagsWritten(original, copy, edits, &error), qPrintable(error));

    const std::optional<QByteArray> expected = value.isEmpty() ? std::nullopt : std::optional<QByteArray>(value);
    QCOMPARE(sfString(copy, index), expected);
    TagEdits shown = readTags(original);
    shown[size_t(index)] = expected;
    QVERIFY(readTags(copy) == shown);

    Snapshot before = snapshot(original), after = snapshot(copy);
    QVERIFY(before.properties.remove(property) == 1);
    after.properties.remove(property);
    QCOMPARE(after.properties, before.properties);
    QCOMPARE(before.pictures.isEmpty(), kind == "vorbis" || kind == "opus" || kind == "flac-plain");
    QCOMPARE(after.pictures, before.pictures);
    QVERIFY(!before.samples.isEmpty() && after.samples == before.samples);
    QCOMPARE(after.md5, before.md5);
    QCOMPARE(after.id3Version, before.id3Version);
    QCOMPARE(after.id3v1, before.id3v1);
    if (kind == "flac")
        QCOMPARE(QFileInfo(copy).size(), QFileInfo(original).size()); // padding took the change

    QFile file(copy);
    QVERIFY(file.open(QIODevice::ReadWrite));
    file.seek(file.size() / 2);
    const char flipped = char(~file.peek(1).at(0));
    file.write(&flipped, 1);
    file.close();
    QVERIFY(!rewrite::verifyAudioUnchanged(original, copy, &error));
}

void TagWriterTest::allSixStringsReachLibsndfile_data()
{
    QTest::addColumn<QString>("kind");
    for (const char *kind : {"flac", "vorbis", "opus", "mp3", "mp3-v24", "mp3-v1"})
        QTest::newRow(kind) << QString(kind);
}

void TagWriterTest::allSixStringsReachLibsndfile()
{
    QFETCH(QString, kind);
    const QString original = build(kind);
    const QString copy = copyOf(original);
    const TagEdits set = {"Tïtle", "Cöpyright", "Söftware", "Ärtist", "Cömment", "2021-05-03 evening"};
    QString error;
    QVERIFY2(rewrite::writeTags(copy, set, &error), qPrintable(error));
    for (int i = 0; i < 6; ++i)
        QCOMPARE(sfString(copy, i), set[size_t(i)]);
    QVERIFY(readTags(copy) == set);

    const TagEdits removeAll = {"", "", "", "", "", ""};
    QVERIFY2(rewrite::writeTags(copy, removeAll, &error), qPrintable(error));
    for (int i = 0; i < 6; ++i)
        QCOMPARE(sfString(copy, i), std::nullopt);
    QVERIFY2(rewrite::verifyAudioUnchanged(original, copy, &error), qPrintable(error));
}

void TagWriterTest::failedWriteSaysWhy()
{
    const QString readOnly = copyOf(build("flac"));
    QFile::setPermissions(readOnly, QFile::ReadOwner);
    const QString text = m_dir.filePath("notes.txt");
    QFile file(text);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("not a sound file\n") > 0);
    file.close();
    TagEdits edits;
    edits[0] = QByteArray("New title");
    for (const QString &path : {readOnly, text}) {
        QString error;
        QVERIFY(!rewrite::writeTags(path, edits, &error));
        QVERIFY(!error.isEmpty());
    }
    QCOMPARE(sfString(readOnly, 0), QByteArray("Old title"));
}

void TagWriterTest::tagsNotCarried_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("target");
    QTest::addColumn<QStringList>("dropped");
    QTest::addColumn<QStringList>("carried");
    const QStringList extras{"picture", "ALBUM", "TRACKNUMBER", "REPLAYGAIN_TRACK_GAIN"};
    QTest::newRow("flac to wav") << "flac" << int(SF_FORMAT_WAV) << extras << QStringList{"TITLE", "DATE"};
    QTest::newRow("flac to aiff") << "flac" << int(SF_FORMAT_AIFF) << extras + QStringList{"DATE"} << QStringList{"TITLE"};
    QTest::newRow("mp3 to flac") << "mp3" << int(SF_FORMAT_FLAC) << extras << QStringList{"TITLE", "COMMENT"};
    QTest::newRow("opus to ogg") << "opus" << int(SF_FORMAT_OGG) << QStringList{"ALBUM"} << QStringList{"ENCODER", "ARTIST"};
}

void TagWriterTest::tagsNotCarried()
{
    QFETCH(QString, kind);
    QFETCH(int, target);
    QFETCH(QStringList, dropped);
    QFETCH(QStringList, carried);
    const QStringList listed = rewrite::tagsNotCarried(build(kind), target);
    for (const QString &name : dropped)
        QVERIFY2(listed.contains(name), qPrintable(listed.join(", ")));
    for (const QString &name : carried)
        QVERIFY2(!listed.contains(name), qPrintable(listed.join(", ")));
}

QTEST_GUILESS_MAIN(TagWriterTest)
#include "tst_tagwriter.moc"
