// almanac's command line, read by libalmanac_command_line.so: the parser's
// code is in the server's memory while it starts, and gone before it serves.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "Almanac/Server/etcd_program.h"
#include "DEVUror/zqm_modules.h"

namespace almanac {

struct AlmanacCommandLine {
  std::string name = "Almanac";  // --name
  bool nameGiven = false;
  std::uint16_t instance = 0;  // --instance
  bool instanceGiven = false;
  std::uint16_t port = 0;   // --port
  int readyFd = -1;         // --ready-fd
  std::string keyFile;      // --key
  bool insecure = false;    // --insecure
  std::string hostAddress;  // --host-address
  EtcdOptions etcd;
  bool check = false;      // --check
  std::string configPath;  // CONFIG
};

}  // namespace almanac

// The module's one export (zqm_modules::CommandLineEntry).
extern "C" int almanac_read_command_line(int argc, const char* const* argv,
                                         almanac::AlmanacCommandLine* parsed, std::ostream& out,
                                         std::ostream& err) noexcept;
