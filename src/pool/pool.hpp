// The process-wide pool of worker threads behind the parallel gradient.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>

namespace korvanta {

/// Work that pool threads can help with. A job owns everything its helpers read, so that a
/// helper that is late (descheduled on a busy machine) never touches memory of a caller
/// that has already moved on.
class Job {
public:
    virtual ~Job() = default;
    /// Called on a worker thread; works on the job until nothing is left to take.
    virtual void help() noexcept = 0;
    /// Whether there is nothing left for a helper to take.
    virtual bool exhausted() const noexcept = 0;
};

/// Worker threads that help with submitted jobs. The submitting thread works on its job
/// itself; the workers only add to it.
class Pool {
public:
    /// Starts up to `workers` threads; if the system refuses one, the pool keeps those that
    /// started (possibly none: then every job is done by its caller alone).
    explicit Pool(std::size_t workers);
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    /// Number of worker threads running.
    std::size_t workers() const { return workers_; }

    /// Offers `job` to the workers and wakes up to `helpers` of them. Returns at once.
    void submit(std::shared_ptr<Job> job, std::size_t helpers);

    /// Takes `job` off the offer (idempotent); workers already helping go on until it is
    /// exhausted for them.
    void withdraw(const std::shared_ptr<Job>& job);

private:
    void work();

    std::mutex mutex_;
    std::condition_variable available_;
    std::deque<std::shared_ptr<Job>> queue_;  ///< jobs on offer
    std::size_t workers_ = 0;
};

/// The process's pool, created on first use with configured_threads() − 1 workers (the
/// calling thread is the remaining one), and created anew in a child process after fork().
/// Reads the environment on first use: callers serialise that with any writer of it.
Pool& shared_pool();

}  // namespace korvanta
