#include "cgroup_memory.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

// v1 writes "no limit" as a number near 2^63; nothing real comes near this.
constexpr std::uint64_t kNoLimit = std::uint64_t { 1 } << 60;

// The number a one-value file such as memory.max holds; nullopt when the file is absent or holds
// "max".
std::optional<std::uint64_t> number_in(const std::string& path)
{
    std::ifstream in(path);
    std::uint64_t value = 0;
    if (!(in >> value)) return std::nullopt;
    return value;
}

// The value of `key` in a memory.stat file; nullopt if absent.
std::optional<std::uint64_t> stat_value(const std::string& path, const std::string& key)
{
    std::ifstream in(path);
    std::string name;
    std::uint64_t value = 0;
    while (in >> name >> value) {
        if (name == key) return value;
    }
    return std::nullopt;
}

// The least room found so far: where `limit` binds, what it leaves beside `used` counts too.
void bound(
    std::optional<std::uint64_t>& least, std::optional<std::uint64_t> limit, std::uint64_t used)
{
    if (!limit || *limit >= kNoLimit) return;
    const std::uint64_t left = *limit > used ? *limit - used : 0;
    least = std::min(least.value_or(left), left);
}

// The folder of the cgroup at `group` below `base`, then of each ancestor up to `base` itself.
// Inside a container the process's path may name folders its view lacks: the walk still ends at
// the root it sees.
std::vector<std::string> cgroup_and_ancestors(const std::string& base, std::string group)
{
    std::vector<std::string> folders;
    for (;;) {
        while (!group.empty() && group.back() == '/') group.pop_back();
        folders.push_back(base + group);
        if (group.empty()) return folders;
        group.erase(group.rfind('/') == std::string::npos ? 0 : group.rfind('/'));
    }
}

// What a cgroup uses, less the file pages it would give up first.
std::uint64_t used_in(const std::string& folder, const char* usage_file, const char* inactive_key)
{
    const std::uint64_t usage = number_in(folder + "/" + usage_file).value_or(0);
    const std::uint64_t inactive = stat_value(folder + "/memory.stat", inactive_key).value_or(0);
    return usage > inactive ? usage - inactive : 0;
}

void bound_by_v2(
    std::optional<std::uint64_t>& room, const std::string& base, const std::string& group)
{
    for (const std::string& folder : cgroup_and_ancestors(base, group)) {
        const std::uint64_t used = used_in(folder, "memory.current", "inactive_file");
        bound(room, number_in(folder + "/memory.max"), used);
        // Past memory.high the kernel reclaims and stalls the process instead of killing it: a
        // run there would crawl.
        bound(room, number_in(folder + "/memory.high"), used);
    }
}

void bound_by_v1(
    std::optional<std::uint64_t>& room, const std::string& base, const std::string& group)
{
    bool nearest = true;
    for (const std::string& folder : cgroup_and_ancestors(base, group)) {
        const std::string stat = folder + "/memory.stat";
        const std::uint64_t used = used_in(folder, "memory.usage_in_bytes", "total_inactive_file");
        bound(room, number_in(folder + "/memory.limit_in_bytes"), used);
        // The nearest cgroup's hierarchical limit is the least of its ancestors', those hidden
        // from view too.
        if (nearest && number_in(folder + "/memory.usage_in_bytes")) {
            bound(room, stat_value(stat, "hierarchical_memory_limit"), used);
            nearest = false;
        }
    }
}

bool names_memory(const std::string& controllers)
{
    std::istringstream list(controllers);
    std::string name;
    while (std::getline(list, name, ',')) {
        if (name == "memory") return true;
    }
    return false;
}

} // namespace

std::optional<std::uint64_t> cgroup_memory_room(
    const std::string& root, const std::string& self_cgroup)
{
    std::optional<std::uint64_t> room;
    std::istringstream lines(self_cgroup);
    std::string line;
    // Each line: hierarchy id, controllers, path ("0::/path" for v2).
    while (std::getline(lines, line)) {
        const std::string::size_type first = line.find(':');
        const std::string::size_type second
            = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string group = line.substr(second + 1);
        if (line.compare(0, first, "0") == 0 && controllers.empty()) {
            // v2 alone, or beside v1 at "unified".
            bound_by_v2(room, root, group);
            bound_by_v2(room, root + "/unified", group);
        } else if (names_memory(controllers)) {
            bound_by_v1(room, root + "/memory", group);
            // Where the hierarchy is mounted under all its controllers' names ("cpu,memory").
            // (Built in steps: GCC 12 warns falsely of overlapping copies in `a + "/" + b`.)
            if (controllers != "memory") {
                std::string mounted = root;
                mounted += '/';
                mounted += controllers;
                bound_by_v1(room, mounted, group);
            }
        }
    }
    return room;
}
