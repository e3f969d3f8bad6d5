// The installation key of a test: every program a test starts, and the
// test process itself as client or server, authenticate with one key that
// the test made for itself.
#pragma once

#include <string>

namespace zq_test {

// Makes `path` this process's key file: writes a new key there when none
// exists, points ZQM_KEY_FILE at it (so that every program started from now
// on inherits it) and has the runtime look for its key again.
void UseTestKey(const std::string& path);

// The key file of this process: ZQM_KEY_FILE when set, else a new one in a
// temporary folder of its own (made once, removed when the process ends).
std::string ProcessKeyFile();

}  // namespace zq_test
