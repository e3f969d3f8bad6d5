#include "DEVUror/zqm_trace_writer.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "DEVUror/zqm_file_io.h"
#include "DEVUror/zqm_trace.h"
#include "platform/scheduling.h"

namespace zqm_trace::detail {

namespace {

// Everything the writer shares with the tracing threads. Never destroyed:
// threads may trace while the process exits.
struct Output {
  std::mutex lock;
  std::condition_variable pendingChanged;  // the writer waits for lines
  std::condition_variable written;         // Flush waits for an empty buffer
  std::deque<std::string> pending;
  std::size_t pendingBytes = 0;  // including the line being written
  bool writing = false;
  std::uint64_t linesWritten = 0;  // Flush tells progress from a stuck output
  std::uint64_t lost = 0;
  bool threaded = false;  // a writer thread runs; otherwise lines are written at once
};

// This thread's HeldWakes, and whether a line of it waits for a wake-up.
thread_local unsigned tHolding = 0;
thread_local bool tWakeHeld = false;

Output& TheOutput() {
  static Output* const output = new Output;
  return *output;
}

// Writes `line` whole to standard output; a failed write drops the rest.
void WriteOut(const std::string& line) {
  zqm_io::WriteAll(STDOUT_FILENO, line);  // a trace that cannot be written is lost, not fatal
}

[[noreturn]] void WriterLoop(Output& out) {
  // Lines wait for the threads that trace them to sleep, rather than
  // preempting them.
  zq_platform::UseDefaultTimeSlice();
  std::unique_lock<std::mutex> hold(out.lock);
  for (;;) {
    out.pendingChanged.wait(hold, [&] { return !out.pending.empty(); });
    const std::string line = std::move(out.pending.front());
    out.pending.pop_front();
    out.writing = true;
    hold.unlock();
    WriteOut(line);
    hold.lock();
    out.writing = false;
    out.pendingBytes -= line.size();
    ++out.linesWritten;
    out.written.notify_all();
  }
}

void FlushAtExit() {
  zqm_trace::Flush();
}

// Starts the writer with every signal blocked, so that it never takes a
// signal meant for the program's own handling (and a write to a closed pipe
// fails with EPIPE instead of ending the process).
bool StartWriter(Output& out) {
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  bool started = false;
  try {
    std::thread(WriterLoop, std::ref(out)).detach();
    started = true;
  } catch (...) {
    // No thread: lines are written at once, as the only way left.
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (started) std::atexit(FlushAtExit);
  std::lock_guard<std::mutex> hold(out.lock);
  out.threaded = started;
  return started;
}

std::string LostNotice(std::uint64_t lost) {
  return Prefix(0) + std::to_string(lost) +
         (lost == 1 ? " trace line was lost" : " trace lines were lost") +
         ": standard output was not read\n";
}

std::size_t ReadPendingLimit() {
  const char* text = std::getenv("ZQM_TRACE_BUFFER_BYTES");
  if (text == nullptr || *text == 0) return kPendingLimit;
  char* end = nullptr;
  const unsigned long long bytes = std::strtoull(text, &end, 10);
  if (*end != 0 || bytes < kMinPendingLimit || bytes > kMaxPendingLimit) return kPendingLimit;
  return static_cast<std::size_t>(bytes);
}

// Whether `bytes` more fit in the buffer; with the lock held.
bool Fits(const Output& out, std::size_t bytes) {
  static const std::size_t limit = ReadPendingLimit();
  return out.pendingBytes + bytes <= limit;
}

void Push(Output& out, std::string line) {
  out.pendingBytes += line.size();
  out.pending.push_back(std::move(line));
}

// Puts the count of dropped lines in front of what comes next, once there
// is room for it and `next` bytes after it; with the lock held.
bool NoticeLost(Output& out, std::size_t next) {
  if (out.lost == 0) return true;
  std::string notice = LostNotice(out.lost);
  if (!Fits(out, notice.size() + next)) return false;
  out.lost = 0;
  Push(out, std::move(notice));
  return true;
}

}  // namespace

void Append(std::string line) {
  Output& out = TheOutput();
  static const bool threaded = StartWriter(out);
  std::lock_guard<std::mutex> hold(out.lock);
  if (!threaded) return WriteOut(line);
  if (!NoticeLost(out, line.size()) || !Fits(out, line.size())) {
    ++out.lost;
    return;
  }
  Push(out, std::move(line));
  if (tHolding > 0) {
    tWakeHeld = true;
    return;
  }
  out.pendingChanged.notify_one();
}

bool WaitWritten(std::chrono::milliseconds deadline) {
  Output& out = TheOutput();
  std::unique_lock<std::mutex> hold(out.lock);
  if (!out.threaded) return true;
  const auto allWritten = [&] { return out.pending.empty() && !out.writing; };
  // A writer that still makes progress (a busy machine, a slow reader) is
  // waited for, up to kFlushStretch deadlines in all; one that wrote nothing
  // for a whole deadline is not.
  const auto end = std::chrono::steady_clock::now() + deadline * kFlushStretch;
  for (;;) {
    if (NoticeLost(out, 0)) out.pendingChanged.notify_one();
    const std::uint64_t seen = out.linesWritten;
    const auto until = std::min(std::chrono::steady_clock::now() + deadline, end);
    const bool moved = out.written.wait_until(
        hold, until, [&] { return allWritten() || out.linesWritten != seen; });
    // Lines dropped while the buffer was full are counted before the end:
    // the next round puts the count out, now that there is room for it.
    if (allWritten() && out.lost == 0) return true;
    if (allWritten()) continue;
    if (!moved || std::chrono::steady_clock::now() >= end) return false;
  }
}

}  // namespace zqm_trace::detail

namespace zqm_trace {

HeldWakes::HeldWakes() {
  ++detail::tHolding;
}

HeldWakes::~HeldWakes() {
  if (--detail::tHolding == 0) WakeHeld();
}

void WakeHeld() {
  if (!std::exchange(detail::tWakeHeld, false)) return;
  // The line was pushed under the lock: a writer that has not yet gone to
  // sleep sees it, one that sleeps is woken here.
  detail::TheOutput().pendingChanged.notify_one();
}

}  // namespace zqm_trace
