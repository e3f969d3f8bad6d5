// The daemon's life: listening, adopting what an earlier daemon left
// running, and letting go of the instances when it stops.
#include "zqmd/daemon.h"

#include <unistd.h>

#include "DEVUror/zqm_tclient.h"
#include "DEVUror/zqm_trace.h"
#include "zqmd/daemon_internal.h"

namespace zqmd {

Daemon::Daemon(asio::io_context& io, Options options)
    : io_(io),
      options_(std::move(options)),
      deadlines_(io),
      watches_(io),
      logs_(io, deadlines_),
      credentials_(io, deadlines_),
      spawner_(io),
      cgroups_(io) {
  if (options_.stateFile.empty()) options_.stateFile = options_.logDirectory + "/zqmd.state";
  std::weak_ptr<int> alive = alive_;
  stateWriter_ =
      std::make_unique<StateWriter>(options_.stateFile, [this, alive](const std::string& problem) {
        asio::post(io_, [this, alive, problem] {
          if (!alive.expired()) Saved(problem);
        });
      });
}

Daemon::~Daemon() {
  Stop();
}

void Daemon::Start() {
  PrepareFilePlaces(options_.logDirectory, options_.stateFile);
  OpenCgroups();
  ResolveAdministratorsGroup();
  LoadOperatorDown();
  if (!options_.inheritedSockets.empty()) {
    for (const int fd : options_.inheritedSockets)
      Serve(fd);
    std::string where;
    for (const auto& listener : listeners_) {
      where += (where.empty() ? "" : ", ") + (listener->Local()
                                                  ? std::string("the local socket")
                                                  : "port " + std::to_string(listener->Port()));
    }
    zqm_trace::Line(
        0, ZQ_TString::Format("Middleware daemon listening on the sockets of the service manager "
                              "(%s); server configuration \"%s\"; logs in %s",
                              where, options_.serverConfiguration, options_.logDirectory)
               .Text());
    ServeMetrics();
    return Adopt();
  }
  ListenLocally();
  Listen(options_.listenAddress, options_.port);
  const unsigned short port = listeners_.back()->Port();
  // Listening on every address covers the host's already.
  asio::error_code ignored;
  const bool everywhere = asio::ip::make_address(options_.listenAddress, ignored).is_unspecified();
  const bool onHost = !options_.hostAddress.empty() &&
                      options_.hostAddress != options_.listenAddress && !everywhere;
  if (onHost) Listen(options_.hostAddress, port);
  zqm_trace::Line(
      0, ZQ_TString::Format("Middleware daemon listening on %s:%d and %s; server configuration "
                            "\"%s\"; logs in %s",
                            options_.listenAddress, port, options_.socketPath,
                            options_.serverConfiguration, options_.logDirectory)
             .Text());
  if (onHost) {
    zqm_trace::Line(0, ZQ_TString::Format("Listening on %s:%d as well; servers started here too",
                                          options_.hostAddress, port)
                           .Text());
  }
  ServeMetrics();
  Adopt();
}

void Daemon::Listen(const std::string& listenAddress, unsigned short port) {
  asio::error_code error;
  const auto address = asio::ip::make_address(listenAddress, error);
  std::optional<asio::ip::tcp::acceptor> acceptor;
  if (!error) acceptor = zqm_listener::OpenAcceptor(io_, address, port, error);
  if (!acceptor) {
    ZQM_EException failed(ZQ_TString::Format("cannot listen on %s port %d: %s", listenAddress, port,
                                             error.message()));
    ZQ_THROW_AT(failed, __FILE__, __LINE__);
  }
  Serve(acceptor->release());
}

void Daemon::Serve(int fd) {
  const zqm_wire::Hello hello{ZQM_TClient::kDaemonName, 0};
  listeners_.push_back(std::make_unique<zqm_listener::Listener>(
      io_, fd, hello,
      [this](const ZQ_TDict& request, const zqm_roles::Caller& caller, zqm_listener::Reply reply) {
        Handle(request, caller, std::move(reply));
      },
      options_.limits));
  listeners_.back()->Start();
}

void Daemon::Stop() {
  for (const auto& listener : listeners_)
    listener->Close();
  metrics_.reset();
  // A launch still under way (hung in a mount, perhaps) has not run its
  // program: it ends with the daemon rather than start unwatched later.
  spawner_.CancelAll();
  FinishEnds();
  // The last changes are written before the registry goes: a daemon
  // started right after adopts what this one knew.
  SaveNow();
  // The instances keep running: dropping the registry only ends the watches,
  // which reaps the children that have ended without their end being
  // handled yet.
  instances_.clear();
}

void Daemon::OpenCgroups() {
  const std::string unused = cgroups_.Open(options_.cgroup);
  if (!unused.empty()) {
    zqm_trace::Line(0, "No cgroup v2 folder for the instances (" + unused +
                           "; see Delegate=yes or --cgroup): an instance is ended through its "
                           "process group, and what leaves that group outlives it");
    return;
  }
  const std::string controllers = cgroups_.Controllers();
  zqm_trace::Line(0, "Each instance runs in a cgroup of its own below " + cgroups_.Root() +
                         " (controllers: " + (controllers.empty() ? "none" : controllers) + ")");
}

unsigned short Daemon::Port() const {
  for (const auto& listener : listeners_) {
    if (!listener->Local()) return listener->Port();
  }
  return 0;
}

// The line that the daemon's failure answers carry as their site: a stable
// identifier that clients' reports show and compare, not a line of this file.
constexpr unsigned kFailureSiteLine = 41;

std::string StampedFailureFrame(ZQ_EException& failure) {
  return zqm_wire::FailureFrame(failure.__PREPARE_FOR_THROW__(kFailureSiteLine, __FILE__));
}

}  // namespace zqmd
