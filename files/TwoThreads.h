#pragma once
/*!
 * \brief Independent jobs of one step split over two threads, as the photon
 * pass splits its frames: the step returns when every job has run.
 */
#include <cstddef>
#include <exception>
#include <system_error>
#include <thread>

/*!
 * \brief Calls job(k) for k = 0 .. n - 1: with \p twoThreads and two jobs or
 * more, the second half of them in one more thread and the first half in
 * this one; all in this thread when no thread can be had. Jobs must not
 * touch what another job touches. An exception a job throws in the other
 * thread is thrown again here once both halves have ended.
 */
template <class Job>
void RunInTwoThreads(std::size_t n, bool twoThreads, Job job)
{
    std::size_t half = twoThreads && n >= 2 ? (n + 1) / 2 : n;
    std::exception_ptr failure;
    std::thread second;
    if (half < n) {
        try {
            second = std::thread([&job, &failure, half, n] {
                try {
                    for (std::size_t k = half; k < n; ++k)
                        job(k);
                } catch (...) {
                    failure = std::current_exception();
                }
            });
        } catch (const std::system_error &) {
            half = n;  // no thread to be had: every job here
        }
    }
    try {
        for (std::size_t k = 0; k < half; ++k)
            job(k);
    } catch (...) {
        if (second.joinable())
            second.join();
        throw;
    }
    if (second.joinable())
        second.join();
    if (failure)
        std::rethrow_exception(failure);
}

/*!
 * \brief One job run in another thread while this one goes on, for work
 * that may be done ahead (memory made ready for a later step): Wait, Start
 * and the destructor return once it has run. When no thread can be had the
 * job runs at once, in this thread. The job must not throw.
 */
class JobBeside {
public:
    JobBeside() = default;
    ~JobBeside() { Wait(); }
    JobBeside(const JobBeside &) = delete;
    JobBeside &operator=(const JobBeside &) = delete;

    template <class Job>
    void Start(Job job)
    {
        Wait();
        try {
            worker = std::thread(job);  // a copy: the job stays whole for the fallback
        } catch (const std::system_error &) {
            job();
        }
    }
    void Wait()
    {
        if (worker.joinable())
            worker.join();
    }

private:
    std::thread worker;
};
