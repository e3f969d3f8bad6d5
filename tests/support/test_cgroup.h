// A cgroup v2 folder of the test's own, for a daemon started with --cgroup,
// and waits on the file system without polling.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace zq_test {

using namespace std::chrono_literals;

class TestCgroup {
 public:
  // Makes "<cgroup2 mount>/zq-test-<pid>"; Usable() says whether it could.
  TestCgroup();
  // Kills what is left in it and in the cgroups below, and removes them.
  ~TestCgroup();
  TestCgroup(const TestCgroup&) = delete;
  TestCgroup& operator=(const TestCgroup&) = delete;

  bool Usable() const { return why_.empty(); }
  // Why it could not be made ("" when Usable()).
  const std::string& Why() const { return why_; }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  std::string why_;
};

// The cgroup of `pid` as an absolute folder below the cgroup2 mount; "".
std::string CgroupFolderOf(int pid);

// Waits until `path` (a file or folder) no longer exists, through inotify
// on its parent folder.
bool WaitForRemoval(const std::string& path, std::chrono::milliseconds timeout = 10s);

// Makes a FIFO at `path`, then waits for a writer to write a line into it;
// the line without its newline, nullopt when none came in time.
std::optional<std::string> ReadLineFromFifo(const std::string& path,
                                            std::chrono::milliseconds timeout = 10s);

}  // namespace zq_test
