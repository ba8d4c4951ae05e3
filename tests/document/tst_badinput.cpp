// Bad input of every kind a user can hand the program: cut-off headers,
// impossible stream descriptions, odd metadata bytes, things that are not
// sound files, and files changed by another program while they are open.
// Each case ends in a clear message or a sane window; nothing crashes or
// hangs, and a save that fails leaves the file exactly as it was.
#include "BadInputFixtures.h"
#include "DocumentFixture.h"
#include "Fixtures.h"
#include "MetadataFixtures.h"
#include "RewriteFixtures.h"

#include "window/ChannelTableSource.h"
#include "filelogic/FileMetadata.h"
#include "document/SoundFile.h"
#include "window/SoundFileWindow.h"
#include "playback/AudioRenderer.h"
#include "toolkit/DocumentController.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

namespace {

enum Expect { MustFail, MustOpen, MayOpen };

} // namespace

class TestBadInput : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    DocumentController &controller() { return DocumentController::sharedDocumentController(); }
    QString path(const QString &name) const { return m_dir.filePath(name); }

    SoundFile *open(const QString &file, DocumentError *err)
    {
        return controller().openDocumentWithContentsOfURL(QUrl::fromLocalFile(file), true, err);
    }

    QString soundFile(const QString &name, sf_count_t frames, int channels = 2, int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16)
    {
        fixtures::Spec spec;
        spec.format = format;
        spec.channels = channels;
        spec.frames = frames;
        return fixtures::write(path(name), spec) ? path(name) : QString();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        controller().setQuitWhenLastDocumentCloses(false);
    }

    void cleanup()
    {
        fixtures::closeAllDocuments();
        for (QWidget *w : QApplication::topLevelWidgets())
            w->deleteLater();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(fixtures::temporaryLeftovers(m_dir.path()).isEmpty());
    }

    void truncatedHeaders_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<int>("cut");      // bytes kept; counted from the data start when fromData
        QTest::addColumn<bool>("fromData");
        QTest::addColumn<int>("expect");
        for (const char *format : {"wav", "aiff"}) {
            auto row = [format](const char *what) -> QTestData & { return QTest::addRow("%s %s", format, what); };
            row("empty") << format << 0 << false << int(MustFail);
            row("magic only") << format << 4 << false << int(MustFail);
            row("container header only") << format << 12 << false << int(MustFail);
            row("inside the format chunk") << format << 30 << false << int(MustFail);
            // libsndfile reads an AIFF whose SSND header lacks its block size.
            row("inside the data chunk header") << format << -4 << true
                                                << int(QByteArray(format) == "wav" ? MustFail : MayOpen);
            row("no sample bytes") << format << 0 << true << int(MustOpen);
            row("one byte of a sample") << format << 1 << true << int(MustOpen);
            row("one and a half frames") << format << 6 << true << int(MustOpen);
            row("500 frames") << format << 2000 << true << int(MustOpen);
        }
        QTest::newRow("flac empty") << "flac" << 0 << false << int(MustFail);
        QTest::newRow("flac magic only") << "flac" << 4 << false << int(MustFail);
        QTest::newRow("flac inside STREAMINFO") << "flac" << 20 << false << int(MustFail);
        QTest::newRow("flac after STREAMINFO") << "flac" << 42 << false << int(MayOpen);
        QTest::newRow("flac first audio frame cut") << "flac" << 600 << false << int(MayOpen);
        QTest::newRow("flac half") << "flac" << -2 << false << int(MayOpen);
        QTest::newRow("flac last byte missing") << "flac" << -1 << false << int(MayOpen);
    }
    void truncatedHeaders()
    {
        QFETCH(QString, format);
        QFETCH(int, cut);
        QFETCH(bool, fromData);
        QFETCH(int, expect);
        const int major = format == QLatin1String("wav") ? SF_FORMAT_WAV
            : format == QLatin1String("aiff")            ? SF_FORMAT_AIFF
                                                         : SF_FORMAT_FLAC;
        const QString file = soundFile(QStringLiteral("cut.") + format, 20000, 2, major | SF_FORMAT_PCM_16);
        QVERIFY(!file.isEmpty());
        QByteArray bytes = fixtures::fileBytes(file);
        qsizetype keep = cut;
        if (fromData) {
            const qsizetype start = fixtures::sampleDataStart(bytes, format == QLatin1String("aiff"));
            QVERIFY(start > 0);
            keep = start + cut;
        } else if (cut == -1) {
            keep = bytes.size() - 1;
        } else if (cut == -2) {
            keep = bytes.size() / 2;
        }
        QVERIFY(keep >= 0 && keep < bytes.size());
        QVERIFY(fixtures::writeFileBytes(file, bytes.left(keep)));

        const QString failure = fixtures::libsndfileOpenError(file);
        if (expect == MustFail || (expect == MayOpen && !failure.isEmpty())) {
            QVERIFY2(!failure.isEmpty(), "libsndfile opens this file");
            CHECKED(fixtures::verifyOpenFails(file, failure));
            return;
        }
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        int channels = 0;
        const std::vector<int> there = fixtures::readableFrames(file, &channels);
        DocumentError err;
        SoundFile *doc = open(file, &err);
        QVERIFY(doc);
        CHECKED(fixtures::verifyDisplay(doc));
        CHECKED(fixtures::verifyScan(doc));
        CHECKED(fixtures::renderALittle(doc));
        bool saved = false;
        QVERIFY(fixtures::saveAndCheck(doc, there, channels, &saved));
        // Whatever could be read is kept; WAV and AIFF cut after the header save.
        if (format != QLatin1String("flac"))
            QVERIFY(saved);
    }

    void oversizedDataChunk()
    {
        // A data chunk claiming almost 2 GiB in a file of 350 KiB.
        const sf_count_t frames = 88200;
        const QString file = soundFile(QStringLiteral("oversized.wav"), frames);
        QVERIFY(!file.isEmpty());
        const std::vector<int> original = fixtures::readInts(file);
        QByteArray bytes = fixtures::fileBytes(file);
        const qsizetype data = bytes.indexOf("data", 12);
        QVERIFY(data > 0);
        fixtures::putLE32(bytes, data + 4, 0x7ffff000u);
        fixtures::putLE32(bytes, 4, 0x7ffff000u + quint32(data));
        QVERIFY(fixtures::writeFileBytes(file, bytes));

        DocumentError err;
        SoundFile *doc = open(file, &err);
        QVERIFY(doc);
        QCOMPARE(qint64(doc->sfinfo.frames), qint64(frames));
        CHECKED(fixtures::verifyDisplay(doc));

        CHECKED(fixtures::verifyScan(doc));
        for (int c = 0; c < 2; ++c) {
            int peak = 0;
            for (size_t i = size_t(c); i < original.size(); i += 2)
                peak = std::max(peak, std::abs(original[i] >> 16));
            QCOMPARE(doc->peakTableSource->peak(c), double(peak));
        }

        // The scan put the renderer back at the start: the first block is
        // the file's first frames.
        std::vector<float> first;
        CHECKED(fixtures::renderALittle(doc, &first));
        for (int i = 0; i < 64; ++i)
            QVERIFY(std::fabs(first[size_t(i)] - float(original[size_t(i)] >> 16) / 32768.0f) < 1e-6f);
        CHECKED(fixtures::playAMoment(doc));

        bool saved = false;
        QVERIFY(fixtures::saveAndCheck(doc, original, 2, &saved));
        QVERIFY(saved);
        // The saved header tells the truth.
        QCOMPARE(fixtures::riffChunk(file, "data")->size(), qsizetype(frames * 4));
    }

    void oggCutShort()
    {
        // An Ogg stream cut before its last page: libsndfile cannot find its
        // length and reports SF_COUNT_MAX frames.
        const QString file = path(QStringLiteral("cut.ogg"));
        fixtures::Spec spec;
        spec.format = SF_FORMAT_OGG | SF_FORMAT_VORBIS;
        spec.samplerate = 48000;
        spec.frames = 48000;
        QVERIFY(fixtures::write(file, spec));
        const QByteArray bytes = fixtures::fileBytes(file);
        QVERIFY(fixtures::writeFileBytes(file, bytes.left(bytes.size() * 9 / 10)));
        int channels = 0;
        const std::vector<int> there = fixtures::readableFrames(file, &channels);

        DocumentError err;
        SoundFile *doc = open(file, &err);
        QVERIFY(doc);
        QCOMPARE(qint64(doc->sfinfo.frames), qint64(SF_COUNT_MAX));
        QCOMPARE(doc->labelLength->text(), QStringLiteral("unknown"));
        CHECKED(fixtures::verifyDisplay(doc));
        CHECKED(fixtures::verifyScan(doc));
        CHECKED(fixtures::renderALittle(doc));
        CHECKED(fixtures::playAMoment(doc, !there.empty()));
        bool saved = false;
        QVERIFY(fixtures::saveAndCheck(doc, there, channels, &saved));
    }

    void impossibleChannelCounts_data()
    {
        QTest::addColumn<int>("channels");
        QTest::newRow("0") << 0;
        QTest::newRow("1025") << 1025;
        QTest::newRow("65535") << 65535;
    }
    void impossibleChannelCounts()
    {
        QFETCH(int, channels);
        const QString file = soundFile(QStringLiteral("channels-%1.wav").arg(channels), 100);
        QByteArray bytes = fixtures::fileBytes(file);
        const qsizetype fmt = bytes.indexOf("fmt ", 12);
        QVERIFY(fmt > 0);
        fixtures::putLE16(bytes, fmt + 10, quint16(channels));
        QVERIFY(fixtures::writeFileBytes(file, bytes));
        CHECKED(fixtures::verifyOpenFails(file, fixtures::libsndfileOpenError(file)));
    }

    void manyChannels()
    {
        const QString file = soundFile(QStringLiteral("1024.wav"), 600, 1024);
        QVERIFY(!file.isEmpty());
        const std::vector<int> original = fixtures::readInts(file);
        DocumentError err;
        SoundFile *doc = open(file, &err);
        QVERIFY(doc);
        QCOMPARE(doc->labelChannels->text(), QStringLiteral("1024"));
        CHECKED(fixtures::verifyDisplay(doc));
        QVERIFY(!doc->documentWindow()->ui.convertChannelsNote->isHidden());
        CHECKED(fixtures::verifyScan(doc));
        CHECKED(fixtures::renderALittle(doc));
        CHECKED(fixtures::playAMoment(doc));
        bool saved = false;
        QVERIFY(fixtures::saveAndCheck(doc, original, 1024, &saved));
        QVERIFY(saved);
    }

    void sampleRates_data()
    {
        QTest::addColumn<quint32>("rate");
        QTest::addColumn<bool>("opens");
        QTest::newRow("0") << 0u << false;
        QTest::newRow("1") << 1u << true;
        QTest::newRow("2^31-1") << 2147483647u << true;
        QTest::newRow("2^31 (negative as a signed rate)") << 2147483648u << false;
    }
    void sampleRates()
    {
        QFETCH(quint32, rate);
        QFETCH(bool, opens);
        const QString file = soundFile(QStringLiteral("rate-%1.wav").arg(rate), 1000);
        const std::vector<int> original = fixtures::readInts(file);
        QByteArray bytes = fixtures::fileBytes(file);
        const qsizetype fmt = bytes.indexOf("fmt ", 12);
        QVERIFY(fmt > 0);
        fixtures::putLE32(bytes, fmt + 12, rate);
        QVERIFY(fixtures::writeFileBytes(file, bytes));
        if (!opens) {
            CHECKED(fixtures::verifyOpenFails(file, fixtures::libsndfileOpenError(file)));
            return;
        }
        DocumentError err;
        SoundFile *doc = open(file, &err);
        QVERIFY(doc);
        QCOMPARE(quint32(doc->sfinfo.samplerate), rate);
        CHECKED(fixtures::verifyDisplay(doc));
        // No output takes such a rate: playing is refused or plays without a
        // device; either way the toggle works and nothing hangs.
        doc->play(nullptr);
        QTest::qWait(50);
        if (doc->isPlaying)
            doc->play(nullptr);
        QVERIFY(!doc->isPlaying);
        CHECKED(fixtures::verifyScan(doc));
        CHECKED(fixtures::renderALittle(doc));
        bool saved = false;
        QVERIFY(fixtures::saveAndCheck(doc, original, 2, &saved));
        if (saved)
            QCOMPARE(quint32(fixtures::infoOf(file).samplerate), rate);
    }

    void shortBextChunk_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("empty") << 0;
        QTest::newRow("1 byte") << 1;
        QTest::newRow("up to the version") << 346;
        QTest::newRow("one byte short of the fixed part") << fixtures::kBextChunkFixedSize - 1;
    }
    void shortBextChunk()
    {
        QFETCH(int, size);
        const QString file = path(QStringLiteral("shortbext-%1.wav").arg(size));
        fixtures::Spec spec;
        spec.frames = 1000;
        spec.bext = fixtures::bextRecord("Description", "Originator", "Ref", "2026-12-06", "10:20:30", 48000, 1,
                                         "UMID", "A=PCM\r\n");
        QVERIFY(fixtures::write(file, spec));
        const std::optional<QByteArray> chunk = fixtures::riffChunk(file, "bext");
        QVERIFY(chunk);
        QVERIFY(fixtures::replaceRiffChunk(file, "bext", chunk->left(size)));
        const std::vector<int> original = fixtures::readInts(file);

        DocumentError err;
        SoundFile *doc = open(file, &err);
        QVERIFY(doc);
        CHECKED(fixtures::verifyDisplay(doc));
        // Too short to be a record: shown as a file without one.
        QVERIFY(!doc->convertKeepBEXT->isEnabled());
        QVERIFY(doc->bextDescription->text().isEmpty());
        bool saved = false;
        QVERIFY(fixtures::saveAndCheck(doc, original, 2, &saved));
        QVERIFY(saved);
    }

    void oddStringBytes_data()
    {
        QTest::addColumn<QByteArray>("written");  // title as written; 'X' becomes a NUL byte
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QByteArray>("kept");     // title after a save that left it alone
        const QByteArray invalid("\xff\xfe\x80 bad \xc3");
        QTest::newRow("invalid UTF-8") << invalid << QString::fromLatin1(invalid) << invalid;
        const QByteArray surrogate("a\xed\xa0\x80z");
        QTest::newRow("UTF-8 encoded surrogate") << surrogate << QString::fromLatin1(surrogate) << surrogate;
        QTest::newRow("cut multi-byte character") << QByteArray("caf\xc3") << QString::fromLatin1("caf\xc3")
                                                 << QByteArray("caf\xc3");
        QTest::newRow("embedded NUL") << QByteArray("abcXdef") << QStringLiteral("abc") << QByteArray("abc");
        QTest::newRow("only a NUL") << QByteArray("X") << QString() << QByteArray();
    }
    void oddStringBytes()
    {
        QFETCH(QByteArray, written);
        QFETCH(QString, shown);
        QFETCH(QByteArray, kept);
        const QString file = path(QStringLiteral("strings-%1.wav").arg(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('-')));
        fixtures::Spec spec;
        spec.frames = 500;
        spec.strings[0] = written;
        spec.strings[4] = QByteArray("comment");
        QVERIFY(fixtures::write(file, spec));
        if (written.contains('X')) {
            QByteArray bytes = fixtures::fileBytes(file);
            const qsizetype at = bytes.indexOf(written);
            QVERIFY(at > 0);
            bytes[at + written.indexOf('X')] = '\0';
            QVERIFY(fixtures::writeFileBytes(file, bytes));
        }

        DocumentError err;
        SoundFile *doc = open(file, &err);
        QVERIFY(doc);
        QCOMPARE(doc->stringTitle->text(), shown);
        QVERIFY(!doc->isDocumentEdited());
        // Another field is edited; the title, left alone, keeps its bytes.
        doc->stringArtist->setText(QStringLiteral("Artist"));
        DocumentError saveErr;
        QVERIFY(doc->saveToURL(doc->fileURL(), doc->fileType(), SaveOperationType::Save, &saveErr));
        QCOMPARE(fixtures::readString(file, SF_STR_TITLE), kept);
        QCOMPARE(fixtures::readString(file, SF_STR_ARTIST), QByteArray("Artist"));
        QCOMPARE(fixtures::readString(file, SF_STR_COMMENT), QByteArray("comment"));
        QCOMPARE(doc->stringTitle->text(), shown);
    }

    void oddBextBytes()
    {
        const QString file = path(QStringLiteral("oddbext.wav"));
        fixtures::Spec spec;
        spec.frames = 500;
        const QByteArray description("ab\0\xff\xfe tail after the NUL", 24);
        const QByteArray originator(32, '\xe9'); // full width, no NUL, Latin-1 bytes
        spec.bext = fixtures::bextRecord(description, originator, "\xc3", "2026-12-06", "10:20:30", 0, 1,
                                         QByteArray("\x00\x01\x02\x03", 4), "A=PCM\r\n");
        QVERIFY(fixtures::write(file, spec));
        BextRecord before;
        QVERIFY(fixtures::readBext(file, &before));

        DocumentError err;
        SoundFile *doc = open(file, &err);
        QVERIFY(doc);
        QCOMPARE(doc->bextDescription->text(), QStringLiteral("ab"));
        QCOMPARE(doc->bextOriginator->text(), QString(32, QChar(0xe9)));
        QCOMPARE(doc->bextOriginatorRef->text(), QString(QChar(0xc3)));
        QVERIFY(doc->bextUMID->text().isEmpty());
        QVERIFY(doc->convertKeepBEXT->isEnabled());

        doc->stringTitle->setText(QStringLiteral("edited"));
        DocumentError saveErr;
        QVERIFY(doc->saveToURL(doc->fileURL(), doc->fileType(), SaveOperationType::Save, &saveErr));
        BextRecord after;
        QVERIFY(fixtures::readBext(file, &after));
        // Fields nobody edited keep every byte, also those behind a NUL.
        for (BextField field : {BextField::Description, BextField::Originator, BextField::OriginatorRef, BextField::UMID})
            QCOMPARE(bextFieldRawBytes(after, field), bextFieldRawBytes(before, field));
    }

    void directory()
    {
        const QString folder = path(QStringLiteral("folder.wav"));
        QVERIFY(QDir().mkpath(folder));
        DocumentError err;
        QVERIFY(!open(folder, &err));
        QCOMPARE(err.domain, QStringLiteral("libsndfileError"));
        QCOMPARE(err.code, -1);
        QVERIFY(!err.localizedDescription.isEmpty());
        QVERIFY(controller().documents().isEmpty());
    }

    void fifoDoesNotBlock()
    {
        const QString fifo = path(QStringLiteral("pipe.wav"));
        const QByteArray name = QFile::encodeName(fifo);
        QCOMPARE(::mkfifo(name.constData(), 0600), 0);
        // Should the open ever wait for a writer, this gives it one (which
        // closes at once), so the test fails instead of hanging.
        std::atomic<bool> done{false};
        std::atomic<bool> rescued{false};
        std::thread watchdog([&] {
            for (int i = 0; i < 500 && !done; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (!done) {
                rescued = true;
                const int fd = ::open(name.constData(), O_WRONLY | O_NONBLOCK);
                if (fd >= 0)
                    ::close(fd);
            }
        });
        DocumentError err;
        SoundFile *doc = open(fifo, &err);
        done = true;
        watchdog.join();
        QVERIFY2(!rescued, "opening a FIFO waited for a writer");
        QVERIFY(!doc);
        QCOMPARE(err.domain, QStringLiteral("libsndfileError"));
        QCOMPARE(err.code, -1);
        QVERIFY(!err.localizedDescription.isEmpty());
    }

    void unreadableFile()
    {
        if (::geteuid() == 0)
            QSKIP("Running as root: file permissions do not keep root from reading a mode 000 file.");
        const QString file = soundFile(QStringLiteral("unreadable.wav"), 100);
        QVERIFY(QFile::setPermissions(file, QFileDevice::Permissions()));
        CHECKED(fixtures::verifyOpenFails(file, fixtures::libsndfileOpenError(file)));
        QVERIFY(QFile::setPermissions(file, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    }

    void deletedWhileOpen()
    {
        const QString file = soundFile(QStringLiteral("deleted.wav"), 88200);
        const std::vector<int> original = fixtures::readInts(file);
        DocumentError err;
        SoundFile *doc = open(file, &err);
        QVERIFY(doc);
        QVERIFY(QFile::remove(file));

        CHECKED(fixtures::playAMoment(doc));
        CHECKED(fixtures::verifyScan(doc));
        CHECKED(fixtures::renderALittle(doc));
        // The open handle still reads the deleted file: saving writes it out
        // again under its name.
        bool saved = false;
        QVERIFY(fixtures::saveAndCheck(doc, original, 2, &saved));
        if (!saved)
            QVERIFY(!QFile::exists(file));
    }

    void changedWhileOpen_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("rewritten shorter") << "shorter";
        QTest::newRow("rewritten longer") << "longer";
        QTest::newRow("rewritten as text") << "text";
        QTest::newRow("rewritten with another channel count") << "mono";
        QTest::newRow("replaced by a rename") << "rename";
    }
    void changedWhileOpen()
    {
        QFETCH(QString, how);
        const QString file = soundFile(QStringLiteral("changed-%1.wav").arg(how), 88200);
        const std::vector<int> original = fixtures::readInts(file);
        DocumentError err;
        SoundFile *doc = open(file, &err);
        QVERIFY(doc);

        fixtures::Spec other;
        other.frames = how == QLatin1String("longer") ? 200000 : 1000;
        other.channels = how == QLatin1String("mono") ? 1 : 2;
        const auto constant = [](sf_count_t, int) { return 0.25; };
        if (how == QLatin1String("text")) {
            QVERIFY(fixtures::writeFileBytes(file, QByteArray("This is not a sound file any more.\n")));
        } else if (how == QLatin1String("rename")) {
            const QString fresh = path(QStringLiteral("fresh.wav"));
            QVERIFY(fixtures::write(fresh, other, constant));
            QCOMPARE(::rename(QFile::encodeName(fresh).constData(), QFile::encodeName(file).constData()), 0);
        } else {
            // Same file, new contents: libsndfile truncates and rewrites it.
            QVERIFY(fixtures::write(file, other, constant));
        }

        CHECKED(fixtures::playAMoment(doc));
        CHECKED(fixtures::verifyScan(doc));
        CHECKED(fixtures::renderALittle(doc));
        bool saved = false;
        SF_INFO before = doc->sfinfo;
        if (how == QLatin1String("rename")) {
            // The document still reads the file it opened; saving puts that back.
            QVERIFY(fixtures::saveAndCheck(doc, original, 2, &saved));
            QVERIFY(saved);
            return;
        }
        const QByteArray theirs = fixtures::fileBytes(file);
        doc->stringTitle->setText(QStringLiteral("edited"));
        saved = doc->saveToURL(doc->fileURL(), doc->fileType(), SaveOperationType::Save, &err);
        if (saved) {
            // Whatever the handle could still read went into a sound file in
            // the document's format, which the window now shows.
            const SF_INFO info = fixtures::infoOf(file);
            QCOMPARE(info.channels, before.channels);
            QCOMPARE(info.samplerate, before.samplerate);
            QCOMPARE(info.format, before.format);
            QCOMPARE(qint64(doc->sfinfo.frames), qint64(info.frames));
            CHECKED(fixtures::verifyDisplay(doc));
        } else {
            QVERIFY(doc->failureAlert());
            QVERIFY(!doc->failureAlert()->informativeText().isEmpty());
            QCOMPARE(fixtures::fileBytes(file), theirs);
        }
    }

    void missingTargetFolder_data()
    {
        QTest::addColumn<int>("operation"); // a SaveOperationType, or -1 for a conversion
        QTest::newRow("save as") << int(SaveOperationType::SaveAs);
        QTest::newRow("save a copy") << int(SaveOperationType::SaveTo);
        QTest::newRow("convert") << -1;
    }
    void missingTargetFolder()
    {
        QFETCH(int, operation);
        const QString file = soundFile(QStringLiteral("stays-%1.wav").arg(operation + 1), 1000);
        const QByteArray before = fixtures::fileBytes(file);
        DocumentError err;
        SoundFile *doc = open(file, &err);
        QVERIFY(doc);
        doc->stringTitle->setText(QStringLiteral("edited"));
        const QString target = path(QStringLiteral("no/such/folder/out.wav"));
        bool ok;
        if (operation < 0) {
            doc->convertSFInfo = doc->sfinfo;
            doc->convertSFInfo.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
            ok = doc->convertToURL(QUrl::fromLocalFile(target), true);
        } else {
            ok = doc->saveToURL(QUrl::fromLocalFile(target), doc->fileType(), SaveOperationType(operation), &err);
        }
        QVERIFY(!ok);
        QMessageBox *alert = doc->failureAlert();
        QVERIFY(alert);
        QCOMPARE(alert->text(), QStringLiteral("Unable to write file"));
        QVERIFY(!alert->informativeText().isEmpty());
        QCOMPARE(alert->icon(), QMessageBox::Critical);
        QCOMPARE(alert->windowModality(), Qt::WindowModal);
        QCOMPARE(alert->buttons().size(), 1);
        QCOMPARE(alert->buttons().first()->text(), QStringLiteral("Exit"));
        alert->buttons().first()->click();
        QTRY_VERIFY(!doc->failureAlert());
        QVERIFY(!QFileInfo::exists(target));
        QCOMPARE(fixtures::fileBytes(file), before);
        QVERIFY(doc->isDocumentEdited());
        QCOMPARE(controller().documents().size(), 1);
        // The document goes on working.
        CHECKED(fixtures::verifyScan(doc));
    }
};

QTEST_MAIN(TestBadInput)
#include "tst_badinput.moc"
