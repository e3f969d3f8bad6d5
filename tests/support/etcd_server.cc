#include "support/etcd_server.h"

#include <signal.h>
#include <unistd.h>

#include <stdexcept>

namespace zq_test {

bool EtcdServer::Installed() {
  return access(kProgram, X_OK) == 0;
}

EtcdServer::EtcdServer(std::string dataDirectory, std::vector<std::string> addresses)
    : dataDirectory_(std::move(dataDirectory)), addresses_(std::move(addresses)) {
  Start();
}

void EtcdServer::Start() {
  std::string clientUrls;
  for (const std::string& address : addresses_)
    clientUrls += (clientUrls.empty() ? "" : ",") + Url(address);
  process_ = std::make_unique<ChildProcess>(std::vector<std::string>{
      kProgram, "--data-dir", dataDirectory_, "--listen-client-urls", clientUrls,
      "--advertise-client-urls", Url(), "--listen-peer-urls", "http://127.0.0.1:2380",
      "--initial-advertise-peer-urls", "http://127.0.0.1:2380", "--initial-cluster",
      "default=http://127.0.0.1:2380"});
  if (!process_->WaitForLine("ready to serve client requests", 30s)) {
    throw std::runtime_error("etcd did not come up; output:\n" + process_->Output());
  }
}

void EtcdServer::Kill() {
  process_->Signal(SIGKILL);
  process_->WaitForExit();
}

}  // namespace zq_test
