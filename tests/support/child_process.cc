#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "support/test_key.h"

extern char** environ;

namespace zq_test {

int SpawnCapturingOutput(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env, pid_t& pid) {
  ProcessKeyFile();  // every program a test starts shares the test's key
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    if (env.count(text.substr(0, text.find('='))) == 0) environment.push_back(text);
  }
  for (const auto& [key, value] : env)
    environment.push_back(key + "=" + value);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (auto& a : args)
    argp.push_back(a.data());
  argp.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : environment)
    envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
  const int status = posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (status != 0) {
    close(pipeFds[0]);
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(status));
  }
  return pipeFds[0];
}

ChildProcess::ChildProcess(std::vector<std::string> argv, std::map<std::string, std::string> env) {
  const int output = SpawnCapturingOutput(argv, env, pid_);
  reader_ = std::thread([this, output] { ReadOutput(output); });
}

ChildProcess::~ChildProcess() {
  if (!status_) {
    kill(pid_, SIGKILL);
    WaitForExit(10s);
  }
  if (reader_.joinable()) reader_.join();
}

void ChildProcess::ReadOutput(int fd) {
  std::string pending;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buffer, static_cast<std::size_t>(n));
    std::size_t end;
    std::lock_guard<std::mutex> hold(mutex_);
    while ((end = pending.find('\n')) != std::string::npos) {
      lines_.push_back(pending.substr(0, end));
      pending.erase(0, end + 1);
    }
    changed_.notify_all();
  }
  close(fd);
  std::lock_guard<std::mutex> hold(mutex_);
  if (!pending.empty()) lines_.push_back(pending);
  outputClosed_ = true;
  changed_.notify_all();
}

std::optional<std::size_t> ChildProcess::WaitForLine(const std::string& pattern,
                                                     std::chrono::milliseconds timeout,
                                                     std::size_t after) {
  const std::regex expression(pattern);
  std::unique_lock<std::mutex> hold(mutex_);
  std::size_t checked = after;
  std::optional<std::size_t> found;
  changed_.wait_for(hold, timeout, [&] {
    for (; checked < lines_.size(); ++checked) {
      if (std::regex_search(lines_[checked], expression)) {
        found = checked;
        return true;
      }
    }
    return outputClosed_;
  });
  return found;
}

std::optional<int> ChildProcess::WaitForExit(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  // A pidfd turns the child's end into a descriptor we can poll with a deadline.
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
  if (pidfd >= 0) {
    pollfd entry{pidfd, POLLIN, 0};
    const int ready = poll(&entry, 1, static_cast<int>(timeout.count()));
    close(pidfd);
    if (ready <= 0) return std::nullopt;
  }
  int status = 0;
  if (waitpid(pid_, &status, 0) != pid_) return std::nullopt;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  // The output is complete once the pipe has closed: wait for the reader to
  // take the last lines, so that Lines() right after this call has them.
  std::unique_lock<std::mutex> hold(mutex_);
  changed_.wait_for(hold, timeout, [this] { return outputClosed_; });
  return status_;
}

void ChildProcess::Signal(int signal) {
  kill(pid_, signal);
}

std::vector<std::string> ChildProcess::Lines(std::size_t first) const {
  std::lock_guard<std::mutex> hold(mutex_);
  if (first >= lines_.size()) return {};
  return std::vector<std::string>(lines_.begin() + static_cast<std::ptrdiff_t>(first),
                                  lines_.end());
}

std::size_t ChildProcess::LineCount() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return lines_.size();
}

std::string ChildProcess::Output() const {
  std::string text;
  for (const std::string& line : Lines())
    text += line + "\n";
  return text;
}

void RunCommand(const std::vector<std::string>& argv) {
  const ProgramRun run = RunToEnd(argv, {}, 10s);
  if (run.status != 0) {
    std::string line;
    for (const std::string& word : argv)
      line += word + " ";
    throw std::runtime_error(line + "failed (status " + std::to_string(run.status) + "):\n" +
                             run.output);
  }
}

std::string Program(const std::string& name) {
  const char* dir = std::getenv("ZQ_BIN_DIR");
  return std::string(dir != nullptr ? dir : ".") + "/" + name;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zqtest-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void TempDir::Write(const std::string& name, const std::string& content) const {
  std::ofstream(File(name)) << content;
}

void WaitForOutputEnd(ChildProcess& process) {
  // "(?!)" never matches, so this returns when the output closes.
  process.WaitForLine("(?!)", std::chrono::seconds(5), process.LineCount());
}

ProgramRun RunToEnd(const std::vector<std::string>& args,
                    const std::map<std::string, std::string>& env,
                    std::chrono::milliseconds timeout) {
  ChildProcess program(args, env);
  ProgramRun run;
  run.status = program.WaitForExit(timeout).value_or(-2);
  if (run.status != -2) WaitForOutputEnd(program);
  run.output = program.Output();
  return run;
}

}  // namespace zq_test
