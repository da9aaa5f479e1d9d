#include "scans/LargeArray.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>
#include <system_error>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14
#endif

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Faulted in a step of each block in turn.
constexpr std::size_t kPopulateStep = std::size_t{8} << 20;
// Below this a block is a few hundred pages at most: plain operator new.
constexpr std::size_t kLargeBlock = std::size_t{4} << 20;
} // namespace

void *LargeBlock::Allocate(std::size_t bytes)
{
    if (bytes < kLargeBlock)
        return ::operator new(bytes);
    void *block = nullptr;
    if (posix_memalign(&block, kHugePage, bytes) != 0)
        throw std::bad_alloc();
    // Only the whole huge pages inside the block: the tail keeps small pages,
    // so the block never holds more memory than it was asked for. The advice
    // is a hint; without transparent huge pages it changes nothing.
    const std::size_t whole = bytes - bytes % kHugePage;
    madvise(block, whole, MADV_HUGEPAGE);
    return block;
}

void LargeBlock::Free(void *block, std::size_t bytes) noexcept
{
    if (bytes < kLargeBlock)
        ::operator delete(block);
    else
        std::free(block);
}

LargeBlock::Populate::~Populate()
{
    Wait();
}

void LargeBlock::Populate::Add(void *block, std::size_t bytes)
{
    // Blocks from posix_memalign above: whole huge pages from an aligned start.
    if (block != nullptr && bytes >= kLargeBlock)
        ranges.push_back({static_cast<char *>(block), bytes - bytes % kHugePage});
}

void LargeBlock::Populate::Start()
{
    if (ranges.empty() || worker.joinable())
        return;
    try {
        worker = std::thread([ranges = ranges] {
            for (std::size_t offset = 0;; offset += kPopulateStep) {
                bool more = false;
                for (const Range &r : ranges) {
                    if (offset >= r.bytes)
                        continue;
                    const std::size_t length = std::min(kPopulateStep, r.bytes - offset);
                    // Faults the pages in as a write would, without writing:
                    // what the caller has written meanwhile stays.
                    if (madvise(r.begin + offset, length, MADV_POPULATE_WRITE) != 0)
                        return;  // an older kernel, or no memory: the caller faults them itself
                    more = true;
                }
                if (!more)
                    return;
            }
        });
    } catch (const std::system_error &) {
        // No thread: the pages fault in as they are written.
    }
}

void LargeBlock::Populate::Wait()
{
    if (worker.joinable())
        worker.join();
}
