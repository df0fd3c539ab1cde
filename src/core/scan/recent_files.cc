#include "core/scan/recent_files.h"

#include <glib.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "core/scan/glib_functions.h"
#include "shared/xdg.h"

namespace tallowick {
namespace {

bool isInside(const std::string& path, std::string root) {
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (root == "/") return !path.empty() && path.front() == '/';
  return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                          path[root.size()] == '/');
}

std::optional<Date> parseVisited(const char* text) {
  std::unique_ptr<GDateTime, decltype(&g_date_time_unref)> date(
      g_date_time_new_from_iso8601(text, nullptr), g_date_time_unref);
  if (!date) return std::nullopt;
  const auto since = std::chrono::seconds(g_date_time_to_unix(date.get())) +
                     std::chrono::microseconds(g_date_time_get_microsecond(date.get()));
  return Date(std::chrono::duration_cast<Date::duration>(since));
}

// The list is read with the plain markup parser: only each <bookmark>'s
// "href" and "visited" attributes matter, and this parser, unlike the
// bookmark-file one, warns about nothing on lists other programs wrote.
struct ParseState {
  const std::vector<std::string>* roots;
  std::map<std::string, SpotlightFacts>* facts;
};

void startElement(GMarkupParseContext*, const gchar* element, const gchar** names,
                  const gchar** values, gpointer data, GError**) {
  if (std::string_view(element) != "bookmark") return;
  const char* href = nullptr;
  const char* visited = nullptr;
  for (int i = 0; names[i]; ++i) {
    if (std::string_view(names[i]) == "href") href = values[i];
    if (std::string_view(names[i]) == "visited") visited = values[i];
  }
  if (!href || !visited) return;
  gchar* rawPath = g_filename_from_uri(href, nullptr, nullptr);
  if (!rawPath) return;  // not a local file
  std::string path(rawPath);
  g_free(rawPath);
  auto& state = *static_cast<ParseState*>(data);
  bool wanted = false;
  for (const auto& root : *state.roots) wanted = wanted || isInside(path, root);
  if (!wanted) return;
  if (auto date = parseVisited(visited)) (*state.facts)[path] = SpotlightFacts{date, false};
}

}  // namespace

std::optional<std::string> recentFilesListPath() {
  std::string data = xdg::dataHome();
  if (data.empty()) return std::nullopt;
  return data + "/recently-used.xbel";
}

std::map<std::string, SpotlightFacts> recentFileFacts(const std::vector<std::string>& roots,
                                                      const std::string& listPath) {
  std::map<std::string, SpotlightFacts> facts;
  if (!libglib.load()) return facts;
  gchar* contents = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(listPath.c_str(), &contents, &length, nullptr)) return facts;
  std::unique_ptr<gchar, decltype(&g_free)> owned(contents, g_free);
  ParseState state{&roots, &facts};
  GMarkupParser parser{};
  parser.start_element = startElement;
  std::unique_ptr<GMarkupParseContext, decltype(&g_markup_parse_context_free)> context(
      g_markup_parse_context_new(&parser, G_MARKUP_DEFAULT_FLAGS, &state, nullptr),
      g_markup_parse_context_free);
  GError* error = nullptr;
  if (!g_markup_parse_context_parse(context.get(), contents, static_cast<gssize>(length), &error) ||
      !g_markup_parse_context_end_parse(context.get(), &error)) {
    if (error) g_error_free(error);
    facts.clear();  // a broken list is no list
  }
  return facts;
}

}  // namespace tallowick
