#pragma once
#include <functional>
#include <utility>

/*!
 * \brief Marks a command of the window as running for as long as it is in
 * scope.
 *
 * Analyses let pending events run inside their loops, so a click can reach
 * the window while a loop still works on the file and the analysis. The
 * window counts the commands in progress and refuses, while the count is not
 * zero, every command that would replace or free them. When the outermost
 * command ends, \p whenIdle runs (the window frees what it had to keep alive).
 */
class BusyGuard {
public:
    explicit BusyGuard(int &depth, std::function<void()> whenIdle = {})
        : depth_(depth), whenIdle_(std::move(whenIdle))
    {
        ++depth_;
    }
    ~BusyGuard()
    {
        if (--depth_ == 0 && whenIdle_)
            whenIdle_();
    }
    BusyGuard(const BusyGuard &) = delete;
    BusyGuard &operator=(const BusyGuard &) = delete;

private:
    int &depth_;
    std::function<void()> whenIdle_;
};
