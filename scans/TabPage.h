#pragma once
#include <QString>
#include <cstddef>
#include <cstdint>
#include <vector>

class QGridLayout;
class QWidget;

/*!
 * \brief One result tab page: a widget without parent (the tab widget takes
 * it over in AddTab) and the grid layout its plots and viewers go into.
 */
struct TabPage {
    QWidget *page;
    QGridLayout *grid;

    /// A fresh page named \p pageName with a grid named \p layoutName, spacing 6.
    static TabPage Make(const QString &pageName, const QString &layoutName);

    /*!
     * \brief The lifetime histogram of \p channel (0-based) as the \p k-th plot
     * of a two-column grid: channel colour, width 2, logarithmic counts over
     * whole decades, delays in ns.
     */
    void AddLifetimePlot(uint32_t k, uint32_t channel, const std::vector<double> &axis,
                         const std::vector<double> &histogram) const;
};

/// The per-channel array of \p channel, or an empty one when there is none.
template <class T, class Allocator>
const std::vector<T, Allocator> &ChannelEntry(const std::vector<std::vector<T, Allocator>> &perChannel, std::size_t channel)
{
    static const std::vector<T, Allocator> none;
    return channel < perChannel.size() ? perChannel[channel] : none;
}
