// The trace as a program's user sees it: text that cannot forge a line, and
// a standard output that nobody reads costing counted lines, never a wait.
#include "DEVUror/zqm_trace.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DEVUror/zqm_exceptions.h"
#include "DEVUror/zqm_socket_io.h"

namespace {

using namespace std::chrono_literals;

std::mutex gKeptLock;
std::vector<std::string> gKept;

void Keep(int, std::string_view text) {
  std::lock_guard<std::mutex> hold(gKeptLock);
  gKept.emplace_back(text);
}

TEST(Trace, ControlCharactersAreEscapedAndOnlyAReportContinuesItsLine) {
  zqm_trace::SetSink(&Keep);
  zqm_trace::Line(0, "Server \"a\nb\" \r\t\x01\x7F ü");
  zqm_trace::Report(0, "Failed to find process id of a\\nb\nZQ_EException: x\x02y\n");
  zqm_trace::SetSink(nullptr);
  EXPECT_EQ((std::vector<std::string>{
                "Server \"a\\nb\" \\r\\t\\x01\\x7F ü",
                "Failed to find process id of a\\nb\n\tZQ_EException: x\\x02y",
            }),
            gKept);
}

// Standard output on a pipe of the smallest size for the life of the
// object; the original output back at the end, whatever happens.
class StdoutOnPipe {
 public:
  StdoutOnPipe() {
    if (pipe2(ends_, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    fcntl(ends_[1], F_SETPIPE_SZ, 4096);
    saved_ = dup(STDOUT_FILENO);
    dup2(ends_[1], STDOUT_FILENO);
  }
  ~StdoutOnPipe() {
    Restore();
    close(ends_[0]);
  }
  int ReadEnd() const { return ends_[0]; }
  // Standard output as it was; the pipe's read end then sees the end of the
  // output once everything written is read.
  void Restore() {
    if (saved_ < 0) return;
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    close(ends_[1]);
    saved_ = -1;
  }

 private:
  int ends_[2] = {-1, -1};
  int saved_ = -1;
};

// What reaches standard output on a pipe, read on a thread of its own;
// Wait() waits for a text, Finish() ends the output and returns all of it.
class PipeReader {
 public:
  explicit PipeReader(StdoutOnPipe& output)
      : output_(output), thread_([this, fd = output.ReadEnd()] {
          char buffer[65536];
          for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) != 0;) {
            if (n < 0) continue;
            std::lock_guard<std::mutex> hold(lock_);
            read_.append(buffer, static_cast<std::size_t>(n));
            changed_.notify_all();
          }
        }) {}
  ~PipeReader() {
    if (thread_.joinable()) Finish();
  }
  bool Wait(const std::string& text, std::chrono::seconds deadline) {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, deadline, [&] { return read_.find(text) != std::string::npos; });
  }
  std::string Finish() {
    output_.Restore();  // the reader sees the end of the output
    thread_.join();
    return read_;
  }

 private:
  StdoutOnPipe& output_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::string read_;
  std::thread thread_;
};

TEST(Trace, AStuckOutputCostsCountedLinesNeverAWait) {
  constexpr int kLines = 2000;  // about 2 MB, twice what may wait
  const std::string filler(1000, 'x');
  StdoutOnPipe output;
  auto tracing = std::async(std::launch::async, [&] {
    for (int i = 0; i < kLines; ++i)
      zqm_trace::Line(0, "line " + std::to_string(i) + " " + filler);
  });
  const bool tracingReturned = tracing.wait_for(10s) == std::future_status::ready;

  PipeReader reader(output);
  const bool flushed = zqm_trace::Flush(10s);
  const std::string written = reader.Finish();
  ASSERT_TRUE(tracingReturned) << "a trace call waited for the output";
  EXPECT_TRUE(flushed);

  // Whole lines in order, and every line either written or counted.
  const std::regex prefix("\\S+ \\S+ 0 \\S+\\[\\d+/\\d+\\]");
  const std::regex notice("(\\d+) trace lines were lost: standard output was not read");
  std::istringstream lines(written);
  int seen = 0;
  int lost = 0;
  int last = -1;
  for (std::string entry; std::getline(lines, entry);) {
    const std::size_t textAt = entry.find("] ");
    ASSERT_NE(std::string::npos, textAt) << entry.substr(0, 200);
    EXPECT_TRUE(std::regex_match(entry.substr(0, textAt + 1), prefix)) << entry.substr(0, 200);
    const std::string text = entry.substr(textAt + 2);
    std::smatch match;
    if (text.rfind("line ", 0) == 0) {
      const int number = std::stoi(text.substr(5));
      EXPECT_EQ("line " + std::to_string(number) + " " + filler, text);
      EXPECT_LT(last, number) << "out of order";
      last = number;
      ++seen;
    } else if (std::regex_match(text, match, notice)) {
      lost += std::stoi(match[1]);
    } else {
      ADD_FAILURE() << "not a trace line: " << entry.substr(0, 200);
    }
  }
  EXPECT_GT(lost, 0);
  EXPECT_EQ(kLines, seen + lost);
}

std::atomic<int> gWaitActions{0};

// A thread that holds its wake-ups of the writer lets its lines out when it
// waits for a peer and when it stops holding: none stays behind a writer
// that sleeps. The wait also runs the action the thread set for its next
// wait, once.
TEST(Trace, HeldLinesLeaveWhenTheirThreadWaitsOrStopsHolding) {
  StdoutOnPipe output;
  int ends[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends));
  bool seenWhileWaiting = false;
  {
    PipeReader reader(output);
    // The writer runs and has gone back to sleep: a held line needs a wake-up.
    zqm_trace::Line(0, "the writer runs");
    EXPECT_TRUE(reader.Wait("the writer runs", 10s));
    std::thread holder([&] {
      const zqm_trace::HeldWakes held;
      zqm_io::OnNextWait([] { ++gWaitActions; });
      zqm_trace::Line(0, "before the wait");
      try {
        zqm_io::ReceiveFrame(ends[0], zqm_io::After(20000), "a peer that never answers");
      } catch (const ZQM_EConnectionFailed&) {
        // the end of the stream, as the test closes it
      }
      zqm_trace::Line(0, "after the wait");
      zqm_io::AboutToWait();
    });
    seenWhileWaiting = reader.Wait("before the wait", 10s);
    close(ends[1]);
    holder.join();
    EXPECT_TRUE(reader.Wait("after the wait", 10s));
  }
  close(ends[0]);
  EXPECT_TRUE(seenWhileWaiting);
  EXPECT_EQ(1, gWaitActions.load());
}

}  // namespace
