#include "DEVUror/zqm_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "DEVUror/zqm_channel.h"
#include "DEVUror/zqm_frame_reader.h"
#include "DEVUror/zqm_handshake.h"
#include "DEVUror/zqm_loopback_peer.h"
#include "DEVUror/zqm_trace.h"

namespace zqm_listener {

namespace {

std::size_t FromEnvironment(const char* name, std::size_t fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == 0) return fallback;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  return *end == 0 && value >= 1 && value <= 100000000 ? static_cast<std::size_t>(value) : fallback;
}

// "10.0.0.2:40112" for a TCP peer; "" for a local one.
std::string PeerAddress(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return "?";
  char text[INET6_ADDRSTRLEN] = "?";
  if (address.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&address);
    inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(in->sin_port));
  }
  if (address.ss_family == AF_INET6) {
    const auto* in = reinterpret_cast<const sockaddr_in6*>(&address);
    inet_ntop(AF_INET6, &in->sin6_addr, text, sizeof text);
    return "[" + std::string(text) + "]:" + std::to_string(ntohs(in->sin6_port));
  }
  return "";
}

// The address without its port: connections from one source share a budget.
std::string SourceOf(const std::string& peer) {
  const std::size_t colon = peer.rfind(':');
  return colon == std::string::npos ? peer : peer.substr(0, colon);
}

bool InGroup(int fd, gid_t primary, gid_t group) {
  if (primary == group) return true;
  std::vector<gid_t> groups(64);
  socklen_t length = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
  if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &length) != 0) {
    if (errno != ERANGE) return false;
    groups.resize(length / sizeof(gid_t));
    if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &length) != 0) return false;
  }
  groups.resize(length / sizeof(gid_t));
  return std::find(groups.begin(), groups.end(), group) != groups.end();
}

// Who is on the other end of a local connection, by the kernel's word.
zqm_roles::Caller LocalCaller(int fd, const std::optional<gid_t>& administrators) {
  zqm_roles::Caller caller;
  caller.local = true;
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return caller;
  caller.pid = credentials.pid;
  caller.uid = credentials.uid;
  caller.gid = credentials.gid;
  const bool administrator = credentials.uid == 0 || credentials.uid == geteuid() ||
                             (administrators && InGroup(fd, credentials.gid, *administrators));
  caller.role = administrator ? zqm_roles::Role::kAdministrator : zqm_roles::Role::kStranger;
  return caller;
}

// Whom a budget of authenticated connections counts: a user on the local
// socket, else the role with the server's name and instance.
std::string IdentityOf(const zqm_roles::Caller& caller) {
  if (caller.local) return "uid " + std::to_string(caller.uid);
  zqm_roles::Caller named = caller;
  named.address.clear();
  return named.Describe();
}

}  // namespace

std::size_t MaxConnectionsFromEnvironment() {
  return FromEnvironment("ZQM_MAX_CONNECTIONS", kDefaultMaxConnections);
}

Limits::Limits()
    : maxConnections(MaxConnectionsFromEnvironment()),
      maxUnauthenticated(FromEnvironment("ZQM_MAX_UNAUTHENTICATED", kDefaultMaxUnauthenticated)),
      maxUnauthenticatedPerSource(FromEnvironment("ZQM_MAX_UNAUTHENTICATED_PER_SOURCE",
                                                  kDefaultMaxUnauthenticatedPerSource)),
      maxPerIdentity(FromEnvironment("ZQM_MAX_PER_IDENTITY", kDefaultMaxPerIdentity)),
      handshakeTimeoutMs(zqm_auth::HandshakeTimeoutMs()),
      idleTimeoutMs(
          static_cast<unsigned>(FromEnvironment("ZQM_IDLE_TIMEOUT_MS", kDefaultIdleTimeoutMs))) {}

