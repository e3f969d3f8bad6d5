#include "zqmd/spawner.h"

#include <sched.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "DEVUror/zqm_exceptions.h"
#include "platform/process_memory.h"

namespace zqmd {

namespace {

using Pair = std::array<int, 2>;

// A message between the loop and a launch thread is one byte saying which
// of two descriptors it carries (bit 0: the first, bit 1: the second).
constexpr unsigned char kFirst = 1;
constexpr unsigned char kSecond = 2;
constexpr unsigned char kOwnTable = 4;  // the thread's first message

unsigned char Carried(const Pair& fds) {
  return static_cast<unsigned char>((fds[0] >= 0 ? kFirst : 0) | (fds[1] >= 0 ? kSecond : 0));
}

bool SendWith(int socket, unsigned char flags, const Pair& fds) {
  int present[2];
  std::size_t count = 0;
  for (int fd : fds) {
    if (fd >= 0) present[count++] = fd;
  }
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof present)] = {};
  iovec part{&flags, 1};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  if (count > 0) {
    message.msg_control = control;
    message.msg_controllen = CMSG_SPACE(sizeof(int) * count);
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int) * count);
    std::memcpy(CMSG_DATA(header), present, sizeof(int) * count);
  }
  ssize_t sent;
  do {
    sent = sendmsg(socket, &message, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent == 1;
}

// One message: its byte, and the descriptors it carried in their places
// (-1 where none came, also when the receiver had no room for them).
// Returns recvmsg's result: 0 once the other end is closed.
ssize_t ReceiveWith(int socket, unsigned char& flags, Pair& fds, int how) {
  fds = {-1, -1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 2)] = {};
  iovec part{&flags, 1};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t got;
  do {
    got = recvmsg(socket, &message, MSG_CMSG_CLOEXEC | how);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return got;
  int received[2] = {-1, -1};
  std::size_t count = 0;
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
       header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
    const std::size_t n = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (std::size_t i = 0; i < n; ++i) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(header) + i * sizeof(int), sizeof fd);
      if (count < 2) {
        received[count++] = fd;
      } else {
        close(fd);
      }
    }
  }
  std::size_t next = 0;
  for (int place = 0; place < 2; ++place) {
    if ((flags & (1u << place)) != 0 && next < count) fds[place] = received[next++];
  }
  for (; next < count; ++next)
    close(received[next]);
  return got;
}

// Gives the calling thread a descriptor table of its own that holds, of
// the daemon's descriptors, only standard input, output and error and
// `keep`. False when the table stays shared (the kernel refused to copy
// it): launches work then as well, only each child copies the daemon's
// whole table.
bool KeepOnlyOwnDescriptors(int keep) {
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer keeps one record per descriptor number for the whole
  // process: the same number in two tables would look like one descriptor
  // used by two threads without order.
  (void)keep;
  return false;
#endif
  if (unshare(CLONE_FILES) != 0) return false;
  if (keep > 3) syscall(SYS_close_range, 3U, static_cast<unsigned>(keep - 1), 0U);
  syscall(SYS_close_range, static_cast<unsigned>(keep + 1), ~0U, 0U);
  return true;
}

}  // namespace

// What a launch thread and the loop share: the launch it is handed next.
struct Spawner::Job {
  LaunchConfig launch;
  LaunchRequest request;
  Descriptor identity;
  Descriptor cgroup;
  std::shared_ptr<LaunchControl> control = std::make_shared<LaunchControl>();
};

// A launch thread as the loop holds it. The thread keeps only the slot and
// its own end of the socket: once the loop lets go of the worker, the
// thread reads the end of the stream and ends (after the launch it may be
// hung in). A finished launch is announced by a message on the socket,
// which wakes the loop: the thread cannot wake the loop otherwise, as the
// loop's own descriptors are not in its table.
class Spawner::Worker : public std::enable_shared_from_this<Spawner::Worker> {
 public:
  struct Slot {
    std::mutex mutex;
    std::shared_ptr<Job> job;
    pid_t pid = 0;
    std::string problem;
  };

