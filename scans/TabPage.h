#pragma once
#include <QString>
#include <cstddef>
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
};

/// The per-channel array of \p channel, or an empty one when there is none.
template <class T, class Allocator>
const std::vector<T, Allocator> &ChannelEntry(const std::vector<std::vector<T, Allocator>> &perChannel, std::size_t channel)
{
    static const std::vector<T, Allocator> none;
    return channel < perChannel.size() ? perChannel[channel] : none;
}
