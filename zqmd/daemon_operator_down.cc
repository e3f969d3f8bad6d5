// Servers the operator took down ("zqm down"): marked until cleared ("zqm
// up"), kept in the state file across restarts of the daemon, and never
// started meanwhile, whoever asks.
#include <ctime>
#include <utility>

#include "DEVUror/zqm_trace.h"
#include "zqmd/daemon_internal.h"
#include "zqmd/state_file.h"

namespace zqmd {

namespace {

// Far more servers than a host configures, and longer names than any has;
// beyond them a mark is refused rather than let the state file grow past
// what a restarted daemon reads.
constexpr std::size_t kMostOperatorDown = 4096;
constexpr std::size_t kLongestName = 255;

ZQ_TDict DownEntry(const std::string& name, std::int64_t since) {
  ZQ_TDict entry;
  entry.Set("Name", ZQ_TAny(ZQ_TString(name)));
  entry.Set("Since", ZQ_TAny(ZQ_TUInt32(static_cast<std::uint32_t>(since))));
  return entry;
}

// The server a "MarkDown" or "ClearDown" names (P1), or nothing.
const ZQ_TString* ServerNamed(const ZQ_TDict& request) {
  const ZQ_TString* name = Parameter<ZQ_TString>(request, "P1");
  if (name == nullptr || name->IsEmpty() || name->Text().size() > kLongestName ||
      name->Text().find('/') != std::string::npos || *name == "*")
    return nullptr;
  return name;
}

}  // namespace

void Daemon::LoadOperatorDown() {
  std::string problem;
  for (const OperatorDown& mark : zqmd::LoadOperatorDown(options_.stateFile, problem)) {
    operatorDown_[mark.name] = mark.since;
    zqm_trace::Line(0, "Server " + mark.name + " is down by operator since " +
                           zqm_trace::LocalTime(mark.since) + ": it is not started until zqm up");
  }
  KeepOperatorDown();
}

void Daemon::KeepOperatorDown() {
  std::vector<OperatorDown> marks;
  for (const auto& [name, since] : operatorDown_)
    marks.push_back({name, since});
  stateWriter_->SetOperatorDown(std::move(marks));
}

std::string Daemon::OperatorDownRefusal(const std::string& name) const {
  const auto mark = operatorDown_.find(name);
  if (mark == operatorDown_.end()) return "";
  return name + " is down by operator since " + zqm_trace::LocalTime(mark->second) +
         " (zqm down): none of its instances is started until zqm up " + name;
}

void Daemon::MarkDown(const ZQ_TDict& request, zqm_listener::Reply& reply) {
  const ZQ_TString* name = ServerNamed(request);
  if (name == nullptr)
    return reply(FailureFrame<ZQM_EException>("MarkDown needs a server name (P1)"));
  auto mark = operatorDown_.find(name->Text());
  if (mark == operatorDown_.end()) {
    if (operatorDown_.size() >= kMostOperatorDown) {
      return reply(FailureFrame<ZQM_EException>(ZQ_TString::Format(
          "%d servers are down by operator already; bring some up first", kMostOperatorDown)));
    }
    mark = operatorDown_.emplace(name->Text(), std::time(nullptr)).first;
    zqm_trace::Line(
        0, "Server " + mark->first + " is down by operator: it is not started until zqm up");
    KeepOperatorDown();
    Save();  // at once: a daemon stopped right after still writes it
  }
  reply(zqm_wire::ResultFrame(ZQ_TAny(DownEntry(mark->first, mark->second))));
}

void Daemon::ClearDown(const ZQ_TDict& request, zqm_listener::Reply& reply) {
  const ZQ_TString* name = ServerNamed(request);
  if (name == nullptr)
    return reply(FailureFrame<ZQM_EException>("ClearDown needs a server name (P1)"));
  const bool cleared = operatorDown_.erase(name->Text()) != 0;
  if (cleared) {
    zqm_trace::Line(0, "Server " + name->Text() + " is no longer down by operator");
    KeepOperatorDown();
    Save();  // at once: a daemon stopped right after still writes it
  }
  reply(zqm_wire::ResultFrame(ZQ_TAny(cleared)));
}

void Daemon::DownServers(zqm_listener::Reply& reply) {
  ZQ_TList list;
  for (const auto& [name, since] : operatorDown_)
    list.Append(ZQ_TAny(DownEntry(name, since)));
  reply(zqm_wire::ResultFrame(ZQ_TAny(std::move(list))));
}

}  // namespace zqmd
