#include "core/server/stored_report.h"

#include <exception>

#include "shared/file_util.h"

namespace tallowick {

std::optional<Report> loadStoredReport(const std::string& path) {
  auto text = readWholeFile(path);
  if (!text) return std::nullopt;
  try {
    return Report::fromStoredJSON(*text);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace tallowick
