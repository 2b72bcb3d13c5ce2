// The memory room of the cgroups around a process, read from a cgroup tree laid out in a
// temporary folder as Linux shows it.

#include "posix/cgroup_memory.h"
#include "program.h"

#include <gtest/gtest.h>

#include <utility>

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kMiB = std::uint64_t { 1 } << 20;

std::string mib(std::uint64_t count)
{
    return std::to_string(count * kMiB) + "\n";
}

struct CgroupCase {
    const char* name;
    std::string self_cgroup; // the text of /proc/self/cgroup
    std::vector<std::pair<std::string, std::string>> files; // below the cgroup root
    std::optional<std::uint64_t> room;
};

void PrintTo(const CgroupCase& c, std::ostream* out)
{
    *out << c.name;
}

class CgroupMemoryRoom : public testing::TestWithParam<CgroupCase> { };

TEST_P(CgroupMemoryRoom, IsTheLeastLeftUnderAnyLimitAroundTheProcess)
{
    const CgroupCase& row = GetParam();
    TempDir root;
    for (const auto& [name, text] : row.files) {
        fs::create_directories((root / name).parent_path());
        write_file(root / name, text);
    }
    EXPECT_EQ(cgroup_memory_room(root.path().string(), row.self_cgroup), row.room);
}

constexpr const char* kV1NoLimit = "9223372036854771712\n";

INSTANTIATE_TEST_SUITE_P(Trees, CgroupMemoryRoom,
    testing::Values(
        CgroupCase { "V2ParentTighter", "0::/slice/run\n",
            { { "slice/memory.max", mib(200) }, { "slice/memory.current", mib(50) },
                { "slice/run/memory.max", "max\n" }, { "slice/run/memory.current", mib(40) } },
            150 * kMiB },
        CgroupCase { "V2OwnTighter", "0::/slice/run\n",
            { { "slice/memory.max", mib(900) }, { "slice/memory.current", mib(50) },
                { "slice/run/memory.max", mib(100) }, { "slice/run/memory.current", mib(40) } },
            60 * kMiB },
        CgroupCase { "V2HighBelowMax", "0::/run\n",
            { { "run/memory.max", mib(500) }, { "run/memory.high", mib(300) },
                { "run/memory.current", mib(100) } },
            200 * kMiB },
        CgroupCase { "V2DroppableFilePagesAreNotUse", "0::/run\n",
            { { "run/memory.max", mib(500) }, { "run/memory.current", mib(400) },
                { "run/memory.stat", "anon 104857600\ninactive_file 314572800\n" } },
            400 * kMiB },
        CgroupCase { "V2UsedPastTheLimit", "0::/run\n",
            { { "run/memory.max", mib(100) }, { "run/memory.current", mib(120) } }, 0 },
        CgroupCase { "V2BesideV1AtUnified", "4:memory:/\n0::/run\n",
            { { "unified/run/memory.max", mib(100) }, { "unified/run/memory.current", mib(30) } },
            70 * kMiB },
        CgroupCase { "V2ContainerSeesOnlyItsOwnRoot", "0::/system.slice/box.scope\n",
            { { "memory.max", mib(256) }, { "memory.current", mib(56) } }, 200 * kMiB },
        CgroupCase { "V1Hierarchical", "5:memory:/box/run\n",
            { { "memory/box/run/memory.limit_in_bytes", kV1NoLimit },
                { "memory/box/run/memory.usage_in_bytes", mib(10) },
                { "memory/box/run/memory.stat",
                    "cache 0\nhierarchical_memory_limit " + mib(100)
                        + "total_inactive_file 0\n" } },
            90 * kMiB },
        CgroupCase { "V1ParentTighter", "7:cpu,memory:/box/run\n",
            { { "memory/box/memory.limit_in_bytes", mib(200) },
                { "memory/box/memory.usage_in_bytes", mib(120) },
                { "memory/box/run/memory.limit_in_bytes", mib(250) },
                { "memory/box/run/memory.usage_in_bytes", mib(100) } },
            80 * kMiB },
        CgroupCase { "V1MountedUnderItsControllers", "7:cpu,memory:/run\n",
            { { "cpu,memory/run/memory.limit_in_bytes", mib(64) },
                { "cpu,memory/run/memory.usage_in_bytes", mib(4) } },
            60 * kMiB },
        CgroupCase { "NoLimitAnywhere", "4:memory:/a\n0::/a\n",
            { { "a/memory.max", "max\n" }, { "a/memory.high", "max\n" },
                { "a/memory.current", mib(10) }, { "memory/a/memory.limit_in_bytes", kV1NoLimit },
                { "memory/a/memory.usage_in_bytes", mib(10) } },
            std::nullopt },
        CgroupCase { "MissingFiles", "0::/a/b\n", {}, std::nullopt },
        CgroupCase { "OtherControllersOnly", "3:cpuset:/a\n",
            { { "cpuset/a/memory.limit_in_bytes", mib(1) } }, std::nullopt },
        CgroupCase { "NoCgroups", "", {}, std::nullopt }),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
