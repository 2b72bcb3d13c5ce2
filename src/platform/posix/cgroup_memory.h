#pragma once

// The memory limits of the control groups around a process, as Linux shows them in its cgroup
// file systems (v2, v1, or both side by side). Plain file reading: on a system without them
// nothing is found and nothing is limited.

#include <cstdint>
#include <optional>
#include <string>

/// Bytes the memory cgroups around a process still let it take: the least, over the cgroup it
/// runs in and every ancestor of that cgroup, of the cgroup's limit less what it uses now. A
/// limit on a parent (a systemd slice, the container around a nested one) binds the process as
/// its own does. v2: memory.max and memory.high against memory.current; v1:
/// memory.limit_in_bytes against memory.usage_in_bytes, and the hierarchical limit in
/// memory.stat, which sees ancestors that a container hides. File pages the kernel would drop
/// first (inactive_file) are not counted as used. nullopt where no cgroup sets a limit.
///
/// `root` is where the cgroup file systems are mounted (/sys/fs/cgroup), `self_cgroup` the text
/// of /proc/self/cgroup.
std::optional<std::uint64_t> cgroup_memory_room(
    const std::string& root, const std::string& self_cgroup);
