#include "filelogic/FileText.h"

#include <QStringDecoder>

#include <cstring>

QString decodeFileText(const QByteArray &bytes)
{
    // ConvertInitialBom: a BOM in the file is part of its text, not a hint.
    // Stateless: a sequence cut off at the end is an error, not pending input.
    QStringDecoder utf8(QStringConverter::Utf8,
                        QStringConverter::Flag::ConvertInitialBom | QStringConverter::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (!utf8.hasError())
        return text;
    return QString::fromLatin1(bytes);
}

QByteArray fixedField(const char *field, int width)
{
    if (!field || width <= 0)
        return QByteArray();
    const void *nul = std::memchr(field, '\0', size_t(width));
    const int length = nul ? int(static_cast<const char *>(nul) - field) : width;
    return QByteArray(field, length);
}

QString hexBytes(const QByteArray &bytes, int bytesPerGroup)
{
    const QByteArray hex = bytes.toHex();
    if (bytesPerGroup <= 0)
        return QString::fromLatin1(hex);
    const qsizetype groupDigits = 2 * qsizetype(bytesPerGroup);
    QString out;
    out.reserve(hex.size() + hex.size() / groupDigits);
    for (qsizetype i = 0; i < hex.size(); i += groupDigits) {
        if (i > 0)
            out += QLatin1Char(' ');
        out += QString::fromLatin1(hex.mid(i, groupDigits));
    }
    return out;
}

QString plainTextAsShown(const QString &text)
{
    QString shown;
    shown.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        switch (c) {
        case u'\r':
            // CR LF is one line break, a lone CR is one too.
            if (i + 1 < text.size() && text.at(i + 1) == u'\n')
                ++i;
            shown += u'\n';
            break;
        case 0x2028: // line separator
        case 0x2029: // paragraph separator
        case 0xfdd0: // the text document's frame markers
        case 0xfdd1:
            shown += u'\n';
            break;
        case 0x00a0: // no-break space
            shown += u' ';
            break;
        default:
            shown += QChar(c);
        }
    }
    return shown;
}

QByteArray cutUtf8(const QByteArray &bytes, int width)
{
    if (bytes.size() <= width)
        return bytes;
    int end = width;
    while (end > 0 && (uchar(bytes[end]) & 0xC0) == 0x80)
        --end;
    return bytes.left(end);
}
