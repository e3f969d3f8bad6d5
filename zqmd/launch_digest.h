// A short fingerprint of what a server's instances are launched from: its
// server subtree without the keys only the service reads (start-up order,
// instance count, where it runs). The daemon keeps it for each instance it
// starts; zqm compares it with the configuration of now to find the
// instances that run an older launch configuration.
#pragma once

#include <string>

#include "typelib/dodived.h"

namespace zqmd {

// 32 hexadecimal digits; equal subtrees (keys in the same order) give equal
// digests.
std::string LaunchDigest(const ZQ_TTree& server);

}  // namespace zqmd
