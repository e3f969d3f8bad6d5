#include "zqmd/safe_files.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "DEVUror/zqm_exceptions.h"

namespace zqmd {

namespace {

[[noreturn]] void Refuse(const std::string& why) {
  ZQM_EException refused{ZQ_TString(why)};
  ZQ_THROW_AT(refused, __FILE__, __LINE__);
}

std::string Errno(int error) {
  return std::strerror(error);
}

std::string Octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

bool IsAbsolute(const char* path) {
  return path != nullptr && path[0] == '/';
}

// $XDG_STATE_HOME, or ~/.local/state; "" when the home is not known.
std::string StateHome() {
  if (const char* state = getenv("XDG_STATE_HOME"); IsAbsolute(state)) return state;
  if (const char* home = getenv("HOME"); IsAbsolute(home))
    return std::string(home) + "/.local/state";
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && IsAbsolute(found->pw_dir)) {
    return std::string(found->pw_dir) + "/.local/state";
  }
  return "";
}

std::string ReadSmallFile(const char* path) {
  std::ifstream file(path);
  std::string text;
  std::getline(file, text, '\0');
  return text;
}

std::string Parent(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

void MakeDirectories(const std::string& path, const char* role, mode_t mode = 0750) {
  if (path.empty()) Refuse("no folder given, and none by default: set HOME or XDG_STATE_HOME");
  // Each prefix ending before a '/', then the whole path.
  for (std::size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
    const std::string prefix = path.substr(0, at);
    if (mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST)
      Refuse(std::string("cannot create the ") + role + " " + path +
             (prefix == path ? "" : " (at " + prefix + ")") + ": " + Errno(errno));
    if (at == std::string::npos) return;
  }
}

std::string RealPath(const std::string& path) {
  char real[PATH_MAX];
  if (realpath(path.c_str(), real) == nullptr)
    Refuse("cannot resolve the folder " + path + ": " + Errno(errno));
  return real;
}

bool Trusted(uid_t owner) {
  return owner == 0 || owner == geteuid();
}

// In a user namespace that does not map every uid, files of unmapped users
// (the real root's among them) show the overflow uid.
bool UnmappedOwner(uid_t owner) {
  std::istringstream map(ReadSmallFile("/proc/self/uid_map"));
  std::string inside, outside, count;
  map >> inside >> outside >> count;
  if (inside == "0" && outside == "0" && count == "4294967295") return false;
  const std::string overflow = ReadSmallFile("/proc/sys/kernel/overflowuid");
  return overflow.substr(0, overflow.find('\n')) == std::to_string(owner);
}

// The folder itself: only its owner, the daemon or root, may write in it.
void CheckOwnFolder(const std::string& folder, const char* role) {
  struct stat status {};
  if (stat(folder.c_str(), &status) != 0)
    Refuse(std::string("cannot use the ") + role + " " + folder + ": " + Errno(errno));
  if (!S_ISDIR(status.st_mode))
    Refuse(std::string("the ") + role + " " + folder + " is not a folder");
  if (!Trusted(status.st_uid)) {
    Refuse(std::string("the ") + role + " " + folder + " is owned by uid " +
           std::to_string(status.st_uid) + ", not by the daemon's user (uid " +
           std::to_string(geteuid()) + ")");
  }
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    Refuse(std::string("the ") + role + " " + folder + " is writable by group or others (mode " +
           Octal(status.st_mode) + "); make it 0750 or stricter");
  }
}

// The folders above it: whoever may rename or replace an entry of one of
// them could swap the folder for another after this check. That is their
// owner, so each must belong to root or the daemon's user, and anyone when
// the folder is writable by others, unless it is sticky (like /tmp), where
// only an entry's owner may rename it. Write access of a group is left to
// the administrator who granted it (some systems give /var/log to the
// group of the system logger). In a user namespace, folders of users
// outside it (such as / and /tmp, the real root's) are accepted: a daemon
// there has no more rights than the user who made the namespace.
void CheckParents(const std::string& folder, const char* role) {
  for (std::string parent = Parent(folder);; parent = Parent(parent)) {
    struct stat status {};
    if (stat(parent.c_str(), &status) != 0)
      Refuse(std::string("cannot use the folder ") + parent + ": " + Errno(errno));
    if (!Trusted(status.st_uid) && !UnmappedOwner(status.st_uid)) {
      Refuse(std::string("the ") + role + " " + folder + " lies in " + parent + ", which uid " +
             std::to_string(status.st_uid) +
             " owns and could replace it; use a folder below one of the daemon's user or root");
    }
    if ((status.st_mode & S_IWOTH) != 0 && (status.st_mode & S_ISVTX) == 0) {
      Refuse(std::string("the ") + role + " " + folder + " lies in " + parent +
             ", which everybody may write (mode " + Octal(status.st_mode) + ")");
    }
    if (parent == "/") return;
  }
}

std::string PrepareFolder(const std::string& folder, const char* role, mode_t mode = 0750) {
  MakeDirectories(folder, role, mode);
  const std::string real = RealPath(folder);
  CheckOwnFolder(real, role);
  CheckParents(real, role);
  return real;
}

void CheckStateFile(const std::string& path) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) {
    if (errno == ENOENT) return;
    Refuse("cannot use the state file " + path + ": " + Errno(errno));
  }
  if (S_ISLNK(status.st_mode))
    Refuse("the state file " + path + " is a symbolic link; it is not followed");
  if (!S_ISREG(status.st_mode)) Refuse("the state file " + path + " is not a plain file");
  if (status.st_uid != geteuid()) {
    Refuse("the state file " + path + " is owned by uid " + std::to_string(status.st_uid) +
           ", not by the daemon's user (uid " + std::to_string(geteuid()) + ")");
  }
}

}  // namespace

