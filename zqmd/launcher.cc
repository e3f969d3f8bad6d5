#include "zqmd/launcher.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/close_range.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "DEVUror/zqm_exceptions.h"
#include "platform/scheduling.h"
#include "zqmd/credentials.h"
#include "zqmd/safe_files.h"

extern char** environ;

namespace zqmd {

namespace {

// The descriptor number an instance finds its identity on.
constexpr int kIdentityDescriptor = 3;
// Descriptors the child duplicates from are moved at least this high, so
// that none of them is overwritten by the descriptors 0 to 3 it sets up.
constexpr int kHighDescriptor = 10;

[[noreturn]] void LaunchFailed(const std::string& name, unsigned instance, const std::string& what,
                               int error) {
  ZQM_EException failed(
      ZQ_TString::Format("cannot start %s#%d: %s: %s", name, instance, what, std::strerror(error)));
  ZQ_THROW_AT(failed, __FILE__, __LINE__);
}

// A close-on-exec copy of `fd` numbered kHighDescriptor or higher; -1 with
// errno set on failure.
int HighCopy(int fd) {
  return fcntl(fd, F_DUPFD_CLOEXEC, kHighDescriptor);
}

// `fd` (ours, close-on-exec) renumbered kHighDescriptor or higher; -1 with
// errno set when `fd` is -1 or cannot be renumbered.
int MoveHigh(int fd) {
  if (fd < 0 || fd >= kHighDescriptor) return fd;
  const int high = HighCopy(fd);
  const int error = errno;
  close(fd);
  errno = error;
  return high;
}

// The variables through which a program could find a key or an identity:
// an instance gets only what the daemon hands it, never the daemon's own.
bool KeySource(std::string_view key) {
  return key == "ZQM_KEY_FILE" || key == "ZQM_KEY_FD" || key == "ZQM_IDENTITY_FD" ||
         key == "ZQM_INSECURE";
}

// The instance's environment, as the pointers execve takes: the daemon's own
// variables are used where they stand (it changes its environment only as
// it starts, before any launch), the ones set for the instance are made in
// `added`, which must outlive the pointers.
std::vector<char*> Environment(const LaunchConfig& launch, const Credentials& credentials,
                               const std::string& name, unsigned instance, int identityFd,
                               std::vector<std::string>& added) {
  // The user's own variables first, so that the launch configuration's
  // Environment can set them differently.
  std::vector<std::pair<std::string, std::string>> overrides = credentials.environment;
  overrides.insert(overrides.end(), launch.environment.begin(), launch.environment.end());
  overrides.emplace_back("ZQM_SERVER_NAME", name);
  overrides.emplace_back("ZQM_SERVER_INSTANCE", std::to_string(instance));
  if (identityFd >= 0)
    overrides.emplace_back("ZQM_IDENTITY_FD", std::to_string(kIdentityDescriptor));
  const auto overridden = [&](std::string_view key) {
    for (const auto& [overrideKey, value] : overrides) {
      if (overrideKey == key) return true;
    }
    return false;
  };
  std::vector<char*> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const char* equals = std::strchr(*entry, '=');
    const std::string_view key(*entry, equals != nullptr ? equals - *entry : std::strlen(*entry));
    if (!overridden(key) && !KeySource(key)) environment.push_back(*entry);
  }
  // A later override of the same key wins.
  added.reserve(overrides.size());
  for (std::size_t at = 0; at < overrides.size(); ++at) {
    bool later = false;
    for (std::size_t next = at + 1; next < overrides.size(); ++next)
      later = later || overrides[next].first == overrides[at].first;
    if (later) continue;
    added.push_back(overrides[at].first + "=" + overrides[at].second);
    environment.push_back(added.back().data());
  }
  environment.push_back(nullptr);
  return environment;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts)
    pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// The steps of the child before the program runs, as reported back.
enum class Step : int {
  kCgroup,
  kStandardDescriptors,
  kIdentity,
  kCapabilities,
  kGroups,
  kGid,
  kUid,
  kSession,
  kLimit,
  kFolder,
  kDescriptors,
  kExec
};

const char* StepName(Step step) {
  switch (step) {
    case Step::kCgroup:
      return "joining its cgroup";
    case Step::kStandardDescriptors:
      return "standard descriptors";
    case Step::kIdentity:
      return "identity descriptor";
    case Step::kCapabilities:
      return "dropping capabilities";
    case Step::kGroups:
      return "setgroups";
    case Step::kGid:
      return "setresgid";
    case Step::kUid:
      return "setresuid";
    case Step::kSession:
      return "setsid";
    case Step::kLimit:
      return "descriptor limit";
    case Step::kFolder:
      return "working directory";
    case Step::kDescriptors:
      return "close_range";
    case Step::kExec:
      return "program";
  }
  return "start";
}

struct ChildFailure {
  Step step = Step::kExec;
  int error = 0;  // 0: none reported
};

// The child shares our memory until exec and reports a failure there;
// under ThreadSanitizer it is a copy (see CloneChild) and reports through a
// close-on-exec pipe instead, which its exec closes.
#if defined(__SANITIZE_THREAD__)
constexpr bool kChildIsCopy = true;
#else
constexpr bool kChildIsCopy = false;
#endif

// Everything the child needs, prepared by the parent: the child shares the
// parent's memory and may allocate nothing.
struct ChildPlan {
  int devNull = -1;
  int log = -1;
  int identity = -1;
  int cgroup = -1;                  // cgroup.procs to join; -1: none
  int report = -1;                  // a copy's pipe for a failure (kChildIsCopy)
  ChildFailure* failure = nullptr;  // where a child in our memory puts it
  const Credentials* credentials = nullptr;
  __user_cap_header_struct capabilityHeader{};
  __user_cap_data_struct capabilities[_LINUX_CAPABILITY_U32S_3]{};
  bool setLimit = false;
  rlimit64 descriptorLimit{};
  LaunchControl* control = nullptr;
  const char* folder = nullptr;
  std::vector<const char*> candidates;
  char** argv = nullptr;
  char** envp = nullptr;
};

[[noreturn]] void ChildFails(const ChildPlan& plan, Step step, int error) {
  const ChildFailure failure{step, error};
  if (plan.failure != nullptr) {
    *plan.failure = failure;
  } else {
    [[maybe_unused]] const ssize_t written = write(plan.report, &failure, sizeof failure);
  }
  _exit(127);
}

// The kernel's own layout of a signal action and mask (rt_sigaction,
// rt_sigprocmask), for the raw system calls of the child below.
struct KernelSignalAction {
  void (*handler)(int);
  unsigned long flags;
  void (*restorer)();
  std::uint64_t mask;
};

// Sets the calling thread's signal mask to all signals or to none, by the
// system call itself.
void SetRawSignalMask(bool all) {
  const std::uint64_t mask = all ? ~std::uint64_t{0} : 0;
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, &mask, nullptr, sizeof mask);
}

