// Turning bytes read from a sound file (libsndfile strings, fixed-width bext
// fields) into display text.
//
// Pure functions: reentrant, callable from any thread.
#pragma once

#include <QByteArray>
#include <QString>

// UTF-8 when the bytes are valid UTF-8 (a leading byte-order mark is kept as
// a character), otherwise Latin-1. Files carry no charset marker, and both
// cases occur in practice; Latin-1 maps every byte to one character, so no
// byte is ever shown as a replacement character.
QString decodeFileText(const QByteArray &bytes);

// The bytes of a fixed-width field from its start up to its first NUL or
// its full width, whichever comes first. Such fields are often unterminated.
// A null field or a width of 0 or below gives an empty array.
QByteArray fixedField(const char *field, int width);

// Lower-case hexadecimal, two digits per byte. With bytesPerGroup > 0 a space
// separates every group of that many bytes (e.g. 4 → "0a0b0c0d 0e0f...").
QString hexBytes(const QByteArray &bytes, int bytesPerGroup = 0);

// A text as a multi-line text field shows it after it was set: CR LF and lone
// CR become LF, as do the Unicode line and paragraph separators, and a
// no-break space reads back as a plain space.
QString plainTextAsShown(const QString &text);

// UTF-8 text cut to at most `width` bytes without splitting a character.
QByteArray cutUtf8(const QByteArray &bytes, int width);
