// The keys of the configuration tree that the programs of the installation
// read, with the kind of value each expects: one line per key, so that a
// key added to the daemon or the service is one line here. `almanac
// --check` reports a value of another kind as an error, and a key of a
// server entry that nobody reads as a warning (a misspelt key would
// otherwise be ignored).
#pragma once

#include <span>
#include <string>

#include "typelib/dodived.h"

namespace almanac {

enum class Kind { kTree, kText, kNumber, kBool, kTextList, kTextTree, kTextOrNumber };

struct KnownKey {
  const char* path;  // keys joined by '/'; "*" stands for any one key
  Kind kind;
  const char* readBy;
};

std::span<const KnownKey> KnownKeys();

// The subtrees whose every key must be known ("*" as above).
std::span<const char* const> ClosedSubtrees();

// "a text", "a list of texts", ...
const char* KindName(Kind kind);
// What `value` is, in the same words ("a number", "a tree", ...).
std::string DescribeValue(const ZQ_TAny& value);
bool HasKind(const ZQ_TAny& value, Kind kind);

// Whether `path` matches `pattern`, key by key.
bool PathMatches(const std::string& pattern, const std::string& path);

}  // namespace almanac
