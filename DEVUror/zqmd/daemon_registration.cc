// "Register": a server announces where it listens; whoever waits for it
// to bind gets its answer.
#include "DEVUror/zqm_trace.h"
#include "DEVUror/zqmd/daemon_internal.h"
#include "DEVUror/zqmd/launcher.h"

namespace zqmd {

void Daemon::Register(const ZQ_TDict& request, zqm_listener::Reply& reply) {
  const ZQ_TDict* registration = Parameter<ZQ_TDict>(request, "P1");
  const ZQ_TString* name = registration ? Parameter<ZQ_TString>(*registration, "Name") : nullptr;
  const ZQ_TUInt32* pid = registration ? Parameter<ZQ_TUInt32>(*registration, "PID") : nullptr;
  const ZQ_TUInt32* port = registration ? Parameter<ZQ_TUInt32>(*registration, "Port") : nullptr;
  unsigned short number = 0;
  if (name == nullptr || name->IsEmpty() || pid == nullptr || pid->Value() == 0 ||
      port == nullptr || port->Value() == 0 || port->Value() > 0xFFFF ||
      !InstanceParameter(*registration, "Instance", number)) {
    return reply(FailureFrame<ZQM_EException>(
        "Register needs a dictionary with Name, Instance, PID and Port"));
  }
  const Key key{name->Text(), number};
  Instance* instance = Find(key);
  if (instance != nullptr && instance->pid != 0 &&
      instance->pid != static_cast<pid_t>(pid->Value())) {
    return reply(FailureFrame<ZQM_EException>(
        ZQ_TString::Format("%s is already running", Describe(*instance))));
  }
  if (instance == nullptr || instance->pid == 0) {
    const int pidfd = OpenPidfd(static_cast<pid_t>(pid->Value()));
    if (pidfd < 0) {
      return reply(FailureFrame<ZQM_EException>(
          ZQ_TString::Format("Register: there is no process %d", pid->Value())));
    }
    std::vector<zqm_listener::Reply> waiters;
    if (instance != nullptr) waiters = std::move(instance->waiters);
    instance = &Add(key, State::kBound);
    instance->waiters = std::move(waiters);
    instance->pid = static_cast<pid_t>(pid->Value());
    Watch(*instance, pidfd);
  }
  if (key == Key{options_.configServer, 0})
    ForgetLaunchConfigurations("the configuration server has started");
  deadlines_.Cancel(instance->startDeadline);
  instance->state = State::kBound;
  instance->port = static_cast<unsigned short>(port->Value());
  zqm_trace::Line(
      1, ZQ_TString::Format("%s bound to port %d", Describe(*instance), instance->port).Text());
  reply(zqm_wire::ResultFrame(ZQ_TAny(true)));
  SaveSoon();
  std::vector<zqm_listener::Reply> waiters = std::move(instance->waiters);
  instance->waiters.clear();
  const std::string place = PlaceFrame(*instance);
  for (auto& waiter : waiters)
    waiter(place);
}

}  // namespace zqmd
