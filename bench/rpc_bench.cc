// rpc_bench: round trips of the RPC runtime on loopback, and the packing of
// a typical daemon reply.
//
// The program runs in network and PID namespaces of its own (it re-executes
// itself through tests/support/netns-run), starts a real daemon (zqmd) on
// port 8088 there, and serves a ZQM_TServer on a thread of its own, bound
// and registered with that daemon like any server. Each timed call is timed
// on its own, so that besides calls per second the percentiles p50, p90 and
// p99 of one call's latency come out as counters (microseconds).
//
// Everything authenticates with a key of the run's own; with ZQM_INSECURE=1
// set, nothing does (the "auth" context says which), which gives the cost
// of the handshake per connection and shows that calls on an open
// connection cost the same either way.
//
//   rpc_bench [--benchmark_filter=...] [--benchmark_min_time=...]
#include <benchmark/benchmark.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DEVUror/devuror.h"
#include "DEVUror/zqm_auth.h"
#include "DEVUror/zqm_handshake.h"
#include "DEVUror/zqm_identity.h"
#include "DEVUror/zqm_wire.h"
#include "bench_support.h"
#include "support/child_process.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned short kInstance = 1;
const char* const kServerName = "Bench";

unsigned short gPort = 0;

// A "Servers" reply as the daemon builds it: one dictionary per instance.
ZQ_TList ServersReply(unsigned entries) {
  ZQ_TList list;
  for (unsigned i = 0; i < entries; ++i) {
    ZQ_TDict entry;
    entry.Set("Name", ZQ_TAny(ZQ_TString("Orders")));
    entry.Set("Instance", ZQ_TAny(ZQ_TUInt16(static_cast<std::uint16_t>(i + 1))));
    entry.Set("PID", ZQ_TAny(ZQ_TUInt32(40000 + i)));
    entry.Set("Port", ZQ_TAny(ZQ_TUInt32(41000 + i)));
    entry.Set("State", ZQ_TAny("running"));
    entry.Set("Started", ZQ_TAny(ZQ_TUInt32(1796632038u)));
    entry.Set("Log",
              ZQ_TAny(ZQ_TString(ZQ_TString::Format("/var/log/zqmd/Orders-%d.log", i + 1).Text())));
    list.Append(ZQ_TAny(entry));
  }
  return list;
}

void Process(ZQM_TServer&, const ZQ_TDict& arguments, ZQ_TAny& result, void*) {
  const ZQ_TString& method = arguments["M"].DynamicCast<ZQ_TString>(__FILE__, __LINE__);
  if (method == "Ping") {
    result = ZQ_TAny("pong");
  } else if (method == "Echo") {
    result = arguments["P1"];
  } else if (method == "Servers") {
    static const ZQ_TList reply = ServersReply(5);
    result = ZQ_TAny(reply);
  } else {
    ZQM_ENoSuchServerMethod unknown(method);
    ZQ_THROW_AT(unknown, __FILE__, __LINE__);
  }
}

void SetLatencyCounters(benchmark::State& state, std::vector<double>& micros) {
  const zq_bench::Summary summary = zq_bench::Summarise(std::move(micros));
  state.counters["p50_us"] = summary.p50;
  state.counters["p90_us"] = summary.p90;
  state.counters["p99_us"] = summary.p99;
}

