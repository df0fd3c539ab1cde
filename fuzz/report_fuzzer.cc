// The stored report ("report.json"), which the agent reads back at start. A
// load must end in a report or a DecodeError, and a loaded report must come
// back unchanged through its own stored form.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "shared/report.h"

using namespace tallowick;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  Report report;
  try {
    report = Report::fromStoredJSON(text);
  } catch (const DecodeError&) {
    return 0;
  }
  const std::string stored = report.storedJSON();
  try {
    if (!(Report::fromStoredJSON(stored) == report)) {
      std::fprintf(stderr, "round trip changed the report: %s\n", stored.c_str());
      std::abort();
    }
  } catch (const DecodeError& e) {
    std::fprintf(stderr, "own stored form does not load: %s\n", e.what());
    std::abort();
  }
  return 0;
}
