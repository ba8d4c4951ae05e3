// One libsndfile handle, closed on every way out: the only place the program
// calls sf_close. Header-only, so the example generator can use it without
// the rest of the program.
//
// A handle is used by one thread at a time; moving it hands it to another.
#pragma once

#include <sndfile.h>

#include <utility>

class SoundHandle
{
public:
    SoundHandle() = default;
    explicit SoundHandle(SNDFILE *file) : m_file(file) {}
    SoundHandle(SoundHandle &&other) noexcept : m_file(std::exchange(other.m_file, nullptr)) {}
    SoundHandle &operator=(SoundHandle &&other) noexcept
    {
        if (this != &other) {
            close();
            m_file = std::exchange(other.m_file, nullptr);
        }
        return *this;
    }
    SoundHandle(const SoundHandle &) = delete;
    SoundHandle &operator=(const SoundHandle &) = delete;
    ~SoundHandle() { close(); }

    SNDFILE *get() const { return m_file; }
    explicit operator bool() const { return m_file != nullptr; }

    // Closes the file now: libsndfile's result, which for a file being
    // written says whether its last writes reached the file; 0 when none
    // was open.
    int close() { return m_file ? sf_close(std::exchange(m_file, nullptr)) : 0; }

private:
    SNDFILE *m_file = nullptr;
};
