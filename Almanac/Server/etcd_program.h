// The etcd side of the almanac program: its options, and the one-shot
// transfers --import FILE.json and --export [FILE].
#pragma once

#include <iosfwd>
#include <optional>
#include <string>

#include "Almanac/Server/etcd_source.h"

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace almanac {

struct EtcdOptions {
  std::string members;  // --etcd: URLs joined by ','
  std::string prefix = EtcdSettings().prefix;
  std::string cacheFile;  // --cache-file; "" the default for the name and instance
  std::string importFile;
  std::string exportFile;  // "" or "-": standard output
  const CLI::Option* exportOption = nullptr;

  bool Exporting() const;

  bool Wanted() const { return !members.empty(); }
  EtcdSettings Settings() const;
  // The settings of the server that serves as `name` instance `instance`:
  // those of Settings() with the file of its saved copy.
  EtcdSettings ServerSettings(const std::string& name, unsigned instance) const;
};

// Adds --etcd, --etcd-prefix, --cache-file, --import and --export to `app`.
void AddEtcdOptions(CLI::App& app, EtcdOptions& options);

// Runs --import or --export when given: the program's exit status, or
// nullopt when neither was asked for.
std::optional<int> RunEtcdTransfer(const EtcdOptions& options, std::ostream& out,
                                   std::ostream& err);

}  // namespace almanac
