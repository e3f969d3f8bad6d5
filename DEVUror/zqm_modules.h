// Shared objects installed beside the runtime library (lib/custodel/ in an
// installation, lib/ in the build tree) that a program loads for one task.
// Code that a long-running program needs only now and then, or only while it
// starts, stays out of its memory until then, and leaves it again when the
// module is closed.
#pragma once

#include <exception>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>

namespace zqm_modules {

// `file` in the folder of libDEVUror.so. Found from the runtime's own path
// rather than through the program's RUNPATH, which dlopen consults only for
// calls from the program itself, not for calls that pass through a
// sanitizer's interceptor.
std::string PathBesideRuntime(const std::string& file);

// A module loaded with every symbol bound at once; closed when this ends
// unless kept. A module that is to leave the process on close must hold
// nothing the process still uses: no object, string buffer or function it
// made that outlives the call.
class Module {
 public:
  // Throws std::runtime_error naming the file and dlerror's reason.
  explicit Module(const std::string& file);
  ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // The exported function `name`, of type `Function`; throws
  // std::runtime_error when the module has none (another build's file).
  template <class Function>
  Function* Entry(const char* name) const {
    return reinterpret_cast<Function*>(Symbol(name));
  }

  // Leaves the module loaded for the rest of the process.
  void Keep() { handle_ = nullptr; }

 private:
  void* Symbol(const char* name) const;

  std::string file_;
  void* handle_;
};

// A program's command line is read by a module of its own,
// lib<program>_command_line.so, whose one export <program>_read_command_line
// has this type. It fills `parsed`, or says on `out` or `err` why the
// program ends (--help, --version, a wrong command line), and returns
// kCommandLineRun to go on, else the program's exit status. It lets no
// exception out and keeps nothing: the parser leaves the program's memory
// before the program does its work.
template <class Parsed>
using CommandLineEntry = int(int argc, const char* const* argv, Parsed* parsed, std::ostream& out,
                             std::ostream& err) noexcept;
inline constexpr int kCommandLineRun = -1;
// The exit status when the module cannot be loaded.
inline constexpr int kCommandLineUnreadable = 1;

// The body of a module's entry: what `read` returns, or after an exception
// the exit status kCommandLineUnreadable, the exception said on `err`.
template <class Read>
int ReadCommandLineSafely(const char* program, std::ostream& err, Read read) noexcept {
  try {
    return read();
  } catch (const std::exception& failure) {
    err << program << ": " << failure.what() << '\n';
    return kCommandLineUnreadable;
  }
}

// Reads `program`'s command line into `parsed` through its module: nullopt
// to go on, else the exit status.
template <class Parsed>
std::optional<int> ReadCommandLine(const std::string& program, int argc, const char* const* argv,
                                   Parsed& parsed, std::ostream& out, std::ostream& err) {
  int status = kCommandLineUnreadable;
  try {
    const Module module("lib" + program + "_command_line.so");
    const std::string entry = program + "_read_command_line";
    status = module.Entry<CommandLineEntry<Parsed>>(entry.c_str())(argc, argv, &parsed, out, err);
  } catch (const std::runtime_error& failure) {
    err << program << ": " << failure.what() << '\n';
  }
  if (status == kCommandLineRun) return std::nullopt;
  return status;
}

}  // namespace zqm_modules
