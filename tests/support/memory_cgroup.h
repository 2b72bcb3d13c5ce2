#pragma once

// Linux only: a memory limit on a cgroup made by the test below its own, with a cgroup inside it
// for the program under test, so that the limit is its parent's, as a systemd slice or a
// container around a nested one sets it.

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

/// A cgroup limited to `limit_bytes` of memory, holding an unlimited one for the program (its
/// cgroup.procs: ProgramLimits::cgroup_procs); both removed when the object goes. Needs root and
/// a memory controller that the test's own cgroup may make cgroups under (v1's memory hierarchy,
/// or v2 with memory delegated to it); where that fails, made() is false and why_not() says why.
class MemoryCgroup {
public:
    explicit MemoryCgroup(std::uint64_t limit_bytes)
    {
        std::ifstream self("/proc/self/cgroup");
        std::string line;
        std::string limit_file;
        while (std::getline(self, line) && parent_.empty()) {
            const auto first = line.find(':');
            const auto second = line.find(':', first + 1);
            if (first == std::string::npos || second == std::string::npos) continue;
            const std::string controllers = line.substr(first + 1, second - first - 1);
            const std::string own = line.substr(second + 1);
            if (controllers.empty() && delegates_memory("/sys/fs/cgroup" + own)) {
                parent_ = "/sys/fs/cgroup" + own;
                limit_file = "memory.max";
                usage_file_ = "memory.current";
            } else if (controllers == "memory") {
                parent_ = "/sys/fs/cgroup/memory" + own;
                limit_file = "memory.limit_in_bytes";
                usage_file_ = "memory.usage_in_bytes";
            }
        }
        if (parent_.empty()) {
            why_not_ = "no memory controller that this test's cgroup may make cgroups under (v1's "
                       "memory hierarchy, or v2 with memory delegated)";
            return;
        }
        parent_ += "/runel-test-" + std::to_string(::getpid()) + "-" + std::to_string(++made_);
        child_ = parent_ + "/run";
        if (::mkdir(parent_.c_str(), 0755) != 0) {
            why_not_ = "cannot make a cgroup (needs root): " + std::string(std::strerror(errno));
            parent_.clear();
            return;
        }
        limit_file_ = parent_ + "/" + limit_file;
        made_here_
            = write(limit_file_, std::to_string(limit_bytes)) && ::mkdir(child_.c_str(), 0755) == 0;
        if (!made_here_) why_not_ = "cannot limit a cgroup's memory or make one inside it";
    }
    ~MemoryCgroup()
    {
        if (!child_.empty()) ::rmdir(child_.c_str());
        if (!parent_.empty()) ::rmdir(parent_.c_str());
    }
    MemoryCgroup(const MemoryCgroup&) = delete;
    MemoryCgroup& operator=(const MemoryCgroup&) = delete;

    bool made() const { return made_here_; }
    const std::string& why_not() const { return why_not_; }
    /// The file a process writes "0" into to move itself into the inner cgroup.
    std::string procs_file() const { return child_ + "/cgroup.procs"; }
    /// Sets the limit anew; false where the system refuses it (v1 refuses a limit below what
    /// the cgroup uses and cannot reclaim).
    bool set_limit(std::uint64_t bytes) const { return write(limit_file_, std::to_string(bytes)); }
    std::uint64_t limit() const { return number_in(limit_file_); }
    /// What the cgroup uses now.
    std::uint64_t usage() const { return number_in(parent_ + "/" + usage_file_); }
    /// What its processes, in the cgroup inside it, hold of their own (no file pages): v1's
    /// total_rss, v2's anon.
    std::uint64_t anonymous() const
    {
        std::ifstream in(parent_ + "/memory.stat");
        std::string name;
        std::uint64_t value = 0;
        while (in >> name >> value) {
            if (name == "total_rss" || name == "anon") return value;
        }
        return 0;
    }

private:
    static bool write(const std::string& path, const std::string& text)
    {
        std::ofstream out(path);
        out << text;
        out.flush();
        return static_cast<bool>(out);
    }
    static std::uint64_t number_in(const std::string& path)
    {
        std::ifstream in(path);
        std::uint64_t value = 0;
        in >> value;
        return value;
    }
    // v2: the test's cgroup passes the memory controller to cgroups made below it.
    static bool delegates_memory(const std::string& folder)
    {
        std::ifstream in(folder + "/cgroup.subtree_control");
        std::string controller;
        while (in >> controller) {
            if (controller == "memory") return true;
        }
        return false;
    }

    static inline int made_ = 0;
    std::string parent_;
    std::string child_;
    std::string limit_file_;
    std::string usage_file_;
    std::string why_not_;
    bool made_here_ = false;
};
