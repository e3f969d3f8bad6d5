// The middleware's trace: one line per call on standard output,
//
//   2026-12-07 08:40:15.123456 0 custodel[1234/1240] Starting
//
// local time with microseconds, the level, the program, process id and
// thread id, then the text (never interpreted as a format).
//
// No text can forge a line: Line() escapes every control character of its
// text ("\n", "\r" and "\t" by name, other bytes below 0x20 and 0x7F as
// "\xNN"; other bytes, UTF-8 among them, are kept). Report() is for the one
// kind of entry whose text holds real line breaks (a heading, then an
// exception): its breaks are kept, every continuation line starts with a tab
// (which escaped text never holds), and line breaks at the end of the text
// only end the entry.
//
// Tracing never blocks its caller on the output. A caller formats its line
// and appends it to a bounded buffer in memory; one writer thread per process
// writes the buffer out, one write(2) per line, in order, so lines from many
// threads and processes sharing one output never interleave. When standard
// output is not read and the buffer is full, further lines are dropped and
// counted; once there is room again, the next line is preceded by one line
// of level 0, "N trace lines were lost: standard output was not read". The
// writer sleeps in a kernel wait while nothing is pending.
//
// What is pending is written at exit() (as Flush() waits); a program that
// leaves by _exit() calls Flush() first.
//
// The environment variable ZQM_TRACE_LEVEL sets the highest level written
// (default 1); it is read once, at the first trace call.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zqm_trace {

constexpr int kDefaultLevel = 1;
// Bytes of formatted lines that may wait for the output; beyond it lines
// are dropped (and counted), so a stuck output costs bounded memory. The
// environment variable ZQM_TRACE_BUFFER_BYTES sets another limit between
// the bounds (read once; a value outside them is ignored).
constexpr std::size_t kPendingLimit = 1024 * 1024;
constexpr std::size_t kMinPendingLimit = 1024;
constexpr std::size_t kMaxPendingLimit = std::size_t{1} << 30;
// How long Flush() and exit() wait for the next pending line to be written;
// while lines are being written they wait on, kFlushStretch times that in all.
constexpr std::chrono::milliseconds kFlushDeadline{1000};
constexpr int kFlushStretch = 10;

// Whether lines of `level` are written.
bool Enabled(int level);

// Writes one line of `level` (when enabled), its control characters escaped.
// Never throws and never waits for the output.
void Line(int level, std::string_view text);

// Writes one entry of `level` (when enabled) whose text may hold line
// breaks: see above. Never throws and never waits for the output.
void Report(int level, std::string_view text);

// `seconds` since 1970 as this host's local time, "2026-12-07 08:40:15",
// as lines and messages name a moment.
std::string LocalTime(std::int64_t seconds);

// `text` with its control characters escaped, as Line() writes it.
std::string Escaped(std::string_view text);

// Waits until every line appended before the call has been written: gives
// up when none was written for `deadline`, or after kFlushStretch times
// `deadline` in all. Returns whether all of them were written.
bool Flush(std::chrono::milliseconds deadline = kFlushDeadline);

// While one exists on a thread, the lines that thread traces wake the
// writer only when the thread is about to wait (the middleware's socket
// waits and pauses between connection attempts call WakeHeld; a holder
// calls it before its own waits), or when the last one ends: a thread on a
// hurried path (a restart) does not pay for a wake-up of the writer in the
// middle of it. The lines keep their order; Flush() writes them as ever.
class HeldWakes {
 public:
  HeldWakes();
  ~HeldWakes();
  HeldWakes(const HeldWakes&) = delete;
  HeldWakes& operator=(const HeldWakes&) = delete;
};

// Wakes the writer for the lines this thread has held back (see HeldWakes).
void WakeHeld();

// Where lines go instead of standard output, when set: tests hand in a
// function that keeps them. The sink is called synchronously, by the tracing
// thread, with every enabled line's level and text as it would be written
// (escaped, without the prefix and the line end), and must be safe to call
// from any thread. Null restores standard output.
using Sink = void (*)(int level, std::string_view text);
void SetSink(Sink sink);

}  // namespace zqm_trace
