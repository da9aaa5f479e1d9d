#include "scans/LargeArray.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <string>
#include <unistd.h>
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
    // is a hint; without transparent huge pages it changes nothing. Only as
    // many as are free now: a fault never waits for memory to be compacted.
    std::size_t whole = bytes - bytes % kHugePage;
    char text[4096];
    const int fd = ::open("/proc/buddyinfo", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        const ssize_t got = ::read(fd, text, sizeof text - 1);
        ::close(fd);
        const long ready = got > 0 ? (text[got] = 0, ReadyHugePages(text)) : -1;
        if (ready >= 0)
            whole = std::min(whole, static_cast<std::size_t>(ready) * kHugePage);
    }
    if (whole > 0)
        madvise(block, whole, MADV_HUGEPAGE);
    return block;
}

long LargeBlock::ReadyHugePages(const char *buddyinfo)
{
    // "Node 0, zone   Normal    616   1328 ...": counts of free blocks of order 0, 1, ...
    long pages = -1;
    for (const char *line = buddyinfo; line && *line;) {
        const char *end = std::strchr(line, '\n');
        const std::string text(line, end ? static_cast<std::size_t>(end - line) : std::strlen(line));
        line = end ? end + 1 : nullptr;
        const std::size_t zone = text.find("zone");
        if (zone == std::string::npos)
            continue;
        std::istringstream fields(text.substr(zone + 4));
        std::string name;
        fields >> name;
        pages = std::max(pages, 0L);
        long count = 0;
        for (int order = 0; fields >> count; ++order)
            if (order >= 9 && name != "DMA")
                pages += count << (order - 9);
    }
    return pages;
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
