#include "filelogic/FileBytes.h"

#include <cerrno>

#include <unistd.h>

bool preadAll(int fd, char *buffer, qint64 length, qint64 offset)
{
    while (length > 0) {
        const ssize_t n = ::pread(fd, buffer, size_t(length), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = 0;
            return false;
        }
        buffer += n;
        offset += n;
        length -= n;
    }
    return true;
}

bool pwriteAll(int fd, const char *buffer, qint64 length, qint64 offset)
{
    while (length > 0) {
        const ssize_t n = ::pwrite(fd, buffer, size_t(length), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        buffer += n;
        offset += n;
        length -= n;
    }
    return true;
}
