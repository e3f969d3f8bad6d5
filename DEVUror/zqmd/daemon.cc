// The daemon's life: listening, adopting what an earlier daemon left
// running, and letting go of the instances when it stops.
#include "DEVUror/zqmd/daemon.h"

#include <unistd.h>

#include "DEVUror/zqm_trace.h"
#include "DEVUror/zqmd/daemon_internal.h"

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
  asio::error_code error;
  const auto address = asio::ip::make_address(options_.listenAddress, error);
  asio::ip::tcp::acceptor acceptor(io_);
  if (!error) acceptor.open(address.is_v6() ? asio::ip::tcp::v6() : asio::ip::tcp::v4(), error);
  if (!error) acceptor.set_option(asio::socket_base::reuse_address(true), error);
  if (!error) acceptor.bind(asio::ip::tcp::endpoint(address, options_.port), error);
  if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
  if (error) {
    ZQM_EException failed(ZQ_TString::Format(
        "cannot listen on %s port %d: %s", options_.listenAddress, options_.port, error.message()));
    ZQ_THROW_AT(failed, __FILE__, __LINE__);
  }
  const zqm_wire::Hello hello{"ZQMD", 0, static_cast<std::uint32_t>(getpid())};
  listener_.emplace(
      std::move(acceptor), hello,
      [this](const ZQ_TDict& request, zqm_listener::Reply reply) {
        Handle(request, std::move(reply));
      },
      options_.limits);
  listener_->Start();
  zqm_trace::Line(
      0, ZQ_TString::Format(
             "Middleware daemon listening on %s:%d; server configuration \"%s\"; logs in %s",
             options_.listenAddress, listener_->Port(), options_.serverConfiguration,
             options_.logDirectory)
             .Text());
  Adopt();
}

void Daemon::Stop() {
  if (listener_) listener_->Close();
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