std::optional<asio::ip::tcp::acceptor> OpenAcceptor(asio::io_context& io,
                                                    const asio::ip::address& address,
                                                    unsigned short port, asio::error_code& error) {
  asio::ip::tcp::acceptor acceptor(io);
  acceptor.open(address.is_v6() ? asio::ip::tcp::v6() : asio::ip::tcp::v4(), error);
  if (!error) acceptor.set_option(asio::socket_base::reuse_address(true), error);
  if (!error) acceptor.bind(asio::ip::tcp::endpoint(address, port), error);
  if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
  if (error) return std::nullopt;
  return acceptor;
}

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(Listener& listener, Listener::Socket socket, std::string peer)
      : listener_(listener), socket_(std::move(socket)), peer_(std::move(peer)) {}

  // A connection on the local socket: known at once.
  void StartLocal(zqm_roles::Caller caller) {
    caller_ = std::move(caller);
    authenticated_ = true;
    Send(zqm_wire::HelloFrame(listener_.hello_));
  }

  // A connection over the network: greeted, then it must prove itself.
  void StartNetwork() {
    handshake_.emplace(listener_.credentials_, listener_.hello_);
    const bool required = handshake_->Required();
    if (required) reader_.SetLimit(zqm_wire::kMaxHandshakeFrameBytes, "before the handshake");
    std::weak_ptr<Session> weak = weak_from_this();
    const unsigned limit = listener_.limits_.handshakeTimeoutMs;
    deadline_ =
        listener_.deadlines_.After(std::chrono::milliseconds(limit), [weak, limit, required] {
          if (auto self = weak.lock()) {
            self->deadline_ = 0;
            self->End((std::string(required ? "no handshake" : "no request") + " within " +
                       std::to_string(limit) + " ms"));
          }
        });
    SendPlain(handshake_->Greeting());
  }

  void Close() {
    CancelDeadline();
    asio::error_code ignored;
    socket_.close(ignored);
  }

  bool Authenticated() const { return authenticated_; }
  const std::string& Peer() const { return peer_; }
  const zqm_roles::Caller& Caller() const { return caller_; }

 private:
  void CancelDeadline() {
    if (deadline_ != 0) listener_.deadlines_.Cancel(deadline_);
    deadline_ = 0;
  }

  void Send(std::string frame) { SendPlain(channel_.Seal(std::move(frame))); }

  void SendPlain(std::string frame) {
    outgoing_ = std::move(frame);
    auto self = shared_from_this();
    asio::async_write(socket_, asio::buffer(outgoing_),
                      [self](asio::error_code error, std::size_t) {
                        if (error) return self->End({});
                        self->Idle();
                        self->Read();
                      });
  }

  // Between calls an authenticated connection may stay silent only so long.
  // One deadline stands for many calls: when it comes, it is moved to the
  // end of the current silence, or ends the connection when that is over.
  void Idle() {
    if (!authenticated_ || handshake_) return;
    busy_ = false;
    idleSince_ = zqm_deadlines::Clock::now();
    if (deadline_ == 0) ArmIdle(std::chrono::milliseconds(listener_.limits_.idleTimeoutMs));
  }

  void ArmIdle(std::chrono::milliseconds after) {
    std::weak_ptr<Session> weak = weak_from_this();
    deadline_ = listener_.deadlines_.After(after, [weak] {
      if (auto self = weak.lock()) {
        self->deadline_ = 0;
        self->IdleDeadline();
      }
    });
  }

  void IdleDeadline() {
    if (busy_) return;  // armed again once the call is answered
    const auto limit = std::chrono::milliseconds(listener_.limits_.idleTimeoutMs);
    const auto silent = std::chrono::duration_cast<std::chrono::milliseconds>(
        zqm_deadlines::Clock::now() - idleSince_);
    if (silent < limit) return ArmIdle(limit - silent);
    End({});  // housekeeping, not a fault: clients keep connections for reuse
  }

  // Reads until a frame is whole; Space() never reaches into the next one.
  void Read() {
    std::span<char> space;
    try {
      space = reader_.Space();
    } catch (const ZQ_EException& spent) {
      return End(spent.ZQ_Message().Text());
    }
    auto self = shared_from_this();
    socket_.async_read_some(asio::buffer(space.data(), space.size()),
                            [self](asio::error_code error, std::size_t n) {
                              if (error) return self->ReadFailed(error);
                              try {
                                if (!self->reader_.Received(n)) return self->Read();
                                self->OnFrame(self->reader_.Take());
                              } catch (const ZQ_EException& bad) {
                                self->End(bad.ZQ_Message().Text());
                              }
                            });
  }

  void ReadFailed(const asio::error_code& error) {
    if (error == asio::error::operation_aborted) return End({});
    if (reader_.Partial()) {
      return End(reader_.InHeader() ? "connection closed in the middle of a frame header"
                                    : "connection closed in the middle of a frame");
    }
    const bool clean = error == asio::error::eof || error == asio::error::connection_reset;
    if (clean && !authenticated_) return End("closed by the peer before the handshake");
    End(clean ? std::string() : "connection closed in the middle of a frame header");
  }

  // What ZQ_EException throws here ends the connection with its message.
  void OnFrame(std::string payload) {
    if (!authenticated_) {
      if (handshake_->Required()) return Authenticate(payload);
      Admit();  // insecure: its first request admits it
      if (!socket_.is_open()) return;
    }
    payload = channel_.Open(std::move(payload));
    if (zqm_wire::PayloadKind(payload) != zqm_wire::Kind::kRequest) {
      return End("a frame other than a request");
    }
    busy_ = true;  // not idle while its call is served
    Handle(zqm_wire::DecodeRequest(std::string_view(payload).substr(1)));
  }

  void Authenticate(const std::string& payload) {
    std::string answer = handshake_->Answer(payload);
    Admit();
    if (socket_.is_open()) SendPlain(std::move(answer));
  }

  // The peer has proved itself (or needs not): it counts as authenticated.
  void Admit() {
    CancelDeadline();
    caller_ = handshake_->Caller();
    caller_.address = peer_;
    channel_ = handshake_->TakeChannel();
    handshake_.reset();
    authenticated_ = true;
    reader_.SetLimit(zqm_wire::kMaxFrameBytes);
    listener_.Authenticated(*this);
  }

  void Handle(const ZQ_TDict& request) {
    std::weak_ptr<Session> weak = weak_from_this();
    listener_.handler_(request, caller_, [weak](std::string frame) {
      if (auto self = weak.lock()) {
        if (self->socket_.is_open()) self->Send(std::move(frame));
      }
    });
  }

 public:
  // Ends the session; `reason` is set for a fault worth a trace line.
  void End(const std::string& reason) {
    if (!reason.empty()) listener_.Note(peer_, reason);
    Close();
    listener_.Forget(shared_from_this());
  }

 private:
  Listener& listener_;
  Listener::Socket socket_;
  std::string peer_;
  zqm_roles::Caller caller_;
  std::optional<zqm_handshake::Server> handshake_;  // until the peer has proved itself
  zqm_channel::Channel channel_;
  bool authenticated_ = false;
  zqm_deadlines::Id deadline_ = 0;  // the handshake's, the first request's, or the idle one
  bool busy_ = false;               // a call of it is being served
  zqm_deadlines::Clock::time_point idleSince_;
  zqm_wire::FrameReader reader_;
  std::string outgoing_;
};

