#include "filelogic/FormatList.h"

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
        if (sf_format_check(&check))
            list.append(FormatEntry{candidate, formatText(subtype.name), QString()});
    }
    return list;
}
