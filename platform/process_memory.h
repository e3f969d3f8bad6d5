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

// For a program whose many threads block for days: the C library keeps what
// a thread last freed in a cache of that thread's own (up to seven blocks of
// each size), out of reach of the other threads and of malloc_trim, for as
// long as the thread waits. That cache can only be turned off as the
// program starts (a glibc tunable), so this executes the program again,
// once, with it off; the process id and everything else stay. Call first
// thing in main. Returns when the cache is off already, or when the program
// cannot be executed again (it then runs on with the cache).
void StartWithoutThreadMallocCaches(char** argv);

// For a thread about to wait for a long time: gives the pages of its stack
// below the calling frame (and a page of room) back to the system. Deeper
// calls made before left those pages in use; they return as zero pages if
// the thread goes that deep again.
void ReleaseStackBelowCaller();

// For a program whose work comes in bursts (a start of many instances):
// gives the free pages inside the heap back to the system. Memory freed in
// the middle of the heap stays resident otherwise, as only its top is
// returned by itself. Takes the heap's lock for as long as it walks the free
// blocks (microseconds for a heap of a few MiB).
void ReturnFreeHeapPages();

}  // namespace zq_platform
