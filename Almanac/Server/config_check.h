// almanac --check FILE: validates a configuration file without serving it.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>

namespace almanac {

// Loads the file at `path` as the server would, then checks the kinds of
// the keys the installation's programs read (known_keys.h). Writes one line
// per finding to `out`, in the style of a compiler,
//
//   <file>:<line>:<column>: error: <text>
//   <file>:<line>:<column>: warning: <text>
//
// pointing at the key (for a syntax error: where the parser gave up), and
// then a summary line. Returns kExitOk when there is no error (warnings
// allowed), kExitFailure otherwise.
int CheckConfigFile(const std::string& path, std::ostream& out);

// The same for `text`, the content of the file at `path`.
int CheckConfigText(std::string_view text, const std::string& path, std::ostream& out);

}  // namespace almanac
