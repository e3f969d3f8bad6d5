#include "Almanac/Server/etcd_members.h"

#include <algorithm>
#include <utility>

#include "Almanac/Server/almanac_errors.h"

namespace almanac::etcd {
namespace {

// The pause after a round in which no member answered, doubled after each
// further round up to kLongestPauseMs: an election takes about a second.
constexpr unsigned kFirstPauseMs = 100;
constexpr unsigned kLongestPauseMs = 1000;

}  // namespace

MemberSelection::MemberSelection(std::vector<std::string> endpoints, Notice notice)
    : endpoints_(std::move(endpoints)), notice_(std::move(notice)) {}

std::string MemberSelection::Joined() const {
  std::string joined;
  for (const std::string& endpoint : endpoints_)
    joined += (joined.empty() ? "" : ", ") + endpoint;
  return joined;
}

void MemberSelection::Skip(std::size_t member) {
  current_ = (member + 1) % endpoints_.size();
}

void MemberSelection::Fail(std::size_t reached, const std::string& failures) const {
  const std::size_t all = endpoints_.size();
  const std::string counted =
      std::to_string(reached) + " of " + std::to_string(all) + " members reachable";
  if (reached == 0)
    ALMANAC_THROW(ZQM_EException, "no etcd member can be reached (" + failures + ")");
  if (reached < all / 2 + 1)
    ALMANAC_THROW(ZQM_EException, "etcd has no quorum: " + counted + " (" + failures + ")");
  ALMANAC_THROW(ZQM_EException,
                "no etcd member could serve the request, " + counted + " (" + failures + ")");
}

MemberSelection::Answer MemberSelection::Run(Transport& transport, Deadline deadline,
                                             const Attempt& attempt) {
  unsigned pauseMs = kFirstPauseMs;
  const std::size_t first = current_;
  std::string firstFailure;
  for (;;) {
    std::string failures;
    std::size_t reached = 0;
    for (std::size_t i = 0; i < endpoints_.size(); ++i) {
      const std::size_t member = (current_ + i) % endpoints_.size();
      long status = 0;
      try {
        attempt(endpoints_[member], kMemberTimeoutMs, status);
      } catch (const ZQ_EException& failure) {
        if (transport.Interrupted()) throw;
        const std::string why = failure.ZQ_Message().Text();
        if (firstFailure.empty()) firstFailure = why;
        failures += (failures.empty() ? "" : "; ") + why;
        reached += status != 0 ? 1 : 0;
        continue;
      }
      if (member != first && notice_)
        notice_(firstFailure + "; " + endpoints_[member] + " answered instead");
      current_ = member;
      return {member, endpoints_[member], status};
    }
    if (Clock::now() + std::chrono::milliseconds(pauseMs) >= deadline) Fail(reached, failures);
    if (!transport.Pause(pauseMs)) ALMANAC_THROW(ZQM_EException, "etcd: interrupted");
    pauseMs = std::min(pauseMs * 2, kLongestPauseMs);
  }
}

}  // namespace almanac::etcd
