#include "scans/LargeArray.h"

#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
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
