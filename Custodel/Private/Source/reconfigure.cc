// The reconfiguration pass: decides, server by server, what runs on this
// host and brings the monitor registry into line.
#include <map>
#include <string>

#include "Custodel/Private/Source/custodel.h"

namespace {

// A setting of another kind counts as absent; this says so, rather than
// leave a misspelt value without a word.
void TraceWrongKind(const ZQ_TString& serverName, const char* key, const ZQ_TAny& value,
                    const char* expected) {
  gServer.DBG_Type(0,
                   ZQ_TString::Format("Server \"%s\": \"%s\" is a %s, not %s; it counts as absent",
                                      serverName, key, value.HeldClassName(), expected));
}

// The value of a ZQ_TUInt32 setting, or `fallback` when it is absent or of
// another class.
unsigned Setting(const ZQ_TString& serverName, const ZQ_TTree& server, const char* key,
                 unsigned fallback) {
  const ZQ_TAny* value = server.Find(key, L'/');
  if (value == nullptr) return fallback;
  if (!value->HasSuperclass("ZQ_TUInt32")) {
    TraceWrongKind(serverName, key, *value, "a number");
    return fallback;
  }
  return value->DynamicCast<ZQ_TUInt32>(kCustodelSource, __LINE__);
}

bool AlwaysRunning(const ZQ_TString& serverName, const ZQ_TTree& server) {
  const ZQ_TAny* value = server.Find("AlwaysRunning", L'/');
  if (value != nullptr && !value->HasSuperclass("ZQ_TBool"))
    TraceWrongKind(serverName, "AlwaysRunning", *value, "true or false");
  return value != nullptr && value->HasSuperclass("ZQ_TBool") &&
         value->DynamicCast<ZQ_TBool>(kCustodelSource, __LINE__);
}

bool RunsInThisConfiguration(const ZQ_TString& serverName, const ZQ_TTree& server) {
  const ZQ_TAny* configurations = server.Find(L"Configurations", L'/');
  if (configurations != nullptr && !configurations->HasSuperclass("ZQ_TList"))
    TraceWrongKind(serverName, "Configurations", *configurations, "a list");
  if (configurations == nullptr || !configurations->HasSuperclass("ZQ_TList")) return false;
  const ZQ_TList& names = configurations->DynamicCast<ZQ_TList>(kCustodelSource, __LINE__);
  const ZQ_TAny wanted(static_cast<const ZQ_IPackable&>(gServerConfiguration));
  return names.Contains(wanted);
}

// Servers the operator took down on this host: since when, by name.
using OperatorDown = std::map<std::string, std::int64_t>;

enum class Decision { kRuns, kNotHere, kDownByOperator };

// Brings the monitors of one server into line and says why.
Decision CheckServer(const ZQ_TConstIterator& entry, bool start, const OperatorDown& down) {
  const ZQ_TString& serverName = static_cast<const ZQ_IInterface&>(entry.Key())
                                     .DynamicCast<ZQ_TString>(kCustodelSource, __LINE__);
  gServer.DBG_Type(2, ZQ_TString::Format("Checking \"%s\"", serverName));
  const ZQ_TTree& server = entry.Value().DynamicCast<ZQ_TTree>(kCustodelSource, __LINE__);
  if (!start || !AlwaysRunning(serverName, server)) {
    RemoveMonitor(serverName);
    return Decision::kNotHere;
  }
  const unsigned startupOrder = Setting(serverName, server, "StartupOrder", kDefaultStartupOrder);
  const unsigned delayAfterStartup =
      Setting(serverName, server, "DelayAfterStartup", kDefaultDelayAfterStartup);
  const unsigned nrOfInstances =
      Setting(serverName, server, "NrOfInstances", kDefaultNrOfInstances);
  if (gServerConfiguration == "" || RunsInThisConfiguration(serverName, server)) {
    if (const auto mark = down.find(serverName.Text()); mark != down.end()) {
      gServer.DBG_Type(0, ZQ_TString::Format("Server \"%s\" is down by operator since %s; not "
                                             "watched",
                                             serverName, zqm_trace::LocalTime(mark->second)));
      RemoveMonitor(serverName);
      return Decision::kDownByOperator;
    }
    // Refused for this pass only: monitors it already has stay as they are.
    if (nrOfInstances > kMaxNrOfInstances) {
      gServer.DBG_Type(
          0,
          ZQ_TString::Format("Server \"%s\": NrOfInstances %u exceeds the limit of %u; not started",
                             serverName, nrOfInstances, kMaxNrOfInstances));
      return Decision::kNotHere;
    }
    AddMonitor(serverName, startupOrder, delayAfterStartup, nrOfInstances);
    return Decision::kRuns;
  }
  RemoveMonitor(serverName);
  return Decision::kNotHere;
}

// What the daemon says of this host: the name of its server configuration
// (empty when it cannot say), and the servers the operator took down (none
// when it cannot say; the daemon refuses to start them all the same).
struct DaemonView {
  ZQ_TString serverConfiguration;
  OperatorDown down;
};

void ReadOperatorDown(ZQM_TProxy& daemon, OperatorDown& down) {
  const ZQ_TAny reply = daemon.RPC(ZQ_TString("DownServers"));
  const ZQ_TList* marks = reply.As<ZQ_TList>();
  if (marks == nullptr) return;
  for (const ZQ_TAny& element : *marks) {
    const ZQ_TDict* mark = element.As<ZQ_TDict>();
    const ZQ_TAny* name = mark != nullptr ? mark->Find("Name") : nullptr;
    const ZQ_TAny* since = mark != nullptr ? mark->Find("Since") : nullptr;
    if (name == nullptr || name->As<ZQ_TString>() == nullptr) continue;
    down[name->As<ZQ_TString>()->Text()] = since != nullptr && since->As<ZQ_TUInt32>() != nullptr
                                               ? since->As<ZQ_TUInt32>()->Value()
                                               : 0;
  }
}

DaemonView AskDaemon() {
  DaemonView view;
  try {
    ZQM_TProxy daemon(ZQ_TSocket::HostName(false).c_str());
    daemon.SetCallTimeout(kDaemonCallTimeoutMs);
    view.serverConfiguration = daemon.GetServerConfiguration();
    ReadOperatorDown(daemon, view.down);
  } catch (...) {
  }
  return view;
}

[[noreturn]] void RefuseServer(const char* format, const ZQ_TString& serverName) {
  ZQ_EException refused(ZQ_TString::Format(format, serverName, gServerConfiguration),
                        ZQ_TAny(serverName));
  ZQ_THROW_AT(refused, kCustodelSource, __LINE__);
}

// The pass over every configured server, or over `only` when given.
void Pass(bool start, const ZQ_TString* only) {
  ZQ_TString path;
  Almanac_TProxy almanac(ZQ_TSocket::HostName(false).c_str());
  DaemonView daemon;
  if (start) {
    daemon = AskDaemon();
    gServerConfiguration = daemon.serverConfiguration;
    if (only != nullptr) {
      gServer.DBG_Type(0, ZQ_TString::Format("Reconfigure server \"%s\" for ServerConfiguration "
                                             "\"%s\"",
                                             *only, gServerConfiguration));
    } else {
      gServer.DBG_Type(0, ZQ_TString::Format("Reconfigure for ServerConfiguration \"%s\"",
                                             gServerConfiguration));
    }
    if (gServerConfiguration == "RunAsMaster") VerifyDispatchers(almanac);
  } else {
    gServer.DBG_Type(0, "Remove all server watcher threads");
  }
  path = "Servers/ZQMD/Servers/";
  ZQ_TTree servers;
  {
    const ZQ_TAny result = almanac.Expand(path);
    servers = ZQ_TTree(result.DynamicCast<ZQ_TTree>(kCustodelSource, __LINE__), 0);
  }
  bool found = false;
  {
    ZQ_TConstIterator entry(static_cast<const ZQ_IIteratable&>(servers));
    for (; !entry.IsDone(); entry++) {
      if (only != nullptr && !(static_cast<const ZQ_IInterface&>(entry.Key())
                                   .DynamicCast<ZQ_TString>(kCustodelSource, __LINE__) == *only)) {
        continue;
      }
      found = true;
      const Decision decision = CheckServer(entry, start, daemon.down);
      if (only == nullptr || decision == Decision::kRuns) continue;
      if (decision == Decision::kDownByOperator) {
        RefuseServer(
            "server \"%s\" is down by operator on this host (server configuration \"%s\"): "
            "zqm up clears that",
            *only);
      }
      RefuseServer(
          "server \"%s\" is not to run on this host under the server configuration "
          "\"%s\": see its AlwaysRunning, Configurations and NrOfInstances",
          *only);
    }
  }
  if (only != nullptr && !found) {
    RefuseServer(
        "no server \"%s\" is configured under Servers/ZQMD/Servers/ (server "
        "configuration \"%s\")",
        *only);
  }
  StartMonitors();
}

}  // namespace

void Reconfigure(bool start) {
  Pass(start, nullptr);
}

void ReconfigureServer(const ZQ_TString& serverName) {
  Pass(true, &serverName);
}