// Runs in the child, on its own stack and in the parent's memory, until the
// program replaces it. It calls only async-signal-safe functions. Signal
// actions, the signal mask and the credentials go through syscall(): glibc's
// set*id wrappers would signal the parent's other threads to change theirs
// as well, and a library that wraps sigaction (a sanitizer's runtime) keeps
// its own table of handlers, which this child shares with the parent and
// must not change.
int ChildMain(void* argument) {
  const ChildPlan& plan = *static_cast<const ChildPlan*>(argument);
  if (plan.control != nullptr && !plan.control->Begin(static_cast<pid_t>(syscall(SYS_getpid))))
    _exit(127);  // given up on before it began; nobody reads a report
  // First, with the daemon's rights: whatever the program starts, in a
  // session of its own or not, is born in the instance's cgroup.
  if (plan.cgroup >= 0 && write(plan.cgroup, "0", 1) != 1) ChildFails(plan, Step::kCgroup, errno);
  // Every handled or ignored signal back to its default; exec keeps ignored ones.
  const KernelSignalAction byDefault{SIG_DFL, 0, nullptr, 0};
  for (int signal = 1; signal < NSIG; ++signal)
    syscall(SYS_rt_sigaction, signal, &byDefault, nullptr, sizeof byDefault.mask);

  if (dup2(plan.devNull, STDIN_FILENO) < 0 || dup2(plan.log, STDOUT_FILENO) < 0 ||
      dup2(plan.log, STDERR_FILENO) < 0) {
    ChildFails(plan, Step::kStandardDescriptors, errno);
  }
  if (plan.identity >= 0 && dup2(plan.identity, kIdentityDescriptor) < 0)
    ChildFails(plan, Step::kIdentity, errno);

  const Credentials& credentials = *plan.credentials;
  if (credentials.changeUser) {
    // A plain change from root to another uid clears the permitted,
    // effective and ambient capabilities, but not the inheritable ones,
    // which a program with file capabilities could take up again.
    if (prctl(PR_SET_KEEPCAPS, 0, 0, 0, 0) != 0 ||
        prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 ||
        syscall(SYS_capset, &plan.capabilityHeader, plan.capabilities) != 0) {
      ChildFails(plan, Step::kCapabilities, errno);
    }
    if (syscall(SYS_setgroups, credentials.groups.size(), credentials.groups.data()) != 0)
      ChildFails(plan, Step::kGroups, errno);
  }
  if (credentials.changeGroup &&
      syscall(SYS_setresgid, credentials.gid, credentials.gid, credentials.gid) != 0) {
    ChildFails(plan, Step::kGid, errno);
  }
  if (credentials.changeUser &&
      syscall(SYS_setresuid, credentials.uid, credentials.uid, credentials.uid) != 0) {
    ChildFails(plan, Step::kUid, errno);
  }
  if (setsid() < 0) ChildFails(plan, Step::kSession, errno);
  // The daemon raised its own limit for its many pidfds; a server gets the
  // limit the daemon was given, as it would have without the daemon.
  if (plan.setLimit &&
      syscall(SYS_prlimit64, 0, RLIMIT_NOFILE, &plan.descriptorLimit, nullptr) != 0) {
    ChildFails(plan, Step::kLimit, errno);
  }
  // After the change of user: the folder is entered with the instance's rights.
  if (plan.folder != nullptr && chdir(plan.folder) != 0) ChildFails(plan, Step::kFolder, errno);
  const unsigned firstOther = plan.identity >= 0 ? kIdentityDescriptor + 1 : STDERR_FILENO + 1;
  // Close-on-exec rather than closed: the report pipe must stay open until exec.
  if (syscall(SYS_close_range, firstOther, ~0U, CLOSE_RANGE_CLOEXEC) != 0)
    ChildFails(plan, Step::kDescriptors, errno);

  // The program runs with the scheduling the daemon was given, not the
  // short slices the daemon asked for itself. Given back only now: under
  // load, a child with the kernel's longer slice waited behind the work its
  // short one had preempted, before it had done any of the steps above.
  zq_platform::RestoreTimeSlicesInChild();
  SetRawSignalMask(false);
  // As execvp: a folder where the program is not found, or may not be run,
  // passes to the next; "permission denied" is kept if nothing is found.
  int error = ENOENT;
  for (const char* candidate : plan.candidates) {
    execve(candidate, plan.argv, plan.envp);
    if (errno == EACCES) {
      error = EACCES;
    } else if (errno != ENOENT && errno != ENOTDIR) {
      error = errno;
      break;
    }
  }
  SetRawSignalMask(true);
  ChildFails(plan, Step::kExec, error);
}