  // Starts the thread and waits until it has its descriptor table (a few
  // system calls that cannot block). Throws ZQM_EException.
  static std::shared_ptr<Worker> Start(asio::io_context& io) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
      Refuse(std::string("cannot make the socket of a launch thread: ") + std::strerror(errno));
    }
    auto worker = std::shared_ptr<Worker>(new Worker(io, ends[0]));
    Descriptor threadEnd(ends[1]);
    try {
      std::thread(Serve, worker->slot_, threadEnd.Get()).detach();
    } catch (const std::system_error& failure) {
      Refuse(std::string("cannot start a thread for the launch: ") + failure.what());
    }
    unsigned char flags = 0;
    Pair none;
    if (ReceiveWith(worker->Socket(), flags, none, 0) != 1)
      Refuse("a launch thread ended as it started");
    // With a table of its own, the thread has its copy of its end; without,
    // it uses this very descriptor and closes it as it ends.
    if ((flags & kOwnTable) == 0) threadEnd.Release();
    return worker;
  }

  // Hands `job` over (the identity and cgroup descriptors go with it), and
  // calls `finished` on the loop once the thread has a result.
  void Hand(const std::shared_ptr<Job>& job, std::function<void()> finished) {
    const Descriptor identity(job->identity.Release());
    const Descriptor cgroup(job->cgroup.Release());
    {
      std::lock_guard<std::mutex> lock(slot_->mutex);
      slot_->job = job;
    }
    const Pair fds = {identity.Get(), cgroup.Get()};
    if (!SendWith(Socket(), Carried(fds), fds)) {
      const int cause = errno;
      std::lock_guard<std::mutex> lock(slot_->mutex);
      slot_->job.reset();
      Refuse(std::string("cannot hand a launch to its thread: ") + std::strerror(cause));
    }
    AwaitResult(std::move(finished));
  }

  // The finished launch's outcome, its process and log descriptors moved
  // from the thread's table into the loop's. The process is opened here
  // should its descriptor not arrive (it is the daemon's unreaped child, so
  // its id still names it); a missing log is opened again by path by the
  // caller. False when nothing has arrived yet.
  bool Take(Outcome& outcome) {
    unsigned char flags = 0;
    Pair fds;
    const ssize_t got = ReceiveWith(Socket(), flags, fds, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
    if (got <= 0) {
      outcome.problem = "its launch thread ended before the launch did";
      return true;
    }
    {
      std::lock_guard<std::mutex> lock(slot_->mutex);
      outcome.pid = std::exchange(slot_->pid, 0);
      outcome.problem = std::move(slot_->problem);
      slot_->problem.clear();
    }
    outcome.pidfd.Reset(fds[0]);
    outcome.log.Reset(fds[1]);
    if (outcome.pid > 0 && outcome.pidfd.Get() < 0)
      outcome.pidfd.Reset(static_cast<int>(syscall(SYS_pidfd_open, outcome.pid, 0)));
    return true;
  }

  // Calls `finished` on the loop once the socket has something to read;
  // never once the worker is gone, which only its spawner holds.
  void AwaitResult(std::function<void()> finished) {
    socket_.async_wait(
        asio::posix::stream_descriptor::wait_read,
        [alive = weak_from_this(), finished = std::move(finished)](const std::error_code& error) {
          if (!error && alive.lock()) finished();
        });
  }

 private:
  Worker(asio::io_context& io, int socket) : socket_(io, socket), slot_(std::make_shared<Slot>()) {}

  int Socket() { return socket_.native_handle(); }

  [[noreturn]] static void Refuse(const std::string& text) {
    ZQM_EException refused{ZQ_TString(text)};
    ZQ_THROW_AT(refused, __FILE__, __LINE__);
  }

  static void Serve(std::shared_ptr<Slot> slot, int end);
  static bool RunOne(Slot& slot, int end, const Pair& taken, int devNull);

  asio::posix::stream_descriptor socket_;
  std::shared_ptr<Slot> slot_;
};

void Spawner::Worker::Serve(std::shared_ptr<Slot> slot, int end) {
  const bool own = KeepOnlyOwnDescriptors(end);
  if (!SendWith(end, own ? kOwnTable : 0, {-1, -1})) {
    // The loop waits for this word: it reads the end of the stream instead,
    // whoever else holds the socket, and closes its descriptor of it.
    shutdown(end, SHUT_RDWR);
    if (own) close(end);
    return;
  }
  // Every instance's standard input, opened once for all the thread's launches.
  const Descriptor devNull(OpenDevNull());
  for (;;) {
    // Between launches the thread holds none of the pages its last
    // launch's calls touched.
    zq_platform::ReleaseStackBelowCaller();
    unsigned char flags = 0;
    Pair taken;
    if (ReceiveWith(end, flags, taken, 0) <= 0) break;  // let go of
    if (!RunOne(*slot, end, taken, devNull.Get())) break;
  }
  close(end);
}

