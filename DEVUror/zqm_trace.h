// The middleware's trace: one line per call on standard output,
//
//   2026-12-07 08:40:15.123456 0 custodel[1234/1240] Starting
//
// local time with microseconds, the level, the program, process id and
// thread id, then the text as it was given (never interpreted as a format).
// A line is written by one write(2), so lines from many threads and
// processes sharing one output never interleave.
//
// The environment variable ZQM_TRACE_LEVEL sets the highest level written
// (default 1); it is read once, at the first trace call.
#pragma once

#include <string_view>

namespace zqm_trace {

constexpr int kDefaultLevel = 1;

// Whether lines of `level` are written.
bool Enabled(int level);

// Writes one line of `level` (when enabled). Never throws; a failed write is
// dropped.
void Line(int level, std::string_view text);

// Where lines go instead of standard output, when set: tests hand in a
// function that keeps them. The sink receives every enabled line's level and
// text (without the prefix) and must be safe to call from any thread. Null
// restores standard output.
using Sink = void (*)(int level, std::string_view text);
void SetSink(Sink sink);

}  // namespace zqm_trace
