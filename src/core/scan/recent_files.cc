#include "core/scan/recent_files.h"

#include <glib.h>

#include <chrono>
#include <cstdlib>
#include <memory>

namespace tallowick {
namespace {

bool isInside(const std::string& path, std::string root) {
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (root == "/") return !path.empty() && path.front() == '/';
  return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                          path[root.size()] == '/');
}

std::optional<Date> visitedDate(GBookmarkFile* list, const char* uri) {
  GError* error = nullptr;
  GDateTime* visited = g_bookmark_file_get_visited_date_time(list, uri, &error);
  if (error) {
    g_error_free(error);
    return std::nullopt;
  }
  if (!visited) return std::nullopt;
  const auto since = std::chrono::seconds(g_date_time_to_unix(visited)) +
                     std::chrono::microseconds(g_date_time_get_microsecond(visited));
  return Date(std::chrono::duration_cast<Date::duration>(since));
}

}  // namespace

std::optional<std::string> recentFilesListPath() {
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  if (dataHome && dataHome[0] == '/') return std::string(dataHome) + "/recently-used.xbel";
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return std::string(home) + "/.local/share/recently-used.xbel";
  return std::nullopt;
}

std::map<std::string, SpotlightFacts> recentFileFacts(const std::vector<std::string>& roots,
                                                      const std::string& listPath) {
  std::map<std::string, SpotlightFacts> facts;
  std::unique_ptr<GBookmarkFile, decltype(&g_bookmark_file_free)> list(g_bookmark_file_new(),
                                                                       g_bookmark_file_free);
  GError* error = nullptr;
  if (!g_bookmark_file_load_from_file(list.get(), listPath.c_str(), &error)) {
    if (error) g_error_free(error);
    return facts;
  }
  gsize count = 0;
  std::unique_ptr<gchar*, decltype(&g_strfreev)> uris(g_bookmark_file_get_uris(list.get(), &count),
                                                      g_strfreev);
  for (gsize i = 0; i < count; ++i) {
    const char* uri = uris.get()[i];
    gchar* rawPath = g_filename_from_uri(uri, nullptr, nullptr);
    if (!rawPath) continue;  // not a local file
    std::string path(rawPath);
    g_free(rawPath);
    bool wanted = false;
    for (const auto& root : roots) {
      if (isInside(path, root)) {
        wanted = true;
        break;
      }
    }
    if (!wanted) continue;
    auto visited = visitedDate(list.get(), uri);
    if (!visited) continue;
    facts[path] = SpotlightFacts{visited, false};
  }
  return facts;
}

}  // namespace tallowick
