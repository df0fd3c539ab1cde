#include "core/scan/profile.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace tallowick::Profile {

bool enabled() {
  static const bool on = std::getenv("TALLOWICK_PROFILE") != nullptr;
  return on;
}

void mark(std::string_view label) {
  if (!enabled()) return;
  const std::string text = line(label, residentMB());
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

long residentMB() {
  std::ifstream statm("/proc/self/statm");
  long sizePages = 0;
  long residentPages = 0;
  if (!(statm >> sizePages >> residentPages)) return -1;
  const long pageSize = sysconf(_SC_PAGESIZE);
  if (pageSize <= 0 || residentPages < 0) return -1;
  return static_cast<long>((static_cast<unsigned long long>(residentPages) *
                            static_cast<unsigned long long>(pageSize)) >>
                           20);
}

std::string line(std::string_view label, long mb) {
  std::string out = "  [profile] ";
  out += label;
  out += ": ";
  out += std::to_string(mb);
  out += " MB resident\n";
  return out;
}

}  // namespace tallowick::Profile
