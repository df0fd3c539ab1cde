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

std::error_code saveStoredReport(const std::string& path, const Report& report) {
  AtomicFileWriter file(path);
  OutputBuffer out([&file](std::string_view chunk) { return file.write(chunk); });
  writeReportJSON(report, out);
  if (out.finish() && file.commit()) return {};
  // A failure of the buffer's own is the file's: the buffer only fails when
  // a write did.
  return file.error() ? file.error() : std::make_error_code(std::errc::io_error);
}

}  // namespace tallowick
