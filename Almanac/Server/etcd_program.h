// The etcd side of the almanac program: its settings, and the one-shot
// transfers --import FILE.json and --export [FILE].
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "Almanac/Server/etcd_source.h"

namespace almanac {

struct EtcdOptions {
  std::string members;  // --etcd: URLs joined by ','
  std::string prefix = EtcdSettings().prefix;
  std::string cacheFile;  // --cache-file; "" the default for the name and instance
  std::string importFile;
  std::string exportFile;  // "" or "-": standard output
  bool exporting = false;  // --export given, with or without a file

  bool Wanted() const { return !members.empty(); }
  EtcdSettings Settings() const;
  // The settings of the server that serves as `name` instance `instance`:
  // those of Settings() with the file of its saved copy.
  EtcdSettings ServerSettings(const std::string& name, unsigned instance) const;
};

// The URLs of a list of etcd members joined by ',' (blanks around each and
// trailing '/' taken off, empty entries left out).
std::vector<std::string> SplitEtcdMembers(const std::string& members);

// Runs --import or --export when given: the program's exit status, or
// nullopt when neither was asked for.
std::optional<int> RunEtcdTransfer(const EtcdOptions& options, std::ostream& out,
                                   std::ostream& err);

}  // namespace almanac
