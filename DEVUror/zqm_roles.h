// Who may call what. Every connection to a middleware server has a caller
// with one of three roles:
//   administrator  root, the daemon's own user, or a member of the
//                  administrators' group (default "zqm") on the daemon's
//                  local socket, known by the kernel's peer credentials;
//                  or a peer that proves the installation key (other hosts'
//                  daemons and services, zqm with the key).
//   server         an instance that a daemon started or adopted: on the
//                  daemon's local socket known by its process id, elsewhere
//                  by the identity its daemon issued (zqm_identity.h).
//   stranger       anybody else on the daemon's local socket. Over the
//                  network a stranger never completes the handshake.
// The table kRules says which role each method needs, per service; a
// method not listed needs the server role, and a stranger may call
// nothing. `zqm roles` prints the table; docs/security.md shows it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zqm_roles {

enum class Role { kStranger, kServer, kAdministrator };

const char* RoleName(Role role);

// The other end of a connection, as the serving side knows it.
struct Caller {
  Role role = Role::kStranger;
  // On the daemon's local socket: the kernel's word for the process.
  bool local = false;
  pid_t pid = 0;
  uid_t uid = 0;
  gid_t gid = 0;
  // A server's name and instance.
  std::string server;
  std::uint16_t instance = 0;
  // Over the network: the peer's address.
  std::string address;

  // "administrator (uid 0, pid 42)", "server Orders#1 (10.0.0.2:40112)", ...
  std::string Describe() const;
};

// The services whose methods the table lists. A server names its service
// by the name it binds (ZQM_TServer), the daemon as "ZQMD".
constexpr char kDaemon[] = "ZQMD";
constexpr char kConfigurationServer[] = "Almanac";
constexpr char kService[] = "Custodel";

struct Rule {
  const char* service;
  const char* method;
  Role needs;
  const char* note;  // a further condition the service checks itself; "" for none
};

// The whole table, in the order it is printed.
std::span<const Rule> Rules();

// The role `method` of `service` needs.
Role Needs(std::string_view service, std::string_view method);

// Throws ZQM_EAccessDenied, naming the caller's role, the method and the
// role it needs, and writes one trace line, when `caller` may not call
// `method` of `service`.
void Check(const Caller& caller, std::string_view service, std::string_view method);

// Throws ZQM_EAccessDenied with `why` (and writes one trace line) for a
// refusal that depends on a call's arguments, e.g. the instance number of a
// "Locate".
[[noreturn]] void Refuse(const Caller& caller, std::string_view service, std::string_view method,
                         const std::string& why);

// The table as text, one line per rule: what `zqm roles` prints.
std::string TableText();

}  // namespace zqm_roles
