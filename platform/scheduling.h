// How the scheduler treats the programs on the restart path (daemon,
// service). Their threads sleep nearly always and run for microseconds when
// a process ends or a start is asked for; on a host busy with other work
// each such wake-up would otherwise wait for a busy CPU's time slice to end
// (milliseconds), and a restart crosses several of them.
#pragma once

namespace zq_platform {

// Asks for time slices of `ZQM_TIME_SLICE_US` microseconds (default 100;
// 0 leaves the kernel's default) for the calling process's threads, which
// lets their wake-ups preempt longer-running work on a busy CPU without
// giving them a larger share of it. Threads started afterwards inherit it.
// Only under the normal scheduling policy, and only where the kernel
// supports per-task slices (Linux 6.12); otherwise nothing changes. Call in
// main, before any thread exists.
void RequestShortTimeSlices();

// In a child between clone and exec, async-signal-safe: gives the process
// the kernel's default slices again when RequestShortTimeSlices changed
// them, so that a started program runs as it would have without us.
void RestoreTimeSlicesInChild();

}  // namespace zq_platform
