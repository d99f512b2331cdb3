// The process-wide pool of worker threads behind the parallel gradient.
#pragma once

#include <cstddef>
#include <functional>

namespace korvanta {

/// Runs task(i) exactly once for every i in [0, count) on the pool's workers (the calling
/// thread waits, or helps when it is a worker itself) and returns when all have finished.
/// The first exception thrown by a task is rethrown here after every started task has
/// ended; tasks not yet started are skipped.
/// The pool is created on first use, with one worker per CPU available to the process (affinity
/// mask and cgroup CPU quota) or KORVANTA_RS_NUM_THREADS when that is a positive integer, and
/// is recreated in a child process after fork().
void parallel_for(std::size_t count, const std::function<void(std::size_t)>& task);

}  // namespace korvanta
