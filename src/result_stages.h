#pragma once

// The life of a result written into a regular file, as a few stages and the steps between them.
// Every step the result file takes is one row here, and a step from a stage without a row is a
// fault in the program: docs/result-file.md shows the same table. (A pipe or a device has no
// stages: it takes the bytes as they come.)

#include <cstdint>
#include <iterator>
#include <optional>

enum class Stage {
    /// The result goes into a new file beside the name; the file at the name is as it was.
    beside,
    /// The result is to go into the file at the name, which still holds what it held.
    in_place,
    /// The file at the name holds this run's own bytes: its earlier content is gone.
    written_in_place,
    /// Beside: the whole result is written and on the disk, and has not taken the name yet.
    complete,
    /// The result is at the name.
    committed,
    /// The run failed, and took back what was its own.
    abandoned,
};

enum class Step {
    /// The result fits only once the earlier one is gone: it is written in place instead.
    room_only_in_place,
    /// The first write into the file at the name: its earlier content goes.
    write_in_place,
    /// Every byte is written and synced.
    finish,
    /// The file beside takes the name.
    take_name,
    /// The name cannot be taken (a busy mount, a file system that will not): the complete result
    /// is copied into the file at the name.
    copy_in_place,
    /// A failure: what was the run's own is taken back.
    fail,
};

struct StageChange {
    Stage from;
    Step step;
    Stage to;
};

inline constexpr StageChange kStageChanges[] = {
    { Stage::beside, Step::room_only_in_place, Stage::written_in_place },
    { Stage::beside, Step::finish, Stage::complete },
    { Stage::beside, Step::fail, Stage::abandoned },
    { Stage::in_place, Step::write_in_place, Stage::written_in_place },
    { Stage::in_place, Step::fail, Stage::abandoned },
    { Stage::written_in_place, Step::finish, Stage::committed },
    { Stage::written_in_place, Step::fail, Stage::abandoned },
    { Stage::complete, Step::take_name, Stage::committed },
    { Stage::complete, Step::copy_in_place, Stage::written_in_place },
    { Stage::complete, Step::fail, Stage::abandoned },
};

/// The rows of kStageChanges taken in this process, a bit each: a row no run takes is one the
/// code does not carry out.
inline std::uint32_t stage_rows_taken = 0;

/// The stage `step` leads to from `from`, its row noted as taken; none where the table has no
/// such row.
inline std::optional<Stage> take_step(Stage from, Step step)
{
    for (std::size_t row = 0; row < std::size(kStageChanges); ++row) {
        const StageChange& change = kStageChanges[row];
        if (change.from != from || change.step != step) continue;
        stage_rows_taken |= std::uint32_t { 1 } << row;
        return change.to;
    }
    return std::nullopt;
}
