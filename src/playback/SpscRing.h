// A lock-free ring of fixed storage for exactly one producer thread and one
// consumer thread. Indices only ever grow (64 bits do not wrap in practice);
// an index modulo the capacity is a slot.
//
// Unlike a plain queue, the consumer first takes items - they are handed out
// but stay reserved - and releases them once it has copied them out, so the
// producer never overwrites items that are still being read. Both sides work
// on contiguous spans, so a reader such as sf_read_float can fill the ring in
// place and the consumer can copy straight out of it.
//
//   [released, taken)   handed out, still being copied by the consumer
//   [taken, written)    ready for the consumer
//   the rest            free for the producer
//
// Each index sits on its own cache line, as do the two sides' private copies,
// so the threads do not slow each other down by sharing lines. No method
// allocates, locks or waits.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

template <typename T, std::size_t Storage>
class SpscRing
{
public:
    struct Span
    {
        T *data;
        std::size_t size; // items
    };

    // Set-up, while neither side runs (e.g. the consumer's thread is stopped
    // and its last writes are visible through whatever stopped it): uses
    // `capacity` items of the storage (at most Storage) and empties the ring.
    void setCapacity(std::size_t capacity)
    {
        m_capacity = capacity < Storage ? capacity : Storage;
        clear();
    }
    // Set-up, under the same condition: empties the ring.
    void clear()
    {
        m_write.store(0, std::memory_order_relaxed);
        m_released.store(0, std::memory_order_relaxed);
        m_taken = 0;
        m_releasedSeen = 0;
    }
    // Any thread; fixed while both sides run.
    std::size_t capacity() const { return m_capacity; }
    // Any thread; fixed.
    T *storage() { return m_items; }

    // --- producer thread ----------------------------------------------------
    // The free items after the last written one, up to the end of the
    // storage, as seen at the last refreshReleased(): never more than is
    // really free.
    Span writeSpan()
    {
        const std::uint64_t w = m_write.load(std::memory_order_relaxed);
        const std::uint64_t free = m_capacity - (w - m_releasedSeen);
        const std::size_t slot = slotOf(w);
        const std::uint64_t toEnd = m_capacity - slot;
        return {m_items + slot, std::size_t(free < toEnd ? free : toEnd)};
    }
    // Publishes `count` items written into the front of writeSpan().
    void commit(std::size_t count)
    {
        m_write.store(m_write.load(std::memory_order_relaxed) + count, std::memory_order_release);
    }
    // Looks at how far the consumer has released and returns that index;
    // writeSpan() may hand out what it released, and only that.
    std::uint64_t refreshReleased()
    {
        m_releasedSeen = m_released.load(std::memory_order_acquire);
        return m_releasedSeen;
    }

    // --- any thread -----------------------------------------------------------
    // Items released by the consumer since the ring was last emptied.
    std::uint64_t released() const { return m_released.load(std::memory_order_acquire); }

    // --- consumer thread -----------------------------------------------------
    // The ready items after the last taken one, up to the end of the storage.
    Span readSpan()
    {
        const std::uint64_t w = m_write.load(std::memory_order_acquire);
        const std::size_t slot = slotOf(m_taken);
        const std::uint64_t ready = w - m_taken;
        const std::uint64_t toEnd = m_capacity - slot;
        return {m_items + slot, std::size_t(ready < toEnd ? ready : toEnd)};
    }
    // Hands out `count` items from the front of readSpan(). They stay
    // reserved until release().
    void take(std::size_t count) { m_taken += count; }
    // Gives every item taken so far back to the producer: call it only once
    // they have been copied.
    void release() { m_released.store(m_taken, std::memory_order_release); }

private:
    std::size_t slotOf(std::uint64_t index) const { return m_capacity ? std::size_t(index % m_capacity) : 0; }

    static constexpr std::size_t kLine = 64;

    std::size_t m_capacity = 0;
    alignas(kLine) std::atomic<std::uint64_t> m_write{0};    // written by the producer
    alignas(kLine) std::uint64_t m_releasedSeen = 0;         // producer's copy of m_released
    alignas(kLine) std::atomic<std::uint64_t> m_released{0}; // written by the consumer
    alignas(kLine) std::uint64_t m_taken = 0;                // consumer's own
    alignas(kLine) T m_items[Storage]{};
};
