// The process door's entries (file_door.h), each with the ways it fails, as in file_entries.h.

/// This process's mark.
RUNEL_ENTRY(this_process, ProcessMark())
/// Whether a process with the mark's number runs and, where the system records a start, started
/// then; where the system will not say (another user's process), true.
RUNEL_ENTRY(process_running, bool(const ProcessMark& process), true)
/// Tells the user, on standard error, one line.
RUNEL_ENTRY(say, void(const char* line))
/// Holds back the signals that would end the process, and lets them through again.
RUNEL_ENTRY(hold_signals, void())
RUNEL_ENTRY(release_signals, void())
#undef RUNEL_ENTRY
