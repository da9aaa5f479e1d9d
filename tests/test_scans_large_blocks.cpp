// Large blocks faulted in by a second thread while their owner writes them:
// what the owner wrote, before the thread started or while it runs, stays.
#include "scans/LargeArray.h"

#include <gtest/gtest.h>

#include <cstdint>

TEST(LargeBlockPopulate, WritesBeforeAndDuringStay)
{
    // Two blocks of whole huge pages and a tail, one written at the start, and a small one the thread leaves alone.
    // While the thread runs, one is filled from its start (where the thread begins too) and the others from their
    // ends (pages written before the thread reaches them).
    const std::size_t n = (std::size_t{40} << 20) / sizeof(uint64_t) + 1234;
    LargeArray<uint64_t> a, b, small;
    a.resize(n);
    b.resize(n / 2);
    small.resize(1000);
    a[0] = 7;
    LargeBlock::Populate populate;
    for (LargeArray<uint64_t> *v : {&a, &b, &small})
        populate.Add(v->data(), v->capacity() * sizeof(uint64_t));
    populate.Start();
    for (std::size_t i = 1; i < a.size(); ++i)
        a[i] = i * 3;
    for (LargeArray<uint64_t> *v : {&b, &small})
        for (std::size_t i = v->size() - 1; i > 0; --i)
            (*v)[i] = i * 3;
    populate.Wait();
    populate.Wait();  // waiting twice is harmless
    EXPECT_EQ(a[0], 7u);
    for (const LargeArray<uint64_t> *v : {&a, &b, &small})
        for (std::size_t i = 1; i < v->size(); ++i)
            ASSERT_EQ((*v)[i], i * 3) << i;
}

TEST(LargeBlockPopulate, HugePagesOnlyAsFarAsFreeOnesAreReady)
{
    // Orders 9 and 10 hold one and two 2 MiB blocks each; the DMA zone does not count.
    const char *buddyinfo = "Node 0, zone      DMA      0      0      0      0      0      0      0      0      1      1      3\n"
                            "Node 0, zone    DMA32      1      2      2      2      1      2      0      3      3      1      7\n"
                            "Node 0, zone   Normal    616   1328  18269  11190   7047   3017    921    262     87    139    276\n";
    EXPECT_EQ(LargeBlock::ReadyHugePages(buddyinfo), (1 + 2 * 7) + (139 + 2 * 276));
    EXPECT_EQ(LargeBlock::ReadyHugePages("Node 0, zone   Normal    5  4  3  2  1  0  0  0  0  0  0\n"), 0);
    EXPECT_EQ(LargeBlock::ReadyHugePages(""), -1);
}
