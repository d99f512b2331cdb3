#include "pool/cpu_count.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

namespace korvanta {
namespace {

std::size_t hardware_threads() {
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1;
}

#if defined(__linux__)

std::size_t quota_to_cpus(double quota, double period) {
    if (!(quota > 0.0) || !(period > 0.0)) return 0;
    return static_cast<std::size_t>(std::ceil(quota / period));
}

// CPU quota of the process's control group, in CPUs (rounded up), or 0 when unlimited or
// unknown. cgroup v2 first ("max 100000" or "quota period" in cpu.max), then v1.
std::size_t cgroup_cpu_limit() {
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

std::size_t affinity_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) != 0) return 0;
    return static_cast<std::size_t>(CPU_COUNT(&set));
}

#endif

}  // namespace

std::size_t available_cpus() {
#if defined(__linux__)
    std::size_t cpus = affinity_cpus();
    if (cpus == 0) cpus = hardware_threads();
    const std::size_t quota = cgroup_cpu_limit();
    if (quota > 0) cpus = std::min(cpus, quota);
    return std::max<std::size_t>(cpus, 1);
#else
    return hardware_threads();
#endif
}

std::size_t configured_threads() {
    if (const char* env = std::getenv("KORVANTA_RS_NUM_THREADS")) {
        char* end = nullptr;
        const long v = std::strtol(env, &end, 10);
        if (end != env && *end == '\0' && v > 0 && v <= 1024) return static_cast<std::size_t>(v);
    }
    return available_cpus();
}

}  // namespace korvanta
