#include "Almanac/Server/etcd_members.h"

#include <utility>

#include "Almanac/Server/almanac_errors.h"
#include "Almanac/Server/etcd_transport.h"

namespace almanac::etcd {

MemberSelection::MemberSelection(std::vector<std::string> endpoints)
    : endpoints_(std::move(endpoints)) {}

std::string MemberSelection::Joined() const {
  std::string joined;
  for (const std::string& endpoint : endpoints_)
    joined += (joined.empty() ? "" : ", ") + endpoint;
  return joined;
}

MemberSelection::Answer MemberSelection::FirstToAnswer(const Transport& transport,
                                                       const Attempt& attempt) {
  std::string failures;
  for (std::size_t i = 0; i < endpoints_.size(); ++i) {
    const std::size_t member = (current_ + i) % endpoints_.size();
    long status = 0;
    try {
      attempt(endpoints_[member], status);
    } catch (const ZQ_EException& failure) {
      const bool reachable = status != 0;
      if (reachable || transport.Interrupted()) throw;
      failures += (failures.empty() ? "" : "; ") + failure.ZQ_Message().Text();
      continue;
    }
    current_ = member;
    return {endpoints_[member], status};
  }
  ALMANAC_THROW(ZQM_EException, "no etcd member could be reached (" + failures + ")");
}

}  // namespace almanac::etcd
