// Process limits that a host with thousands of instances meets first.
#pragma once

#include <sys/resource.h>

#include <optional>

namespace zqm_limits {

// Raises this process's soft limit of open descriptors to its hard limit:
// the daemon holds a few per instance, the service five per monitor, and
// service managers give a soft limit of 1024. Returns the limit given when
// it was raised, nullopt when it was at its hard limit already or cannot be
// raised.
std::optional<rlimit> RaiseDescriptorLimit();

}  // namespace zqm_limits
