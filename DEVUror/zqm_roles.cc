#include "DEVUror/zqm_roles.h"

#include "DEVUror/zqm_exceptions.h"
#include "DEVUror/zqm_trace.h"

namespace zqm_roles {

namespace {

using enum Role;

constexpr Rule kRules[] = {
    {kDaemon, "Register", kServer,
     "on the local socket only, by the registering process itself; a server only under the name "
     "and instance it was started as"},
    {kDaemon, "Locate", kServer,
     "starting an instance above the server's NrOfInstances needs an administrator"},
    {kDaemon, "Servers", kServer, ""},
    {kDaemon, "History", kServer, ""},
    {kDaemon, "LogPath", kServer, ""},
    {kDaemon, "GetServerConfiguration", kServer, ""},
    {kDaemon, "ConfigurationChanged", kServer, ""},
    {kDaemon, "EndInstance", kAdministrator, ""},
    {kDaemon, "MarkDown", kAdministrator, ""},
    {kDaemon, "ClearDown", kAdministrator, ""},
    {kDaemon, "DownServers", kServer, ""},
    {kConfigurationServer, "Expand", kServer, ""},
    {kConfigurationServer, "[]", kServer, ""},
    {kConfigurationServer, "KeysAt", kServer, ""},
    {kConfigurationServer, "Set", kAdministrator, ""},
    {kConfigurationServer, "Reload", kAdministrator, ""},
    {kService, "ListMonitors", kServer, ""},
    {kService, "Reconfigure", kAdministrator, ""},
    {kService, "Stop", kAdministrator, ""},
    {kService, "IgnoreServer", kAdministrator, ""},
    {kService, "WatchServer", kAdministrator, ""},
    {"any other", "any method", kServer, ""},
};

std::string Where(std::string_view service) {
  return service == kDaemon ? std::string("the middleware daemon") : std::string(service);
}

[[noreturn]] void Deny(const Caller& caller, std::string_view service, std::string_view method,
                       const std::string& why) {
  const std::string text = caller.Describe() + " may not call \"" + std::string(method) + "\" of " +
                           Where(service) + ": " + why;
  zqm_trace::Line(0, "Refused: " + text);
  ZQM_EAccessDenied denied{ZQ_TString(text)};
  ZQ_THROW_AT(denied, __FILE__, __LINE__);
}

}  // namespace

const char* RoleName(Role role) {
  switch (role) {
    case kAdministrator:
      return "administrator";
    case kServer:
      return "server";
    case kStranger:
      break;
  }
  return "stranger";
}

std::string Caller::Describe() const {
  std::string text = RoleName(role);
  if (role == kServer) text += " " + server + "#" + std::to_string(instance);
  if (local) {
    return text + " (uid " + std::to_string(uid) + ", pid " + std::to_string(pid) + ")";
  }
  return address.empty() ? text : text + " (" + address + ")";
}

std::span<const Rule> Rules() {
  return kRules;
}

Role Needs(std::string_view service, std::string_view method) {
  for (const Rule& rule : kRules) {
    if (service == rule.service && method == rule.method) return rule.needs;
  }
  return kServer;
}

void Check(const Caller& caller, std::string_view service, std::string_view method) {
  const Role needs = Needs(service, method);
  if (caller.role >= needs) return;
  Deny(caller, service, method,
       needs == kAdministrator
           ? "it needs an administrator (root or the administrators' group on the daemon's host, "
             "or the installation key)"
           : "it needs a server or an administrator");
}

void Refuse(const Caller& caller, std::string_view service, std::string_view method,
            const std::string& why) {
  Deny(caller, service, method, why);
}

std::string TableText() {
  std::string text;
  for (const Rule& rule : kRules) {
    text += std::string(rule.service) + "\t" + rule.method + "\t" + RoleName(rule.needs) + "\t" +
            rule.note + "\n";
  }
  return text;
}

}  // namespace zqm_roles
