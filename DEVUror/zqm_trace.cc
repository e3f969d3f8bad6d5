#include "DEVUror/zqm_trace.h"

#include <errno.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>

extern char* program_invocation_short_name;

namespace zqm_trace {

namespace {

int ReadLevel() {
  const char* text = std::getenv("ZQM_TRACE_LEVEL");
  if (text == nullptr || *text == 0) return kDefaultLevel;
  char* end = nullptr;
  const long level = std::strtol(text, &end, 10);
  return (*end == 0) ? static_cast<int>(level) : kDefaultLevel;
}

int Level() {
  static const int level = ReadLevel();
  return level;
}

std::string Prefix(int level) {
  timeval now{};
  gettimeofday(&now, nullptr);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char stamp[64];
  const std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  char rest[160];
  std::snprintf(rest, sizeof rest, ".%06ld %d %s[%d/%ld] ", static_cast<long>(now.tv_usec), level,
                program_invocation_short_name, static_cast<int>(getpid()),
                static_cast<long>(syscall(SYS_gettid)));
  return std::string(stamp, n) + rest;
}

void WriteAll(const std::string& line) {
  // Lines longer than a pipe's atomic size can be split by the kernel;
  // the lock keeps them whole among this process's threads.
  static std::mutex* const lock = new std::mutex;
  std::lock_guard<std::mutex> hold(*lock);
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = write(STDOUT_FILENO, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

std::atomic<Sink> gSink{nullptr};

}  // namespace

void SetSink(Sink sink) {
  gSink.store(sink);
}

bool Enabled(int level) {
  return level <= Level();
}

void Line(int level, std::string_view text) {
  if (!Enabled(level)) return;
  if (Sink sink = gSink.load()) return sink(level, text);
  try {
    std::string line = Prefix(level);
    line.append(text);
    line += '\n';
    WriteAll(line);
  } catch (...) {
    // Out of memory while tracing: the line is lost, the caller goes on.
  }
}

}  // namespace zqm_trace
