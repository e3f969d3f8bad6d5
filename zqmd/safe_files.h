// The daemon's files where nobody else can redirect them: the folder of the
// instances' logs and the state file. A daemon that runs as root appends
// to files it did not choose if another user could plant a symbolic link
// in its log folder, or replace that folder; and it would adopt whatever
// processes a state file written by another user names.
//
// So the daemon keeps both in folders that it (or root) owns and that
// nobody else may write, checks that at start-up, uses the folders by their
// real path from then on, and opens every file in them without following a
// symbolic link.
#pragma once

#include <fcntl.h>

#include <string>

namespace zqmd {

// The log folder and state file when none is given: /var/log/zqmd and
// /var/lib/zqmd/zqmd.state for root, $XDG_STATE_HOME/zqmd/logs and
// $XDG_STATE_HOME/zqmd/zqmd.state for other users ($XDG_STATE_HOME by
// default ~/.local/state). Empty when a user's home is not known.
std::string DefaultLogDirectory();
std::string DefaultStateFile();

// Creates the log folder and the state file's folder where missing (mode
// 0750, missing parents too), checks them and an existing state file, and
// replaces both paths by their real paths. Throws ZQM_EException naming the
// path and the reason when a folder is writable by group or others, is
// owned by another user, lies below a folder that another user could
// change, or when the state file is a symbolic link, not a plain file or
// another user's.
void PrepareFilePlaces(std::string& logDirectory, std::string& stateFile);

// Creates the folder of the local socket `socketPath` where missing (mode
// 0755: anybody may connect; only the daemon's user may change it), checks
// it as PrepareFilePlaces checks the log folder, and returns the socket's
// path in the folder's real path. Throws ZQM_EException naming the path and
// the reason.
std::string PrepareSocketPlace(const std::string& socketPath);

// "<directory>/<name>-<instance>.log". Throws ZQM_EException when `name`
// would not make a plain file name inside the folder: empty, "." or "..",
// with '/', NUL or other control characters, or longer than
// kMaxLogNameBytes.
std::string LogFilePath(const std::string& directory, const std::string& name, unsigned instance);
constexpr std::size_t kMaxLogNameBytes = 200;

// How a log is opened to be written: appended to, close-on-exec, without
// following a symbolic link, without blocking on a planted FIFO and without
// becoming anybody's controlling terminal.
inline constexpr int kLogOpenFlags =
    O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;

// Opens `path` with kLogOpenFlags (created with mode 0640, its folder with
// 0750 when missing). Throws ZQM_EException naming the path when it cannot be
// opened or is not a plain file.
int OpenLogFile(const std::string& path);

}  // namespace zqmd