Listener::Listener(asio::ip::tcp::acceptor acceptor, zqm_wire::Hello hello, Handler handler,
                   Limits limits)
    : Listener(static_cast<asio::io_context&>(acceptor.get_executor().context()),
               acceptor.release(), std::move(hello), std::move(handler), limits) {}

Listener::Listener(asio::io_context& io, int fd, zqm_wire::Hello hello, Handler handler,
                   Limits limits)
    : acceptor_(io),
      local_(false),
      deadlines_(io),
      hello_(std::move(hello)),
      handler_(std::move(handler)),
      limits_(limits),
      credentials_(zqm_auth::Current()) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  local_ = address.ss_family == AF_UNIX;
  if (address.ss_family == AF_INET) {
    port_ = ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
  } else if (address.ss_family == AF_INET6) {
    port_ = ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
  }
  const asio::generic::stream_protocol protocol(address.ss_family,
                                                local_ ? 0 : static_cast<int>(IPPROTO_TCP));
  acceptor_.assign(protocol, fd);
}

Listener::~Listener() {
  Close();
}

void Listener::Start() {
  Accept();
}

std::string Listener::Where() const {
  return local_ ? std::string("the local socket") : "port " + std::to_string(port_);
}

void Listener::Accept() {
  acceptor_.async_accept([this](asio::error_code error, Socket socket) {
    if (error == asio::error::operation_aborted || !acceptor_.is_open()) return;
    if (error) {
      // Out of descriptors, for example: say so, and try again a little
      // later rather than spinning on a failure that persists.
      Note("", "accepting a connection failed: " + error.message());
      retry_ = deadlines_.After(std::chrono::milliseconds(100), [this] { Accept(); });
      return;
    }
    Admit(std::move(socket));
    Accept();
  });
}

