// Filling the whole window: format pop-ups, channel pop-ups and tables, the
// slider, and the peak tab with its scan.
#include "DocumentFixture.h"
#include "Fixtures.h"

#include "window/ChannelTableSource.h"
#include "document/SoundFile.h"
#include "window/SoundFileWindow.h"
#include "playback/AudioRenderer.h"
#include "filelogic/FormatList.h"

#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

class TestWindowSetUp : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString makeFile(const QString &name, int channels, sf_count_t frames, int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16)
    {
        const QString path = m_dir.filePath(name);
        fixtures::Spec spec;
        spec.format = format;
        spec.channels = channels;
        spec.frames = frames;
        return fixtures::write(path, spec) ? path : QString();
    }

    static QStringList items(QComboBox *box)
    {
        QStringList list;
        for (int i = 0; i < box->count(); ++i)
            list << box->itemText(i);
        return list;
    }

    static QString peakText(SoundFile *doc, int row)
    {
        return doc->peakTable->model()->index(row, 1).data().toString();
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }
    void cleanup() { fixtures::closeAllDocuments(); }

    void channelPopUps_data()
    {
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("right");
        QTest::newRow("mono") << 1 << 0;
        QTest::newRow("stereo") << 2 << 1;
        QTest::newRow("six") << 6 << 1;
    }
    void channelPopUps()
    {
        QFETCH(int, channels);
        QFETCH(int, right);
        SoundFile *doc = fixtures::openDocument(makeFile(QStringLiteral("ch%1.wav").arg(channels), channels, 100));
        QVERIFY(doc);
        QStringList expected;
        for (int i = 0; i < channels; ++i)
            expected << QStringLiteral("Channel #%1").arg(i);
        QCOMPARE(items(doc->leftChannel), expected);
        QCOMPARE(items(doc->rightChannel), expected);
        QCOMPARE(doc->leftChannel->currentIndex(), 0);
        QCOMPARE(doc->rightChannel->currentIndex(), right);
        QCOMPARE(doc->convertTableSource->rowCount(), channels);
        QCOMPARE(doc->convertTable->model(), doc->convertTableSource);
        QVERIFY(doc->audioRenderer);
    }

    void formatPopUps()
    {
        SoundFile *doc = fixtures::openDocument(makeFile(QStringLiteral("formats.wav"), 2, 10));
        QVERIFY(doc);
        QStringList majors;
        for (const FormatEntry &e : majorFormats())
            majors << e.name;
        QCOMPARE(items(doc->convertFormat), majors);
        QCOMPARE(doc->convertFormat->currentText(), QStringLiteral("WAV (Microsoft)"));
        const QList<FormatEntry> subs = writableSubformats(doc->convertFormat->currentIndex());
        QCOMPARE(doc->convertSubformat->count(), subs.size());
        QVERIFY(items(doc->convertSubformat).contains(QStringLiteral("Signed 16 bit PCM")));
        QCOMPARE(doc->convertSubformat->currentIndex(), 0);
        for (int k = 0; k < subs.size(); ++k) {
            QCOMPARE(doc->convertFormats[k], subs[k].format);
            QCOMPARE(doc->convertFormats[k] & SF_FORMAT_TYPEMASK, SF_FORMAT_WAV);
        }

        // Choosing another container rebuilds the list at once.
        const int flac = majorFormatIndex(SF_FORMAT_FLAC);
        doc->convertFormat->setCurrentIndex(flac);
        QCOMPARE(doc->convertSubformat->count(), writableSubformats(flac).size());
        QCOMPARE(doc->convertFormats[0] & SF_FORMAT_TYPEMASK, SF_FORMAT_FLAC);
        QCOMPARE(doc->convertSubformat->currentIndex(), 0);
        // A null sender means the window's own pop-up.
        doc->convertFormatSelected(nullptr);
        QCOMPARE(doc->convertSubformat->count(), writableSubformats(flac).size());
    }

    void sliderRange_data()
    {
        QTest::addColumn<int>("frames");
        QTest::newRow("empty") << 0;
        QTest::newRow("some") << 12345;
    }
    void sliderRange()
    {
        QFETCH(int, frames);
        SoundFile *doc = fixtures::openDocument(makeFile(QStringLiteral("slider%1.wav").arg(frames), 1, frames));
        QVERIFY(doc);
        QCOMPARE(doc->playSlider->maximum(), frames);
        QCOMPARE(doc->playSlider->value(), 0);
        QCOMPARE(doc->playPos->text(), QStringLiteral("0:00:00.000"));
    }

    void moreThan256Channels()
    {
        SoundFile *doc = fixtures::openDocument(makeFile(QStringLiteral("wide.wav"), 300, 50));
        QVERIFY(doc);
        QCOMPARE(doc->leftChannel->count(), 256);
        QCOMPARE(doc->rightChannel->count(), 256);
        QCOMPARE(doc->convertTableSource->rowCount(), 256);
        auto *note = doc->documentWindow()->findChild<QLabel *>(QStringLiteral("convertChannelsNote"));
        QVERIFY(note && !note->isHidden());
        QVERIFY(note->text().contains(QStringLiteral("256")));
        doc->calculatePeak(doc->peakCalculate);
        QCOMPARE(doc->peakTable->model()->rowCount(), 256);
    }

    void peakTabStartsHiddenAndReturnsAfterRefill()
    {
        SoundFile *doc = fixtures::openDocument(makeFile(QStringLiteral("peaktab.wav"), 2, 1000));
        QVERIFY(doc);
        QVERIFY(doc->peakTable->isHidden());
        QVERIFY(!doc->peakNotYet->isHidden());
        QVERIFY(!doc->peakCalculate->isHidden());
        doc->calculatePeak(doc->peakCalculate);
        QVERIFY(!doc->peakTable->isHidden());
        QVERIFY(doc->peakNotYet->isHidden());
        QVERIFY(doc->peakCalculate->isHidden());
        QVERIFY(doc->peakProgress->isHidden());
        QCOMPARE(doc->peakProgress->value(), 100);
        // A refill (as after an in-place save) starts the tab afresh.
        doc->initFromSndFile();
        QVERIFY(doc->peakTable->isHidden());
        QVERIFY(!doc->peakNotYet->isHidden());
        QVERIFY(!doc->peakCalculate->isHidden());
    }

    void peaks_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<QList<int>>("items"); // stereo, sf_write_int scale
        QTest::addColumn<QStringList>("texts");
        QTest::newRow("16-bit min") << (SF_FORMAT_WAV | SF_FORMAT_PCM_16)
                                    << QList<int>{0, 0, int(0x80000000), 100 << 16, 5 << 16, -(200 << 16)}
                                    << QStringList{"0.00 dB", "-44.29 dB"};
        QTest::newRow("16-bit max") << (SF_FORMAT_WAV | SF_FORMAT_PCM_16)
                                    << QList<int>{32767 << 16, 0}
                                    << QStringList{"-0.00 dB", "-inf dB"};
        QTest::newRow("8-bit") << (SF_FORMAT_WAV | SF_FORMAT_PCM_U8) << QList<int>{127 << 24, -(64 << 24)}
                               << QStringList{"-0.07 dB", "-6.02 dB"};
        QTest::newRow("24-bit") << (SF_FORMAT_WAV | SF_FORMAT_PCM_24) << QList<int>{int(0x80000000), 4194304 << 8}
                                << QStringList{"0.00 dB", "-6.02 dB"};
    }
    void peaks()
    {
        QFETCH(int, format);
        QFETCH(QList<int>, items);
        QFETCH(QStringList, texts);
        const QString path = m_dir.filePath(QStringLiteral("peaks-%1.wav").arg(QLatin1String(QTest::currentDataTag()).toString().replace(QLatin1Char(' '), QLatin1Char('-'))));
        fixtures::Spec spec;
        spec.format = format;
        spec.channels = 2;
        QVERIFY(fixtures::writeInts(path, spec, std::vector<int>(items.begin(), items.end())));
        SoundFile *doc = fixtures::openDocument(path);
        QVERIFY(doc);
        doc->calculatePeak(nullptr);
        for (int c = 0; c < 2; ++c)
            QCOMPARE(peakText(doc, c), texts[c]);
        QCOMPARE(doc->peakTable->model()->index(1, 0).data().toString(), QStringLiteral("Channel #1"));
    }

    void floatAboveFullScaleAndEmptyFile()
    {
        const QString path = m_dir.filePath(QStringLiteral("loud.wav"));
        fixtures::Spec spec;
        spec.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        spec.channels = 1;
        QVERIFY(fixtures::writeRawDoubles(path, spec, {0.5, -2.0, 1.0}));
        SoundFile *doc = fixtures::openDocument(path);
        QVERIFY(doc);
        doc->calculatePeak(doc->peakCalculate);
        QCOMPARE(peakText(doc, 0), QStringLiteral("6.02 dB"));

        SoundFile *empty = fixtures::openDocument(makeFile(QStringLiteral("empty.wav"), 2, 0));
        QVERIFY(empty);
        empty->calculatePeak(empty->peakCalculate);
        QVERIFY(!empty->peakTable->isHidden());
        QCOMPARE(peakText(empty, 0), QStringLiteral("-inf dB"));
        QCOMPARE(peakText(empty, 1), QStringLiteral("-inf dB"));
    }

    // Codecs whose decoders deliver another scale than 16-bit integers: a
    // half-scale sine must read about -6 dB whatever the coding.
    void decodedScales_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("rate");
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<double>("tolerance");
        QTest::newRow("alac 16") << (SF_FORMAT_CAF | SF_FORMAT_ALAC_16) << 44100 << "caf" << 0.1;
        QTest::newRow("alac 24") << (SF_FORMAT_CAF | SF_FORMAT_ALAC_24) << 44100 << "caf" << 0.1;
        QTest::newRow("dwvw 16") << (SF_FORMAT_AIFF | SF_FORMAT_DWVW_16) << 44100 << "aiff" << 0.1;
        QTest::newRow("dpcm 8") << (SF_FORMAT_XI | SF_FORMAT_DPCM_8) << 44100 << "xi" << 0.3;
        QTest::newRow("vorbis") << (SF_FORMAT_OGG | SF_FORMAT_VORBIS) << 44100 << "ogg" << 1.0;
        QTest::newRow("opus") << (SF_FORMAT_OGG | SF_FORMAT_OPUS) << 48000 << "opus" << 2.0;
        QTest::newRow("ulaw") << (SF_FORMAT_WAV | SF_FORMAT_ULAW) << 44100 << "wav" << 0.3;
        QTest::newRow("ima adpcm") << (SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM) << 44100 << "wav" << 0.3;
    }
    void decodedScales()
    {
        QFETCH(int, format);
        QFETCH(int, rate);
        QFETCH(QString, suffix);
        QFETCH(double, tolerance);
        const QString path = m_dir.filePath(QStringLiteral("scale-%1.%2").arg(QString::fromLatin1(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('-')), suffix));
        fixtures::Spec spec;
        spec.format = format;
        spec.channels = 1;
        spec.samplerate = rate;
        spec.frames = rate / 2;
        QVERIFY(fixtures::write(path, spec, [rate](sf_count_t f, int) { return 0.5 * std::sin(2 * M_PI * 440.0 * double(f) / rate); }));
        SoundFile *doc = fixtures::openDocument(path);
        QVERIFY(doc);
        doc->calculatePeak(nullptr);
        const double db = doc->peakTableSource->calcDecibels(doc->peakTableSource->peak(0));
        QVERIFY2(std::abs(db + 6.02) <= tolerance, qPrintable(QString::number(db)));
    }

    void scanKeepsNormalisation()
    {
        SoundFile *doc = fixtures::openDocument(makeFile(QStringLiteral("norm.wav"), 2, 5000));
        QVERIFY(doc);
        QCOMPARE(sf_command(doc->sndfile, SFC_GET_NORM_DOUBLE, nullptr, 0), SF_TRUE);
        doc->calculatePeak(nullptr);
        QCOMPARE(sf_command(doc->sndfile, SFC_GET_NORM_DOUBLE, nullptr, 0), SF_TRUE);
    }

    void scanWhilePlayingResumesAtSameFrame()
    {
        SoundFile *doc = fixtures::openDocument(makeFile(QStringLiteral("playing.wav"), 2, 44100 * 30));
        QVERIFY(doc);
        doc->playSlider->setValue(44100 * 5);
        QCOMPARE(doc->sliderFrame(), qint64(44100 * 5));
        doc->play(doc->playButton);
        QVERIFY(doc->isPlaying);
        const qint64 before = doc->sliderFrame();
        doc->calculatePeak(doc->peakCalculate);
        QVERIFY(doc->isPlaying);
        QCOMPARE(doc->playButton->text(), QStringLiteral("pause"));
        // The renderer was put back where the slider stood when the scan began.
        QVERIFY(doc->audioRenderer->currentPosition() >= before);
        QVERIFY(doc->audioRenderer->currentPosition() < before + 44100);
        doc->play(doc->playButton);
    }

    void scanWhileStoppedRepositionsRenderer()
    {
        SoundFile *doc = fixtures::openDocument(makeFile(QStringLiteral("stopped.wav"), 1, 44100 * 3));
        QVERIFY(doc);
        doc->playSlider->setValue(44100);
        doc->calculatePeak(doc->peakCalculate);
        QVERIFY(!doc->isPlaying);
        QCOMPARE(doc->audioRenderer->currentPosition(), qint64(44100));
    }

    void screenshots()
    {
        SoundFile *doc = fixtures::openDocument(makeFile(QStringLiteral("Six channel stem.wav"), 6, 48000, SF_FORMAT_WAV | SF_FORMAT_PCM_24));
        QVERIFY(doc);
        doc->documentWindow()->resize(640, 520);
        doc->calculatePeak(doc->peakCalculate);
        for (int i = 0; i < doc->tabView->count(); ++i) {
            doc->tabView->setCurrentIndex(i);
            const QString name = doc->tabView->widget(i)->objectName().toLower();
            QVERIFY(doc->documentWindow()->grab().toImage().save(fixtures::artifactsDir() + QStringLiteral("/window-%1.png").arg(name)));
        }
    }
};

QTEST_MAIN(TestWindowSetUp)
#include "tst_windowsetup.moc"
