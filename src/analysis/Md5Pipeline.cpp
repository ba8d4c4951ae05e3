#include "analysis/Md5Pipeline.h"

#include <openssl/evp.h>

#include <algorithm>
#include <system_error>

namespace {

// Enough for the reader to stay a block or two ahead of the hash.
constexpr int kThreadedBlocks = 4;
constexpr qint64 kMinBlockBytes = 64 * 1024;
constexpr size_t kPooledBlocks = 64;

// Blocks of kMaxBlockBytes kept between pipelines: a batch of small files
// would otherwise fault fresh pages in for every file.
std::mutex g_poolMutex;
std::vector<std::unique_ptr<char[]>> g_pool; // guarded by g_poolMutex

std::unique_ptr<char[]> takeBlock()
{
    std::lock_guard<std::mutex> lock(g_poolMutex);
    if (g_pool.empty())
        return std::unique_ptr<char[]>(new char[Md5Pipeline::kMaxBlockBytes]);
    std::unique_ptr<char[]> block = std::move(g_pool.back());
    g_pool.pop_back();
    return block;
}

void giveBack(std::vector<std::unique_ptr<char[]>> &blocks)
{
    std::lock_guard<std::mutex> lock(g_poolMutex);
    for (std::unique_ptr<char[]> &block : blocks)
        if (g_pool.size() < kPooledBlocks)
            g_pool.push_back(std::move(block));
    blocks.clear();
}

} // namespace

struct Md5Pipeline::Digest {
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    bool ok = context && EVP_DigestInit_ex(context, EVP_md5(), nullptr) == 1;
    ~Digest() { EVP_MD_CTX_free(context); }
    void add(const char *data, qint64 bytes) { ok = ok && EVP_DigestUpdate(context, data, size_t(bytes)) == 1; }
};

Md5Pipeline::Md5Pipeline(qint64 expectedBytes)
    : m_digest(std::make_unique<Digest>()),
      m_blockBytes(std::clamp(expectedBytes, kMinBlockBytes, kMaxBlockBytes))
{
    if (expectedBytes > m_blockBytes) {
        try {
            m_hasher = std::thread(&Md5Pipeline::hashLoop, this);
        } catch (const std::system_error &) {
            // No thread to be had: the producer hashes each block itself.
        }
    }
    const int count = m_hasher.joinable() ? kThreadedBlocks : 1;
    for (int i = 0; i < count; ++i) {
        m_blocks.push_back(takeBlock());
        m_free.push_back(i);
    }
}

Md5Pipeline::~Md5Pipeline()
{
    finish();
    giveBack(m_blocks);
}

char *Md5Pipeline::block()
{
    if (!m_hasher.joinable()) {
        m_current = 0;
        return m_blocks[0].get();
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_free.empty(); });
    m_current = m_free.front();
    m_free.pop_front();
    return m_blocks[size_t(m_current)].get();
}

void Md5Pipeline::submit(qint64 bytes)
{
    if (!m_hasher.joinable()) {
        m_digest->add(m_blocks[0].get(), bytes);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_full.emplace_back(m_current, bytes);
    }
    m_changed.notify_all();
}

void Md5Pipeline::hashLoop()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_done || !m_full.empty(); });
        if (m_full.empty())
            return;
        const auto [index, bytes] = m_full.front();
        m_full.pop_front();
        lock.unlock();
        m_digest->add(m_blocks[size_t(index)].get(), bytes);
        lock.lock();
        m_free.push_back(index);
        m_changed.notify_all();
    }
}

QByteArray Md5Pipeline::finish()
{
    if (m_hasher.joinable()) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_changed.notify_all();
        m_hasher.join(); // after hashing every block still queued
    }
    QByteArray digest(EVP_MAX_MD_SIZE, '\0');
    unsigned int length = 0;
    if (!m_digest->ok || EVP_DigestFinal_ex(m_digest->context, reinterpret_cast<unsigned char *>(digest.data()), &length) != 1)
        return {};
    m_digest->ok = false;
    digest.truncate(int(length));
    return digest;
}
