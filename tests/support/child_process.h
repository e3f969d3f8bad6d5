// A program started by a test, with its standard output and error captured
// line by line, so that the test can wait for a trace line with a deadline.
// The destructor kills the process (SIGKILL) and reaps it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace zq_test {

using namespace std::chrono_literals;

class ChildProcess {
 public:
  // Starts `argv` (argv[0] a path) with the current environment plus `env`.
  ChildProcess(std::vector<std::string> argv, std::map<std::string, std::string> env = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return pid_; }

  // Waits until a line matching `pattern` has been written (counting lines
  // from `after`, an index into Lines()); returns its index, or nullopt
  // after `timeout`.
  std::optional<std::size_t> WaitForLine(const std::string& pattern,
                                         std::chrono::milliseconds timeout = 10s,
                                         std::size_t after = 0);
  // Waits for the process to end; its exit status, or nullopt after `timeout`
  // (-1 when a signal ended it).
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout = 10s);

  void Signal(int signal);
  // The lines written so far, from index `first` on.
  std::vector<std::string> Lines(std::size_t first = 0) const;
  std::size_t LineCount() const;
  // All output as one text, for failure messages.
  std::string Output() const;

 private:
  void ReadOutput(int fd);

  pid_t pid_ = -1;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  bool outputClosed_ = false;
  std::optional<int> status_;
};

// Starts `argv` (argv[0] a path) with the current environment plus `env`,
// standard input from /dev/null, standard output and error into a pipe whose
// read end (close-on-exec, owned by the caller) is returned. The program
// finds the test's key through ZQM_KEY_FILE (test_key.h). Throws
// std::runtime_error when the program cannot be started.
int SpawnCapturingOutput(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env, pid_t& pid);

// Runs `argv` (argv[0] a path) with the current environment to its end;
// throws std::runtime_error with its output unless it exits with status 0
// within 10 s.
void RunCommand(const std::vector<std::string>& argv);
// Waits until `process` has closed its output, after it has ended: its
// exit can be seen before the reader thread has taken the last lines.
void WaitForOutputEnd(ChildProcess& process);

// A program run to its end: its exit status and everything it printed.
struct ProgramRun {
  int status = -2;  // -2: still running after the time-out (then killed)
  std::string output;
};
ProgramRun RunToEnd(const std::vector<std::string>& args,
                    const std::map<std::string, std::string>& env = {},
                    std::chrono::milliseconds timeout = 10s);

// Path of a program built by this project (the bin folder of the build).
std::string Program(const std::string& name);

// A fresh temporary folder, removed with its content by the destructor.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  void Write(const std::string& name, const std::string& content) const;

 private:
  std::string path_;
};

}  // namespace zq_test
