// File paths as the kernel resolves them, and names as the bytes they are.
//
// Reentrant.
#pragma once

#include <QByteArray>
#include <QString>

// An absolute path for a path as given: a relative one is prefixed with the
// current folder and nothing else. No ".." is cleaned as text, since after
// a symbolic link to a folder "a/link/../x" is where the link leads, not
// "a/x".
QString absolutePathAsGiven(const QString &path);

// True when a name given as bytes comes out as the same bytes after a trip
// through a QString. One that does not (bytes that are not valid in the
// system's encoding) cannot be opened through a QString, and could name
// another file once decoded.
bool nameIsEncodable(const QByteArray &bytes);
// Why such a name is refused.
QString unencodableNameText();
