#pragma once

// The number of descriptors the process may hold. Desktops start programs
// with a soft limit of 1024 under a far higher hard one; a server that keeps
// the soft limit runs out when many connections arrive at once, and then
// cannot open its own journal either.

#include <sys/resource.h>

#include <optional>

namespace tallowick {

// Raises the soft RLIMIT_NOFILE to the hard limit. Returns the soft limit in
// force afterwards, or no value when it cannot be read.
std::optional<rlim_t> raiseDescriptorLimit();

}  // namespace tallowick
