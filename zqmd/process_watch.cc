#include "zqmd/process_watch.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "DEVUror/zqm_exceptions.h"
#include "zqmd/launcher.h"

namespace zqmd {

namespace {

[[noreturn]] void Failed(const char* call, int error) {
  ZQM_EException failed(ZQ_TString::Format("process watch: %s: %s", call, std::strerror(error)));
  ZQ_THROW_AT(failed, __FILE__, __LINE__);
}

int MakeEpoll() {
  const int fd = epoll_create1(EPOLL_CLOEXEC);
  if (fd < 0) Failed("epoll_create1", errno);
  return fd;
}

// One report per arming: an end is final, so a confirmed end needs no
// second report, and the set never spins on a descriptor it did not act on.
constexpr std::uint32_t kEvents = EPOLLIN | EPOLLONESHOT;

}  // namespace

bool PidfdEnded(int pidfd) {
  pollfd ready{pidfd, POLLIN, 0};
  return poll(&ready, 1, 0) > 0;
}

ProcessWatchSet::ProcessWatchSet(asio::io_context& io) : epoll_(io, MakeEpoll()) {}

ProcessWatchSet::~ProcessWatchSet() {
  for (auto& [id, entry] : watches_) {
    // An ended child would otherwise stay a zombie for as long as we live.
    if (entry.child) zqmd::Reap(entry.pidfd);
    close(entry.pidfd);
  }
}

ProcessWatchSet::Id ProcessWatchSet::Watch(int pidfd, bool child, std::function<void()> ended) {
  const Id id = nextId_++;
  epoll_event event{};
  event.events = kEvents;
  event.data.u64 = id;
  if (epoll_ctl(epoll_.native_handle(), EPOLL_CTL_ADD, pidfd, &event) != 0) {
    const int error = errno;
    close(pidfd);
    Failed("epoll_ctl(ADD) of a pidfd", error);
  }
  watches_.emplace(id, Entry{pidfd, child, false, std::move(ended)});
  Arm();
  return id;
}

void ProcessWatchSet::Release(Id id) {
  auto found = watches_.find(id);
  if (found == watches_.end()) return;
  Entry& entry = found->second;
  if (entry.child && entry.endCode == 0 && !HasEnded(id)) {
    // Still running: kept until it ends, so that it is reaped then. Its
    // report may have been taken already (one per arming): arm it again.
    entry.released = true;
    entry.ended = nullptr;
    Rearm(id);
    return;
  }
  if (entry.child) zqmd::Reap(entry.pidfd);
  Close(found);
}

bool ProcessWatchSet::HasEnded(Id id) const {
  auto found = watches_.find(id);
  return found != watches_.end() && PidfdEnded(found->second.pidfd);
}

int ProcessWatchSet::Signal(Id id, int signal) const {
  auto found = watches_.find(id);
  if (found == watches_.end()) return ESRCH;
  if (syscall(SYS_pidfd_send_signal, found->second.pidfd, signal, nullptr, 0) == 0) return 0;
  return errno;
}

std::string ProcessWatchSet::HowEnded(Id id) {
  auto found = watches_.find(id);
  if (found == watches_.end() || !found->second.child) return "";
  Entry& entry = found->second;
  if (entry.endCode == 0) EndConfirmed(entry);
  return entry.endCode == 0 ? "" : DescribeEnd(entry.endCode, entry.endStatus);
}

void ProcessWatchSet::Arm() {
  if (armed_) return;
  armed_ = true;
  epoll_.async_wait(asio::posix::stream_descriptor::wait_read, [this](asio::error_code error) {
    if (error) return;  // the set is gone
    armed_ = false;
    HandleReady();
    Arm();
  });
}

void ProcessWatchSet::HandleReady() {
  // Drained completely: the event loop learns of this descriptor by edges.
  // Each watch reports at most once per arming, so this ends.
  std::array<epoll_event, 64> events{};
  std::vector<Id> unconfirmed;
  int count = 0;
  do {
    count = epoll_wait(epoll_.native_handle(), events.data(), static_cast<int>(events.size()), 0);
    for (int i = 0; i < count; ++i) {
      // Looked up afresh for each event: an earlier callback of this very
      // batch may have released it.
      auto found = watches_.find(events[static_cast<std::size_t>(i)].data.u64);
      if (found == watches_.end()) continue;
      Entry& entry = found->second;
      if (!EndConfirmed(entry)) {
        unconfirmed.push_back(found->first);
        continue;
      }
      if (entry.released) {
        zqmd::Reap(entry.pidfd);
        Close(found);
        continue;
      }
      if (std::function<void()> ended = std::move(entry.ended)) {
        entry.ended = nullptr;
        ended();
      }
    }
  } while (count == static_cast<int>(events.size()));
  // Armed again only now, so that the drain above cannot see them twice.
  for (const Id id : unconfirmed)
    Rearm(id);
}

void ProcessWatchSet::Rearm(Id id) {
  auto found = watches_.find(id);
  if (found == watches_.end()) return;
  epoll_event event{};
  event.events = kEvents;
  event.data.u64 = id;
  epoll_ctl(epoll_.native_handle(), EPOLL_CTL_MOD, found->second.pidfd, &event);
}

bool ProcessWatchSet::EndConfirmed(Entry& entry) {
  if (!PidfdEnded(entry.pidfd)) return false;
  if (!entry.child) return true;
  // Our child: it has ended when it waits to be reaped (or was reaped
  // already, which only an ended process can be). How it ended is kept for
  // HowEnded, which then needs no call of its own.
  siginfo_t info{};
  if (waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(entry.pidfd), &info,
             WEXITED | WNOHANG | WNOWAIT) != 0) {
    return errno == ECHILD;
  }
  if (info.si_pid == 0) return false;
  entry.endCode = info.si_code;
  entry.endStatus = info.si_status;
  return true;
}

void ProcessWatchSet::Close(std::map<Id, Entry>::iterator entry) {
  epoll_ctl(epoll_.native_handle(), EPOLL_CTL_DEL, entry->second.pidfd, nullptr);
  close(entry->second.pidfd);
  watches_.erase(entry);
}

}  // namespace zqmd
