// Whole ranges of a file through its descriptor: short transfers and
// interruptions are retried. Reentrant.
#pragma once

#include <QtGlobal>

// False on an error (errno says which) or at the end of the file (errno 0).
bool preadAll(int fd, char *buffer, qint64 length, qint64 offset);

// False on an error (errno says which; ENOSPC when nothing more could be
// written).
bool pwriteAll(int fd, const char *buffer, qint64 length, qint64 offset);
