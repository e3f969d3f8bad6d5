// zqmd: the middleware daemon of a host.
#include <unistd.h>

#include <fcntl.h>
#include <asio.hpp>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <optional>
#include <vector>

#include "DEVUror/devuror.h"
#include "DEVUror/zqm_auth.h"
#include "DEVUror/zqm_limits.h"
#include "DEVUror/zqm_notify.h"
#include "DEVUror/zqm_trace.h"
#include "platform/process_memory.h"
#include "platform/scheduling.h"
#include "zq_version.h"
#include "zqmd/command_line.h"
#include "zqmd/daemon.h"

namespace {

// Runs handlers until the loop is stopped. The lines they trace wake the
// trace writer once nothing more is ready, so that no start waits for its
// own trace, and at the latest after kHandlersPerWake of them: a loop that
// is never idle (a flood of connections) must not hold its trace back until
// the writer's buffer is full and lines are lost. The daemon's put-off ends
// are finished the same way: once the loop has been idle for their grace,
// or after a batch when they are older than that.
void RunHandlers(asio::io_context& io, zqmd::Daemon& daemon) {
  constexpr int kHandlersPerWake = 64;
  const zqm_trace::HeldWakes held;
  for (;;) {
    daemon.FinishOverdueEnds();
    const std::size_t ran =
        daemon.HasEndsToFinish() ? io.run_one_for(zqmd::Daemon::kEndGrace) : io.run_one();
    if (ran == 0) {
      if (io.stopped()) return;
      daemon.FinishEnds();
      continue;
    }
    for (int more = 1; more < kHandlersPerWake && io.poll_one() > 0; ++more) {
    }
    zqm_trace::WakeHeld();
  }
}

// Runs the event loop until it is stopped. A failure that escapes a handler
// is traced and the loop goes on: one bad event must not end the registry
// of every instance.
void RunLoop(asio::io_context& io, zqmd::Daemon& daemon) {
  for (;;) {
    try {
      RunHandlers(io, daemon);
      return;
    } catch (const ZQ_EException& failure) {
      zqm_trace::Line(
          0, "Unexpected failure in the event loop, which goes on: " + failure.ZQ_Message().Text());
    } catch (const std::exception& failure) {
      zqm_trace::Line(
          0, std::string("Unexpected failure in the event loop, which goes on: ") + failure.what());
    }
  }
}

// The listening sockets that systemd's socket activation hands over
// (LISTEN_PID, LISTEN_FDS: descriptors 3 on), made close-on-exec and taken
// out of the environment, so that no server the daemon starts sees them.
std::vector<int> TakeActivatedSockets() {
  const char* pid = std::getenv("LISTEN_PID");
  const char* count = std::getenv("LISTEN_FDS");
  std::vector<int> sockets;
  if (pid != nullptr && count != nullptr && std::strtol(pid, nullptr, 10) == getpid()) {
    const long n = std::strtol(count, nullptr, 10);
    for (long i = 0; i < n && i < 64; ++i) {
      const int fd = 3 + static_cast<int>(i);
      fcntl(fd, F_SETFD, FD_CLOEXEC);
      sockets.push_back(fd);
    }
  }
  unsetenv("LISTEN_PID");
  unsetenv("LISTEN_FDS");
  unsetenv("LISTEN_FDNAMES");
  return sockets;
}

int InitKey(const std::string& path) {
  try {
    zqm_auth::CreateKeyFile(path);
  } catch (const ZQ_EException& failure) {
    std::cerr << "zqmd: " << failure.ZQ_Message() << std::endl;
    return 1;
  }
  std::cout << "zqmd: wrote a new installation key to " << path
            << " (mode 0600); copy it to every host of the installation, or point ZQM_KEY_FILE "
               "at it"
            << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  zq_platform::KeepProcessMemorySmall();
  zq_platform::RequestShortTimeSlices();
  // Before any thread exists, and so that no server the daemon starts
  // inherits the service manager's socket.
  zqm_notify::TakeNotifySocket();
  zqmd::DaemonCommandLine parsed;
  parsed.options.inheritedSockets = TakeActivatedSockets();
  if (const std::optional<int> status =
          zqm_modules::ReadCommandLine("zqmd", argc, argv, parsed, std::cout, std::cerr))
    return *status;
  zqmd::Options& options = parsed.options;
  __ZQ_INITIALIZATION_FUNCTION_dodived__();
  __ZQ_INITIALIZATION_FUNCTION_DEVUror__();
  if (!parsed.initKey.empty()) return InitKey(parsed.initKey);
  if (parsed.insecure) zqm_auth::UseInsecure();
  if (!parsed.keyFile.empty()) zqm_auth::UseKeyFile(parsed.keyFile);
  try {
    const auto credentials = zqm_auth::Current();
    if (credentials->insecure) {
      zqm_trace::Line(0, "Running without authentication (" + credentials->source +
                             "): anyone who can connect can call in");
    }
  } catch (const ZQ_EException& failure) {
    std::cerr << "zqmd: " << failure.ZQ_Message() << std::endl;
    return 1;
  }
  // The servers started from here find the address in their environment.
  if (!options.hostAddress.empty()) setenv("ZQM_LISTEN_ADDRESS", options.hostAddress.c_str(), 1);
  // Every watched instance holds a pidfd; the instances start
  // with the limit the daemon was given, as they would have without it.
  options.instanceDescriptorLimit = zqm_limits::RaiseDescriptorLimit();
  std::signal(SIGPIPE, SIG_IGN);

  asio::io_context io(1);
  zqmd::Daemon daemon(io, options);
  try {
    daemon.Start();
  } catch (const ZQ_EException& failure) {
    std::cerr << "zqmd: " << failure.ZQ_Message() << std::endl;
    return 1;
  }
  if (parsed.readyFd >= 0) {
    [[maybe_unused]] ssize_t n = write(parsed.readyFd, "\n", 1);
    close(parsed.readyFd);
  }
  zqm_notify::Ready();
  asio::signal_set stop(io, SIGTERM, SIGINT);
  stop.async_wait([&](asio::error_code error, int signal) {
    if (error) return;
    zqm_trace::Line(0,
                    std::string("Stopping on ") + strsignal(signal) + "; the servers keep running");
    daemon.Stop();
    io.stop();
  });
  RunLoop(io, daemon);
  return 0;
}
