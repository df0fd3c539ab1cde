#include "core/server/stored_report.h"

#include <exception>

#include "shared/file_util.h"
#include "shared/report_writer.h"

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

bool writeStoredReport(const std::string& path, const Report& report) {
  AtomicFileWriter file(path);
  OutputBuffer out([&file](std::string_view chunk) { return file.write(chunk); });
  writeReportJSON(report, out);
  return out.finish() && file.commit();
}

}  // namespace tallowick
