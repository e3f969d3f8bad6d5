// Helpers shared by the end-to-end tests of the middleware installation:
// catching a middleware failure with its class, message and duration,
// looking at a process through /proc, waiting for a process's end or a log
// file's content, and speaking raw bytes to a server's port.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "DEVUror/devuror.h"
#include "DEVUror/zqm_auth.h"
#include "DEVUror/zqm_channel.h"
#include "DEVUror/zqm_handshake.h"
#include "DEVUror/zqm_socket_io.h"
#include "DEVUror/zqm_wire.h"
#include "support/child_process.h"
#include "zqmd/proc_inspect.h"

namespace zq_test {

using Clock = std::chrono::steady_clock;

// A failure that reached the caller, as the caller sees it.
struct Caught {
  std::string type;
  std::string message;
  std::chrono::milliseconds took{0};
};

template <class Action>
Caught CatchFrom(Action action) {
  const auto start = Clock::now();
  auto elapsed = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  };
  try {
    action();
  } catch (const ZQ_EException& failure) {
    return {failure.ClassName(), failure.ZQ_Message().Text(), elapsed()};
  }
  ADD_FAILURE() << "expected a middleware failure, but the action succeeded";
  return {"<none>", "", elapsed()};
}

inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

template <class T>
const typename T::ZQ_CastType& Field(const ZQ_TDict& dict, const char* key) {
  return dict[key].DynamicCast<T>(__FILE__, __LINE__);
}

// Blocks until `pid` has ended (a zombie counts: it runs no more), through a
// pidfd, so that no polling decides when the kernel has taken the process.
inline bool WaitUntilGone(pid_t pid, std::chrono::milliseconds timeout) {
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) return errno == ESRCH;
  pollfd entry{pidfd, POLLIN, 0};
  const int ready = poll(&entry, 1, static_cast<int>(timeout.count()));
  close(pidfd);
  return ready > 0;
}

// The fields of /proc/<pid>/stat after the command name: [0] state,
// [1] ppid, [2] pgrp, [3] session.
inline std::vector<std::string> StatFields(pid_t pid) {
  return zqmd::StatFields(pid);
}

inline bool IsRunning(pid_t pid) {
  const std::vector<std::string> fields = StatFields(pid);
  return !fields.empty() && fields[0] != "Z" && fields[0] != "X";
}

inline pid_t SessionOf(pid_t pid) {
  const std::vector<std::string> fields = StatFields(pid);
  return fields.size() > 3 ? static_cast<pid_t>(std::stol(fields[3])) : -1;
}

inline std::set<int> OpenDescriptors(pid_t pid) {
  std::set<int> fds;
  std::error_code error;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
    fds.insert(std::stoi(entry.path().filename().string()));
  }
  return fds;
}

inline std::string DescriptorTarget(pid_t pid, int fd) {
  std::error_code error;
  return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd),
                                       error)
      .string();
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream file(path);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// The value of the line of /proc/<pid>/status that starts with `field`.
inline std::string ProcStatus(pid_t pid, const std::string& field) {
  const std::string text = ReadFile("/proc/" + std::to_string(pid) + "/status");
  const std::size_t at = text.find("\n" + field + ":");
  if (at == std::string::npos) return "";
  const std::size_t start = text.find_first_not_of(" \t", at + field.size() + 2);
  const std::string line = text.substr(start, text.find('\n', start) - start);
  return line.substr(0, line.find_last_not_of(' ') + 1);
}

// The initial environment of `pid`, one "\nNAME=VALUE" per variable.
inline std::string EnvironmentOf(pid_t pid) {
  std::string text = ReadFile("/proc/" + std::to_string(pid) + "/environ");
  std::replace(text.begin(), text.end(), '\0', '\n');
  return "\n" + text;
}

// Whether this process is root of the initial user namespace: only then can
// it start processes as other users of the host.
inline bool IsRealRoot() {
  std::istringstream map(ReadFile("/proc/self/uid_map"));
  std::string inside, outside, count;
  map >> inside >> outside >> count;
  return geteuid() == 0 && outside == "0" && count == "4294967295";
}

// Waits until `holds()` is true. What it looks at is another process's
// state (a file, /proc) with no way to tell us, so this looks again every
// few milliseconds until the deadline.
template <class Condition>
bool Eventually(Condition holds, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (holds()) return true;
    if (Clock::now() >= deadline) return false;
    pollfd none{};
    poll(&none, 0, 10);
  }
}

// Waits until the file holds at least `count` matches of `pattern`.
inline bool WaitForFileMatches(const std::string& path, const std::string& pattern,
                               std::size_t count, std::chrono::milliseconds timeout) {
  const std::regex expression(pattern);
  return Eventually(
      [&] {
        const std::string text = ReadFile(path);
        return static_cast<std::size_t>(
                   std::distance(std::sregex_iterator(text.begin(), text.end(), expression),
                                 std::sregex_iterator())) >= count;
      },
      timeout);
}

