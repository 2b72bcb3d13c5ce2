// Files that a run killed while it had a name moved aside left at its private name, found by a
// later run through the system's own door in a folder of the test's own.

#include "file_door.h"
#include "moved_aside.h"
#include "program.h"
#include "swapped_door.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

std::string said; // what the run told the user

// This process's mark as a private name ends with it.
std::string own_mark(std::uint64_t started_later)
{
    const ProcessMark self = system_process_door().this_process();
    return std::to_string(self.id) + "-" + std::to_string(self.started + started_later);
}

// No process has this number: Linux gives at most 2^22, Windows only multiples of 4.
const std::string kDeadRun = "2147483646-1";

struct Row {
    const char* name;
    std::function<std::string()> aside; // what follows "result.txt" in the private name
    bool name_taken; // "taken" at result.txt
    std::vector<std::string> left;
    std::string kept; // the file's name where it is kept beside the taken name
};

void PrintTo(const Row& row, std::ostream* out)
{
    *out << row.name;
}

const Row kRows[] = {
    { "ADeadRunsFileIsPutBack", [] { return ".runel-removing-" + kDeadRun; }, false,
        { "result.txt" }, "" },
    { "ANumberGivenAgainIsAnotherRun", [] { return ".runel-removing-" + own_mark(1); }, false,
        { "result.txt" }, "" },
    { "ATemporaryFileGoes", [] { return ".runel-abcdef.runel-removing-" + kDeadRun; }, false, {},
        "" },
    { "ATakenNameKeepsTheFileBesideIt", [] { return ".runel-removing-" + kDeadRun; }, true,
        { "result.txt", "result.txt.not-removed-by-runel-2147483646-1" },
        "result.txt.not-removed-by-runel-2147483646-1" },
    { "ALiveRunsFileStays", [] { return ".runel-removing-" + own_mark(0); }, false,
        { "result.txt.runel-removing-" + own_mark(0) }, "" },
    { "ANameWithoutAWholeMarkStays", [] { return std::string(".runel-removing-12x-1"); }, false,
        { "result.txt.runel-removing-12x-1" }, "" },
};

class MovedAside : public testing::TestWithParam<Row> { };

TEST_P(MovedAside, IsPutBackOnlyWhereItsRunIsDead)
{
    const Row& row = GetParam();
    const FolderDoor& system = system_folder_door();
    if (system.rename_no_replace(system.working_folder, "", "")
        == std::errc::operation_not_supported)
        GTEST_SKIP() << "this system cannot rename without replacing: no name is moved aside";
    TempDir dir;
    const std::string name = (dir / "result.txt").string();
    write_file(name + row.aside(), "aside");
    if (row.name_taken) write_file(name, "taken");
    const SwappedDoor door;
    said.clear();
    door.process.say = [](const char* line) { said += line; };
    put_back_moved_aside(system.working_folder, name);
    EXPECT_EQ(dir.entries(), row.left);
    if (row.kept.empty()) {
        EXPECT_EQ(said, "");
        for (const std::string& left : row.left) EXPECT_EQ(read_file(dir / left), "aside");
    } else {
        EXPECT_EQ(said,
            "a file left aside by a run that was stopped is kept, as " + (dir / row.kept).string());
        EXPECT_EQ(read_file(dir / row.kept), "aside");
        EXPECT_EQ(read_file(name), "taken");
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, MovedAside, testing::ValuesIn(kRows),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
