// libFuzzer target for the reader of save journals, which recovery trusts
// with writing into a sound file. Every input is read as it stands and again
// with its right checksum appended, so the checks behind the checksum are
// reached. A journal that reads must write back to the same bytes, and
// undoing it on a file must leave every range holding its old bytes and the
// file its old size. Any mismatch aborts.
#include "filelogic/SaveJournal.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

void exercise(const QByteArray &bytes)
{
    const std::optional<SaveJournal> journal = SaveJournal::decode(bytes);
    if (!journal)
        return;
    check(journal->encode() == bytes);
    if (journal->newSize > (1 << 20) || journal->oldSize > (1 << 20))
        return;
    // A file as the save may have left it: the new size, other bytes.
    const int fd = ::memfd_create("journal_fuzz", 0);
    check(fd >= 0 && ::ftruncate(fd, journal->newSize) == 0);
    QString error;
    check(restoreFromJournal(fd, *journal, &error));
    for (const JournalRange &range : journal->ranges) {
        QByteArray now(range.oldBytes.size(), '\0');
        check(::pread(fd, now.data(), size_t(now.size()), range.offset) == now.size() && now == range.oldBytes);
    }
    struct stat st {};
    check(::fstat(fd, &st) == 0 && st.st_size == journal->oldSize);
    ::close(fd);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    exercise(bytes);
    exercise(bytes + SaveJournal::hashOf(bytes));
    return 0;
}
