// MD5 (OpenSSL's libcrypto, the fastest MD5 of the system's libraries on
// the machines measured) of bytes handed over in blocks. With more than one
// block to come it hashes on a thread of its own, so that reading or
// decoding the next block overlaps hashing this one.
//
// Threads: one producer thread calls block(), submit() and finish(); the
// hashing thread is the pipeline's own. A pipeline is not shared.
#pragma once

#include <QByteArray>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class Md5Pipeline
{
public:
    // expectedBytes sizes the blocks (at most kMaxBlockBytes each) and
    // decides whether a second thread pays.
    explicit Md5Pipeline(qint64 expectedBytes);
    ~Md5Pipeline();
    Md5Pipeline(const Md5Pipeline &) = delete;
    Md5Pipeline &operator=(const Md5Pipeline &) = delete;

    static constexpr qint64 kMaxBlockBytes = 1 << 20;

    qint64 blockBytes() const { return m_blockBytes; }
    // A block of blockBytes() to fill; waits while all are being hashed.
    char *block();
    // Hands over the first `bytes` of the block block() gave last.
    void submit(qint64 bytes);
    // The 16-byte digest of everything submitted; empty when libcrypto
    // failed. The pipeline takes no more blocks afterwards.
    QByteArray finish();

private:
    struct Digest;
    void hashLoop();

    std::unique_ptr<Digest> m_digest;
    qint64 m_blockBytes;
    std::vector<std::unique_ptr<char[]>> m_blocks; // each kMaxBlockBytes
    int m_current = -1;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::pair<int, qint64>> m_full; // guarded by m_mutex
    std::deque<int> m_free;                    // guarded by m_mutex
    bool m_done = false;                       // guarded by m_mutex
    std::thread m_hasher;
};
