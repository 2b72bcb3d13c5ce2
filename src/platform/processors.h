#pragma once

/// Processors this process may run on: fewer than the machine has where it is pinned to some
/// (taskset, a container's CPU set, a job's affinity), so that threads are not started only to
/// take turns on one core. At least 1.
unsigned usable_processors();
