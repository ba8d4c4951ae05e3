// The playback ring on its own: spans at the end of the storage, full and
// empty, items held until released, and two threads passing items through it.
#include "playback/SpscRing.h"

#include <QtTest>

#include <thread>

using Ring = SpscRing<std::uint64_t, 64>;

namespace {

// Writes the next values of a running counter into the first free span, at
// most `most`; returns how many.
std::size_t produce(Ring &ring, std::uint64_t &next, std::uint64_t most)
{
    const Ring::Span span = ring.writeSpan();
    const std::size_t n = std::size_t(std::min<std::uint64_t>(most, span.size));
    for (std::size_t i = 0; i < n; ++i)
        span.data[i] = next++;
    ring.commit(n);
    return n;
}

} // namespace

class TestSpscRing : public QObject
{
    Q_OBJECT

private slots:
    void oneThread()
    {
        auto ring = std::make_unique<Ring>();
        ring->setCapacity(6); // less than the storage: only 6 slots are used
        std::uint64_t next = 0;
        QCOMPARE(ring->readSpan().size, std::size_t(0));
        QCOMPARE(produce(*ring, next, 100), std::size_t(6));
        QCOMPARE(ring->writeSpan().size, std::size_t(0)); // full
        QCOMPARE(ring->readSpan().size, std::size_t(6));
        ring->take(5); // handed out, still reserved
        ring->refreshReleased();
        QCOMPARE(ring->writeSpan().size, std::size_t(0));
        ring->release();
        QCOMPARE(ring->writeSpan().size, std::size_t(0)); // not seen by the producer yet
        QCOMPARE(ring->refreshReleased(), std::uint64_t(5));
        // Slots 0..4 are free again; the ready item in slot 5 comes first,
        // then the wrapped ones.
        QCOMPARE(ring->writeSpan().data, ring->storage());
        QCOMPARE(produce(*ring, next, 3), std::size_t(3));
        QCOMPARE(ring->readSpan().data, ring->storage() + 5);
        QCOMPARE(ring->readSpan().size, std::size_t(1));
        ring->take(1);
        QCOMPARE(ring->readSpan().data, ring->storage());
        QCOMPARE(ring->readSpan().size, std::size_t(3));
        QCOMPARE(ring->readSpan().data[2], std::uint64_t(8));
        ring->clear();
        QCOMPARE(ring->readSpan().size + ring->released(), std::size_t(0));
        QCOMPARE(ring->writeSpan().size, std::size_t(6));
    }

    // Every value arrives once and in order, and a taken item is never
    // overwritten before it is released: the consumer reads its items again
    // just before releasing them. Span sizes prime to the capacity move the
    // wrap point around.
    void twoThreads()
    {
        constexpr std::uint64_t kItems = 200000;
        auto ring = std::make_unique<Ring>();
        ring->setCapacity(61);
        std::thread producer([&ring] {
            std::uint64_t next = 0;
            for (std::uint64_t round = 0; next < kItems; ++round)
                if (produce(*ring, next, std::min(1 + round % 7, kItems - next)) == 0) {
                    ring->refreshReleased();
                    std::this_thread::yield();
                }
        });
        std::uint64_t expected = 0;
        std::uint64_t wrong = 0;
        for (std::size_t round = 0; expected < kItems; ++round) {
            const Ring::Span span = ring->readSpan();
            const std::size_t n = std::min<std::size_t>(span.size, 1 + round % 5);
            ring->take(n);
            for (int pass = 0; pass < 2; ++pass) {
                for (std::size_t i = 0; i < n; ++i)
                    wrong += span.data[i] != expected + i;
                std::this_thread::yield(); // the producer runs meanwhile
            }
            expected += n;
            ring->release();
        }
        producer.join();
        QCOMPARE(wrong, std::uint64_t(0));
        QCOMPARE(ring->readSpan().size, std::size_t(0));
        QCOMPARE(ring->released(), kItems);
    }
};

QTEST_GUILESS_MAIN(TestSpscRing)
#include "tst_spscring.moc"
