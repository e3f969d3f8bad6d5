// Reading the configuration file: a JSON document whose root is an object.
//
// The file becomes a ZQ_TTree:
//   object          -> ZQ_TTree (keys in file order)
//   array           -> ZQ_TList
//   string          -> ZQ_TString
//   true / false    -> ZQ_TBool
//   0 .. 4294967295 -> ZQ_TUInt32
// Everything else is refused, so that every client sees the same closed set
// of types whatever the file holds: null, negative numbers, fractions and
// exponents, numbers above 4294967295, a root that is not an object,
// duplicate keys in one object, keys that a path cannot reach (empty or
// containing '/'), and nesting deeper than kMaxConfigDepth levels.
//
// A refusal throws ZQM_EException with the message
//   "<file>:<line>:<column>: <reason>"
// where line and column (both from 1) point at the start of the offending
// value or key, or, for a JSON syntax error, at the character where the
// parser gave up (the start of an unexpected token; just past the last
// character for an unexpected end of input). Columns count characters, not
// bytes: a tab is one column, as is any UTF-8 encoded character. A load
// never yields part of a tree.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

#include "typelib/dodived.h"

namespace almanac {

// Levels of objects and arrays, the root object being the first.
inline constexpr unsigned kMaxConfigDepth = 64;

// Files larger than this are refused before parsing: a configuration is a
// few kilobytes, and a path such as /dev/zero must not fill the memory.
inline constexpr std::size_t kMaxConfigBytes = 64u * 1024 * 1024;

// Reads and converts the file at `path`. An unreadable file throws
// ZQM_EException "<path>: <reason>" (the system's error text).
ZQ_TTree LoadConfigFile(const std::string& path);

// Converts JSON text; `name` stands for the file name in messages.
ZQ_TTree ParseConfigText(std::string_view text, const std::string& name);

// Where each key of a text stands, by its path: the keys from the root
// joined by '/', an element of a list counted as "#<index>" from 0.
using KeyOffsets = std::unordered_map<std::string, std::size_t>;

// As above, also noting where each key stands in `text`.
ZQ_TTree ParseConfigText(std::string_view text, const std::string& name, KeyOffsets& offsets);

// The content of the file at `path`, bounded by kMaxConfigBytes; throws
// ZQM_EException "<path>: <reason>".
std::string ReadConfigFile(const std::string& path);

// "<line>:<column>" of the character at `offset` of `text`, counted as in
// the messages above.
std::string PositionIn(std::string_view text, std::size_t offset);

}  // namespace almanac
