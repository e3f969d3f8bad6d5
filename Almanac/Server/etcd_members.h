// Which member of an etcd cluster a request goes to, and when it moves on
// to the next: the policy of failing over, kept apart from the transport
// (etcd_transport.h) and from what the requests mean (etcd_client.h).
//
// Requests go to the member that answered last and move on to the next
// member, in the order given, when one cannot be reached; a member that
// answers at all, even with an error, is believed. A MemberSelection
// belongs to the thread of its client.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace almanac::etcd {

class Transport;

class MemberSelection {
 public:
  // `endpoints`: the members' URLs, e.g. "http://10.0.0.1:2379".
  explicit MemberSelection(std::vector<std::string> endpoints);

  // One request to the member at `endpoint`: sets `status` as
  // Transport::Post does, and throws when it fails.
  using Attempt = std::function<void(const std::string& endpoint, long& status)>;

  // The member that answered, and how.
  struct Answer {
    std::string endpoint;
    long status = 0;
  };

  // Runs `attempt` with one member after the other until one answers, and
  // makes that one the first to try next time. A failure after the member
  // answered, or once `transport` is interrupted, is thrown as it is; when
  // no member can be reached, throws ZQM_EException with every member's
  // failure.
  Answer FirstToAnswer(const Transport& transport, const Attempt& attempt);

  // The member that answered last, for messages about its answer; only
  // after FirstToAnswer has returned.
  const std::string& Current() const { return endpoints_[current_]; }

  // The members, joined by ", ", for messages.
  std::string Joined() const;

 private:
  std::vector<std::string> endpoints_;
  std::size_t current_ = 0;  // the member that answered last
};

}  // namespace almanac::etcd
