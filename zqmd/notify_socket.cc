#include "zqmd/notify_socket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "DEVUror/zqm_exceptions.h"

namespace zqmd {

namespace {

// Room for the sender's credentials and some descriptors, which are closed.
constexpr std::size_t kControlBytes = CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(16 * sizeof(int));

[[noreturn]] void Refuse(const std::string& path, const char* call, int error) {
  ZQM_EException refused(ZQ_TString::Format("cannot make the notification socket %s: %s: %s", path,
                                            call, std::strerror(error)));
  ZQ_THROW_AT(refused, __FILE__, __LINE__);
}

std::string Printable(std::string_view text) {
  std::string kept(text.substr(0, kMaxStatusTextBytes));
  for (char& c : kept) {
    if (static_cast<unsigned char>(c) < ' ' || c == 0x7f) c = '?';
  }
  return kept;
}

// The sender's process id from the control messages; closes every
// descriptor that came along. 0 when the kernel named none.
pid_t SenderOf(msghdr& message) {
  pid_t sender = 0;
  for (cmsghdr* control = CMSG_FIRSTHDR(&message); control != nullptr;
       control = CMSG_NXTHDR(&message, control)) {
    if (control->cmsg_level != SOL_SOCKET) continue;
    if (control->cmsg_type == SCM_CREDENTIALS && control->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
      ucred credentials{};
      std::memcpy(&credentials, CMSG_DATA(control), sizeof credentials);
      sender = credentials.pid;
    } else if (control->cmsg_type == SCM_RIGHTS) {
      const std::size_t count = (control->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (std::size_t at = 0; at < count; ++at) {
        int fd = -1;
        std::memcpy(&fd, CMSG_DATA(control) + at * sizeof(int), sizeof fd);
        close(fd);
      }
    }
  }
  return sender;
}

}  // namespace

Notification ParseNotification(std::string_view datagram) {
  Notification notification;
  while (!datagram.empty()) {
    const std::size_t end = datagram.find('\n');
    const std::string_view line = datagram.substr(0, end);
    if (line == "READY=1") notification.ready = true;
    if (line.rfind("STATUS=", 0) == 0) notification.status = Printable(line.substr(7));
    if (end == std::string_view::npos) break;
    datagram.remove_prefix(end + 1);
  }
  return notification;
}

NotifySocket::NotifySocket(asio::io_context& io, std::string path, Receive receive)
    : socket_(io), path_(std::move(path)), receive_(std::move(receive)) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path_.size() >= sizeof address.sun_path) Refuse(path_, "bind", ENAMETOOLONG);
  std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) Refuse(path_, "socket", errno);
  const int on = 1;
  struct stat info {};
  // Only a socket is replaced: the folder is the daemon's own.
  if (lstat(path_.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) unlink(path_.c_str());
  const char* failed = nullptr;
  if (setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
    failed = "setsockopt(SO_PASSCRED)";
  } else if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    failed = "bind";
  } else if (chmod(path_.c_str(), 0666) != 0) {
    failed = "chmod";
  }
  if (failed != nullptr) {
    const int cause = errno;
    close(fd);
    Refuse(path_, failed, cause);
  }
  socket_.assign(fd);
  Wait();
}

NotifySocket::~NotifySocket() {
  asio::error_code ignored;
  socket_.close(ignored);
  unlink(path_.c_str());
}

void NotifySocket::Wait() {
  socket_.async_wait(asio::posix::stream_descriptor::wait_read,
                     [this](const asio::error_code& error) {
                       if (error) return;  // closed
                       ReadBatch();
                     });
}

void NotifySocket::ReadBatch() {
  for (unsigned read = 0; read < kNotifyBatch; ++read) {
    if (!ReadOne()) break;
  }
  Wait();
}

bool NotifySocket::ReadOne() {
  std::array<char, kMaxNotifyBytes> data;
  alignas(cmsghdr) std::array<char, kControlBytes> control;
  iovec part{data.data(), data.size()};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control.data();
  message.msg_controllen = control.size();
  ssize_t length = 0;
  do {
    length =
        recvmsg(socket_.native_handle(), &message, MSG_DONTWAIT | MSG_TRUNC | MSG_CMSG_CLOEXEC);
  } while (length < 0 && errno == EINTR);
  if (length < 0) return false;  // EAGAIN: none left
  const pid_t sender = SenderOf(message);
  if (sender > 0 && (message.msg_flags & MSG_TRUNC) == 0)
    receive_(sender,
             ParseNotification(std::string_view(data.data(), static_cast<std::size_t>(length))));
  return true;
}

}  // namespace zqmd
