#include "filelogic/ContainerTable.h"

#include <sndfile.h>

#include <QCoreApplication>

#include <algorithm>

namespace {

const ContainerFacts kContainers[] = {
    // major           strings             bext   iXML
    {SF_FORMAT_WAV,   StringStore::Info, true,  true},
    {SF_FORMAT_WAVEX, StringStore::Info, true,  true},
    {SF_FORMAT_RF64,  StringStore::Info, true,  true},
    {SF_FORMAT_AIFF,  StringStore::Aiff, false, false},
    {SF_FORMAT_CAF,   StringStore::Full, false, false},
    {SF_FORMAT_FLAC,  StringStore::Full, false, false},
    {SF_FORMAT_OGG,   StringStore::Full, false, false},
    {SF_FORMAT_MPEG,  StringStore::Id3,  false, false},
};

QString tr(const char *text)
{
    return QCoreApplication::translate("ContainerTable", text);
}

bool isAscii(const QByteArray &bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](char c) { return uchar(c) <= 0x7F; });
}

} // namespace

ContainerFacts containerFacts(int format)
{
    const int major = format & SF_FORMAT_TYPEMASK;
    for (const ContainerFacts &facts : kContainers)
        if (facts.major == major)
            return facts;
    ContainerFacts none;
    none.major = major;
    return none;
}

bool formatOffersStrings(int format)
{
    return containerFacts(format).strings != StringStore::None;
}

bool formatOffersBext(int format)
{
    return containerFacts(format).bext;
}

bool formatOffersIxml(int format)
{
    return containerFacts(format).ixml;
}

QString whyFieldNotKept(int format, MetadataField field, const QByteArray &bytes)
{
    const ContainerFacts facts = containerFacts(format);
    switch (fieldFacts(field).store) {
    case FieldStore::Bext:
        return facts.bext ? QString() : tr("this format has no broadcast (BEXT) record");
    case FieldStore::Ixml:
        return facts.ixml ? QString() : tr("this format has no iXML chunk");
    case FieldStore::Strings:
        break;
    }
    if (facts.strings == StringStore::None)
        return tr("this format keeps no text metadata");
    if (facts.strings == StringStore::Info && bytes.size() >= kInfoUnreadBytes)
        return tr("text of %1 bytes or more is not read back from this format").arg(kInfoUnreadBytes);
    if (facts.strings == StringStore::Aiff && field == MetadataField::Date)
        return tr("AIFF files cannot store a date");
    const bool asciiOnly = field == MetadataField::Copyright || field == MetadataField::Software;
    if (facts.strings == StringStore::Aiff && asciiOnly && !isAscii(bytes))
        return tr("AIFF keeps only ASCII text in this field");
    return QString();
}

QStringList metadataNotKept(int format, const StringBytes &strings, bool withBext)
{
    static const char *const names[6] = {QT_TRANSLATE_NOOP("ContainerTable", "the title"),
                                         QT_TRANSLATE_NOOP("ContainerTable", "the copyright"),
                                         QT_TRANSLATE_NOOP("ContainerTable", "the software"),
                                         QT_TRANSLATE_NOOP("ContainerTable", "the artist"),
                                         QT_TRANSLATE_NOOP("ContainerTable", "the comment"),
                                         QT_TRANSLATE_NOOP("ContainerTable", "the date")};
    const ContainerFacts facts = containerFacts(format);
    QStringList lost;
    switch (facts.strings) {
    case StringStore::Info:
        for (int i = 0; i < 6; ++i)
            if (strings[size_t(i)] && strings[size_t(i)]->size() >= kInfoUnreadBytes)
                lost << tr("%1 (%2 bytes or longer)").arg(tr(names[i])).arg(kInfoUnreadBytes);
        break;
    case StringStore::Aiff:
        if (strings[5] && !strings[5]->isEmpty())
            lost << tr("the date");
        if (strings[1] && !isAscii(*strings[1]))
            lost << tr("the non-ASCII characters of the copyright");
        if (strings[2] && !isAscii(*strings[2]))
            lost << tr("the software text from its first non-ASCII character on");
        break;
    case StringStore::Id3:
        // What libsndfile's MP3 writer keeps (measured).
        if (strings[1] && !strings[1]->isEmpty())
            lost << tr("the copyright");
        if (strings[2] && !strings[2]->isEmpty())
            lost << tr("the software");
        if (strings[5] && strings[5]->size() > 4)
            lost << tr("the date beyond its year");
        break;
    case StringStore::Full:
        break;
    case StringStore::None:
        if (std::any_of(strings.begin(), strings.end(), [](const auto &s) { return s && !s->isEmpty(); }))
            lost << tr("the text metadata (title, artist, comment, …)");
        break;
    }
    if (withBext && !facts.bext)
        lost << tr("the broadcast (BEXT) record");
    return lost;
}
