#include "Almanac/Server/known_keys.h"

namespace almanac {

namespace {

constexpr const char* kDaemon = "the daemon";
constexpr const char* kService = "the service";
constexpr const char* kBoth = "the daemon and the service";
constexpr const char* kFleet = "zqm status --all and zqm web";

// Launch keys: zqmd/launch_config.h; the service's: the
// reconfiguration pass and the dispatcher verification.
constexpr KnownKey kKnownKeys[] = {
    {"Servers/ZQMD/Servers", Kind::kTree, kBoth},
    {"Servers/ZQMD/Servers/*", Kind::kTree, kBoth},
    {"Servers/ZQMD/Servers/*/Program", Kind::kText, kDaemon},
    {"Servers/ZQMD/Servers/*/Arguments", Kind::kTextList, kDaemon},
    {"Servers/ZQMD/Servers/*/Environment", Kind::kTextTree, kDaemon},
    {"Servers/ZQMD/Servers/*/WorkingDirectory", Kind::kText, kDaemon},
    {"Servers/ZQMD/Servers/*/Plain", Kind::kBool, kDaemon},
    {"Servers/ZQMD/Servers/*/StartTimeout", Kind::kNumber, kDaemon},
    {"Servers/ZQMD/Servers/*/User", Kind::kTextOrNumber, kDaemon},
    {"Servers/ZQMD/Servers/*/Group", Kind::kTextOrNumber, kDaemon},
    {"Servers/ZQMD/Servers/*/LogMaxBytes", Kind::kNumber, kDaemon},
    {"Servers/ZQMD/Servers/*/LogFilesKept", Kind::kNumber, kDaemon},
    {"Servers/ZQMD/Servers/*/BackoffMinimumUptime", Kind::kNumber, kDaemon},
    {"Servers/ZQMD/Servers/*/BackoffInitialDelay", Kind::kNumber, kDaemon},
    {"Servers/ZQMD/Servers/*/BackoffMaximumDelay", Kind::kNumber, kDaemon},
    {"Servers/ZQMD/Servers/*/AlwaysRunning", Kind::kBool, kService},
    {"Servers/ZQMD/Servers/*/Configurations", Kind::kTextList, kService},
    {"Servers/ZQMD/Servers/*/StartupOrder", Kind::kNumber, kService},
    {"Servers/ZQMD/Servers/*/DelayAfterStartup", Kind::kNumber, kService},
    {"Servers/ZQMD/Servers/*/NrOfInstances", Kind::kNumber, kService},
    {"Hosts", Kind::kTree, kFleet},
    {"Hosts/*", Kind::kTree, kFleet},
    {"Hosts/*/Address", Kind::kText, kFleet},
    {"Hosts/*/ServerConfiguration", Kind::kText, kFleet},
    {"Devices/Instances", Kind::kTree, kService},
    {"Devices/Instances/*/Rip/Config", Kind::kTree, kService},
    {"Devices/Instances/*/Rip/Config/TavrixControl/IsDispatcherChecked", Kind::kBool, kService},
    {"Devices/Instances/*/Rip/Config/TavrixControl/IsDispatcherRunning", Kind::kBool, kService},
};

constexpr const char* kClosedSubtrees[] = {"Servers/ZQMD/Servers/*"};

bool AllElements(const ZQ_TList& list, bool (*test)(const ZQ_TAny&)) {
  for (const ZQ_TAny& element : list)
    if (!test(element)) return false;
  return true;
}

bool IsText(const ZQ_TAny& value) {
  return value.As<ZQ_TString>() != nullptr;
}

}  // namespace

std::span<const KnownKey> KnownKeys() {
  return kKnownKeys;
}

std::span<const char* const> ClosedSubtrees() {
  return kClosedSubtrees;
}

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::kTree:
      return "an object";
    case Kind::kText:
      return "a text";
    case Kind::kNumber:
      return "a number";
    case Kind::kBool:
      return "true or false";
    case Kind::kTextList:
      return "a list of texts";
    case Kind::kTextTree:
      return "an object of texts";
    case Kind::kTextOrNumber:
      return "a text or a number";
  }
  return "?";
}

std::string DescribeValue(const ZQ_TAny& value) {
  if (value.As<ZQ_TTree>() != nullptr) return "an object";
  if (value.As<ZQ_TList>() != nullptr) return "a list";
  if (value.As<ZQ_TString>() != nullptr) return "a text";
  if (value.As<ZQ_TUInt32>() != nullptr) return "a number";
  if (value.As<ZQ_TBool>() != nullptr) return "a boolean";
  return value.HeldClassName();
}

bool HasKind(const ZQ_TAny& value, Kind kind) {
  switch (kind) {
    case Kind::kTree:
      return value.As<ZQ_TTree>() != nullptr;
    case Kind::kText:
      return IsText(value);
    case Kind::kNumber:
      return value.As<ZQ_TUInt32>() != nullptr;
    case Kind::kBool:
      return value.As<ZQ_TBool>() != nullptr;
    case Kind::kTextList:
      return value.As<ZQ_TList>() != nullptr && AllElements(*value.As<ZQ_TList>(), IsText);
    case Kind::kTextTree: {
      const ZQ_TTree* tree = value.As<ZQ_TTree>();
      if (tree == nullptr) return false;
      for (const auto& [key, child] : tree->Entries())
        if (!IsText(child)) return false;
      return true;
    }
    case Kind::kTextOrNumber:
      return IsText(value) || value.As<ZQ_TUInt32>() != nullptr;
  }
  return false;
}

bool PathMatches(const std::string& pattern, const std::string& path) {
  std::size_t p = 0, q = 0;
  for (;;) {
    const std::size_t patternEnd = std::min(pattern.find('/', p), pattern.size());
    const std::size_t pathEnd = std::min(path.find('/', q), path.size());
    if (pattern.compare(p, patternEnd - p, "*") != 0 &&
        pattern.compare(p, patternEnd - p, path, q, pathEnd - q) != 0) {
      return false;
    }
    const bool patternDone = patternEnd == pattern.size();
    const bool pathDone = pathEnd == path.size();
    if (patternDone || pathDone) return patternDone && pathDone;
    p = patternEnd + 1;
    q = pathEnd + 1;
  }
}

}  // namespace almanac
