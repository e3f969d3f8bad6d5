// The daemon's life: listening, adopting what an earlier daemon left
// running, and letting go of the instances when it stops.
#include "zqmd/daemon.h"

#include <unistd.h>

#include "DEVUror/zqm_trace.h"
#include "zqmd/daemon_internal.h"

namespace zqmd {

Daemon::Daemon(asio::io_context& io, Options options)
    : io_(io), options_(std::move(options)), deadlines_(io), watches_(io), logs_(io, deadlines_) {
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
  Listen(listener_, options_.listenAddress, options_.port);
  // Listening on every address covers the host's already.
  asio::error_code ignored;
  const bool everywhere = asio::ip::make_address(options_.listenAddress, ignored).is_unspecified();
  const bool onHost = !options_.hostAddress.empty() &&
                      options_.hostAddress != options_.listenAddress && !everywhere;
  if (onHost) Listen(hostListener_, options_.hostAddress, listener_->Port());
  zqm_trace::Line(
      0, ZQ_TString::Format(
             "Middleware daemon listening on %s:%d; server configuration \"%s\"; logs in %s",
             options_.listenAddress, listener_->Port(), options_.serverConfiguration,
             options_.logDirectory)
             .Text());
  if (onHost) {
    zqm_trace::Line(0, ZQ_TString::Format("Listening on %s:%d as well; servers started here too",
                                          options_.hostAddress, hostListener_->Port())
                           .Text());
  }
  Adopt();
}

void Daemon::Listen(std::optional<zqm_listener::Listener>& listener,
                    const std::string& listenAddress, unsigned short port) {
  asio::error_code error;
  const auto address = asio::ip::make_address(listenAddress, error);
  std::optional<asio::ip::tcp::acceptor> acceptor;
  if (!error) acceptor = zqm_listener::OpenAcceptor(io_, address, port, error);
  if (!acceptor) {
    ZQM_EException failed(ZQ_TString::Format("cannot listen on %s port %d: %s", listenAddress, port,
                                             error.message()));
    ZQ_THROW_AT(failed, __FILE__, __LINE__);
  }
  const zqm_wire::Hello hello{"ZQMD", 0, static_cast<std::uint32_t>(getpid())};
  listener.emplace(
      std::move(*acceptor), hello,
      [this](const ZQ_TDict& request, zqm_listener::Reply reply) {
        Handle(request, std::move(reply));
      },
      options_.limits);
  listener->Start();
}

void Daemon::Stop() {
  if (listener_) listener_->Close();
  if (hostListener_) hostListener_->Close();
  // The instances keep running: dropping the registry only ends the watches,
  // which reaps the children that have ended without their end being
  // handled yet.
  instances_.clear();
}

unsigned short Daemon::Port() const {
  return listener_ ? listener_->Port() : 0;
}

// The line that the daemon's failure answers carry as their site: a stable
// identifier that clients' reports show and compare, not a line of this file.
constexpr unsigned kFailureSiteLine = 41;

std::string StampedFailureFrame(ZQ_EException& failure) {
  return zqm_wire::FailureFrame(failure.__PREPARE_FOR_THROW__(kFailureSiteLine, __FILE__));
}

}  // namespace zqmd
