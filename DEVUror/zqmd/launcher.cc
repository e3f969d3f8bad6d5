#include "DEVUror/zqmd/launcher.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "DEVUror/zqm_exceptions.h"

extern char** environ;

namespace zqmd {

namespace {

[[noreturn]] void LaunchFailed(const std::string& name, unsigned instance, const std::string& what,
                               int error) {
  ZQM_EException failed(
      ZQ_TString::Format("cannot start %s#%d: %s: %s", name, instance, what, std::strerror(error)));
  ZQ_THROW_AT(failed, __FILE__, __LINE__);
}

void MakeFolders(const std::string& path) {
  for (std::size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
    mkdir(path.substr(0, at).c_str(), 0755);
  }
}

std::vector<std::string> Environment(const LaunchConfig& launch, const std::string& name,
                                     unsigned instance) {
  std::vector<std::pair<std::string, std::string>> overrides = launch.environment;
  overrides.emplace_back("ZQM_SERVER_NAME", name);
  overrides.emplace_back("ZQM_SERVER_INSTANCE", std::to_string(instance));
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    const std::string key = text.substr(0, text.find('='));
    bool replaced = false;
    for (const auto& [overrideKey, value] : overrides)
      replaced = replaced || overrideKey == key;
    if (!replaced) environment.push_back(text);
  }
  for (const auto& [key, value] : overrides)
    environment.push_back(key + "=" + value);
  return environment;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts)
    pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// posix_spawn's attributes and file actions, released on every way out.
struct SpawnSetup {
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
  SpawnSetup() {
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_init(&actions);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
};

}  // namespace

int OpenPidfd(pid_t pid) {
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

Launched Launch(const LaunchConfig& launch, const std::string& name, unsigned instance,
                const std::string& logPath) {
  MakeFolders(logPath);
  // Opened here, not in the child, so that an unwritable log is reported
  // to the caller instead of failing silently after the fork.
  const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (log < 0) LaunchFailed(name, instance, "log file " + logPath, errno);

  SpawnSetup setup;
  sigset_t none;
  sigemptyset(&none);
  // Exec resets handled signals by itself; what the daemon ignores (SIGPIPE)
  // would stay ignored in the instance without this.
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int signal : {SIGPIPE, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGCHLD}) {
    sigaddset(&defaults, signal);
  }
  posix_spawnattr_setsigmask(&setup.attributes, &none);
  posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
  posix_spawnattr_setflags(&setup.attributes,
                           POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&setup.actions, log, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&setup.actions, log, STDERR_FILENO);
  if (!launch.workingDirectory.empty()) {
    posix_spawn_file_actions_addchdir_np(&setup.actions, launch.workingDirectory.c_str());
  }
  posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1);

  std::vector<std::string> argv = launch.arguments;
  argv.insert(argv.begin(), launch.program);
  std::vector<std::string> envp = Environment(launch, name, instance);
  std::vector<char*> argvPointers = Pointers(argv);
  std::vector<char*> envpPointers = Pointers(envp);

  pid_t pid = 0;
  const int status = posix_spawnp(&pid, launch.program.c_str(), &setup.actions, &setup.attributes,
                                  argvPointers.data(), envpPointers.data());
  close(log);
  if (status != 0) LaunchFailed(name, instance, "program \"" + launch.program + "\"", status);

  Launched launched;
  launched.pid = pid;
  launched.pidfd = OpenPidfd(pid);
  if (launched.pidfd < 0) {
    // Our own unreaped child cannot be gone; only resource exhaustion gets here.
    const int error = errno;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    LaunchFailed(name, instance, "pidfd_open", error);
  }
  return launched;
}

std::string Reap(int pidfd) {
  siginfo_t info{};
  if (waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info, WEXITED | WNOHANG) !=
          0 ||
      info.si_pid == 0) {
    return "";
  }
  if (info.si_code == CLD_EXITED) return "exit status " + std::to_string(info.si_status);
  return "killed by signal " + std::to_string(info.si_status) + " (" + strsignal(info.si_status) +
         ")";
}

}  // namespace zqmd
