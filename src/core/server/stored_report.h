#pragma once
// The report the last scan left in the storage folder, which a server starts
// from until its first scan ends.

#include <optional>
#include <string>
#include <system_error>

#include "shared/report.h"

namespace tallowick {

// The report stored at `path` ("report.json"); no value when the file is
// missing or does not decode (the next scan writes a fresh one).
std::optional<Report> loadStoredReport(const std::string& path);

// Writes `report` at `path` in its stored form, atomically (a crash never
// leaves half a report) and a piece at a time (a report of a million items
// is never held whole as text). Returns why it could not be written
// (empty once written); the old file then stays.
std::error_code saveStoredReport(const std::string& path, const Report& report);

}  // namespace tallowick
