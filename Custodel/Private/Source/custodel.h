// Custodel: keeps the configured server programs of this host running.
//
// The service's shared declarations: the monitor record, the process-wide
// objects, and the routines of the registry, the start-up gate, the watcher
// threads, the reconfiguration pass and the command processor.
//
// Threads: the main thread runs start-up, every reconfiguration pass, every
// call of the command processor and shut-down; each monitor has one watcher
// thread. The registry lock guards the monitor list; watcher threads never
// take it.
#pragma once

#include <atomic>
#include <cstdint>

#include "Almanac/Server/almanac_tproxy.h"
#include "DEVUror/devuror.h"
#include "DEVUror/zqm_tproxy.h"
#include "DEVUror/zqm_trace.h"
#include "platform/kernel.h"
#include "typelib/dodived.h"

// The source name that the service's checked casts and throw sites carry.
constexpr const char* kCustodelSource = "Custodel/Private/Source/custodel";

// The longest wait of a watcher for the daemon's answer to "Servers".
constexpr unsigned kDaemonCallTimeoutMs = 10000;
// How long StartMonitors waits for a started instance to be running.
constexpr DWORD kRunningWaitMs = 10000;
// The pause of a watcher between two start attempts while its instance is
// not running.
constexpr DWORD kNotRunningPauseMs = 5000;
// The port of the middleware daemon on every host.
constexpr unsigned short kDaemonPort = 8088;
// Start-up order, delay after start-up and number of instances of a server
// whose configuration does not give them.
constexpr unsigned kDefaultStartupOrder = 50;
constexpr unsigned kDefaultDelayAfterStartup = 0;
constexpr unsigned kDefaultNrOfInstances = 1;
// The most instances of one server: each costs a watcher thread and its
// descriptors, and instance numbers travel as 16 bits. A larger
// NrOfInstances is a typo far more often than a plan, so such a server is
// not started at all rather than exhausting the service.
constexpr unsigned kMaxNrOfInstances = 1024;
// Dispatcher verification: attempts after the first, and the pause between
// two attempts.
constexpr unsigned kDispatcherRetries = 10;
constexpr DWORD kDispatcherPauseMs = 5000;

// One instance of one configured server. Allocated by AddMonitor, freed by
// RemoveMonitor (or by StartMonitors when its thread cannot be created).
// The registry owns the record and every handle in it; the watcher thread
// borrows it, reads serverName and instance, uses the three events and
// writes processHandle and the atomics, which the main thread reads without
// the watcher's help ("ListMonitors").
struct ServerMonitor {
  ServerMonitor* next = nullptr;
  ServerMonitor* prev = nullptr;
  ZQ_TString serverName;
  HANDLE startedEvent = nullptr;  // set once by the watcher when it runs
  HANDLE runningEvent = nullptr;  // set while the instance's process is found and open
  HANDLE stopEvent = nullptr;     // set by RemoveMonitor to end the watcher
  HANDLE processHandle = nullptr;
  std::uintptr_t threadHandle = 0;  // guarded by the registry lock
  unsigned threadId = 0;            // guarded by the registry lock
  unsigned startupOrder = 0;
  unsigned delayAfterStartup = 0;     // milliseconds
  unsigned instance = 0;              // 1 to the server's number of instances
  std::atomic<unsigned> restarts{0};  // ends of the process the watcher saw and started again

  // While the watcher waits on the instance's process: its pid and since
  // when (seconds since 1970). Kept in one word, so that a reader never
  // sees the one without the other; SetRunning(0, 0) when it does not.
  void SetRunning(unsigned pid, std::int64_t since) {
    running_ = static_cast<std::uint64_t>(static_cast<std::uint32_t>(since)) << 32 | pid;
  }
  // False while the watcher does not wait on the process.
  bool Running(unsigned& pid, std::uint32_t& since) const {
    const std::uint64_t word = running_;
    pid = static_cast<std::uint32_t>(word);
    since = static_cast<std::uint32_t>(word >> 32);
    return since != 0;
  }

 private:
  std::atomic<std::uint64_t> running_{0};
};

