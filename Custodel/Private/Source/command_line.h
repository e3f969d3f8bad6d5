// The service's command line, read by libcustodel_command_line.so: the
// service takes nothing from it but --help and --version, and the parser's
// code leaves its memory before the first pass.
#pragma once

#include <ostream>

#include "DEVUror/zqm_modules.h"

struct ServiceCommandLine {};

// The module's one export (zqm_modules::CommandLineEntry).
extern "C" int custodel_read_command_line(int argc, const char* const* argv,
                                          ServiceCommandLine* parsed, std::ostream& out,
                                          std::ostream& err) noexcept;
