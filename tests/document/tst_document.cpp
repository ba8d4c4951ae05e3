// The document without any window: what opening refuses, the edited mark,
// closing, 64-bit frame counts, the peak scan's scale per decoder.
#include "DocumentFixture.h"

#include "document/SoundFile.h"
#include "filelogic/CodecTable.h"
#include "playback/AudioRenderer.h"

#include <QtTest>

#include <cmath>
#include <sys/stat.h>
#include <unistd.h>

class TestDocument : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void openFailures_data()
    {
        QTest::addColumn<QString>("kind");
        for (const char *kind : {"text", "empty", "missing", "folder", "fifo", "unreadable"})
            QTest::newRow(kind) << QString::fromLatin1(kind);
    }
    void openFailures()
    {
        QFETCH(QString, kind);
        const QString path = m_dir.filePath(kind);
        if (kind == QLatin1String("folder"))
            QVERIFY(QDir().mkpath(path));
        else if (kind == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else if (kind != QLatin1String("missing"))
            QVERIFY(docfix::writeFileBytes(path, kind == QLatin1String("empty") ? "" : "Notes, not sound.\n"));
        if (kind == QLatin1String("unreadable") && (::geteuid() == 0 || !QFile::setPermissions(path, {})))
            QSKIP("File permissions do not keep root from reading.");
        SoundFile doc;
        DocumentError err;
        QVERIFY(!doc.readFromURL(QUrl::fromLocalFile(path), QString(), &err));
        QCOMPARE(err.domain, QStringLiteral("libsndfileError"));
        QCOMPARE(err.code, -1);
        QVERIFY(!err.localizedDescription.isEmpty());
        // What libsndfile says is what the user sees; a folder or a FIFO is
        // refused before libsndfile could wait for a writer.
        SF_INFO info{};
        if (kind != QLatin1String("folder") && kind != QLatin1String("fifo"))
            QVERIFY(!sf_open(QFile::encodeName(path).constData(), SFM_READ, &info)
                    && err.localizedDescription == QString::fromLocal8Bit(sf_strerror(nullptr)));
        // Nothing but a local file is opened, and no stale error stays.
        QVERIFY(!doc.readFromURL(QUrl(QStringLiteral("https://example.invalid/a.wav")), QString(), &err));
        QVERIFY(err.domain.isEmpty());
    }

    void editedMarkAndClose()
    {
        const QString path = docfix::make(m_dir, QStringLiteral("edit.wav"), docfix::spec(1000));
        const QString link = m_dir.filePath(QStringLiteral("edit-link.wav"));
        QCOMPARE(::link(QFile::encodeName(path).constData(), QFile::encodeName(link).constData()), 0);
        auto doc = docfix::open(path);
        QVERIFY(doc);
        QSignalSpy marks(doc.get(), &SoundFile::modificationChanged);
        doc->setText(MetadataField::Title, QString());
        QVERIFY(!doc->isDocumentEdited());
        doc->setText(MetadataField::Title, QStringLiteral("new"));
        doc->setText(MetadataField::Title, QString());
        QVERIFY(doc->isDocumentEdited());
        QCOMPARE(marks.count(), 1);
        // Another path to the same file finds this document.
        QCOMPARE(SoundFile::documentShowing(link), doc.get());
        QSignalSpy closed(doc.get(), &SoundFile::closed);
        doc->play(nullptr);
        doc->close();
        doc->close();
        QCOMPARE(closed.count(), 1);
        QVERIFY(!doc->handle() && !doc->renderer() && !SoundFile::documentShowing(path));
    }

    void moreThan2To31Frames()
    {
        const QString path = m_dir.filePath(QStringLiteral("long.w64"));
        const qint64 frames = 3000000000LL;
        QVERIFY(docfix::writeSparseW64(path, frames));
        auto doc = docfix::open(path);
        QVERIFY(doc);
        QCOMPARE(qint64(doc->info().frames), frames);
        QCOMPARE(doc->sliderScale().frameForValue(doc->sliderScale().maximum()), frames);
        doc->seekToFrame(frames - 10);
        QCOMPARE(doc->renderer()->currentPosition(), frames - 10);
    }

    void proposedNames_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("name");
        QTest::newRow("two dots") << "/x/take.1.wav" << "take.1.aiff";
        QTest::newRow("only extension") << "/x/.wav" << ".aiff";
        QTest::newRow("dotted folder") << "/x.y/take" << "take.aiff";
    }
    void proposedNames()
    {
        QFETCH(QString, path);
        QTEST(proposedConvertName(path, QStringLiteral("aiff")), "name");
    }

    // Decoders deliver different scales; a half-scale sine reads -6 dB in
    // every coding.
    void peakScalePerDecoder_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<double>("tolerance");
        QTest::newRow("float") << (SF_FORMAT_WAV | SF_FORMAT_FLOAT) << 0.01;
        QTest::newRow("alac 24") << (SF_FORMAT_CAF | SF_FORMAT_ALAC_24) << 0.1;
        QTest::newRow("dwvw 16") << (SF_FORMAT_AIFF | SF_FORMAT_DWVW_16) << 0.1;
        QTest::newRow("dpcm 8") << (SF_FORMAT_XI | SF_FORMAT_DPCM_8) << 0.3;
        QTest::newRow("vorbis") << (SF_FORMAT_OGG | SF_FORMAT_VORBIS) << 1.0;
        QTest::newRow("opus") << (SF_FORMAT_OGG | SF_FORMAT_OPUS) << 2.0;
        QTest::newRow("ulaw") << (SF_FORMAT_WAV | SF_FORMAT_ULAW) << 0.3;
        QTest::newRow("ima adpcm") << (SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM) << 0.3;
    }
    void peakScalePerDecoder()
    {
        QFETCH(int, format);
        QFETCH(double, tolerance);
        auto doc = docfix::open(docfix::make(m_dir, QStringLiteral("scale-%1").arg(format), docfix::spec(24000, 1, format, 48000),
                                             [](sf_count_t f, int) { return 0.5 * std::sin(2 * M_PI * 440.0 * f / 48000); }));
        QVERIFY(doc);
        QSignalSpy done(doc.get(), &SoundFile::peaksCalculated);
        doc->calculatePeak(nullptr);
        QCOMPARE(done.count(), 1);
        QCOMPARE(doc->peaks().size(), size_t(1));
        const double db = peakDecibels(doc->peaks()[0], doc->info().format);
        QVERIFY2(std::abs(db + 6.02) <= tolerance, qPrintable(QString::number(db)));
    }
};

QTEST_GUILESS_MAIN(TestDocument)
#include "tst_document.moc"
