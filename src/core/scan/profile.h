#pragma once

// Timing marks of a scan with the process's resident memory, printed to
// standard error when the environment holds "TALLOWICK_PROFILE" (any value,
// empty included). They cost nothing when it does not.

#include <string>
#include <string_view>

namespace tallowick::Profile {

// Whether "TALLOWICK_PROFILE" is set; read once per process, thread-safely.
bool enabled();

// When enabled, writes "  [profile] <label>: <residentMB()> MB resident" and
// a line feed to standard error in one write.
void mark(std::string_view label);

// Resident memory in whole MiB (from /proc/self/statm); -1 when unknown.
long residentMB();

// The line mark() writes.
std::string line(std::string_view label, long residentMB);

}  // namespace tallowick::Profile
