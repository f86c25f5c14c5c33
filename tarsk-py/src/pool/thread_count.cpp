#include "pool/thread_count.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace tarsk::py::pool {

std::optional<std::uint64_t> parse_count(const char* text) {
    if (text == nullptr) return std::nullopt;
    if (*text == '+') ++text;
    if (*text == '\0') return std::nullopt;
    std::uint64_t value = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return std::nullopt;
        std::uint64_t digit = static_cast<std::uint64_t>(*text - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::uint64_t configured_thread_count() {
    if (auto n = parse_count(std::getenv("RAYON_NUM_THREADS"))) {
        return *n > 0 ? *n : default_thread_count();
    }
    if (auto n = parse_count(std::getenv("RAYON_RS_NUM_CPUS")); n && *n > 0) return *n;
    return default_thread_count();
}

namespace {

// Processors in the affinity mask, growing the mask for big machines.
std::optional<std::uint64_t> affinity_count() {
    for (int cpus = 1024; cpus <= (1 << 20); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) return std::nullopt;
        std::size_t size = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(size, set);
        if (sched_getaffinity(0, size, set) == 0) {
            int count = CPU_COUNT_S(size, set);
            CPU_FREE(set);
            if (count > 0) return static_cast<std::uint64_t>(count);
            return std::nullopt;
        }
        CPU_FREE(set);
        if (errno != EINVAL) return std::nullopt;
    }
    return std::nullopt;
}

std::optional<std::uint64_t> online_count() {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    if (n > 0) return static_cast<std::uint64_t>(n);
    return std::nullopt;
}

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(s);
    while (std::getline(in, part, sep)) parts.push_back(part);
    if (!s.empty() && s.back() == sep) parts.emplace_back();
    return parts;
}

// One cgroup hierarchy as mounted: where it is mounted and which of its
// directories the mount shows at that point.
struct Mount {
    std::string root;
    std::string point;
};

// The mount of the cgroup v2 hierarchy (v1 = false) or of the v1 hierarchy
// that holds the cpu controller (v1 = true).
std::optional<Mount> find_mount(bool v1) {
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        // id parent major:minor root point options [optional...] - fstype source super
        auto dash = line.find(" - ");
        if (dash == std::string::npos) continue;
        std::istringstream head(line.substr(0, dash));
        std::string id, parent, dev, root, point;
        if (!(head >> id >> parent >> dev >> root >> point)) continue;
        std::istringstream tail(line.substr(dash + 3));
        std::string fstype, source, super;
        tail >> fstype >> source >> super;
        if (!v1 && fstype == "cgroup2") return Mount{root, point};
        if (v1 && fstype == "cgroup") {
            for (const auto& opt : split(super, ','))
                if (opt == "cpu") return Mount{root, point};
        }
    }
    return std::nullopt;
}

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::optional<std::uint64_t> quota_count(std::uint64_t quota, std::uint64_t period) {
    if (period == 0) return std::nullopt;
    return std::max<std::uint64_t>(1, quota / period);
}

// Quota of one cgroup directory, if it sets one.
std::optional<std::uint64_t> dir_quota(const std::string& dir, bool v1) {
    if (!v1) {
        auto text = read_file(dir + "/cpu.max");
        if (!text) return std::nullopt;
        std::istringstream in(*text);
        std::string quota, period;
        if (!(in >> quota >> period)) return std::nullopt;
        auto q = parse_count(quota.c_str());
        auto p = parse_count(period.c_str());
        if (!q || !p) return std::nullopt;  // "max": no limit
        return quota_count(*q, *p);
    }
    auto quota_text = read_file(dir + "/cpu.cfs_quota_us");
    auto period_text = read_file(dir + "/cpu.cfs_period_us");
    if (!quota_text || !period_text) return std::nullopt;
    std::string quota, period;
    std::istringstream(*quota_text) >> quota;
    std::istringstream(*period_text) >> period;
    auto q = parse_count(quota.c_str());  // -1: no limit
    auto p = parse_count(period.c_str());
    if (!q || !p) return std::nullopt;
    return quota_count(*q, *p);
}

// The smallest quota on the way from the process's cgroup up to the root of
// the mounted hierarchy.
std::optional<std::uint64_t> cgroup_quota_count() {
    std::ifstream in("/proc/self/cgroup");
    std::string line;
    std::optional<std::string> v2_path, v1_path;
    while (std::getline(in, line)) {
        auto first = line.find(':');
        auto second = line.find(':', first == std::string::npos ? first : first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        std::string id = line.substr(0, first);
        std::string controllers = line.substr(first + 1, second - first - 1);
        std::string path = line.substr(second + 1);
        if (id == "0" && controllers.empty()) {
            v2_path = path;
        } else {
            for (const auto& c : split(controllers, ','))
                if (c == "cpu") v1_path = path;
        }
    }
    std::optional<std::uint64_t> best;
    for (bool v1 : {true, false}) {
        const auto& path = v1 ? v1_path : v2_path;
        if (!path) continue;
        auto mount = find_mount(v1);
        if (!mount) continue;
        // The cgroup path is relative to the hierarchy's root; the mount shows
        // the directory mount->root of it.
        std::string rel = *path;
        if (mount->root != "/") {
            if (rel.compare(0, mount->root.size(), mount->root) != 0) continue;
            rel = rel.substr(mount->root.size());
        }
        while (!rel.empty() && rel.back() == '/') rel.pop_back();
        for (;;) {
            if (auto q = dir_quota(mount->point + rel, v1)) best = best ? std::min(*best, *q) : *q;
            if (rel.empty()) break;
            auto slash = rel.rfind('/');
            rel = slash == std::string::npos ? std::string() : rel.substr(0, slash);
        }
    }
    return best;
}

}  // namespace

std::uint64_t default_thread_count() {
    auto cpus = affinity_count();
    if (!cpus) cpus = online_count();
    if (!cpus) return 1;
    std::uint64_t count = *cpus;
    if (auto quota = cgroup_quota_count()) count = std::min(count, *quota);
    return std::max<std::uint64_t>(count, 1);
}

}  // namespace tarsk::py::pool
