// How the scheduler treats the programs on the restart path (daemon,
// service). Their threads sleep nearly always and run for microseconds when
// a process ends or a start is asked for; on a host busy with other work
// each such wake-up would otherwise wait for a busy CPU's time slice to end
// (milliseconds), and a restart crosses several of them.
#pragma once

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

namespace zq_platform {

// The kernel's struct sched_attr (sched_setattr(2)); glibc 2.36 has no
// declaration of it.
struct SchedulingAttributes {
  std::uint32_t size;
  std::uint32_t policy;
  std::uint64_t flags;
  std::int32_t nice;
  std::uint32_t priority;
  std::uint64_t runtime;  // under SCHED_OTHER: the slice, ns (set to 0: the default)
  std::uint64_t deadline;
  std::uint64_t period;
  std::uint32_t utilMin;
  std::uint32_t utilMax;
};

// Asks for a time slice of `runtimeNs` for the calling thread (0: the
// kernel's default), keeping its policy and the rest of its attributes.
// Header-only, so that the middleware library uses it without this
// library; async-signal-safe.
inline void SetOwnTimeSlice(std::uint64_t runtimeNs) {
  SchedulingAttributes current{};
  if (syscall(SYS_sched_getattr, 0, &current, sizeof current, 0) != 0) return;
  current.size = sizeof current;
  current.runtime = runtimeNs;
  syscall(SYS_sched_setattr, 0, &current, 0);
}

// Gives the calling thread the kernel's default time slice again. For the
// threads of a program with short slices that are off its restart path (a
// trace writer, a state-file writer): with a slice as short as the others',
// waking one preempted the very thread that woke it, in the middle of a
// restart.
inline void UseDefaultTimeSlice() {
  SetOwnTimeSlice(0);
}

// Asks for time slices of `ZQM_TIME_SLICE_US` microseconds (default 100;
// 0 leaves the kernel's default) for the calling process's threads, which
// lets their wake-ups preempt longer-running work on a busy CPU without
// giving them a larger share of it. Threads started afterwards inherit it.
// Only under the normal scheduling policy, and only where the kernel
// supports per-task slices (Linux 6.12); otherwise nothing changes. Call in
// main, before any thread exists.
void RequestShortTimeSlices();

// For a thread that waits for an answer it is in no hurry for: from here
// until TakeShortTimeSliceAgain it runs with the kernel's default slice
// when RequestShortTimeSlices gave it a short one. A wake-up with a short
// slice preempts the CPU's current task at once, and the answer a watcher
// waits for comes when the instance it asked for has just been started,
// often on the same CPU.
void RelaxTimeSlice();

// Gives the calling thread its short slice again when RelaxTimeSlice took
// it away; otherwise nothing changes.
void TakeShortTimeSliceAgain();

// In a child between clone and exec, async-signal-safe: gives the process
// the kernel's default slices again when RequestShortTimeSlices changed
// them, so that a started program runs as it would have without us.
void RestoreTimeSlicesInChild();

}  // namespace zq_platform