// The process-wide objects.
extern ZQ_TString gServerConfiguration;  // written and read by Reconfigure only
extern ZQ_TEvent gRegistryLock;          // re-entrant; guards the monitor list
extern ZQM_TServer gServer;              // the RPC server; every trace line goes through it
extern HANDLE gShutdownEvent;            // manual-reset; set once, never reset
extern ServerMonitor* gMonitorList;      // head of the list, sorted by startupOrder

// The module's initialisation hook: initialises the type library, then the
// middleware. A success is remembered; a failure is not, and the next call
// tries both again.
extern "C" bool __ZQ_INITIALIZATION_FUNCTION_custodel__();

// The libraries' hooks that the module hook calls, replaceable by tests.
struct CustodelLibraryHooks {
  bool (*typeLibrary)();
  bool (*middleware)();
};
extern CustodelLibraryHooks gLibraryHooks;

// Adds one monitor per instance for a server that has none yet, in start-up
// order (among equal orders, the newest first). Starts no thread. Takes the
// registry lock. Throws ZQ_EException when the events of a monitor cannot
// be created.
void AddMonitor(const ZQ_TString& serverName, unsigned startupOrder, unsigned delayAfterStartup,
                unsigned nrOfInstances);

// Stops and removes every monitor of `serverName`: waits for each running
// watcher to start, sets its stop event, waits for the thread to end, closes
// the handles and frees the record. The server processes keep running.
// Takes the registry lock (re-entrant: the caller may hold it) and holds it
// through those waits. Works on a copy of the name, so a monitor's own
// serverName may be passed. Throws ZQ_EException (data: the server name)
// when a thread's state cannot be read.
void RemoveMonitor(const ZQ_TString& serverName);

// Starts, in list order, the watcher of every monitor that has none, waiting
// up to kRunningWaitMs for each instance to be running and then its delay
// after start-up. Holds the registry lock throughout; the shutdown event
// ends the pass.
void StartMonitors();

// Registry internals for the registry and the start-up gate, with the
// registry lock held: take a monitor out of the list; close every handle of
// a monitor that is set (thread, started, stop, running, process) and free
// the record.
void UnlinkMonitor(ServerMonitor* monitor);
void FreeMonitor(ServerMonitor* monitor);

// The watcher thread of one monitor (the argument): keeps its instance
// running until the monitor's stop event or the shutdown event is set. A
// call to the daemon under way ends the moment the stop event is set or the
// process begins to shut down, so that stopping a watcher never waits for
// the daemon. Always returns 0.
unsigned WatcherThread(void* monitor);

// The reconfiguration pass: `start` true brings the monitors into line with
// the configuration tree and starts new ones; a server that the daemon
// lists as down by operator ("DownServers") gets no monitors, as one that is
// not to run here. False removes the monitors of every configured server.
// Throws what it does not handle (an unreachable configuration server, a
// malformed server list).
void Reconfigure(bool start);

// The same pass for the one configured server `serverName`, with `start`
// true: adds its monitors when it is to run here and starts them. Throws
// ZQ_EException naming the server when it is not configured, is not to
// run here or is down by operator, and what Reconfigure throws.
void ReconfigureServer(const ZQ_TString& serverName);

// On a "RunAsMaster" host: waits, bounded, for the devices' dispatchers to
// be checked, then asks the running ones. Only traces; never throws.
void VerifyDispatchers(Almanac_TProxy& almanac);

// The command processor of the RPC server "Custodel": "Reconfigure", "Stop",
// "IgnoreServer", "WatchServer" (P1 name: ReconfigureServer; 1) and
// "ListMonitors" (the monitors in start order, each a dictionary with
// "Server", "Instance", "StartupOrder", "DelayAfterStartup", "Watching" (it
// has a watcher thread), "Running" (the watcher waits on its process), with
// "PID" and "Since" (seconds since 1970) while it does, and "Restarts").
void ProcessCommand(ZQM_TServer& server, const ZQ_TDict& arguments, ZQ_TAny& result, void* context);

// The process entry's work, from creating the shutdown event to "Stopped";
// returns the exit status (1 after a fatal error report).
int RunCustodel();
