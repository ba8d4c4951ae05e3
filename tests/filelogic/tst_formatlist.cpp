// The list of major formats and of the subtypes each can write.
#include "filelogic/FormatList.h"

#include <sndfile.h>

#include <QSet>
#include <QTest>

namespace {

QStringList names(const QList<FormatEntry> &entries)
{
    QStringList out;
    for (const FormatEntry &e : entries)
        out << e.name;
    return out;
}

int subtypeCode(const QString &name)
{
    int count = 0;
    sf_command(nullptr, SFC_GET_FORMAT_SUBTYPE_COUNT, &count, sizeof(count));
    for (int i = 0; i < count; ++i) {
        SF_FORMAT_INFO info{};
        info.format = i;
        sf_command(nullptr, SFC_GET_FORMAT_SUBTYPE, &info, sizeof(info));
        if (QString::fromUtf8(info.name) == name)
            return info.format;
    }
    return -1;
}

} // namespace

class TstFormatList : public QObject {
    Q_OBJECT

private slots:
    void majorsAreLibsndfilesList();
    void majorIndex_data();
    void majorIndex();
    void wavSubformats();
    void subformatsOfEveryMajor();
    void flacSubformats();
    void outOfRange_data();
    void outOfRange();
};

void TstFormatList::majorsAreLibsndfilesList()
{
    const QList<FormatEntry> majors = majorFormats();
    int count = 0;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &count, sizeof(count));
    QCOMPARE(majors.size(), count);
    QVERIFY(count > 10);

    QSet<int> seen;
    for (const FormatEntry &e : majors) {
        QCOMPARE(e.format & ~SF_FORMAT_TYPEMASK, 0);
        QVERIFY(!e.name.isEmpty());
        QVERIFY(!e.extension.isEmpty());
        seen.insert(e.format);
    }
    QVERIFY(seen.contains(SF_FORMAT_WAV));
    QVERIFY(seen.contains(SF_FORMAT_FLAC));
    const int wav = majorFormatIndex(SF_FORMAT_WAV);
    QCOMPARE(majors[wav].extension, QStringLiteral("wav"));
}

void TstFormatList::majorIndex_data()
{
    QTest::addColumn<int>("format");

    QTest::newRow("WAV PCM_16") << int(SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    QTest::newRow("WAV big-endian float") << int(SF_FORMAT_WAV | SF_FORMAT_FLOAT | SF_ENDIAN_BIG);
    QTest::newRow("AIFF") << int(SF_FORMAT_AIFF | SF_FORMAT_PCM_24);
    QTest::newRow("FLAC") << int(SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    QTest::newRow("CAF") << int(SF_FORMAT_CAF | SF_FORMAT_ALAC_20);
    QTest::newRow("OGG") << int(SF_FORMAT_OGG | SF_FORMAT_OPUS);
}

void TstFormatList::majorIndex()
{
    QFETCH(int, format);
    const QList<FormatEntry> majors = majorFormats();
    const int index = majorFormatIndex(format);
    QVERIFY(index >= 0 && index < majors.size());
    QCOMPARE(majors[index].format, format & SF_FORMAT_TYPEMASK);
}

void TstFormatList::wavSubformats()
{
    const int index = majorFormatIndex(SF_FORMAT_WAV | SF_FORMAT_PCM_24);
    const QList<FormatEntry> subs = writableSubformats(index);
    const QStringList listed = names(subs);
    for (const char *name : {"Signed 16 bit PCM", "Signed 24 bit PCM", "32 bit float", "U-Law", "A-Law"})
        QVERIFY2(listed.contains(QLatin1String(name)), name);
    QVERIFY(!listed.contains(QStringLiteral("Vorbis")));
    QVERIFY(!listed.contains(QStringLiteral("Opus")));

    for (const FormatEntry &e : subs) {
        QCOMPARE(e.format & SF_FORMAT_TYPEMASK, int(SF_FORMAT_WAV));
        QCOMPARE(e.format & SF_FORMAT_ENDMASK, 0);
        QCOMPARE(e.format & SF_FORMAT_SUBMASK, subtypeCode(e.name));
    }
    QVERIFY(std::any_of(subs.begin(), subs.end(),
                        [](const FormatEntry &e) { return e.format == (SF_FORMAT_WAV | SF_FORMAT_PCM_16); }));
    QVERIFY(std::any_of(subs.begin(), subs.end(),
                        [](const FormatEntry &e) { return e.format == (SF_FORMAT_WAV | SF_FORMAT_ULAW); }));
}

void TstFormatList::subformatsOfEveryMajor()
{
    const QList<FormatEntry> majors = majorFormats();
    for (int m = 0; m < majors.size(); ++m) {
        const QList<FormatEntry> subs = writableSubformats(m);
        int lastSubtypeIndex = -1;
        for (const FormatEntry &e : subs) {
            // Every entry passes the check it was chosen by, in libsndfile's order.
            SF_INFO check{};
            check.channels = 1;
            check.format = e.format;
            QVERIFY2(sf_format_check(&check), qPrintable(majors[m].name + QLatin1Char('/') + e.name));
            QCOMPARE(e.format & SF_FORMAT_TYPEMASK, majors[m].format);
            int count = 0;
            sf_command(nullptr, SFC_GET_FORMAT_SUBTYPE_COUNT, &count, sizeof(count));
            int position = -1;
            for (int i = 0; i < count && position < 0; ++i) {
                SF_FORMAT_INFO info{};
                info.format = i;
                sf_command(nullptr, SFC_GET_FORMAT_SUBTYPE, &info, sizeof(info));
                if (info.format == (e.format & SF_FORMAT_SUBMASK))
                    position = i;
            }
            QVERIFY(position > lastSubtypeIndex);
            lastSubtypeIndex = position;
        }
    }
}

void TstFormatList::flacSubformats()
{
    const QList<FormatEntry> subs = writableSubformats(majorFormatIndex(SF_FORMAT_FLAC));
    QVERIFY(!subs.isEmpty());
    QSet<int> allowed = {SF_FORMAT_PCM_S8, SF_FORMAT_PCM_16, SF_FORMAT_PCM_24};
    for (const FormatEntry &e : subs) {
        QCOMPARE(e.format & SF_FORMAT_TYPEMASK, int(SF_FORMAT_FLAC));
        QVERIFY2(allowed.contains(e.format & SF_FORMAT_SUBMASK), qPrintable(e.name));
    }
    QCOMPARE(subs.first().format, int(SF_FORMAT_FLAC | SF_FORMAT_PCM_S8));
    QVERIFY(!names(subs).contains(QStringLiteral("32 bit float")));
}

void TstFormatList::outOfRange_data()
{
    QTest::addColumn<int>("index");
    QTest::newRow("negative") << -1;
    QTest::newRow("one past the end") << int(majorFormats().size());
    QTest::newRow("far beyond") << 100000;
}

void TstFormatList::outOfRange()
{
    QFETCH(int, index);
    QVERIFY(writableSubformats(index).isEmpty());
}

QTEST_APPLESS_MAIN(TstFormatList)
#include "tst_formatlist.moc"
