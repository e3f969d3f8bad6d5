// The fixed memory of the project's own long-running programs (daemon,
// service, configuration server): called first thing in main, before any
// thread exists.
#pragma once

namespace zq_platform {

// One malloc arena for every thread of the process: its threads spend their
// time waiting, and an arena per thread would keep pages of its own each.
// Threads started without a stack size of their own (std::thread, and the
// libraries' threads) get kDefaultThreadStackBytes instead of the 8 MiB that
// the process's stack limit would give them.
void KeepProcessMemorySmall();

}  // namespace zq_platform
