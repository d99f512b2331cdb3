// How many threads the process may usefully run at once.
#pragma once

#include <cstddef>

namespace korvanta {

/// The CPUs available to the process: its CPU affinity mask, capped by the control group's
/// CPU quota (cgroup v2 `cpu.max`, else v1 `cpu.cfs_quota_us / cpu.cfs_period_us`), where
/// the system has them; otherwise the hardware concurrency. At least 1.
std::size_t available_cpus();

/// KORVANTA_RS_NUM_THREADS when it is a positive integer (at most 1024), else
/// available_cpus(). Reads the environment: callers serialise this with any writer of it.
std::size_t configured_threads();

}  // namespace korvanta
