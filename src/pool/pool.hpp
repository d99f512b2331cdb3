// The process-wide pool of worker threads behind the parallel gradient.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace korvanta {

/// Worker threads that run the indices of a job together with the thread that submits it.
class Pool {
public:
    /// Starts up to `workers` threads; if the system refuses one, the pool keeps those that
    /// started (possibly none: then every job runs on its caller alone).
    explicit Pool(std::size_t workers);
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    /// Number of worker threads running.
    std::size_t workers() const { return workers_; }

    /// Runs task(i) exactly once for every i in [0, count): the calling thread takes indices
    /// too, and returns when all have finished. The first exception thrown by a task is
    /// rethrown here after every started task has ended; indices not yet started are skipped.
    void run(std::size_t count, const std::function<void(std::size_t)>& task);

private:
    struct Job;
    std::size_t take(Job& job);
    void execute(Job& job, std::size_t i, std::unique_lock<std::mutex>& lock);
    void work();

    std::mutex mutex_;
    std::condition_variable available_;
    std::deque<Job*> queue_;  ///< jobs with indices not yet handed out
    std::size_t workers_ = 0;
};

/// The process's pool, created on first use with configured_threads() − 1 workers (the
/// calling thread is the remaining one), and created anew in a child process after fork().
/// Reads the environment on first use: callers serialise that with any writer of it.
Pool& shared_pool();

}  // namespace korvanta
