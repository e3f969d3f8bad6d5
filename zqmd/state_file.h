// The daemon's registry on disk, so that a restarted daemon knows the
// instances that outlived its predecessor instead of starting them twice.
//
// The file holds one packed ZQ_TList of dictionaries and is replaced
// atomically (written beside with mode 0600, made durable, then renamed).
// It is read only when it is a plain file of the daemon's user: a symbolic
// link is not followed. Each entry carries the
// process's start time in clock ticks since boot (field 22 of
// /proc/<pid>/stat), so that a process id reused since then is not mistaken
// for the instance, and the id of the launch that started it (the daemon's
// mark ZQM_LAUNCH in the instance's environment), so that the processes that
// launch left behind are known for what they are once its process has
// ended. An entry without "Launch" (a process that registered itself, or a
// file of an earlier daemon) is read as one with an empty launch id.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zqmd {

struct SavedInstance {
  std::string name;
  unsigned short instance = 0;
  pid_t pid = 0;
  unsigned short port = 0;
  std::string state;         // "running", "plain" or "unbound"
  std::int64_t started = 0;  // seconds since 1970
  std::string logPath;
  std::uint64_t startTicks = 0;
  std::string launch;  // "" for a process this daemon did not start

  bool operator==(const SavedInstance&) const = default;
};

// A server the operator took down ("zqm down"): the daemon starts none of
// its instances until the mark is cleared. Kept in the same file, as list
// entries of their own ({"OperatorDown": name, "Since": seconds since 1970
// as text}) that LoadState, and daemons that know no marks, pass over.
struct OperatorDown {
  std::string name;
  std::int64_t since = 0;  // seconds since 1970

  bool operator==(const OperatorDown&) const = default;
};

// The entries of the file at `path`; nullopt when it does not exist, or
// when it cannot be read or unpacked or is refused (then `problem` says why).
std::optional<std::vector<SavedInstance>> LoadState(const std::string& path, std::string& problem);

// The entries that `bytes`, the content of a state file, holds; entries
// that lack a field, have one of the wrong kind, or a number that does not
// fit (a port above 65535, a time that is not a whole number) are left out. Bytes that
// do not unpack to a list give none, and `problem` says why, naming `path`.
std::vector<SavedInstance> DecodeState(std::string_view bytes, const std::string& path,
                                       std::string& problem);
// The operator-down marks that `bytes` hold, likewise.
std::vector<OperatorDown> DecodeOperatorDown(std::string_view bytes, const std::string& path,
                                             std::string& problem);

// The content of a state file holding `instances` and the marks `down`.
std::string EncodeState(const std::vector<SavedInstance>& instances,
                        const std::vector<OperatorDown>& down = {});

// The operator-down marks of the file at `path`, as LoadState reads it.
std::vector<OperatorDown> LoadOperatorDown(const std::string& path, std::string& problem);

// Replaces the file at `path` by the instances and the operator-down
// marks; false with `problem` set on failure.
bool SaveState(const std::string& path, const std::vector<SavedInstance>& instances,
               const std::vector<OperatorDown>& down, std::string& problem);

}  // namespace zqmd
