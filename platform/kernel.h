// The kernel-object layer: the handful of Windows kernel calls through which
// the service waits on events, threads and processes, implemented on Linux.
//
// A process handle is a pidfd; events and thread handles keep their state
// in memory and wake the threads that wait for them with a signal (see
// thread_wake.h), so that they cost no descriptor. A wait is one ppoll(2), so
// a waiting thread costs nothing until the kernel wakes it.
//
// A HANDLE is an entry in a process-wide handle table (index plus generation),
// never a raw pointer: a closed or made-up handle makes the call fail with
// ERROR_INVALID_HANDLE instead of touching freed memory. All calls are safe
// from any thread. Every descriptor the layer opens is close-on-exec.
#pragma once

#include <cstdint>

using DWORD = std::uint32_t;
using BOOL = int;
using HANDLE = void*;
using LPCWSTR = const wchar_t*;
using LPSECURITY_ATTRIBUTES = void*;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
constexpr DWORD STILL_ACTIVE = 259;
constexpr DWORD SYNCHRONIZE = 0x00100000u;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

// Error codes reported by GetLastError().
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_NOT_FOUND = 1168;

// Creates an unnamed event. A manual-reset event stays signalled until
// ResetEvent; an auto-reset event is unsignalled again by the one wait that
// it releases. Security attributes are ignored; a non-null name fails with
// ERROR_INVALID_PARAMETER (named events are not supported). Returns null on
// failure (GetLastError tells why).
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                    LPCWSTR name);

// Signals / unsignals an event. FALSE for a handle that is not an event.
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// Waits until the object is signalled or `milliseconds` pass (INFINITE: no
// limit). Returns WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

// Waits until any one of `count` objects (1 to MAXIMUM_WAIT_OBJECTS) is
// signalled. Returns WAIT_OBJECT_0 + the lowest index among the signalled
// handles, WAIT_TIMEOUT, or WAIT_FAILED (bad handle or count; waitAll TRUE is
// not supported and fails with ERROR_INVALID_PARAMETER). Of auto-reset events
// only the one reported is consumed. Interrupted system calls are resumed with
// the remaining time.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);

// Opens any process of this process's PID namespace, child or not, for
// waiting: the handle is signalled once the process has ended. `access` must
// be SYNCHRONIZE and `inherit` FALSE. Returns null when there is no such
// process (GetLastError: ERROR_INVALID_PARAMETER, as on Windows) or on
// another failure.
HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId);

// Starts a thread running `proc(arg)`. `stackSize` 0 selects the layer's
// modest default (kDefaultThreadStackBytes); `initflag` must be 0. Stores the
// thread's kernel id (gettid) in `*threadId` when given. Returns the thread
// handle, or 0 on failure. The handle is signalled when `proc` has returned;
// its exit code is then proc's result.
using ZQ_ThreadProc = unsigned (*)(void*);
std::uintptr_t _beginthreadex(void* security, unsigned stackSize, ZQ_ThreadProc proc, void* arg,
                              unsigned initflag, unsigned* threadId);

// STILL_ACTIVE while the thread runs, then its exit code. FALSE for a handle
// that is not a thread handle.
BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode);

// Closes any handle of the layer. Closing a thread handle does not stop the
// thread; it releases its own resources when it returns.
BOOL CloseHandle(HANDLE handle);

// Sleeps the calling thread for `milliseconds` (resumed after signals).
void Sleep(DWORD milliseconds);

// The error of the calling thread's last failed call of this layer.
DWORD GetLastError();

// Sets the calling thread's last error; callers clear it before a call whose
// failure they want to tell apart from an earlier one.
void SetLastError(DWORD error);

// Default stack of threads started with stackSize 0: enough for the watcher
// threads' RPC calls and packing, small enough for a thousand of them.
#if defined(__SANITIZE_ADDRESS__)
constexpr unsigned kDefaultThreadStackBytes = 1024 * 1024;
#else
constexpr unsigned kDefaultThreadStackBytes = 256 * 1024;
#endif
