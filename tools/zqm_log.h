// zqm log: an instance's log, printed or followed.
#pragma once

#include <string>

// Prints the log of instance `instance` of `name`, as the daemon on `host`
// names it (running or not), to standard output; with `follow`, goes on
// printing what is appended, across rotations, until interrupted (like
// tail -F). The file is read on this host. Returns the exit status; throws
// ZQ_EException when the daemon cannot be asked.
int PrintLog(const std::string& host, const std::string& name, unsigned instance, bool follow);
