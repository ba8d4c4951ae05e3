#include "rewrite/RewriteMetadata.h"

#include <QRegularExpression>
#include <QString>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>

namespace rewrite {
namespace {

// The same line-break rule libsndfile applies on write, done here so that the
// text can be measured and its last line found.
QByteArray withCrlf(const QByteArray &text)
{
    QByteArray out;
    out.reserve(text.size() + text.size() / 16 + 2);
    for (int i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const char next = i + 1 < text.size() ? text[i + 1] : '\0';
        if ((c == '\r' && next == '\n') || (c == '\n' && next == '\r')) {
            out += "\r\n";
            ++i;
        } else if (c == '\r' || c == '\n') {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace

bool isLibsndfileHistoryLine(const QByteArray &line)
{
    static const QRegularExpression pattern(QStringLiteral(
        "^A=PCM,F=\\d+,W=\\d+,M=(mono|stereo|\\d+chn),T=libsndfile-[0-9A-Za-z.+~_-]+$"));
    return pattern.match(QString::fromLatin1(line)).hasMatch();
}

int codingHistoryRoom()
{
    return kBextCodingHistoryRoom;
}

QByteArray codingHistoryForWriting(const BextRecord &record)
{
    const size_t stored = std::min<size_t>(record.coding_history_size, kBextCodingHistoryCapacity);
    QByteArray text = withCrlf(QByteArray(record.coding_history, int(strnlen(record.coding_history, stored))));

    QByteArray body = text;
    if (body.endsWith("\r\n"))
        body.chop(2);
    const int lastLine = body.lastIndexOf('\n') + 1;
    if (isLibsndfileHistoryLine(body.mid(lastLine)))
        text.truncate(lastLine);

    if (text.size() > kBextCodingHistoryRoom) {
        // Keep whole lines where possible.
        const int lineEnd = text.lastIndexOf("\r\n", kBextCodingHistoryRoom - 2);
        text.truncate(lineEnd > 0 ? lineEnd + 2 : kBextCodingHistoryRoom);
        if (text.endsWith('\r'))
            text.chop(1);
    }
    return text;
}

bool writeBroadcastRecord(SNDFILE *output, const BextRecord &record)
{
    // libsndfile refuses a record of the full 16 KiB variant size, so the
    // size passed is what the history actually needs.
    auto copy = std::make_unique<BextRecord>();
    const size_t fixedPart = offsetof(BextRecord, coding_history);
    std::memcpy(copy.get(), &record, fixedPart);
    const QByteArray history = codingHistoryForWriting(record);
    std::memcpy(copy->coding_history, history.constData(), size_t(history.size()));
    copy->coding_history_size = uint32_t(history.size());
    const size_t size = fixedPart + size_t(history.size()) + 1;
    return sf_command(output, SFC_SET_BROADCAST_INFO, copy.get(), int(size)) == SF_TRUE;
}

void writeStrings(SNDFILE *output, const std::array<std::optional<QByteArray>, 6> &strings)
{
    for (size_t i = 0; i < strings.size(); ++i) {
        if (strings[i] && !strings[i]->isEmpty())
            sf_set_string(output, int(i) + SF_STR_TITLE, strings[i]->constData());
    }
}

} // namespace rewrite
