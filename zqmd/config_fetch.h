// Reading a server's launch configuration from the configuration server,
// without blocking the daemon: one asynchronous call of "Expand" for
// "Servers/ZQMD/Servers/<name>/" on the configuration server's port, made
// only once the greeting there names the configuration server.
#pragma once

#include <asio.hpp>
#include <functional>
#include <memory>
#include <string>

#include "DEVUror/zqm_deadlines.h"
#include "typelib/dodived.h"

namespace zqmd {

constexpr unsigned kConfigFetchTimeoutMs = 10000;

// On success `done` receives the server's subtree and an empty error; on
// failure a null tree and a message saying what failed, with `answered`
// true when it is the configuration server's own answer (no such entry, not
// a tree) and false when the server could not be asked (no connection, no
// answer in time). `done` is called exactly once, on the io_context's
// thread.
using FetchDone =
    std::function<void(std::unique_ptr<ZQ_TTree> server, std::string error, bool answered)>;

void FetchServerConfiguration(asio::io_context& io, zqm_deadlines::DeadlineQueue& deadlines,
                              const std::string& configServerName, unsigned short configServerPort,
                              const std::string& serverName, FetchDone done);

}  // namespace zqmd
