#include "platform/scheduling.h"

#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace zq_platform {

namespace {

constexpr unsigned kDefaultSliceUs = 100;
// The kernel accepts slices from 0.1 to 100 ms.
constexpr unsigned kShortestSliceUs = 100;
constexpr unsigned kLongestSliceUs = 100'000;

bool gChanged = false;
std::uint64_t gSliceNs = 0;
thread_local bool tRelaxed = false;

unsigned RequestedSliceUs() {
  const char* text = std::getenv("ZQM_TIME_SLICE_US");
  if (text == nullptr || *text == '\0') return kDefaultSliceUs;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (*end != '\0' || value == 0) return 0;
  if (value < kShortestSliceUs) return kShortestSliceUs;
  return value > kLongestSliceUs ? kLongestSliceUs : static_cast<unsigned>(value);
}

}  // namespace

void RequestShortTimeSlices() {
  const unsigned sliceUs = RequestedSliceUs();
  if (sliceUs == 0) return;
  SchedulingAttributes current{};
  if (syscall(SYS_sched_getattr, 0, &current, sizeof current, 0) != 0) return;
  // Real-time or batch scheduling was chosen by whoever started us: kept.
  if (current.policy != SCHED_OTHER) return;
  SchedulingAttributes shorter = current;
  shorter.size = sizeof shorter;
  shorter.runtime = std::uint64_t{sliceUs} * 1000;
  // Refused by kernels without per-task slices: the default stays.
  if (syscall(SYS_sched_setattr, 0, &shorter, 0) != 0) return;
  gChanged = true;
  gSliceNs = shorter.runtime;
}

void RelaxTimeSlice() {
  if (!gChanged || tRelaxed) return;
  tRelaxed = true;
  SetOwnTimeSlice(0);
}

void TakeShortTimeSliceAgain() {
  if (!std::exchange(tRelaxed, false)) return;
  SetOwnTimeSlice(gSliceNs);
}

void RestoreTimeSlicesInChild() {
  if (!gChanged) return;
  // The slice alone, back to the kernel's default (a runtime of 0): the
  // kernel reports the default slice it applies as the runtime too, so
  // what it said before cannot be told from a slice asked for.
  UseDefaultTimeSlice();
}

}  // namespace zq_platform
