#pragma once
/*!
 * \brief Storage for the large per-photon and per-pixel arrays of the analyses.
 *
 * Two things make a fresh array of tens or hundreds of MB slow on these
 * machines, far slower than reading the measurement itself: every 4 KiB page
 * faults on its first touch, and std::vector fills the whole array with zeros
 * before the analysis overwrites it. LargeArrayAllocator places blocks of
 * 4 MiB and more on 2 MiB boundaries and asks the kernel to back them with
 * huge pages (one fault per 2 MiB instead of 512), and a resize without a
 * value leaves the new elements uninitialised, so an array sized from the
 * record scan's counts is touched only where it is written. assign(n, value)
 * and resize(n, value) still fill as usual.
 */
#include <cstddef>
#include <new>
#include <thread>
#include <utility>
#include <vector>

namespace LargeBlock {
/// \p bytes of storage; huge-page backed when the block is large.
void *Allocate(std::size_t bytes);
/// Frees a block of \p bytes from Allocate.
void Free(void *block, std::size_t bytes) noexcept;

/*!
 * \brief Free 2 MiB blocks the kernel holds ready, from the text of
 * /proc/buddyinfo (free blocks per zone and order, order 9 being 2 MiB);
 * -1 when the text has no zone line. Blocks of the DMA zone do not count.
 *
 * A huge page that is not free at once is made by compacting memory, and
 * with the kernel's usual setting the faulting thread waits for that
 * (tenths of a second on a machine whose memory is fragmented). Allocate
 * asks for huge pages only as far as free ones are ready: the rest of a
 * block keeps small pages, which never wait.
 */
long ReadyHugePages(const char *buddyinfo);

/*!
 * \brief Faults in fresh large blocks on a second thread while the caller
 * fills them.
 *
 * The kernel must zero every fresh page on its first touch; for the hundreds
 * of MB of photon times of a large file that costs as much as a good part of
 * the pass that writes them. A block given here is faulted in (never written:
 * its contents are whatever the caller writes, before or after) by another
 * thread, a few MB of each block in turn, so it keeps ahead of a caller that
 * writes them all from the start. Only for blocks the caller will write
 * completely: a populated page is resident whether it is written or not.
 * Waits for that thread when destroyed; on a kernel without the request, or
 * when no thread can be started, the caller faults its pages in as before.
 */
class Populate {
public:
    Populate() = default;
    ~Populate();
    Populate(const Populate &) = delete;
    Populate &operator=(const Populate &) = delete;

    /// Adds a block from Allocate of \p bytes (smaller blocks are ignored).
    void Add(void *block, std::size_t bytes);
    /// Starts faulting in the blocks added so far.
    void Start();
    /// Waits until the thread has finished.
    void Wait();

private:
    struct Range {
        char *begin;
        std::size_t bytes;
    };
    std::vector<Range> ranges;
    std::thread worker;
};
} // namespace LargeBlock

template <class T>
class LargeArrayAllocator {
public:
    using value_type = T;

    LargeArrayAllocator() noexcept = default;
    template <class U>
    LargeArrayAllocator(const LargeArrayAllocator<U> &) noexcept {}

    T *allocate(std::size_t n)
    {
        if (n > static_cast<std::size_t>(-1) / sizeof(T))
            throw std::bad_array_new_length();
        return static_cast<T *>(LargeBlock::Allocate(n * sizeof(T)));
    }
    void deallocate(T *p, std::size_t n) noexcept { LargeBlock::Free(p, n * sizeof(T)); }

    /// Default-initialises: no zeros written for numbers.
    template <class U>
    void construct(U *p) noexcept(noexcept(::new (static_cast<void *>(p)) U))
    {
        ::new (static_cast<void *>(p)) U;
    }
    template <class U, class... Args>
    void construct(U *p, Args &&...args)
    {
        ::new (static_cast<void *>(p)) U(std::forward<Args>(args)...);
    }

    template <class U>
    bool operator==(const LargeArrayAllocator<U> &) const noexcept { return true; }
    template <class U>
    bool operator!=(const LargeArrayAllocator<U> &) const noexcept { return false; }
};

/// A std::vector on LargeArrayAllocator.
template <class T>
using LargeArray = std::vector<T, LargeArrayAllocator<T>>;
