// Saving and converting through the document: what reaches the file, what
// the document holds afterwards, and what it refuses. The save engines' own
// failure matrix lives in the engine tests.
#include "DocumentFixture.h"

#include "filelogic/Timecode.h"

#include <QDeadlineTimer>
#include <QThread>

#include <unistd.h>

using F = MetadataField;
using Op = SaveOperationType;

namespace {

// Exact in 16 bits and different in every channel.
double pcmExact(sf_count_t frame, int channel)
{
    return double((frame * 7 + channel * 13) % 200 - 100) / 128.0;
}

enum Refusal { OpenElsewhere, ReadOnly, WouldShorten };

} // namespace

class TestSaveConvert : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    // Every bext field and all strings but the artist set, in bytes a text
    // field cannot show as they are: Latin-1, bytes behind a NUL, a binary
    // UMID, CR LF line breaks.
    QString bwf(const QString &name, const QByteArray &title = "Title")
    {
        fixtures::Spec s = docfix::spec(4800, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000);
        s.strings[0] = title;
        s.strings[1] = QByteArray("Caf\xe9");
        s.strings[4] = QByteArray("Comment");
        QByteArray umid(64, '\0');
        for (int i = 0; i < 64; ++i)
            umid[i] = char(i == 5 ? 0 : i * 4 + 3);
        s.bext = fixtures::bextRecord(QByteArray("Description\0hidden", 18), QByteArray(32, '\xe9'), "Ref", "2026-12-06",
                                      "10:20:30", 48000, 1, umid, "A=PCM,T=Caf\xe9 recorder\r\nA=PCM,T=mixer\r\n");
        return docfix::make(m_dir, name, s, pcmExact);
    }