void Listener::Admit(Socket socket) {
  ++accepted_;
  const int fd = socket.native_handle();
  if (local_) {
    zqm_roles::Caller caller = LocalCaller(fd, limits_.administratorsGroup);
    const std::string peer =
        "pid " + std::to_string(caller.pid) + " (uid " + std::to_string(caller.uid) + ")";
    if (sessions_.size() - unauthenticated_ >= limits_.maxConnections) {
      return Refuse(socket, peer, "connection limit");
    }
    if (byIdentity_[IdentityOf(caller)] >= limits_.maxPerIdentity) {
      return Refuse(socket, peer, "over its user's limit of connections");
    }
    auto session = std::make_shared<Session>(*this, std::move(socket), peer);
    sessions_.insert(session);
    ++byIdentity_[IdentityOf(caller)];
    session->StartLocal(std::move(caller));
    return;
  }
  const std::string peer = PeerAddress(fd);
  if (const char* why = OverBudget(SourceOf(peer))) {
    // A source's budget must not shut out the local administrators: root
    // and this process's user pass it (not the whole budget), whoever else
    // on this host fills it.
    const std::optional<uid_t> owner = unauthenticated_ < limits_.maxUnauthenticated
                                           ? zqm_loopback_peer::OwnerOfPeer(fd)
                                           : std::nullopt;
    if (!owner || (*owner != 0 && *owner != geteuid())) return Refuse(socket, peer, why);
  }
  asio::error_code ignored;
  socket.set_option(asio::ip::tcp::no_delay(true), ignored);
  auto session = std::make_shared<Session>(*this, std::move(socket), peer);
  sessions_.insert(session);
  ++unauthenticated_;
  ++bySource_[SourceOf(peer)];
  session->StartNetwork();
}

const char* Listener::OverBudget(const std::string& source) const {
  if (unauthenticated_ >= limits_.maxUnauthenticated) {
    return "over the limit of connections before their handshake";
  }
  const auto found = bySource_.find(source);
  if (found != bySource_.end() && found->second >= limits_.maxUnauthenticatedPerSource) {
    return "over its address's limit of connections before their handshake";
  }
  return nullptr;
}

void Listener::Refuse(Socket& socket, const std::string& peer, const char* why) {
  ++refused_;
  if (std::string(why) == "connection limit") {
    if (!refusing_) {
      refusing_ = true;
      zqm_trace::Line(0, "Connection limit of " + std::to_string(limits_.maxConnections) +
                             " reached on " + Where() +
                             "; new connections are closed at once until one ends");
    }
  } else {
    Note(peer, std::string("refused: ") + why);
  }
  asio::error_code ignored;
  socket.close(ignored);
}

