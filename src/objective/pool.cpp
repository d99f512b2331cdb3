#include "objective/pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace korvanta {
namespace {

// CPU quota of the process's control group, in CPUs (rounded up), or 0 when unlimited or
// unknown. cgroup v2 first (cpu.max: "max 100000" or "quota period"), then v1.
std::size_t cgroup_cpu_limit() {
    auto quota_to_cpus = [](double quota, double period) -> std::size_t {
        if (!(quota > 0.0) || !(period > 0.0)) return 0;
        return static_cast<std::size_t>(std::ceil(quota / period));
    };
    std::string v2_path;
    {
        std::ifstream cg("/proc/self/cgroup");
        std::string line;
        while (std::getline(cg, line)) {
            if (line.rfind("0::", 0) == 0) v2_path = line.substr(3);
        }
    }
    std::vector<std::string> v2_files;
    if (!v2_path.empty() && v2_path != "/") v2_files.push_back("/sys/fs/cgroup" + v2_path + "/cpu.max");
    v2_files.push_back("/sys/fs/cgroup/cpu.max");
    for (const std::string& file : v2_files) {
        std::ifstream in(file);
        std::string quota;
        double period = 0.0;
        if (in >> quota >> period) {
            if (quota == "max") return 0;
            return quota_to_cpus(std::atof(quota.c_str()), period);
        }
    }
    for (const char* dir : {"/sys/fs/cgroup/cpu/", "/sys/fs/cgroup/cpu,cpuacct/"}) {
        std::ifstream q(std::string(dir) + "cpu.cfs_quota_us");
        std::ifstream p(std::string(dir) + "cpu.cfs_period_us");
        double quota = 0.0, period = 0.0;
        if (q >> quota && p >> period) return quota_to_cpus(quota, period);
    }
    return 0;
}

std::size_t available_cpus() {
    if (const char* env = std::getenv("KORVANTA_RS_NUM_THREADS")) {
        char* end = nullptr;
        const long v = std::strtol(env, &end, 10);
        if (end != env && *end == '\0' && v > 0 && v <= 1024) return static_cast<std::size_t>(v);
    }
    std::size_t cpus = 0;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) cpus = static_cast<std::size_t>(CPU_COUNT(&set));
    if (cpus == 0) cpus = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t quota = cgroup_cpu_limit();
    if (quota > 0) cpus = std::min(cpus, quota);
    return std::max<std::size_t>(cpus, 1);
}

thread_local bool t_is_worker = false;  // set on the pool's own threads

struct Job {
    const std::function<void(std::size_t)>* task;
    std::size_t count;
    std::size_t next = 0;           ///< next index to hand out (pool mutex)
    std::size_t done = 0;           ///< indices finished or skipped (pool mutex)
    std::exception_ptr error;       ///< first failure (pool mutex)
    std::condition_variable finished;
};

class Pool {
public:
    explicit Pool(std::size_t workers) {
        threads_.reserve(workers);
        for (std::size_t i = 0; i < workers; ++i) {
            threads_.emplace_back([this] { work(); });
            threads_.back().detach();  // the pool lives until the process ends
        }
    }

    void run(std::size_t count, const std::function<void(std::size_t)>& task) {
        Job job;
        job.task = &task;
        job.count = count;
        std::unique_lock lock(mutex_);
        queue_.push_back(&job);
        available_.notify_all();
        // The calling thread blocks while the workers take the job, unless it is one of the
        // workers itself (a nested call): then it works on the job too, so that the job
        // always progresses even when every worker is busy.
        if (t_is_worker) {
            while (job.next < job.count) {
                const std::size_t i = take(&job);
                lock.unlock();
                execute(&job, i, lock);
            }
        }
        job.finished.wait(lock, [&] { return job.done == job.count; });
        if (job.error) std::rethrow_exception(job.error);
    }

private:
    // Hands out the next index of `job` (pool mutex held); a fully handed-out job leaves the queue.
    std::size_t take(Job* job) {
        const std::size_t i = job->next++;
        if (job->next == job->count) queue_.erase(std::find(queue_.begin(), queue_.end(), job));
        return i;
    }

    // Runs one index with the mutex released; returns with it held again.
    void execute(Job* job, std::size_t i, std::unique_lock<std::mutex>& lock) {
        std::exception_ptr error;
        bool skip;
        {
            std::lock_guard guard(mutex_);
            skip = static_cast<bool>(job->error);
        }
        if (!skip) {
            try {
                (*job->task)(i);
            } catch (...) {
                error = std::current_exception();
            }
        }
        lock.lock();
        if (error && !job->error) job->error = error;
        if (++job->done == job->count) job->finished.notify_all();
    }

    void work() {
        t_is_worker = true;
        std::unique_lock lock(mutex_);
        for (;;) {
            available_.wait(lock, [&] { return !queue_.empty(); });
            Job* job = queue_.front();
            const std::size_t i = take(job);
            lock.unlock();
            execute(job, i, lock);
        }
    }

    std::mutex mutex_;
    std::condition_variable available_;
    std::deque<Job*> queue_;
    std::vector<std::thread> threads_;
};

// The pool pointer is guarded by `g_create`, which fork() handlers hold across the fork so
// the child inherits it unlocked. The child cannot use its parent's workers (only the forking
// thread survives), so it abandons that pool, deliberately leaked, and makes its own on first use.
std::mutex g_create;
Pool* g_pool = nullptr;
bool g_atfork_registered = false;

void before_fork() { g_create.lock(); }
void after_fork_parent() { g_create.unlock(); }
void after_fork_child() {
    g_pool = nullptr;
    g_create.unlock();
}

Pool& pool() {
    std::lock_guard guard(g_create);
    if (!g_atfork_registered) {
        pthread_atfork(before_fork, after_fork_parent, after_fork_child);
        g_atfork_registered = true;
    }
    if (g_pool == nullptr) g_pool = new Pool(available_cpus());
    return *g_pool;
}

}  // namespace

void parallel_for(std::size_t count, const std::function<void(std::size_t)>& task) {
    if (count == 0) return;
    pool().run(count, task);
}

}  // namespace korvanta