private slots:
    // Each row also carries a title in bytes of its own, left untouched.
    void saveOperations_data()
    {
        QTest::addColumn<int>("operation");
        QTest::addColumn<QString>("target");
        QTest::addColumn<QByteArray>("title");
        QTest::addColumn<QString>("shown");
        const QByteArray invalid("\xff\xfe\x80 bad \xc3");
        QTest::newRow("save") << int(Op::Save) << "" << QByteArray("Caf\xe9") << QStringLiteral("Café");
        QTest::newRow("save as onto itself") << int(Op::SaveAs) << "" << invalid << QString::fromLatin1(invalid);
        QTest::newRow("save as through a hard link") << int(Op::SaveAs) << "link" << QByteArray("Caf\xc3\xa9") << "Café";
        QTest::newRow("save a copy") << int(Op::SaveTo) << "copy" << QByteArray("Title") << "Title";
    }
    void saveOperations()
    {
        QFETCH(int, operation);
        QFETCH(QString, target);
        QFETCH(QByteArray, title);
        QFETCH(QString, shown);
        const QString path = bwf(QStringLiteral("op-%1.wav").arg(QTest::currentDataTag()), title);
        const std::vector<int> samples = fixtures::readInts(path);
        const FileMetadata before = docfix::metadataOf(path);
        const QString out = target.isEmpty() ? path : m_dir.filePath(target + QStringLiteral(".wav"));
        if (target == QLatin1String("link"))
            QCOMPARE(::link(QFile::encodeName(path).constData(), QFile::encodeName(out).constData()), 0);
        auto doc = docfix::open(path);
        QSignalSpy refilled(doc.get(), &SoundFile::refilled);
        const QString artist = QString::fromUtf8("New artist – ü");
        doc->setText(F::Artist, artist);
        doc->setText(F::Comment, QString());
        doc->setText(F::OriginatorRef, QString(40, QLatin1Char('o')));
        DocumentError err;
        doc->allowReplacing(QUrl::fromLocalFile(out)); // as the window does once the user agreed to split a link
        QVERIFY2(doc->saveToURL(QUrl::fromLocalFile(out), QString(), Op(operation), &err), qPrintable(err.localizedFailureReason));
        // Only a plain Save clears the edited mark.
        const bool inPlace = target != QLatin1String("copy");
        QVERIFY(doc->isDocumentEdited() == (Op(operation) != Op::Save) && refilled.count() == int(inPlace));
        QVERIFY(doc->text(F::Artist) == artist && doc->text(F::Title) == shown && doc->fileURL().toLocalFile() == path);

        const QString written = inPlace ? path : out;
        QVERIFY(fixtures::readInts(written) == samples);
        const FileMetadata m = docfix::metadataOf(written);
        QVERIFY(m.strings[3] == artist.toUtf8() && !m.strings[4] && m.strings[1] == before.strings[1]);
        QVERIFY(m.strings[0] == before.strings[0] && bextFieldBytes(m.bext, BextField::OriginatorRef) == QByteArray(32, 'o'));
        for (BextField f : {BextField::Description, BextField::Originator, BextField::UMID, BextField::CodingHistory})
            QCOMPARE(bextFieldRawBytes(m.bext, f), bextFieldRawBytes(before.bext, f));
        QCOMPARE(docfix::metadataOf(path).strings[3].has_value(), inPlace);
    }

    // A record dropped by the conversion's choice or cleared field by field
    // is not written, and the refill shows exactly what the file holds: no
    // text of it lingers for the next save to write back.
    void bextKeptOnlyWhenWanted_data()
    {
        QTest::addColumn<bool>("keep");
        QTest::addColumn<bool>("ownPath");
        QTest::addColumn<bool>("cleared");
        QTest::newRow("converted, kept") << true << false << false;
        QTest::newRow("converted, dropped") << false << false << false;
        QTest::newRow("converted in place, kept") << true << true << false;
        QTest::newRow("converted in place, dropped") << false << true << false;
        QTest::newRow("every field cleared, saved") << false << true << true;
    }
    void bextKeptOnlyWhenWanted()
    {
        QFETCH(bool, keep);
        QFETCH(bool, ownPath);
        QFETCH(bool, cleared);
        const QString path = bwf(QStringLiteral("keep-%1.wav").arg(QTest::currentDataTag()));
        const QString out = ownPath ? path : path + QStringLiteral(".out.wav");
        auto doc = docfix::open(path);
        doc->conversion().setKeepBext(keep);
        for (int f = int(F::Description); cleared && f <= int(F::MaxShortTermLoudness); ++f)
            doc->setText(MetadataField(f), QString());
        doc->setText(F::Timecode, cleared ? QString() : QStringLiteral("000:00:02:0"));
        QVERIFY(docfix::chooseConvertFormat(*doc, SF_FORMAT_WAV | SF_FORMAT_PCM_24));
        QSignalSpy opened(doc.get(), &SoundFile::convertedFileWritten);
        QVERIFY(cleared ? docfix::save(*doc) : doc->convertToURL(QUrl::fromLocalFile(out), true));
        const FileMetadata written = docfix::metadataOf(out);
        QVERIFY(opened.count() == int(!ownPath) && written.hasBext == keep && timeReference(written.bext) == (keep ? 96000u : 0u));
        for (int f = int(F::Description); ownPath && f <= int(F::MaxShortTermLoudness); ++f)
            QVERIFY2(doc->text(MetadataField(f)).isEmpty() != keep, qPrintable(fieldKey(MetadataField(f))));
        doc->setText(F::Title, QStringLiteral("after"));
        QVERIFY(docfix::save(*doc));
        QCOMPARE(docfix::metadataOf(path).hasBext, keep || !ownPath);
        if (keep || !ownPath)
            return;
        // A timecode alone brings a record back, with nothing else in it.
        doc->setText(F::Timecode, QStringLiteral("001:00:00:5"));
        QVERIFY(docfix::save(*doc));
        const FileMetadata m = docfix::metadataOf(path);
        QVERIFY(timeReference(m.bext) == 48000ull * 3600 + 5 && bextFieldBytes(m.bext, BextField::Description).isEmpty());
        // libsndfile adds a history line of its own; none of the old one is back.
        QVERIFY(!bextFieldBytes(m.bext, BextField::CodingHistory).contains("recorder"));
        QCOMPARE(doc->text(F::Timecode), QStringLiteral("001:00:00:5"));
    }

    void convertKeepsChosenChannels_data()
    {
        QTest::addColumn<int>("source");
        QTest::addColumn<int>("channels");
        QTest::addColumn<QList<int>>("dropped");
        QTest::addColumn<int>("target");
        QTest::addColumn<bool>("playing");
        const int wav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        QTest::newRow("4 to AIFF, 1 and 3 dropped") << wav16 << 4 << QList<int>{1, 3} << (SF_FORMAT_AIFF | SF_FORMAT_PCM_16) << false;
        // Channels beyond the listed 256 cannot be dropped.
        QTest::newRow("300, unlisted ones kept") << wav16 << 300 << QList<int>{0, 270} << wav16 << false;
        // Read from the start, whatever playback has buffered.
        QTest::newRow("gsm, which cannot seek") << (SF_FORMAT_WAV | SF_FORMAT_GSM610) << 1 << QList<int>{} << wav16 << false;
        // Playback refills its buffer from its own handle meanwhile; the
        // copy loses nothing to it.
        QTest::newRow("8 while playing") << wav16 << 8 << QList<int>{} << (SF_FORMAT_WAV | SF_FORMAT_PCM_24) << true;
    }
    void convertKeepsChosenChannels()
    {
        QFETCH(int, source);
        QFETCH(int, channels);
        QFETCH(QList<int>, dropped);
        QFETCH(int, target);
        QFETCH(bool, playing);
        const int rate = playing ? 48000 : 8000;
        const QString path = docfix::make(m_dir, QStringLiteral("channels-%1.wav").arg(channels),
                                          docfix::spec(playing ? rate * 20 : 1000 + 200000 / channels, channels, source, rate), pcmExact);
        auto doc = docfix::open(path);
        for (int c : dropped)
            doc->conversion().setChannelKept(c, false);
        QVERIFY(docfix::chooseConvertFormat(*doc, target));
        if (playing)
            doc->play(nullptr);
        // No event passes here, so the timer cannot top the buffer up: wait
        // until it wants to, and convert while that refill is due.
        for (QDeadlineTimer deadline(60000); playing && doc->transport()->renderer()->current_buffer_start() <= AudioRenderer::kBufferItems / 2
                                             && !deadline.hasExpired();)
            QThread::msleep(10);
        QVERIFY(doc->convertToURL(QUrl::fromLocalFile(path + QStringLiteral(".out")), true));
        const qint64 at = doc->transport()->renderer()->currentPosition();
        QTRY_VERIFY_WITH_TIMEOUT(doc->transport()->isPlaying() == playing && (!playing || doc->transport()->renderer()->currentPosition() > at), 10000);
        const auto kept = [&](size_t c) { return !dropped.contains(int(c)) || c >= size_t(kListedChannels); };
        const std::vector<int> items = fixtures::readInts(path);
        std::vector<int> expected;
        for (size_t at = 0; at < items.size(); ++at)
            if (kept(at % size_t(channels)))
                expected.push_back(items[at]);
        SF_INFO info{};
        QVERIFY(fixtures::readInts(path + QStringLiteral(".out"), &info) == expected && info.format == target);
        QCOMPARE(qsizetype(expected.size()) * channels, qsizetype(items.size()) * info.channels);
    }

    void refusals_data()
    {
        QTest::addColumn<int>("refusal");
        QTest::addColumn<int>("operation"); // -1: a conversion
        QTest::addColumn<QString>("reason");
        QTest::newRow("target open in another document") << int(OpenElsewhere) << int(Op::SaveTo) << "another window";
        QTest::newRow("read-only file") << int(ReadOnly) << int(Op::Save) << "read-only";
        // A FLAC file cut in its last audio frames still reports its full
        // length, and its start, which playback has buffered, still seeks.
        QTest::newRow("converting in place would shorten") << int(WouldShorten) << -1 << "would shorten";
    }
    void refusals()
    {
        QFETCH(int, refusal);
        QFETCH(int, operation);
        QFETCH(QString, reason);
        const QString path = docfix::make(m_dir, QStringLiteral("refused-%1").arg(refusal),
                                          docfix::spec(441000, 2, (refusal == WouldShorten ? SF_FORMAT_FLAC : SF_FORMAT_WAV) | SF_FORMAT_PCM_16), pcmExact);
        const QString target = refusal == OpenElsewhere ? docfix::make(m_dir, QStringLiteral("other.wav"), docfix::spec(100)) : path;
        // The open documents are the controller's.
        SoundFile *other = refusal == OpenElsewhere ? docfix::openKept(target) : nullptr;
        QFile file(path);
        QVERIFY(refusal == WouldShorten ? file.resize(file.size() * 9 / 10) : refusal != ReadOnly || file.setPermissions(QFile::ReadOwner));
        const QByteArray original = docfix::fileBytes(path), targetBytes = docfix::fileBytes(target);
        SoundFile *doc = docfix::openKept(path);
        doc->setText(F::Title, QStringLiteral("never"));
        DocumentError err;
        QVERIFY(docfix::chooseConvertFormat(*doc, SF_FORMAT_WAV | SF_FORMAT_FLOAT));
        QVERIFY(operation < 0 ? !doc->convertToURL(QUrl::fromLocalFile(target), true, &err)
                              : !doc->saveToURL(QUrl::fromLocalFile(target), QString(), Op(operation), &err));
        QVERIFY(!err.isCancellation() && !err.localizedDescription.isEmpty());
        QVERIFY2(err.localizedFailureReason.contains(reason), qPrintable(err.localizedFailureReason));
        QSignalSpy presented(doc, &SoundFile::errorPresented);
        doc->presentError(err);
        QVERIFY(presented.count() == 1 && doc->isDocumentEdited());
        QVERIFY(docfix::fileBytes(path) == original && docfix::fileBytes(target) == targetBytes);
        for (SoundFile *open : {doc, other})
            if (open)
                open->close();
    }
};

QTEST_GUILESS_MAIN(TestSaveConvert)
#include "tst_saveconvert.moc"