double MicrosSince(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// One call of the kind a benchmark names.
struct CallKind {
  const char* method;
  ZQ_TList arguments;
};

CallKind Kind(int which) {
  CallKind kind{"Ping", {}};
  if (which == 1) {
    kind.method = "Echo";
    kind.arguments.Append(ZQ_TAny(ZQ_TString(std::string(1024, 'x'))));
  } else if (which == 2) {
    kind.method = "Servers";
  }
  return kind;
}

// Calls from `clients` threads at once, each with its own client. Every
// iteration is one round: each thread makes kCallsPerRound calls. Time is
// the round's wall time; latency is each call's own.
constexpr unsigned kCallsPerRound = 20;

void BM_Call(benchmark::State& state, int which) {
  const CallKind kind = Kind(which);
  const unsigned clients = static_cast<unsigned>(state.range(0));
  const ZQ_TString method(kind.method);
  std::vector<double> micros;
  std::uint64_t calls = 0;

  if (clients == 1) {
    // One client: one call per iteration, no threads in between.
    ZQM_TClient client("", gPort);
    for (auto _ : state) {
      const auto start = Clock::now();
      benchmark::DoNotOptimize(client.Call(method, kind.arguments));
      const double took = MicrosSince(start);
      state.SetIterationTime(took / 1e6);
      micros.push_back(took);
      ++calls;
    }
  } else {
    std::vector<std::vector<double>> perThread(clients);
    std::atomic<bool> stop{false};
    std::atomic<bool> failed{false};
    std::barrier<> round(static_cast<std::ptrdiff_t>(clients) + 1);
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < clients; ++t) {
      threads.emplace_back([&, t] {
        std::unique_ptr<ZQM_TClient> client;
        try {
          client = std::make_unique<ZQM_TClient>("", gPort);
        } catch (...) {
          failed = true;
        }
        for (;;) {
          round.arrive_and_wait();  // start of a round
          if (stop) return;
          for (unsigned i = 0; i < kCallsPerRound && client && !failed; ++i) {
            const auto start = Clock::now();
            try {
              benchmark::DoNotOptimize(client->Call(method, kind.arguments));
            } catch (...) {
              failed = true;
            }
            perThread[t].push_back(MicrosSince(start));
          }
          round.arrive_and_wait();  // end of the round
        }
      });
    }
    for (auto _ : state) {
      const auto start = Clock::now();
      round.arrive_and_wait();
      round.arrive_and_wait();
      state.SetIterationTime(MicrosSince(start) / 1e6);
      calls += static_cast<std::uint64_t>(clients) * kCallsPerRound;
    }
    stop = true;
    round.arrive_and_wait();
    for (auto& thread : threads)
      thread.join();
    if (failed) state.SkipWithError("a call failed");
    for (auto& samples : perThread)
      micros.insert(micros.end(), samples.begin(), samples.end());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(calls));
  state.counters["calls_per_s"] =
      benchmark::Counter(static_cast<double>(calls), benchmark::Counter::kIsRate);
  SetLatencyCounters(state, micros);
}
BENCHMARK_CAPTURE(BM_Call, ping, 0)
    ->ArgName("clients")
    ->RangeMultiplier(2)
    ->Range(1, 8)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Call, echo_1KiB, 1)
    ->ArgName("clients")
    ->RangeMultiplier(2)
    ->Range(1, 8)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Call, servers_5_entries, 2)
    ->ArgName("clients")
    ->RangeMultiplier(2)
    ->Range(1, 8)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// The handshake's computation alone, both sides (greeting, proofs, checks
// and the session's keys), for a key holder calling a key holder
// (`identity` 0) or a server started by the daemon (1), and for one such
// server calling another (2). BM_ConnectByPort has it, and its round trips.
void BM_HandshakeProofs(benchmark::State& state) {
  const auto key = zqm_auth::Current();
  if (key->insecure) return state.SkipWithError("runs insecure: no handshake");
  const auto identity = [&key](const char* name) {
    auto credentials = std::make_shared<zqm_auth::Credentials>();
    credentials->identity.emplace(zqm_identity::Issue(
        key->key, {key->installationPublicKey, key->installationSecretKey}, name, 1, "bench"));
    credentials->installationPublicKey = key->installationPublicKey;
    return std::shared_ptr<const zqm_auth::Credentials>(credentials);
  };
  const int mode = static_cast<int>(state.range(0));
  const auto server = mode == 0 ? key : identity("Bench");
  const auto client = mode == 2 ? identity("Caller") : key;
  for (auto _ : state) {
    zqm_handshake::Server serving(server, {"Bench", 1});
    zqm_handshake::Client calling(client, "bench");
    calling.ReadGreeting(serving.Greeting().substr(zqm_wire::kHeaderBytes));
    const std::string proof = calling.Prove().substr(zqm_wire::kHeaderBytes);
    calling.CheckAnswer(serving.Answer(proof).substr(zqm_wire::kHeaderBytes));
    benchmark::DoNotOptimize(calling.TakeChannel());
  }
}
BENCHMARK(BM_HandshakeProofs)->ArgName("identity")->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

// Connecting alone: TCP connect, the server's greeting and the handshake.
void BM_ConnectByPort(benchmark::State& state) {
  std::vector<double> micros;
  for (auto _ : state) {
    const auto start = Clock::now();
    ZQM_TClient client("", gPort);
    const double took = MicrosSince(start);
    state.SetIterationTime(took / 1e6);
    micros.push_back(took);
  }
  SetLatencyCounters(state, micros);
}
BENCHMARK(BM_ConnectByPort)->UseManualTime()->Unit(benchmark::kMicrosecond);