// The capability sets to keep when the user changes: the current ones
// without the inheritable set.
void PrepareCapabilities(ChildPlan& plan) {
  plan.capabilityHeader.version = _LINUX_CAPABILITY_VERSION_3;
  plan.capabilityHeader.pid = 0;
  if (syscall(SYS_capget, &plan.capabilityHeader, plan.capabilities) == 0) {
    for (auto& set : plan.capabilities)
      set.inheritable = 0;
  }
}

// The stack a child runs on until exec, one per launching thread and kept
// between launches: the thread waits while its child uses it, and mapping a
// new one for every launch cost a start its mmap, its munmap (which stops
// every CPU the daemon runs on) and the child's first touches.
class ChildStack {
 public:
  static constexpr std::size_t kSize = 256 * 1024;
  ChildStack() = default;
  ChildStack(const ChildStack&) = delete;
  ChildStack& operator=(const ChildStack&) = delete;
  ~ChildStack() {
    if (base_ != nullptr) munmap(base_, kSize);
  }
  // The top of the stack; nullptr with errno set when it cannot be mapped.
  char* Top() {
    if (base_ == nullptr) {
      void* mapped = mmap(nullptr, kSize, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
      if (mapped == MAP_FAILED) return nullptr;
      base_ = mapped;
    }
    return static_cast<char*>(base_) + kSize;
  }

 private:
  void* base_ = nullptr;
};

// Runs ChildMain in a child that shares our memory until it has executed
// the program or failed (CLONE_VM | CLONE_VFORK: no copy of the daemon's
// pages, and the parent resumes only then). Every signal is blocked
// meanwhile, so that no handler of the daemon runs in the child.
pid_t CloneChild(ChildPlan& plan, int& error) {
  thread_local ChildStack stack;
  char* const top = kChildIsCopy ? nullptr : stack.Top();
  if (!kChildIsCopy && top == nullptr) {
    error = errno;
    return -1;
  }
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer keeps each thread's clocks in our memory: a child that
  // shared it would advance the launching thread's clocks behind its back,
  // and every later hand-over from that thread would look like a race. It
  // gets a copy instead, and its process id is published from here.
  const pid_t pid = fork();
  if (pid == 0) _exit(ChildMain(&plan));
  error = errno;
  if (pid > 0 && plan.control != nullptr && !plan.control->Begin(pid)) kill(pid, SIGKILL);
#else
  const pid_t pid = clone(ChildMain, top, CLONE_VM | CLONE_VFORK | SIGCHLD, &plan);
  error = errno;
#endif
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return pid;
}

// Waits for the child that reported a failure, and lets no LaunchControl
// signal its process id from then on.
void ReapFailed(pid_t pid, LaunchControl* control) {
  if (control != nullptr) control->Reaping();
  waitpid(pid, nullptr, 0);
}

}  // namespace

