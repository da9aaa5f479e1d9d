#pragma once
/*!
 * \brief Stable ascending order for arrays that are sorted but for a few
 * places: photon times of one channel that run backwards here and there
 * (photons of one sync period written out of delay order, a damaged sync
 * counter).
 *
 * The array is walked once as a sequence of runs: a run that does not
 * descend is kept as it is, a run that strictly descends is turned round
 * (strictly, so equal values keep their order). Each run then joins the
 * ordered part before it, and only where the two overlap: the values of the
 * ordered part above the run's first value (found by searching back from its
 * end in growing steps) are merged with the values of the run below the
 * ordered part's last one. A photon out of place by d positions costs about
 * d moves and log d comparisons, an array that already ascends one
 * comparison per value, so the cost grows with the number and the distance
 * of the values out of place rather than with n log n. When the overlaps add
 * up to more than a full sort would cost (a shuffled array), the rest goes
 * to std::stable_sort. Equal values keep their order throughout, as in
 * std::stable_sort, whose result this always equals.
 */
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <iterator>
#include <vector>

namespace NearlySorted {

namespace detail {

/// First index i in [lo, hi) with v < a[i], searched back from hi in growing
/// steps: the cost grows with the log of hi - i.
template <class T, class Less>
std::size_t UpperBoundFromEnd(const T *a, std::size_t lo, std::size_t hi, const T &v, Less less)
{
    std::size_t step = 1, right = hi;
    while (right > lo) {
        const std::size_t left = right - lo > step ? right - step : lo;
        if (!less(v, a[left]))  // a[left] <= v: the bound lies in (left, right]
            return static_cast<std::size_t>(std::upper_bound(a + left + 1, a + right, v, less) - a);
        right = left;
        step *= 2;
    }
    return lo;
}

/// First index i in [lo, hi) with !(a[i] < v), searched forward from lo in growing steps.
template <class T, class Less>
std::size_t LowerBoundFromStart(const T *a, std::size_t lo, std::size_t hi, const T &v, Less less)
{
    std::size_t step = 1, left = lo;
    while (left < hi) {
        const std::size_t right = hi - left > step ? left + step : hi;
        if (!less(a[right - 1], v))  // a[right - 1] >= v: the bound lies in [left, right - 1]
            return static_cast<std::size_t>(std::lower_bound(a + left, a + right - 1, v, less) - a);
        left = right;
        step *= 2;
    }
    return hi;
}

/// Merges the ascending a[lo, mid) and a[mid, hi) stably (the left one first
/// among equals) through \p spare, which takes the shorter of the two.
template <class T, class Less>
void Merge(T *a, std::size_t lo, std::size_t mid, std::size_t hi, std::vector<T> &spare, Less less)
{
    if (mid - lo <= hi - mid) {
        spare.assign(a + lo, a + mid);
        const T *l = spare.data(), *lEnd = l + spare.size();
        const T *r = a + mid, *rEnd = a + hi;
        T *out = a + lo;
        while (l != lEnd && r != rEnd)
            *out++ = less(*r, *l) ? *r++ : *l++;
        std::copy(l, lEnd, out);  // what is left of the right part is in place already
    } else {
        spare.assign(a + mid, a + hi);
        const T *l = a + mid, *lBegin = a + lo;
        const T *r = spare.data() + spare.size(), *rBegin = spare.data();
        T *out = a + hi;
        while (l != lBegin && r != rBegin)
            *--out = less(*(r - 1), *(l - 1)) ? *--l : *--r;
        std::copy_backward(rBegin, r, out);
    }
}

} // namespace detail

/*!
 * \brief Sorts \p a ascending by \p less, stably; fast when \p a is nearly
 * sorted (see above). True when some value came before a smaller one (the
 * array did not ascend), as !std::is_sorted would say.
 */
template <class T, class Less = std::less<T>>
bool Sort(T *a, std::size_t n, Less less = Less())
{
    if (n < 2)
        return false;
    // A full sort costs about n log2 n moves; the merges may spend as much before handing over.
    const double budget = static_cast<double>(n) * (std::log2(static_cast<double>(n)) + 1);
    double spent = 0;
    bool moved = false;
    std::vector<T> spare;
    std::size_t sorted = 1;  // a[0, sorted) ascends
    while (sorted < n) {
        // The next run: ascending, or strictly descending and then turned round.
        std::size_t end = sorted + 1;
        if (end < n && less(a[end], a[end - 1])) {
            while (end < n && less(a[end], a[end - 1]))
                ++end;
            std::reverse(a + sorted, a + end);
            moved = true;
        } else {
            while (end < n && !less(a[end], a[end - 1]))
                ++end;
        }
        if (less(a[sorted], a[sorted - 1])) {
            // Only the overlap moves: the ordered values above the run's first
            // one, and the run's values below the ordered part's last one.
            const std::size_t from = detail::UpperBoundFromEnd(a, 0, sorted, a[sorted], less);
            const std::size_t to = detail::LowerBoundFromStart(a, sorted, end, a[sorted - 1], less);
            detail::Merge(a, from, sorted, to, spare, less);
            moved = true;
            spent += static_cast<double>(to - from);
            if (spent > budget) {
                // a[0, end) ascends now; the rest is sorted on its own and
                // merged behind it, which keeps equal values in their order.
                std::stable_sort(a + end, a + n, less);
                std::inplace_merge(a, a + end, a + n, less);
                return true;
            }
        }
        sorted = end;
    }
    return moved;
}

template <class T, class Allocator, class Less = std::less<T>>
bool Sort(std::vector<T, Allocator> &v, Less less = Less())
{
    return Sort(v.data(), v.size(), less);
}

} // namespace NearlySorted
