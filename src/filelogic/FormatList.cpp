#include "filelogic/FormatList.h"

#include "filelogic/CodecTable.h"

#include <sndfile.h>

namespace {

QString formatText(const char *text)
{
    return text ? QString::fromUtf8(text) : QString();
}

int commandCount(int command)
{
    int count = 0;
    sf_command(nullptr, command, &count, int(sizeof(count)));
    return count > 0 ? count : 0;
}

bool queryFormat(int command, int index, SF_FORMAT_INFO *info)
{
    *info = SF_FORMAT_INFO{};
    info->format = index;
    return sf_command(nullptr, command, info, int(sizeof(*info))) == 0;
}

} // namespace

QList<FormatEntry> majorFormats()
{
    QList<FormatEntry> list;
    const int count = commandCount(SFC_GET_FORMAT_MAJOR_COUNT);
    for (int i = 0; i < count; ++i) {
        SF_FORMAT_INFO info;
        if (!queryFormat(SFC_GET_FORMAT_MAJOR, i, &info))
            continue;
        list.append(FormatEntry{info.format, formatText(info.name), formatText(info.extension)});
    }
    return list;
}

int majorFormatIndex(int format)
{
    const int major = format & SF_FORMAT_TYPEMASK;
    const int count = commandCount(SFC_GET_FORMAT_MAJOR_COUNT);
    int found = 0;
    for (int i = 0; i < count; ++i) {
        SF_FORMAT_INFO info;
        if (queryFormat(SFC_GET_FORMAT_MAJOR, i, &info) && (info.format & SF_FORMAT_TYPEMASK) == major)
            found = i;
    }
    return found;
}

QList<FormatEntry> writableSubformats(int majorIndex)
{
    QList<FormatEntry> list;
    if (majorIndex < 0 || majorIndex >= commandCount(SFC_GET_FORMAT_MAJOR_COUNT))
        return list;
    SF_FORMAT_INFO major;
    if (!queryFormat(SFC_GET_FORMAT_MAJOR, majorIndex, &major))
        return list;

    SF_INFO check{};
    check.channels = 1;
    const int count = commandCount(SFC_GET_FORMAT_SUBTYPE_COUNT);
    for (int i = 0; i < count; ++i) {
        SF_FORMAT_INFO subtype;
        if (!queryFormat(SFC_GET_FORMAT_SUBTYPE, i, &subtype))
            continue;
        const int candidate = (major.format & SF_FORMAT_TYPEMASK) | subtype.format;
        check.format = candidate;
        const CodecFacts &facts = codecFacts(candidate);
        const bool encodable = !facts.decodeOnly
            && (facts.encodedOnlyIn == 0 || facts.encodedOnlyIn == (candidate & SF_FORMAT_TYPEMASK));
        if (sf_format_check(&check) && encodable)
            list.append(FormatEntry{candidate, formatText(subtype.name), QString()});
    }
    return list;
}

QList<int> majorFormatsForExtension(const QString &extension)
{
    static const QList<QPair<QString, int>> aliases = {
        {QStringLiteral("wave"), SF_FORMAT_WAV}, {QStringLiteral("bwf"), SF_FORMAT_WAV},
        {QStringLiteral("aif"), SF_FORMAT_AIFF}, {QStringLiteral("aifc"), SF_FORMAT_AIFF},
        {QStringLiteral("ogg"), SF_FORMAT_OGG},  {QStringLiteral("opus"), SF_FORMAT_OGG},
        {QStringLiteral("snd"), SF_FORMAT_AU},
    };
    const QString ext = extension.toLower();
    QList<int> majors;
    for (const FormatEntry &entry : majorFormats())
        if (!ext.isEmpty() && entry.extension.compare(ext, Qt::CaseInsensitive) == 0)
            majors << (entry.format & SF_FORMAT_TYPEMASK);
    for (const auto &[alias, major] : aliases)
        if (alias == ext && !majors.contains(major))
            majors << major;
    return majors;
}

const QStringList &soundFileExtensions()
{
    static const QStringList extensions = {
        "wav", "wave", "bwf", "rf64", "w64", "aif", "aiff", "aifc", "caf", "flac", "ogg", "oga", "opus", "au",
        "snd", "voc", "mp3", "sd2", "paf", "sf", "ircam", "mat", "pvf", "xi", "htk", "avr", "wve",
    };
    return extensions;
}

int closestFormat(int majorFormat, int sourceFormat)
{
    const int major = majorFormat & SF_FORMAT_TYPEMASK;
    const QList<FormatEntry> subformats = writableSubformats(majorFormatIndex(major));
    if (subformats.isEmpty() || (majorFormats().value(majorFormatIndex(major)).format & SF_FORMAT_TYPEMASK) != major)
        return 0;
    const int subtype = sourceFormat & SF_FORMAT_SUBMASK;
    for (const FormatEntry &entry : subformats)
        if ((entry.format & SF_FORMAT_SUBMASK) == subtype)
            return entry.format;
    // Same width: 24-bit PCM becomes 24-bit PCM, floats stay floats.
    static const QList<QList<int>> families = {
        {SF_FORMAT_PCM_16, SF_FORMAT_ALAC_16, SF_FORMAT_DPCM_16, SF_FORMAT_DWVW_16},
        {SF_FORMAT_PCM_24, SF_FORMAT_ALAC_24, SF_FORMAT_DWVW_24},
        {SF_FORMAT_PCM_32, SF_FORMAT_ALAC_32},
        {SF_FORMAT_FLOAT, SF_FORMAT_DOUBLE},
        {SF_FORMAT_PCM_S8, SF_FORMAT_PCM_U8, SF_FORMAT_DPCM_8},
    };
    for (const QList<int> &family : families)
        if (family.contains(subtype))
            for (int member : family)
                for (const FormatEntry &entry : subformats)
                    if ((entry.format & SF_FORMAT_SUBMASK) == member)
                        return entry.format;
    return subformats.first().format;
}
