// The daemon's command line, read by libzqmd_command_line.so: the parser's
// code is in the daemon's memory while it starts, and gone before it serves.
#pragma once

#include <ostream>
#include <string>

#include "DEVUror/zqm_modules.h"
#include "zqmd/daemon.h"

namespace zqmd {

struct DaemonCommandLine {
  Options options;
  int readyFd = -1;       // --ready-fd
  std::string initKey;    // --init-key
  std::string keyFile;    // --key
  bool insecure = false;  // --insecure
};

}  // namespace zqmd

// The module's one export (zqm_modules::CommandLineEntry).
extern "C" int zqmd_read_command_line(int argc, const char* const* argv,
                                      zqmd::DaemonCommandLine* parsed, std::ostream& out,
                                      std::ostream& err) noexcept;