std::string DefaultLogDirectory() {
  if (geteuid() == 0) return "/var/log/zqmd";
  const std::string home = StateHome();
  return home.empty() ? "" : home + "/zqmd/logs";
}

std::string DefaultStateFile() {
  if (geteuid() == 0) return "/var/lib/zqmd/zqmd.state";
  const std::string home = StateHome();
  return home.empty() ? "" : home + "/zqmd/zqmd.state";
}

void PrepareFilePlaces(std::string& logDirectory, std::string& stateFile) {
  if (stateFile.empty())
    Refuse("no state file given, and none by default: set HOME or XDG_STATE_HOME");
  logDirectory = PrepareFolder(logDirectory, "log folder");
  const std::size_t slash = stateFile.rfind('/');
  const std::string name = slash == std::string::npos ? stateFile : stateFile.substr(slash + 1);
  if (name.empty() || name == "." || name == "..")
    Refuse("the state file " + stateFile + " names a folder, not a file");
  stateFile = PrepareFolder(Parent(stateFile), "state file's folder") + "/" + name;
  CheckStateFile(stateFile);
}

std::string PrepareSocketPlace(const std::string& socketPath) {
  const std::size_t slash = socketPath.rfind('/');
  const std::string name = slash == std::string::npos ? socketPath : socketPath.substr(slash + 1);
  if (socketPath.empty() || socketPath[0] != '/' || name.empty() || name == "." || name == "..")
    Refuse("the local socket " + socketPath + " is not an absolute path of a file");
  // Everybody may enter it: servers of other users connect there.
  const std::string folder = PrepareFolder(Parent(socketPath), "local socket's folder", 0755);
  chmod(folder.c_str(), 0755);
  return folder + "/" + name;
}

std::string LogFilePath(const std::string& directory, const std::string& name, unsigned instance) {
  std::string problem;
  if (name.empty() || name == "." || name == "..") {
    problem = "it is empty, \".\" or \"..\"";
  } else if (name.size() > kMaxLogNameBytes) {
    problem = "it is longer than " + std::to_string(kMaxLogNameBytes) + " bytes";
  } else {
    for (const char c : name) {
      const auto byte = static_cast<unsigned char>(c);
      if (c == '/' || byte < 0x20 || byte == 0x7f) problem = "it holds '/' or a control character";
    }
  }
  if (!problem.empty()) Refuse("the server name cannot name a log file: " + problem);
  return directory + "/" + name + "-" + std::to_string(instance) + ".log";
}

int OpenLogFile(const std::string& path) {
  const int flags = kLogOpenFlags | O_CREAT;
  int fd = open(path.c_str(), flags, 0640);
  if (fd < 0 && errno == ENOENT && mkdir(Parent(path).c_str(), 0750) == 0)
    fd = open(path.c_str(), flags, 0640);
  if (fd < 0) {
    if (errno == ELOOP) Refuse("the log file " + path + " is a symbolic link; it is not followed");
    Refuse("cannot open the log file " + path + ": " + Errno(errno));
  }
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    Refuse("the log file " + path + " is not a plain file");
  }
  // Only the open was not to block; the instance writes as usual.
  fcntl(fd, F_SETFL, O_APPEND);
  return fd;
}

}  // namespace zqmd
