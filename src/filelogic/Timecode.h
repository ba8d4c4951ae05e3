// The bext time reference as the text "hhh:mm:ss:frames" and back.
//
// Pure functions: reentrant, callable from any thread (the document calls
// them on the main thread).
#pragma once

#include "filelogic/BextRecord.h"

#include <QString>
#include <QtGlobal>

// Formats a time reference (sample frames since midnight) at the given rate as
// "%03llu:%02llu:%02llu:%llu": hours (at least three digits), minutes,
// seconds, frames within the second.
// A rate of 0 or below has no seconds to count, so the whole reference is
// shown as the frame field: "000:00:00:<reference>". Parsing that text at the
// same rate gives the reference back (up to 2147483647).
QString timecodeText(quint64 timeReference, int samplerate);

// Parses a timecode text back into a time reference.
// The text is split on ":" where runs of ":" count as one separator and
// leading/trailing ":" are skipped (so "1::2:3:4" is 1, 2, 3, 4); the first
// four fields are used, any further ones ignored. Each field converts like
// strtol in base 10: leading white space and one sign allowed, stops at the
// first non-digit, no digits gives 0, saturates at the signed 32-bit limits.
// Fields are not range-checked. hours*3600 + minutes*60 + seconds wraps in
// signed 32-bit arithmetic; that total times the rate (64-bit) plus the
// offset is stored in two's complement, so negative results wrap around.
// A rate of 0 or below counts as 0, which makes the reference the offset.
// Returns false and leaves *timeReference untouched when there are fewer than
// four fields, when the text holds anything but ASCII or is longer than 255
// characters. A NUL character ends the text.
bool parseTimecode(const QString &text, int samplerate, quint64 *timeReference);

// The record's time reference: low and high 32-bit halves as one 64-bit count.
quint64 timeReference(const BextRecord &bext);
void setTimeReference(BextRecord &bext, quint64 timeReference);