// Runs the launch in the slot and hands its outcome to the loop. False when
// the spawner has let go of this thread.
bool Spawner::Worker::RunOne(Slot& slot, int end, const Pair& taken, int devNull) {
  std::shared_ptr<Job> job;
  {
    std::lock_guard<std::mutex> lock(slot.mutex);
    job = std::move(slot.job);
  }
  Descriptor identity(taken[0]);
  Descriptor cgroup(taken[1]);
  if (!job) return true;
  job->request.identityFd = identity.Get();
  job->request.cgroupProcs = cgroup.Get();
  job->request.control = job->control.get();
  job->request.devNull = devNull;
  Launched launched;
  std::string problem;
  try {
    launched = Launch(job->launch, job->request);
  } catch (const ZQ_EException& failure) {
    problem = failure.ZQ_Message().Text();
  } catch (const std::exception& failure) {
    problem = failure.what();
  }
  const Descriptor pidfd(launched.pidfd);
  const Descriptor log(launched.log);
  {
    std::lock_guard<std::mutex> lock(slot.mutex);
    slot.pid = launched.pid;
    slot.problem = std::move(problem);
  }
  const Pair back = {pidfd.Get(), log.Get()};
  if (SendWith(end, Carried(back), back)) return true;
  // The spawner is gone: the child it gave up on is reaped here. One that
  // started just then runs on, unwatched, as after the daemon's end.
  if (job->control->Cancelled() && launched.pid > 0) {
    job->control->Reaping();
    waitpid(launched.pid, nullptr, 0);
  }
  return false;
}

Spawner::Spawner(asio::io_context& io) : io_(io) {}

Spawner::~Spawner() {
  CancelAll();
}

std::shared_ptr<Spawner::Worker> Spawner::TakeWorker() {
  if (idle_.empty()) return Worker::Start(io_);
  std::shared_ptr<Worker> worker = std::move(idle_.back());
  idle_.pop_back();
  return worker;
}

Spawner::Id Spawner::Start(LaunchConfig launch, LaunchRequest request, int identity, Done done,
                           int cgroupProcs) {
  auto job = std::make_shared<Job>();
  job->identity.Reset(identity);
  job->cgroup.Reset(cgroupProcs);
  if (underWay_.size() >= kMaxUnderWay) {
    ZQM_EException refused(ZQ_TString::Format(
        "%d launches are under way, hung in their working directories or programs' file "
        "systems; no more are started until one ends",
        static_cast<unsigned>(underWay_.size())));
    ZQ_THROW_AT(refused, __FILE__, __LINE__);
  }
  job->launch = std::move(launch);
  job->request = std::move(request);
  std::shared_ptr<LaunchControl> control = job->control;
  std::shared_ptr<Worker> worker = TakeWorker();
  const Id id = next_ + 1;
  worker->Hand(job, [this, id] { Deliver(id); });
  next_ = id;
  underWay_.emplace(id, Entry{std::move(control), std::move(done), std::move(worker)});
  return id;
}

void Spawner::Deliver(Id id) {
  auto found = underWay_.find(id);
  if (found == underWay_.end()) return;
  Outcome outcome;
  if (!found->second.worker->Take(outcome)) {
    found->second.worker->AwaitResult([this, id] { Deliver(id); });
    return;
  }
  const Done done = std::move(found->second.done);
  std::shared_ptr<Worker> worker = std::move(found->second.worker);
  underWay_.erase(found);
  if (idle_.size() < kMaxIdleWorkers) idle_.push_back(std::move(worker));
  done(outcome);
}

void Spawner::Cancel(Id id) {
  if (auto found = underWay_.find(id); found != underWay_.end()) found->second.control->Cancel();
}

void Spawner::CancelAll() {
  for (auto& [id, entry] : underWay_)
    entry.control->Cancel();
}

pid_t Spawner::ChildOf(Id id) const {
  auto found = underWay_.find(id);
  if (found == underWay_.end()) return 0;
  const pid_t child = found->second.control->Child();
  return child > 0 ? child : 0;
}

}  // namespace zqmd
