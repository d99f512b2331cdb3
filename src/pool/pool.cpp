#include "pool/pool.hpp"

#include <algorithm>
#include <exception>
#include <thread>

#include "pool/cpu_count.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#endif

namespace korvanta {

struct Pool::Job {
    const std::function<void(std::size_t)>* task;
    std::size_t count;
    std::size_t next = 0;      ///< next index to hand out (pool mutex)
    std::size_t done = 0;      ///< indices finished or skipped (pool mutex)
    std::exception_ptr error;  ///< first failure (pool mutex)
    std::condition_variable finished;
};

Pool::Pool(std::size_t workers) {
    for (std::size_t i = 0; i < workers; ++i) {
        try {
            std::thread([this] { work(); }).detach();  // the pool lives until the process ends
        } catch (...) {
            break;  // no more threads: keep those that started
        }
        ++workers_;
    }
}

void Pool::run(std::size_t count, const std::function<void(std::size_t)>& task) {
    Job job;
    job.task = &task;
    job.count = count;
    std::unique_lock lock(mutex_);
    if (workers_ > 0 && count > 1) {
        queue_.push_back(&job);
        available_.notify_all();
    }
    while (job.next < job.count) execute(job, take(job), lock);
    job.finished.wait(lock, [&] { return job.done == job.count; });
    if (job.error) std::rethrow_exception(job.error);
}

// Hands out the next index of `job` (pool mutex held); a fully handed-out job leaves the queue.
std::size_t Pool::take(Job& job) {
    const std::size_t i = job.next++;
    if (job.next == job.count) {
        const auto at = std::find(queue_.begin(), queue_.end(), &job);
        if (at != queue_.end()) queue_.erase(at);
    }
    return i;
}

// Runs one index with the mutex released (skipped once the job has failed); returns with it
// held again.
void Pool::execute(Job& job, std::size_t i, std::unique_lock<std::mutex>& lock) {
    const bool skip = static_cast<bool>(job.error);
    lock.unlock();
    std::exception_ptr error;
    if (!skip) {
        try {
            (*job.task)(i);
        } catch (...) {
            error = std::current_exception();
        }
    }
    lock.lock();
    if (error && !job.error) job.error = error;
    if (++job.done == job.count) job.finished.notify_all();
}

void Pool::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        available_.wait(lock, [&] { return !queue_.empty(); });
        Job& job = *queue_.front();
        execute(job, take(job), lock);
    }
}

namespace {

// The pool pointer is guarded by `g_create`, which fork() handlers hold across the fork so
// that the child inherits it unlocked. The child cannot use its parent's workers (only the
// forking thread survives), so it abandons that pool, deliberately leaked, and makes its own
// on first use.
std::mutex g_create;
Pool* g_pool = nullptr;

#if defined(__unix__) || defined(__APPLE__)
void before_fork() { g_create.lock(); }
void after_fork_parent() { g_create.unlock(); }
void after_fork_child() {
    g_pool = nullptr;
    g_create.unlock();
}
#endif

}  // namespace

Pool& shared_pool() {
    std::lock_guard guard(g_create);
#if defined(__unix__) || defined(__APPLE__)
    static const bool registered = pthread_atfork(before_fork, after_fork_parent, after_fork_child) == 0;
    (void)registered;
#endif
    if (g_pool == nullptr) g_pool = new Pool(configured_threads() - 1);
    return *g_pool;
}

}  // namespace korvanta
