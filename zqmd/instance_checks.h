// One run of a check of an instance: a probe on loopback (a TCP connect,
// or an HTTP GET) or a command. Both run on the daemon's event loop without
// ever blocking it, end after their time-out at the latest, and report
// once. Destroying a run gives up on it: its callback is not called then,
// its socket is closed and its command's session killed (and reaped once
// it has ended).
//
// Used on the event loop's thread only; callbacks run there.
#pragma once

#include <sys/types.h>

#include <asio.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "DEVUror/zqm_deadlines.h"
#include "zqmd/launch_config.h"
#include "zqmd/process_watch.h"
#include "zqmd/spawner.h"

namespace zqmd {

// How a run ended: passed, or why not ("connection refused", "answered
// 503", "exit status 1", ...).
using CheckDone = std::function<void(bool passed, const std::string& why)>;

// The most of an HTTP answer that is read: its status line must lie within.
constexpr std::size_t kMaxProbeAnswerBytes = 1024;

// A non-blocking connect to 127.0.0.1:target.port; with target.httpPath, a
// GET of it (HTTP/1.0, "Connection: close") that passes on a 2xx status.
class ProbeRun {
 public:
  ProbeRun(asio::io_context& io, zqm_deadlines::DeadlineQueue& deadlines, const ProbeTarget& target,
           std::chrono::milliseconds timeout, CheckDone done);
  ~ProbeRun();
  ProbeRun(const ProbeRun&) = delete;
  ProbeRun& operator=(const ProbeRun&) = delete;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// `command` (program first) started through `spawner` in a session of its
// own, with `request`'s credentials and log; passes when it exits 0. One
// that outlives the time-out is killed with its session. Throws
// ZQM_EException when the spawner takes no more launches.
class CommandRun {
 public:
  CommandRun(Spawner& spawner, ProcessWatchSet& watches, zqm_deadlines::DeadlineQueue& deadlines,
             LaunchConfig command, LaunchRequest request, std::chrono::milliseconds timeout,
             CheckDone done);
  ~CommandRun();
  CommandRun(const CommandRun&) = delete;
  CommandRun& operator=(const CommandRun&) = delete;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace zqmd
