#include "zqmd/state_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <utility>

#include "DEVUror/zqm_file_io.h"
#include "platform/kernel_faults.h"
#include "typelib/dodived.h"

namespace zqmd {

namespace {

// Far more than any host's registry; a larger file is not read into memory.
constexpr std::size_t kMaxStateBytes = 16 << 20;

template <class T>
const T* Field(const ZQ_TDict& entry, const char* key) {
  const ZQ_TAny* value = entry.Find(key);
  return value != nullptr ? value->As<T>() : nullptr;
}

ZQ_TDict Packed(const SavedInstance& saved) {
  ZQ_TDict entry;
  entry.Set("Name", ZQ_TAny(ZQ_TString(saved.name)));
  entry.Set("Instance", ZQ_TAny(ZQ_TUInt16(saved.instance)));
  entry.Set("PID", ZQ_TAny(ZQ_TUInt32(static_cast<std::uint32_t>(saved.pid))));
  entry.Set("Port", ZQ_TAny(ZQ_TUInt32(saved.port)));
  entry.Set("State", ZQ_TAny(ZQ_TString(saved.state)));
  entry.Set("Started", ZQ_TAny(ZQ_TString(std::to_string(saved.started))));
  entry.Set("Log", ZQ_TAny(ZQ_TString(saved.logPath)));
  entry.Set("StartTicks", ZQ_TAny(ZQ_TString(std::to_string(saved.startTicks))));
  entry.Set("Launch", ZQ_TAny(ZQ_TString(saved.launch)));
  return entry;
}

// `text` as a whole decimal number of type T; nullopt for anything else,
// such as "12abc" or, for an unsigned T, "-1".
template <class T>
std::optional<T> WholeNumber(const std::string& text) {
  T value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

bool Unpacked(const ZQ_TDict& entry, SavedInstance& saved) {
  const auto* name = Field<ZQ_TString>(entry, "Name");
  const auto* instance = Field<ZQ_TUInt16>(entry, "Instance");
  const auto* pid = Field<ZQ_TUInt32>(entry, "PID");
  const auto* port = Field<ZQ_TUInt32>(entry, "Port");
  const auto* state = Field<ZQ_TString>(entry, "State");
  const auto* started = Field<ZQ_TString>(entry, "Started");
  const auto* log = Field<ZQ_TString>(entry, "Log");
  const auto* ticks = Field<ZQ_TString>(entry, "StartTicks");
  if (!name || !instance || !pid || !port || !state || !started || !log || !ticks) return false;
  const auto startedAt = WholeNumber<std::int64_t>(started->Text());
  const auto startTicks = WholeNumber<std::uint64_t>(ticks->Text());
  if (!startedAt || !startTicks || port->Value() > 65535) return false;
  saved.name = name->Text();
  saved.instance = instance->Value();
  saved.pid = static_cast<pid_t>(pid->Value());
  saved.port = static_cast<unsigned short>(port->Value());
  saved.state = state->Text();
  saved.logPath = log->Text();
  saved.started = *startedAt;
  saved.startTicks = *startTicks;
  // Absent in the files of earlier daemons.
  if (const auto* launch = Field<ZQ_TString>(entry, "Launch")) saved.launch = launch->Text();
  return true;
}

std::string Failed(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// Reads the whole of `path`, which must be a plain file of the daemon's
// user and no larger than kMaxStateBytes; false with `problem` set
// otherwise, except for a missing file (false, `problem` empty).
bool ReadOwnFile(const std::string& path, std::string& bytes, std::string& problem) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    if (errno == ELOOP)
      problem = path + ": a symbolic link; it is not followed";
    else if (errno != ENOENT)
      problem = Failed("open", path);
    return false;
  }
  struct stat status {};
  if (fstat(fd, &status) != 0) {
    problem = Failed("fstat", path);
  } else if (!S_ISREG(status.st_mode)) {
    problem = path + ": not a plain file";
  } else if (status.st_uid != geteuid()) {
    problem = path + ": owned by uid " + std::to_string(status.st_uid) + ", not by the daemon's";
  } else if (status.st_size > static_cast<off_t>(kMaxStateBytes)) {
    problem = path + ": larger than " + std::to_string(kMaxStateBytes) + " bytes";
  } else {
    bytes.resize(static_cast<std::size_t>(status.st_size));
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = read(fd, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    if (done != bytes.size()) problem = path + ": shorter than it was a moment ago";
  }
  close(fd);
  return problem.empty();
}

// The file the next content of `path` is written to before it takes the
// name: the previous content once a replacement is done.
std::string SpareOf(const std::string& path) {
  return path + ".new";
}

// Whether `fd` is a file only the daemon could have written: plain, its
// own, private, under one name.
bool OnlyOurs(int fd) {
  struct stat status {};
  return fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == geteuid() &&
         status.st_nlink == 1 && (status.st_mode & 077) == 0;
}

// The spare of `path`, empty and open for writing: the one a previous
// replacement left, or a new one. Reusing it means no file is created or
// deleted per write, which on ext4 without a journal makes every later
// creation in the folder (the instances' logs) skip the inodes freed
// since. -1 with errno set.
int OpenSpare(const std::string& spare) {
  int fd = open(spare.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0 && OnlyOurs(fd) && ftruncate(fd, 0) == 0) return fd;
  if (fd >= 0) close(fd);
  if (fd >= 0 || errno == ELOOP) unlink(spare.c_str());
  return open(spare.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

// Gives the spare the name `path`: swapped with the current file, which
// becomes the next spare, or renamed where there is none yet or the file
// system cannot swap.
bool TakeName(const std::string& spare, const std::string& path) {
  if (renameat2(AT_FDCWD, spare.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) == 0) return true;
  return rename(spare.c_str(), path.c_str()) == 0;
}

// Replaces `path` by a file holding `bytes`, so that a reader (or a crash)
// sees the old content or the new one, never a part: written beside, made
// durable, given the name, and the new name made durable.
bool ReplaceFile(const std::string& path, const std::string& bytes, std::string& problem) {
  const std::string spare = SpareOf(path);
  const int fd = OpenSpare(spare);
  if (fd < 0) {
    problem = Failed("create", spare);
    return false;
  }
  if (!zqm_io::WriteAll(fd, bytes, zq_platform::g_system_calls.write))
    problem = Failed("write", spare);
  else if (zq_platform::g_system_calls.fsync(fd) != 0)
    problem = Failed("fsync", spare);
  close(fd);
  if (problem.empty() && !TakeName(spare, path)) problem = Failed("rename over", path);
  if (!problem.empty()) {
    unlink(spare.c_str());
    return false;
  }
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  const int directory = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0 || fsync(directory) != 0) problem = Failed("fsync the folder", folder);
  if (directory >= 0) close(directory);
  return problem.empty();
}

// Calls `take` with each dictionary of the list that `bytes` unpack to;
// `problem` says why, naming `path`, when they are no list.
template <class Take>
void ForEachEntry(std::string_view bytes, const std::string& path, std::string& problem,
                  Take take) {
  try {
    const ZQ_TAny value = ZQ_UnpackValue(bytes);
    const ZQ_TList* list = value.As<ZQ_TList>();
    if (list == nullptr) {
      problem = path + ": not a list of instances";
      return;
    }
    for (const ZQ_TAny& element : *list) {
      if (const ZQ_TDict* entry = element.As<ZQ_TDict>()) take(*entry);
    }
  } catch (const ZQ_EException& failure) {
    problem = path + ": " + failure.ZQ_Message().Text();
  }
}

}  // namespace

std::vector<SavedInstance> DecodeState(std::string_view bytes, const std::string& path,
                                       std::string& problem) {
  std::vector<SavedInstance> instances;
  ForEachEntry(bytes, path, problem, [&](const ZQ_TDict& entry) {
    SavedInstance saved;
    if (Unpacked(entry, saved)) instances.push_back(saved);
  });
  return instances;
}

std::vector<OperatorDown> DecodeOperatorDown(std::string_view bytes, const std::string& path,
                                             std::string& problem) {
  std::vector<OperatorDown> marks;
  ForEachEntry(bytes, path, problem, [&](const ZQ_TDict& entry) {
    const auto* name = Field<ZQ_TString>(entry, "OperatorDown");
    const auto* since = Field<ZQ_TString>(entry, "Since");
    if (name == nullptr || name->IsEmpty() || since == nullptr) return;
    // A mark without its time is kept all the same: dropping it would start
    // what the operator took down.
    marks.push_back({name->Text(), WholeNumber<std::int64_t>(since->Text()).value_or(0)});
  });
  return marks;
}

std::string EncodeState(const std::vector<SavedInstance>& instances,
                        const std::vector<OperatorDown>& down) {
  ZQ_TList list;
  for (const SavedInstance& saved : instances)
    list.Append(ZQ_TAny(Packed(saved)));
  for (const OperatorDown& mark : down) {
    ZQ_TDict entry;
    entry.Set("OperatorDown", ZQ_TAny(ZQ_TString(mark.name)));
    entry.Set("Since", ZQ_TAny(ZQ_TString(std::to_string(mark.since))));
    list.Append(ZQ_TAny(std::move(entry)));
  }
  return ZQ_PackValue(&list);
}

std::optional<std::vector<SavedInstance>> LoadState(const std::string& path, std::string& problem) {
  std::string bytes;
  if (!ReadOwnFile(path, bytes, problem)) return std::nullopt;
  std::vector<SavedInstance> instances = DecodeState(bytes, path, problem);
  if (!problem.empty()) return std::nullopt;
  return instances;
}

std::vector<OperatorDown> LoadOperatorDown(const std::string& path, std::string& problem) {
  std::string bytes;
  if (!ReadOwnFile(path, bytes, problem)) return {};
  return DecodeOperatorDown(bytes, path, problem);
}

bool SaveState(const std::string& path, const std::vector<SavedInstance>& instances,
               const std::vector<OperatorDown>& down, std::string& problem) {
  return ReplaceFile(path, EncodeState(instances, down), problem);
}

}  // namespace zqmd
