// Which member of an etcd cluster a request goes to, and when it moves on
// to the next: the policy of failing over, kept apart from the transport
// (etcd_transport.h) and from what the requests mean (etcd_client.h).
//
// A request goes to the member that served the last one. Each attempt has
// kMemberTimeoutMs: a member that does not answer within it, cannot be
// reached, or answers with a server error (HTTP 5xx: among them etcd's "no
// leader", "leader changed" and "request timed out") makes way for the
// next, in the order given. A member that answers, or refuses the request
// itself (HTTP 4xx), is believed. After a round in which every member made
// way, the round is made again after a short pause, longer each time, as
// long as the request's deadline allows (the first round is always made
// whole); then the request fails saying how many members answered at all:
// "etcd has no quorum: N of M members reachable" when fewer than a majority
// of those named did. A MemberSelection belongs to the thread of its
// client.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "Almanac/Server/etcd_transport.h"

namespace almanac::etcd {

// How long one member is given to answer one request, or to show that a
// watch still makes progress.
inline constexpr long kMemberTimeoutMs = 2000;

class MemberSelection {
 public:
  // Told, for the trace, when a request was served by another member than
  // the one it went to first, and why that one made way.
  using Notice = std::function<void(const std::string& text)>;

  // `endpoints`: the members' URLs, e.g. "http://10.0.0.1:2379".
  explicit MemberSelection(std::vector<std::string> endpoints, Notice notice = {});

  // One request to the member at `endpoint` within `timeoutMs`. Returns
  // when the member answered or refused (HTTP 2xx to 4xx, in `status`);
  // throws when it made way, with `status` the HTTP status of a server
  // error, or 0 when nothing answered.
  using Attempt = std::function<void(const std::string& endpoint, long timeoutMs, long& status)>;

  // The member that answered, and how.
  struct Answer {
    std::size_t member = 0;
    std::string endpoint;
    long status = 0;
  };

  // Runs `attempt` with the members as described above until one answers,
  // and makes that one the first to try next time. Throws ZQM_EException
  // when none does by `deadline`, and at once when `transport` is
  // interrupted.
  Answer Run(Transport& transport, Deadline deadline, const Attempt& attempt);

  // Makes the member after `member` the first to try: `member` has failed
  // in a way a request cannot see (its watch stalled).
  void Skip(std::size_t member);

  std::size_t Count() const { return endpoints_.size(); }

  // The members, joined by ", ", for messages.
  std::string Joined() const;

 private:
  // The failure of a round in which no member answered.
  [[noreturn]] void Fail(std::size_t reached, const std::string& failures) const;

  std::vector<std::string> endpoints_;
  Notice notice_;
  std::size_t current_ = 0;  // the member that answered last
};

}  // namespace almanac::etcd
