#include "pool/pool.hpp"

#include <algorithm>
#include <thread>

#include "pool/cpu_count.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#endif

namespace korvanta {

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

void Pool::submit(std::shared_ptr<Job> job, std::size_t helpers) {
    if (workers_ == 0 || helpers == 0) return;
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(job));
    for (std::size_t i = 0; i < helpers && i < workers_; ++i) available_.notify_one();
}

void Pool::withdraw(const std::shared_ptr<Job>& job) {
    std::lock_guard lock(mutex_);
    const auto at = std::find(queue_.begin(), queue_.end(), job);
    if (at != queue_.end()) queue_.erase(at);
}

void Pool::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        available_.wait(lock, [&] { return !queue_.empty(); });
        std::shared_ptr<Job> job = queue_.front();
        if (job->exhausted()) {
            queue_.pop_front();
            continue;
        }
        lock.unlock();
        job->help();
        job.reset();  // the last reference may go here, outside the lock
        lock.lock();
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
