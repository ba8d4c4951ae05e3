#include "BadInputFixtures.h"

#include "Fixtures.h"
#include "RewriteFixtures.h"

#include "window/ChannelTableSource.h"
#include "document/SoundFile.h"
#include "playback/AudioRenderer.h"
#include "toolkit/DocumentController.h"

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTableView>
#include <QtTest>

#include <algorithm>
#include <cmath>

namespace fixtures {

namespace {

// Pop-ups and tables list at most this many channels.
constexpr int kListedChannels = 256;

} // namespace

void putLE16(QByteArray &bytes, qsizetype at, quint16 value)
{
    bytes[at] = char(value & 0xff);
    bytes[at + 1] = char(value >> 8);
}

void putLE32(QByteArray &bytes, qsizetype at, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = char((value >> (8 * i)) & 0xff);
}

bool writeFileBytes(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

qsizetype sampleDataStart(const QByteArray &file, bool aiff)
{
    const qsizetype at = file.indexOf(aiff ? "SSND" : "data", 12);
    return at < 0 ? -1 : at + (aiff ? 16 : 8);
}

QString libsndfileOpenError(const QString &path)
{
    SF_INFO info{};
    SNDFILE *f = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (f) {
        sf_close(f);
        return QString();
    }
    return QString::fromLocal8Bit(sf_strerror(nullptr));
}

std::vector<int> readableFrames(const QString &path, int *channels)
{
    SF_INFO info{};
    std::vector<int> items = readInts(path, &info);
    if (info.channels > 0)
        items.resize(items.size() - items.size() % size_t(info.channels));
    if (channels)
        *channels = info.channels;
    return items;
}

SF_INFO infoOf(const QString &path)
{
    SF_INFO info{};
    SNDFILE *f = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (f)
        sf_close(f);
    return info;
}

void verifyOpenFails(const QString &path, const QString &expectedText)
{
    DocumentController &controller = DocumentController::sharedDocumentController();
    const QByteArray before = fileBytes(path);
    DocumentError err;
    QVERIFY(!controller.openDocumentWithContentsOfURL(QUrl::fromLocalFile(path), true, &err));
    QCOMPARE(err.domain, QStringLiteral("libsndfileError"));
    QCOMPARE(err.code, -1);
    QVERIFY(!err.localizedDescription.trimmed().isEmpty());
    if (!expectedText.isEmpty())
        QCOMPARE(err.localizedDescription, expectedText);
    QVERIFY(controller.documents().isEmpty());
    QCOMPARE(fileBytes(path), before);
}

void verifyDisplay(SoundFile *doc)
{
    QCOMPARE(doc->labelChannels->text(), QString::number(doc->sfinfo.channels));
    QCOMPARE(doc->labelSamplerate->text(), QString::number(doc->sfinfo.samplerate));
    QCOMPARE(doc->labelFrames->text(), QString::number(qint64(doc->sfinfo.frames)));
    QVERIFY(!doc->labelLength->text().isEmpty());
    QVERIFY(!doc->labelLength->text().startsWith(QLatin1Char('-')));
    const int listed = std::min(doc->sfinfo.channels, kListedChannels);
    QCOMPARE(doc->leftChannel->count(), listed);
    QCOMPARE(doc->rightChannel->count(), listed);
    QCOMPARE(doc->convertTableSource->rowCount(), listed);
}

void verifyScan(SoundFile *doc)
{
    doc->calculatePeak(nullptr);
    QVERIFY(!doc->isBusy());
    QVERIFY(!doc->peakTable->isHidden());
    QCOMPARE(doc->peakTable->model(), doc->peakTableSource);
    const int listed = std::min(doc->sfinfo.channels, kListedChannels);
    QCOMPARE(doc->peakTableSource->rowCount(), listed);
    for (int c = 0; c < listed; ++c) {
        QVERIFY(std::isfinite(doc->peakTableSource->peak(c)));
        QVERIFY(doc->peakTableSource->peak(c) >= 0.0);
    }
}

void renderALittle(SoundFile *doc, std::vector<float> *first)
{
    QVERIFY(doc->audioRenderer);
    std::vector<float> out(2 * 256);
    for (int block = 0; block < 4; ++block) {
        QCOMPARE(AudioRenderer::sf_coreaudio_render_proc(doc->audioRenderer, out.data(), 256), 0);
        for (float v : out)
            QVERIFY(std::isfinite(v) && std::fabs(v) <= 1.0f);
        if (block == 0 && first)
            *first = out;
    }
}

void playAMoment(SoundFile *doc, bool somethingToPlay)
{
    doc->play(nullptr);
    QVERIFY(doc->isPlaying);
    if (somethingToPlay) {
        QTRY_VERIFY_WITH_TIMEOUT(doc->audioRenderer->currentPosition() > 0, 5000);
        doc->play(nullptr);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(!doc->isPlaying, 5000);
        QCOMPARE(doc->audioRenderer->currentPosition(), qint64(0));
    }
    QVERIFY(!doc->isPlaying);
}

bool saveAndCheck(SoundFile *doc, const std::vector<int> &expected, int channels, bool *saved)
{
    const QString file = doc->fileURL().toLocalFile();
    const QByteArray before = fileBytes(file);
    doc->stringTitle->setText(QStringLiteral("edited"));
    DocumentError err;
    *saved = doc->saveToURL(doc->fileURL(), doc->fileType(), SaveOperationType::Save, &err);
    if (*saved) {
        SF_INFO info{};
        const std::vector<int> got = readInts(file, &info);
        if (info.channels != channels || got != expected) {
            qWarning("saved %d channels, %zu items; expected %d channels, %zu items", info.channels, got.size(),
                     channels, expected.size());
            return false;
        }
        return !doc->isDocumentEdited()
            && doc->labelFrames->text() == QString::number(qint64(got.size() / size_t(channels)));
    }
    QMessageBox *alert = doc->failureAlert();
    if (!alert || alert->text().isEmpty() || alert->informativeText().isEmpty()) {
        qWarning("a failed save showed no alert that says why");
        return false;
    }
    return doc->isDocumentEdited() && fileBytes(file) == before;
}

} // namespace fixtures