void LaunchControl::Cancel() {
  std::lock_guard<std::mutex> lock(mutex_);
  cancelled_.store(true);
  // Read after the flag is set, as the child sets its id before it reads
  // the flag: either it is seen here, or the child sees the flag.
  if (const pid_t child = child_.load(); child > 0) kill(child, SIGKILL);
}

bool LaunchControl::Begin(pid_t child) {
  child_.store(child);
  return !cancelled_.load();
}

void LaunchControl::Reaping() {
  std::lock_guard<std::mutex> lock(mutex_);
  child_.store(-1);
}

std::vector<std::string> ProgramCandidates(const std::string& program) {
  if (program.find('/') != std::string::npos) return {program};
  const char* path = getenv("PATH");
  const std::string folders = path != nullptr ? path : "/bin:/usr/bin";
  std::vector<std::string> candidates;
  for (std::size_t start = 0;;) {
    const std::size_t end = folders.find(':', start);
    std::string folder = folders.substr(start, end - start);
    if (folder.empty()) folder = ".";
    candidates.push_back(folder + "/" + program);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return candidates;
}

int OpenDevNull() {
  return MoveHigh(open("/dev/null", O_RDONLY | O_CLOEXEC));
}

int OpenPidfd(pid_t pid) {
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

Launched Launch(const LaunchConfig& launch, const std::string& name, unsigned instance,
                const std::string& logPath, int identityFd, bool keepLog) {
  LaunchRequest request;
  request.name = name;
  request.instance = instance;
  request.logPath = logPath;
  request.identityFd = identityFd;
  request.keepLog = keepLog;
  return Launch(launch, request);
}

Launched Launch(const LaunchConfig& launch, const LaunchRequest& request) {
  const std::string& name = request.name;
  const unsigned instance = request.instance;
  const std::string& logPath = request.logPath;
  const int identityFd = request.identityFd;
  const Credentials credentials =
      request.credentials ? *request.credentials
                          : ResolveCredentials(launch.user, launch.group, CurrentIdentity());
  // Opened here, not in the child, so that an unusable log is reported to
  // the caller instead of failing silently after the fork.
  Descriptor log(MoveHigh(OpenLogFile(logPath)));
  if (log.Get() < 0) LaunchFailed(name, instance, "log file " + logPath, errno);
  const Descriptor ownDevNull(request.devNull >= kHighDescriptor ? -1 : OpenDevNull());
  const int devNull = ownDevNull.Get() >= 0 ? ownDevNull.Get() : request.devNull;
  if (devNull < 0) LaunchFailed(name, instance, "/dev/null", errno);
  const Descriptor key(identityFd >= 0 ? HighCopy(identityFd) : -1);
  if (identityFd >= 0 && key.Get() < 0)
    LaunchFailed(name, instance, "identity descriptor " + std::to_string(identityFd), errno);
  const Descriptor cgroup(request.cgroupProcs >= 0 ? HighCopy(request.cgroupProcs) : -1);
  if (request.cgroupProcs >= 0 && cgroup.Get() < 0)
    LaunchFailed(name, instance, "cgroup descriptor", errno);
  Descriptor reportRead;
  Descriptor reportWrite;
  if (kChildIsCopy) {
    int pipe[2];
    if (pipe2(pipe, O_CLOEXEC) != 0) LaunchFailed(name, instance, "pipe2", errno);
    reportRead.Reset(pipe[0]);
    reportWrite.Reset(MoveHigh(pipe[1]));
    if (reportWrite.Get() < 0) LaunchFailed(name, instance, "pipe2", errno);
  }

  std::vector<std::string> argv = launch.arguments;
  argv.insert(argv.begin(), launch.program);
  std::vector<std::string> added;
  std::vector<char*> envpPointers =
      Environment(launch, credentials, name, instance, identityFd, added);
  std::vector<char*> argvPointers = Pointers(argv);
  const std::vector<std::string> candidates = ProgramCandidates(launch.program);

  ChildFailure failure;
  ChildPlan plan;
  plan.devNull = devNull;
  plan.log = log.Get();
  plan.identity = key.Get();
  plan.cgroup = cgroup.Get();
  plan.report = reportWrite.Get();
  if (!kChildIsCopy) plan.failure = &failure;
  plan.credentials = &credentials;
  if (credentials.changeUser) PrepareCapabilities(plan);
  plan.control = request.control;
  if (request.descriptorLimit) {
    plan.setLimit = true;
    plan.descriptorLimit = {request.descriptorLimit->rlim_cur, request.descriptorLimit->rlim_max};
  }
  plan.folder = launch.workingDirectory.empty() ? nullptr : launch.workingDirectory.c_str();
  for (const std::string& candidate : candidates)
    plan.candidates.push_back(candidate.c_str());
  plan.argv = argvPointers.data();
  plan.envp = envpPointers.data();

  int error = 0;
  const pid_t pid = CloneChild(plan, error);
  if (pid < 0) LaunchFailed(name, instance, "clone", error);
  if (kChildIsCopy) {
    reportWrite.Reset(-1);
    if (read(reportRead.Get(), &failure, sizeof failure) != sizeof failure) failure = {};
  }
  if (failure.error != 0) {
    ReapFailed(pid, request.control);
    const std::string what = failure.step == Step::kExec ? "program \"" + launch.program + "\""
                             : failure.step == Step::kFolder
                                 ? "working directory \"" + launch.workingDirectory + "\""
                                 : StepName(failure.step);
    LaunchFailed(name, instance, what, failure.error);
  }

  Launched launched;
  launched.pid = pid;
  launched.pidfd = OpenPidfd(pid);
  if (launched.pidfd < 0) {
    // Our own unreaped child cannot be gone; only resource exhaustion gets here.
    const int pidfdError = errno;
    kill(pid, SIGKILL);
    ReapFailed(pid, request.control);
    LaunchFailed(name, instance, "pidfd_open", pidfdError);
  }
  if (request.keepLog) launched.log = log.Release();
  return launched;
}

std::string Reap(int pidfd) {
  siginfo_t info{};
  if (waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info, WEXITED | WNOHANG) !=
          0 ||
      info.si_pid == 0) {
    return "";
  }
  return DescribeEnd(info.si_code, info.si_status);
}

std::string DescribeEnd(int code, int status) {
  if (code == CLD_EXITED) return "exit status " + std::to_string(status);
  return "killed by signal " + std::to_string(status) + " (" + strsignal(status) + ")";
}

}  // namespace zqmd
