#include "zqmd/credential_cache.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "DEVUror/zqm_exceptions.h"
#include "DEVUror/zqm_trace.h"

namespace zqmd {

namespace {

using SteadyClock = std::chrono::steady_clock;

// "user "alice"", "group "staff"" or both, as the trace names them.
std::string Describe(const std::string& user, const std::string& group) {
  std::string text = user.empty() ? "" : "user \"" + user + "\"";
  if (!group.empty()) text += (text.empty() ? "" : " and ") + ("group \"" + group + "\"");
  return text;
}

}  // namespace

struct CredentialCache::Lookups {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<Key> queue;
  bool ending = false;
  Identity daemon;

  // The lookup thread: one lookup at a time, each answer posted to the loop.
  static void Run(const std::shared_ptr<Lookups>& lookups,
                  const std::shared_ptr<LoopMailbox>& mailbox, CredentialCache* cache) {
    for (;;) {
      Key key;
      {
        std::unique_lock<std::mutex> lock(lookups->mutex);
        lookups->wake.wait(lock, [&] { return lookups->ending || !lookups->queue.empty(); });
        if (lookups->ending) return;
        key = std::move(lookups->queue.front());
        lookups->queue.pop_front();
      }
      std::optional<Credentials> credentials;
      std::string problem;
      try {
        credentials = ResolveCredentials(key.first, key.second, lookups->daemon);
      } catch (const ZQ_EException& failure) {
        problem = failure.ZQ_Message().Text();
      }
      mailbox->Post(
          [cache, key, credentials, problem] { cache->Answered(key, credentials, problem); });
    }
  }
};

CredentialCache::CredentialCache(asio::io_context& io, zqm_deadlines::DeadlineQueue& deadlines)
    : deadlines_(deadlines),
      mailbox_(LoopMailbox::Make(io)),
      lookups_(std::make_shared<Lookups>()) {
  lookups_->daemon = CurrentIdentity();
  try {
    std::thread(Lookups::Run, lookups_, mailbox_, this).detach();
  } catch (const std::system_error& failure) {
    ZQM_EException failed(
        ZQ_TString::Format("cannot start the thread that resolves users: %s", failure.what()));
    ZQ_THROW_AT(failed, __FILE__, __LINE__);
  }
}

CredentialCache::~CredentialCache() {
  {
    std::lock_guard<std::mutex> lock(lookups_->mutex);
    lookups_->ending = true;
  }
  lookups_->wake.notify_one();
  mailbox_->Close();
  for (auto& [key, entry] : entries_)
    deadlines_.Cancel(entry.fallback);
}

std::optional<Credentials> CredentialCache::Known(const std::string& user,
                                                  const std::string& group) const {
  // Without either there is nothing to look up.
  if (user.empty() && group.empty()) return ResolveCredentials(user, group, lookups_->daemon);
  auto found = entries_.find(Key{user, group});
  if (found == entries_.end() || !found->second.kept ||
      SteadyClock::now() - found->second.resolvedAt >= kFreshFor) {
    return std::nullopt;
  }
  return found->second.kept;
}

CredentialCache::Id CredentialCache::Resolve(const std::string& user, const std::string& group,
                                             Done done) {
  const Key key{user, group};
  const Id id = ++next_;
  Entry& entry = entries_[key];
  entry.waiting.emplace_back(id, std::move(done));
  if (!entry.asking) {
    entry.asking = true;
    {
      std::lock_guard<std::mutex> lock(lookups_->mutex);
      lookups_->queue.push_back(key);
    }
    lookups_->wake.notify_one();
  }
  if (entry.kept && entry.fallback == 0)
    entry.fallback = deadlines_.After(kRefreshWait, [this, key] { UseKept(key); });
  return id;
}

void CredentialCache::Cancel(Id id) {
  for (auto& [key, entry] : entries_)
    std::erase_if(entry.waiting, [id](const auto& waiter) { return waiter.first == id; });
}

void CredentialCache::UseKept(const Key& key) {
  Entry& entry = entries_.at(key);
  entry.fallback = 0;
  if (!entry.kept || entry.waiting.empty()) return;
  if (!entry.fallbackTraced) {
    entry.fallbackTraced = true;
    const auto age =
        std::chrono::duration_cast<std::chrono::seconds>(SteadyClock::now() - entry.resolvedAt);
    zqm_trace::Line(
        0, ZQ_TString::Format("The user database did not answer for %s within %d ms; "
                              "starting with what it said %d s ago",
                              Describe(key.first, key.second),
                              static_cast<int>(kRefreshWait.count()), static_cast<int>(age.count()))
               .Text());
  }
  const Credentials kept = *entry.kept;
  Answer(entry, &kept, "");
}

void CredentialCache::Answered(const Key& key, std::optional<Credentials> credentials,
                               std::string problem) {
  Entry& entry = entries_.at(key);
  entry.asking = false;
  deadlines_.Cancel(std::exchange(entry.fallback, 0));
  if (entry.fallbackTraced)
    zqm_trace::Line(0, "The user database answers again for " + Describe(key.first, key.second));
  entry.fallbackTraced = false;
  // What the database says now replaces what was kept, a refusal included.
  entry.kept = credentials;
  entry.resolvedAt = SteadyClock::now();
  Answer(entry, credentials ? &*credentials : nullptr, problem);
}

void CredentialCache::Answer(Entry& entry, const Credentials* credentials,
                             const std::string& problem) {
  // Taken first: a receiver may ask again at once.
  for (auto& [id, done] : std::exchange(entry.waiting, {}))
    done(credentials, problem);
}

}  // namespace zqmd