// Waits until thread `tid` of `pid` (its main thread unless given) is
// blocked in one of `calls` (system call numbers), as /proc tells.
inline bool WaitUntilBlockedIn(pid_t pid, const std::vector<long>& calls,
                               std::chrono::milliseconds timeout, pid_t tid = 0) {
  std::string alternatives;
  for (const long call : calls)
    alternatives += (alternatives.empty() ? "" : "|") + std::to_string(call);
  const std::string process = "/proc/" + std::to_string(pid);
  return WaitForFileMatches(
      (tid == 0 ? process : process + "/task/" + std::to_string(tid)) + "/syscall",
      "^(" + alternatives + ") ", 1, timeout);
}

// Waits until `pid` is blocked in a sleep system call. Only then has a
// freshly started `sleep` settled: the kernel finishes the exec after the
// spawning parent has resumed, and the program opens locale files of its own
// while it starts.
inline bool WaitUntilAsleep(pid_t pid, std::chrono::milliseconds timeout) {
  return WaitUntilBlockedIn(pid, {SYS_clock_nanosleep, SYS_nanosleep}, timeout);
}

// Waits until an event loop's process `pid` waits for events: it has
// handled everything that had reached it.
inline bool WaitUntilIdle(pid_t pid, std::chrono::milliseconds timeout) {
  return WaitUntilBlockedIn(pid,
                            {
#ifdef SYS_epoll_wait
                                SYS_epoll_wait,
#endif
                                SYS_epoll_pwait, SYS_epoll_pwait2},
                            timeout);
}

// A connection that speaks bytes, not frames: it takes the server's greeting,
// completes the handshake with the process's key (unless told not to), and
// then sends whatever the test wants, broken frames included. Frames the
// test means to be well-formed go through Seal first.
class RawConnection {
 public:
  explicit RawConnection(unsigned short port, bool authenticate = true,
                         std::shared_ptr<const zqm_auth::Credentials> credentials = nullptr)
      : handshake_(credentials ? std::move(credentials) : zqm_auth::Current(), "raw") {
    fd_ = zqm_io::Connect(zqm_io::Resolve("", port), zqm_io::After(3000));
    handshake_.ReadGreeting(zqm_io::ReceiveFrame(fd_, zqm_io::After(5000), "greeting"));
    if (authenticate) Authenticate();
  }

  // Proves the process's key for this connection's greeting and takes the
  // server's proof. The frame sent is kept (Answer) for replays.
  void Authenticate() {
    answer_ = handshake_.Prove();
    Send(answer_);
    handshake_.CheckAnswer(zqm_io::ReceiveFrame(fd_, zqm_io::After(5000), "handshake"));
    channel_ = handshake_.TakeChannel();
  }
  const std::string& Answer() const { return answer_; }
  ~RawConnection() { zqm_io::Close(fd_); }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  void Send(const std::string& bytes) { zqm_io::SendAll(fd_, bytes, zqm_io::After(3000), "raw"); }
  // `frame` sealed for this connection, as a client would send it.
  std::string Seal(const std::string& frame) { return channel_.Seal(frame); }
  // The (opened) payload of the next frame from the server.
  std::string Receive() {
    return channel_.Open(zqm_io::ReceiveFrame(fd_, zqm_io::After(10000), "raw reply"));
  }
  void EndWriting() { shutdown(fd_, SHUT_WR); }

  // "127.0.0.1:<port>" of our end, as the server names the peer in traces.
  std::string LocalAddress() const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
    return "127.0.0.1:" + std::to_string(ntohs(v4->sin_port));
  }

  // True once the server has closed the connection (end of file or reset),
  // whatever it may have sent before.
  // With no time, it looks once.
  bool WaitClosed(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (bool first = true;; first = false) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0 && !first) return false;
      pollfd entry{fd_, POLLIN, 0};
      if (poll(&entry, 1, static_cast<int>(std::max<long>(0, left.count()))) <= 0) {
        if (left.count() <= 0) return false;
        continue;
      }
      char buffer[256];
      const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return true;
    }
  }

 private:
  int fd_ = -1;
  zqm_handshake::Client handshake_;
  zqm_channel::Channel channel_;
  std::string answer_;
};

// A frame header announcing `length` bytes.
inline std::string Header(std::uint32_t length) {
  return std::string{static_cast<char>(length >> 24), static_cast<char>(length >> 16),
                     static_cast<char>(length >> 8), static_cast<char>(length)};
}

}  // namespace zq_test
