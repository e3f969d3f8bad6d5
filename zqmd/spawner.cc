#include "zqmd/spawner.h"

#include <sys/wait.h>

#include <system_error>
#include <thread>

#include "DEVUror/zqm_exceptions.h"

namespace zqmd {

struct Spawner::Job {
  LaunchConfig launch;
  LaunchRequest request;
  Descriptor identity;
  Descriptor cgroup;
  LaunchControl control;
};

Spawner::Spawner(asio::io_context& io) : mailbox_(LoopMailbox::Make(io)) {}

Spawner::~Spawner() {
  CancelAll();
  mailbox_->Close();
}

Spawner::Id Spawner::Start(LaunchConfig launch, LaunchRequest request, int identity, Done done,
                           int cgroupProcs) {
  auto job = std::make_shared<Job>();
  job->identity.Reset(identity);
  job->cgroup.Reset(cgroupProcs);
  if (underWay_.size() >= kMaxUnderWay) {
    ZQM_EException refused(ZQ_TString::Format(
        "%d launches are under way, hung in their working directories or programs' file "
        "systems; no more are started until one ends",
        static_cast<unsigned>(underWay_.size())));
    ZQ_THROW_AT(refused, __FILE__, __LINE__);
  }
  job->launch = std::move(launch);
  job->request = std::move(request);
  job->request.identityFd = job->identity.Get();
  job->request.cgroupProcs = job->cgroup.Get();
  job->request.control = &job->control;
  const Id id = ++next_;
  try {
    std::thread(Run, job, mailbox_, this, id).detach();
  } catch (const std::system_error& failure) {
    ZQM_EException refused(
        ZQ_TString::Format("cannot start a thread for the launch: %s", failure.what()));
    ZQ_THROW_AT(refused, __FILE__, __LINE__);
  }
  underWay_.emplace(id, Entry{std::move(job), std::move(done)});
  return id;
}

void Spawner::Run(const std::shared_ptr<Job>& job, const std::shared_ptr<LoopMailbox>& mailbox,
                  Spawner* spawner, Id id) {
  auto outcome = std::make_shared<Outcome>();
  try {
    const Launched launched = Launch(job->launch, job->request);
    outcome->pid = launched.pid;
    outcome->pidfd.Reset(launched.pidfd);
    outcome->log.Reset(launched.log);
  } catch (const ZQ_EException& failure) {
    outcome->problem = failure.ZQ_Message().Text();
  } catch (const std::exception& failure) {
    outcome->problem = failure.what();
  }
  if (mailbox->Post([spawner, id, outcome] { spawner->Deliver(id, *outcome); })) return;
  // The spawner is gone: the child it gave up on is reaped here. One that
  // started just then runs on, unwatched, as after the daemon's end.
  if (job->control.Cancelled() && outcome->pid > 0) {
    job->control.Reaping();
    waitpid(outcome->pid, nullptr, 0);
  }
}

void Spawner::Deliver(Id id, Outcome& outcome) {
  auto found = underWay_.find(id);
  if (found == underWay_.end()) return;
  const Done done = std::move(found->second.done);
  underWay_.erase(found);
  done(outcome);
}

void Spawner::Cancel(Id id) {
  if (auto found = underWay_.find(id); found != underWay_.end())
    found->second.job->control.Cancel();
}

void Spawner::CancelAll() {
  for (auto& [id, entry] : underWay_)
    entry.job->control.Cancel();
}

pid_t Spawner::ChildOf(Id id) const {
  auto found = underWay_.find(id);
  if (found == underWay_.end()) return 0;
  const pid_t child = found->second.job->control.Child();
  return child > 0 ? child : 0;
}

}  // namespace zqmd
