#include "DEVUror/zqm_trace.h"

#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "DEVUror/zqm_trace_writer.h"

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

bool IsControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

void AppendEscaped(std::string& out, std::string_view text) {
  for (const char c : text) {
    if (!IsControl(c)) {
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(c));
      out += escape;
    }
  }
}

// The text of a Report(): its own lines escaped, joined by a line break and
// the continuation marker; breaks at the end dropped.
std::string ContinuedText(std::string_view text) {
  while (!text.empty() && text.back() == '\n')
    text.remove_suffix(1);
  std::string out;
  out.reserve(text.size() + 16);
  for (bool first = true;; first = false) {
    const std::size_t end = text.find('\n');
    if (!first) out += "\n\t";
    AppendEscaped(out, text.substr(0, end));
    if (end == std::string_view::npos) return out;
    text.remove_prefix(end + 1);
  }
}

std::atomic<Sink> gSink{nullptr};

// Hands the formatted text of one entry to the sink or the writer.
void Emit(int level, const std::string& text) {
  if (Sink sink = gSink.load()) return sink(level, text);
  std::string line = detail::Prefix(level);
  line += text;
  line += '\n';
  detail::Append(std::move(line));
}

}  // namespace

namespace detail {

std::string Prefix(int level) {
  timeval now{};
  gettimeofday(&now, nullptr);
  char rest[160];
  std::snprintf(rest, sizeof rest, ".%06ld %d %s[%d/%ld] ", static_cast<long>(now.tv_usec), level,
                program_invocation_short_name, static_cast<int>(getpid()),
                static_cast<long>(syscall(SYS_gettid)));
  return LocalTime(now.tv_sec) + rest;
}

}  // namespace detail

void SetSink(Sink sink) {
  gSink.store(sink);
}

bool Enabled(int level) {
  return level <= Level();
}

std::string Escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendEscaped(out, text);
  return out;
}

void Line(int level, std::string_view text) {
  if (!Enabled(level)) return;
  try {
    Emit(level, Escaped(text));
  } catch (...) {
    // Out of memory while tracing: the line is lost, the caller goes on.
  }
}

void Report(int level, std::string_view text) {
  if (!Enabled(level)) return;
  try {
    Emit(level, ContinuedText(text));
  } catch (...) {
    // As in Line().
  }
}

bool Flush(std::chrono::milliseconds deadline) {
  try {
    return detail::WaitWritten(deadline);
  } catch (...) {
    return false;  // the lock could not be taken: nothing to wait for
  }
}

std::string LocalTime(std::int64_t seconds) {
  const time_t at = static_cast<time_t>(seconds);
  tm local{};
  localtime_r(&at, &local);
  char text[64];
  const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return std::string(text, n);
}

}  // namespace zqm_trace