// Connecting by name, as the service's watcher does: connect and greeting
// of the daemon, "Locate", then connect and greeting of the server. With
// `reconnect` 1 the watcher's Reconnect follows (all of it again).
void BM_ConnectByName(benchmark::State& state) {
  const bool reconnect = state.range(0) != 0;
  std::vector<double> micros;
  for (auto _ : state) {
    const auto start = Clock::now();
    ZQM_TClient client;
    client.Connect("", ZQ_TString(kServerName), kInstance, ZQM_TClient::kLocateOrStart);
    if (reconnect) client.Reconnect();
    const double took = MicrosSince(start);
    state.SetIterationTime(took / 1e6);
    micros.push_back(took);
  }
  SetLatencyCounters(state, micros);
}
BENCHMARK(BM_ConnectByName)
    ->ArgName("reconnect")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// The watcher's lookup: a new connection to the daemon and "Servers" for
// one server name, as FindProcess makes it.
void BM_DaemonServersLookup(benchmark::State& state) {
  std::vector<double> micros;
  for (auto _ : state) {
    const auto start = Clock::now();
    ZQM_TClient daemon("", ZQM_TClient::kDaemonPort);
    benchmark::DoNotOptimize(daemon.RPC("Servers", ZQ_TAny(ZQ_TString(kServerName))));
    const double took = MicrosSince(start);
    state.SetIterationTime(took / 1e6);
    micros.push_back(took);
  }
  SetLatencyCounters(state, micros);
}
BENCHMARK(BM_DaemonServersLookup)->UseManualTime()->Unit(benchmark::kMicrosecond);

// Packing alone: a "Servers" reply of `entries` dictionaries built and
// framed as the daemon does for each call, then the client's unpacking.
void BM_PackServersReply(benchmark::State& state) {
  const unsigned entries = static_cast<unsigned>(state.range(0));
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string frame = zqm_wire::ResultFrame(ZQ_TAny(ServersReply(entries)));
    bytes = frame.size();
    benchmark::DoNotOptimize(frame.data());
  }
  state.counters["frame_bytes"] = static_cast<double>(bytes);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_PackServersReply)->ArgName("entries")->Arg(3)->Arg(5)->Arg(100);

void BM_PackPrebuiltServersReply(benchmark::State& state) {
  const ZQ_TAny reply(ServersReply(static_cast<unsigned>(state.range(0))));
  for (auto _ : state) {
    const std::string frame = zqm_wire::ResultFrame(reply);
    benchmark::DoNotOptimize(frame.data());
  }
}
BENCHMARK(BM_PackPrebuiltServersReply)->ArgName("entries")->Arg(3)->Arg(5)->Arg(100);

void BM_UnpackServersReply(benchmark::State& state) {
  const std::string frame =
      zqm_wire::ResultFrame(ZQ_TAny(ServersReply(static_cast<unsigned>(state.range(0)))));
  const std::string_view body = std::string_view(frame).substr(zqm_wire::kHeaderBytes + 1);
  for (auto _ : state) {
    ZQ_TAny value = zqm_wire::DecodeResult(body);
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame.size()));
}
BENCHMARK(BM_UnpackServersReply)->ArgName("entries")->Arg(3)->Arg(5)->Arg(100);

}  // namespace

int main(int argc, char** argv) {
  zq_bench::EnterPrivateNamespaces(argc, argv);
  __ZQ_INITIALIZATION_FUNCTION_dodived__();
  __ZQ_INITIALIZATION_FUNCTION_DEVUror__();
  std::signal(SIGPIPE, SIG_IGN);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;

  int status = 0;
  {
    // A folder of its own: the daemon keeps its registry there, and a run
    // must not find the last run's.
    const zq_test::TempDir logs;
    zq_test::ChildProcess daemon({zq_test::Program("zqmd"), "--log-dir", logs.Path()},
                                 {{"ZQM_TRACE_LEVEL", "0"}});
    if (!daemon.WaitForLine("Middleware daemon listening")) {
      std::fprintf(stderr, "rpc_bench: the daemon did not start:\n%s", daemon.Output().c_str());
      return 1;
    }
    ZQM_TServer server;
    std::thread loop;
    try {
      server.Bind(kServerName, kInstance, 0, false);
      gPort = server.Port();
      server.SetProcessor(&Process, nullptr);
      loop = std::thread([&server] { server.EventLoop(); });
      benchmark::AddCustomContext("load", zq_bench::MachineLoad());
      benchmark::AddCustomContext("auth", zqm_auth::Current()->insecure ? "insecure" : "keyed");
      benchmark::RunSpecifiedBenchmarks();
    } catch (const ZQ_EException& failure) {
      std::fprintf(stderr, "rpc_bench: %s\n", failure.ZQ_Message().Text().c_str());
      status = 1;
    }
    if (loop.joinable()) {
      kill(getpid(), SIGTERM);  // ends the event loop
      loop.join();
    }
  }
  benchmark::Shutdown();
  return status;
}