void Listener::Authenticated(Session& session) {
  --unauthenticated_;
  const std::string source = SourceOf(session.Peer());
  if (--bySource_[source] == 0) bySource_.erase(source);
  std::size_t& ofIdentity = byIdentity_[IdentityOf(session.Caller())];
  const std::size_t authenticated = sessions_.size() - unauthenticated_;
  // Counted now: it is not a stranger any more.
  ++ofIdentity;
  if (authenticated > limits_.maxConnections || ofIdentity > limits_.maxPerIdentity) ++refused_;
  if (authenticated > limits_.maxConnections) {
    if (!refusing_) {
      refusing_ = true;
      zqm_trace::Line(0, "Connection limit of " + std::to_string(limits_.maxConnections) +
                             " reached on " + Where() +
                             "; new connections are closed at once until one ends");
    }
    return session.End({});
  }
  if (ofIdentity > limits_.maxPerIdentity) {
    return session.End("over its identity's limit of " + std::to_string(limits_.maxPerIdentity) +
                       " connections");
  }
}

void Listener::Forget(const std::shared_ptr<Session>& session) {
  if (sessions_.erase(session) == 0) return;
  if (session->Authenticated()) {
    const std::string identity = IdentityOf(session->Caller());
    if (auto found = byIdentity_.find(identity); found != byIdentity_.end()) {
      if (--found->second == 0) byIdentity_.erase(found);
    }
  } else {
    --unauthenticated_;
    const std::string source = SourceOf(session->Peer());
    if (auto found = bySource_.find(source); found != bySource_.end()) {
      if (--found->second == 0) bySource_.erase(found);
    }
  }
  const std::size_t authenticated = sessions_.size() - unauthenticated_;
  if (refusing_ && authenticated < limits_.maxConnections && acceptor_.is_open()) {
    refusing_ = false;
    zqm_trace::Line(0, "Accepting connections again on " + Where() + " (" +
                           std::to_string(authenticated) + " open)");
  }
}

void Listener::Note(const std::string& peer, const std::string& why) {
  if (summary_ == 0) {
    summary_ = deadlines_.After(std::chrono::milliseconds(kTraceIntervalMs), [this] {
      summary_ = 0;
      Summarize();
    });
  }
  if (traced_ < kTracedPerInterval) {
    ++traced_;
    zqm_trace::Line(0, peer.empty() ? "On " + Where() + ": " + why
                                    : "Closing connection from " + peer + ": " + why);
    return;
  }
  // Counted by kind: the reason without what varies per connection.
  ++untraced_[why.substr(0, why.find(" ("))];
}

void Listener::Summarize() {
  traced_ = 0;
  if (untraced_.empty()) return;
  std::string text;
  std::size_t total = 0;
  for (const auto& [why, count] : untraced_) {
    text += (text.empty() ? "" : "; ") + std::to_string(count) + " " + why;
    total += count;
  }
  untraced_.clear();
  zqm_trace::Line(0, "On " + Where() + ", " + std::to_string(total) +
                         " more connections were closed or refused in " +
                         std::to_string(kTraceIntervalMs / 1000) + " s: " + text);
  // Quiet from now on until something happens again.
  summary_ = deadlines_.After(std::chrono::milliseconds(kTraceIntervalMs), [this] {
    summary_ = 0;
    Summarize();
  });
}

void Listener::Close() {
  asio::error_code ignored;
  acceptor_.close(ignored);
  deadlines_.Cancel(retry_);
  deadlines_.Cancel(summary_);
  summary_ = 0;
  for (const auto& session : std::set<std::shared_ptr<Session>>(sessions_))
    session->Close();
  sessions_.clear();
  unauthenticated_ = 0;
  bySource_.clear();
  byIdentity_.clear();
}

}  // namespace zqm_listener
