// zqm: calls middleware servers from the command line.
//
//   zqm [--host H] call NAME INSTANCE METHOD [ARG...]   call an instance, located by the daemon
//   zqm [--host H] call --port P METHOD [ARG...]        call whatever listens on port P
//   zqm [--host H] servers [NAME]                       the daemon's list of running instances
//
// Exit status: 0 success, 1 failure (the server answered with an exception,
// or could not be reached), 2 usage.
#include <CLI/CLI.hpp>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <sstream>

#include "DEVUror/devuror.h"
#include "tools/zqm_args.h"

namespace {

struct Options {
  std::string host;
  unsigned port = 0;
  std::vector<std::string> words;
  std::string serverName;
};

int Fail(const ZQ_EException& failure) {
  std::cerr << "zqm: " << failure.ClassName() << ": " << failure.ZQ_Message() << std::endl;
  return 1;
}

int Call(const Options& options) {
  std::size_t next = 0;
  ZQM_TClient client;
  client.SetConnectionAttempts(1);
  if (options.port != 0) {
    client.Connect(options.host, static_cast<unsigned short>(options.port));
  } else {
    if (options.words.size() < 3) {
      std::cerr << "zqm: call needs NAME INSTANCE METHOD (or --port PORT METHOD)\n";
      return 2;
    }
    const ZQ_TAny instance = ParseArgument("u16:" + options.words[1]);
    client.Connect(options.host, options.words[0],
                   instance.DynamicCast<ZQ_TUInt16>(__FILE__, __LINE__),
                   ZQM_TClient::kLocateOrStart);
    next = 2;
  }
  if (next >= options.words.size()) {
    std::cerr << "zqm: call needs a METHOD\n";
    return 2;
  }
  const ZQ_TString method(options.words[next]);
  ZQ_TList arguments;
  for (std::size_t i = next + 1; i < options.words.size(); ++i)
    arguments.Append(ParseArgument(options.words[i]));
  const ZQ_TAny result = client.Call(method, arguments);
  std::cout << result << std::endl;
  return 0;
}

std::string Text(const ZQ_TDict& entry, const char* key) {
  std::ostringstream out;
  if (const ZQ_TAny* value = entry.Find(key)) out << *value;
  return out.str();
}

int Servers(const Options& options) {
  ZQM_TClient daemon(options.host, ZQM_TClient::kDaemonPort);
  const ZQ_TAny reply = options.serverName.empty()
                            ? daemon.RPC("Servers")
                            : daemon.RPC("Servers", ZQ_TAny(ZQ_TString(options.serverName)));
  const ZQ_TList& list = reply.DynamicCast<ZQ_TList>(__FILE__, __LINE__);
  std::cout << std::left << std::setw(20) << "NAME" << std::setw(9) << "INSTANCE" << std::setw(9)
            << "PID" << std::setw(7) << "PORT" << std::setw(10) << "STATE" << std::setw(14) << "UP"
            << "LOG\n";
  const long long now = static_cast<long long>(std::time(nullptr));
  for (const ZQ_TAny& element : list) {
    const ZQ_TDict& entry = element.DynamicCast<ZQ_TDict>(__FILE__, __LINE__);
    const ZQ_TAny* started = entry.Find("Started");
    const long long since =
        started && started->As<ZQ_TUInt32>() ? started->As<ZQ_TUInt32>()->Value() : now;
    std::cout << std::setw(20) << Text(entry, "Name") << std::setw(9) << Text(entry, "Instance")
              << std::setw(9) << Text(entry, "PID") << std::setw(7) << Text(entry, "Port")
              << std::setw(10) << Text(entry, "State") << std::setw(14) << FormatUptime(now - since)
              << Text(entry, "Log") << "\n";
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  CLI::App app{"zqm: calls middleware servers from the command line"};
  app.require_subcommand(1);
  app.add_option("--host", options.host,
                 "host whose daemon and servers to reach (default: this host)");
  CLI::App* call = app.add_subcommand(
      "call", "call a method: NAME INSTANCE METHOD [ARG...], or --port P METHOD [ARG...]");
  call->add_option("--port", options.port, "call the server listening on this port")
      ->check(CLI::Range(1, 65535));
  call->add_option("words", options.words,
                   "NAME INSTANCE METHOD [ARG...]; ARG: str:TEXT, u32:N, u16:N, bool:true, "
                   "empty, or a bare word (number, true/false, text)")
      ->required();
  call->prefix_command(false);
  CLI::App* servers = app.add_subcommand("servers", "list the running instances the daemon knows");
  servers->add_option("name", options.serverName, "only this server");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : 2;
  }
  __ZQ_INITIALIZATION_FUNCTION_dodived__();
  __ZQ_INITIALIZATION_FUNCTION_DEVUror__();
  try {
    if (call->parsed()) return Call(options);
    return Servers(options);
  } catch (const ZQ_EException& failure) {
    return Fail(failure);
  }
}
