// The document without any window: what opening refuses, the edited mark,
// closing, 64-bit frame counts, the peak scan's scale per decoder.
#include "ChunkFileBuilder.h"
#include "DocumentFixture.h"

#include "filelogic/CodecTable.h"
#include "toolkit/DocumentController.h"

#include <cmath>
#include <unistd.h>

class TestDocument : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    // What opening refuses is the file opener's to say (the command-line
    // tests go through folders, FIFOs and missing files); the document hands
    // it on, and opens nothing but a local file.
    void openFailures()
    {
        SoundFile doc;
        DocumentError err;
        QVERIFY(!doc.readFromURL(QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("notes.wav"))), QString(), &err));
        SF_INFO info{};
        QVERIFY(!sf_open(QFile::encodeName(m_dir.filePath(QStringLiteral("notes.wav"))), SFM_READ, &info));
        QVERIFY(err.domain == "libsndfileError" && err.code == -1 && err.localizedDescription == sf_strerror(nullptr));
        // No stale error stays.
        QVERIFY(!doc.readFromURL(QUrl(QStringLiteral("https://example.invalid/a.wav")), QString(), &err) && err.domain.isEmpty());
    }

    void editedMarkAndClose()
    {
        const QString path = docfix::make(m_dir, QStringLiteral("edit.wav"), docfix::spec(1000));
        QCOMPARE(::link(QFile::encodeName(path), QFile::encodeName(path + QStringLiteral(".link"))), 0);
        SoundFile *doc = docfix::openKept(path);
        QSignalSpy marks(doc, &SoundFile::modificationChanged);
        doc->setText(MetadataField::Title, QString());
        QVERIFY(!doc->isDocumentEdited());
        doc->setText(MetadataField::Title, QStringLiteral("new"));
        doc->setText(MetadataField::Title, QString());
        QVERIFY(doc->isDocumentEdited() && marks.count() == 1);
        // Another path to the same file finds this document, until it closes.
        DocumentController &controller = DocumentController::sharedDocumentController();
        QCOMPARE(controller.documentForURL(QUrl::fromLocalFile(path + QStringLiteral(".link"))), doc);
        doc->close();
        QVERIFY(!controller.documentForURL(QUrl::fromLocalFile(path)));
    }

    void moreThan2To31Frames()
    {
        // 8-bit mono, sparse on disk.
        const qint64 frames = 3000000000LL;
        const QString path = m_dir.filePath(QStringLiteral("long.rf64"));
        ChunkFileBuilder b(ChunkContainer::Rf64);
        b.add("fmt ", ChunkFileBuilder::pcmFormat(1, 48000, 8)).add("data", QByteArray(2, '\1'), frames);
        QVERIFY(docfix::writeFileBytes(path, b.bytes()) && ::truncate(QFile::encodeName(path), b.totalSize()) == 0);
        auto doc = docfix::open(path);
        QCOMPARE(qint64(doc->info().frames), frames);
        QCOMPARE(doc->transport()->sliderScale().frameForValue(doc->transport()->sliderScale().maximum()), frames);
        doc->transport()->seekToFrame(frames - 10);
        QCOMPARE(doc->transport()->renderer()->currentPosition(), frames - 10);
    }

    // Decoders deliver different scales; a half-scale sine reads -6 dB in
    // every coding.
    void peakScalePerDecoder_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<double>("tolerance");
        QTest::newRow("alac 24") << (SF_FORMAT_CAF | SF_FORMAT_ALAC_24) << 0.1;
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
        doc->calculatePeak(nullptr);
        doc->waitForJobs();
        QVERIFY(doc->peakScan()->measured() && doc->peakScan()->peaks().size() == 1);
        const double db = peakDecibels(doc->peakScan()->peaks()[0], doc->info().format);
        QVERIFY2(std::abs(db + 6.02) <= tolerance, qPrintable(QString::number(db)));
    }
};

QTEST_GUILESS_MAIN(TestDocument)
#include "tst_document.moc"
