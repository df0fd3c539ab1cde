#include "core/scan/content_types.h"

#include <gio/gio.h>

#include <memory>

#include "core/scan/glib_functions.h"

namespace tallowick {

std::optional<std::string> contentTypeForName(std::string_view fileName) {
  if (fileName.empty() || !libgio.load()) return std::nullopt;
  const std::string name(fileName);
  gboolean uncertain = FALSE;
  std::unique_ptr<gchar, decltype(&g_free)> guessed(
      g_content_type_guess(name.c_str(), nullptr, 0, &uncertain), g_free);
  if (!guessed || g_content_type_is_unknown(guessed.get())) return std::nullopt;
  return std::string(guessed.get());
}

bool contentTypeConformsTo(const std::string& contentType, const char* base) {
  return libgio.load() && g_content_type_is_a(contentType.c_str(), base);
}

}  // namespace tallowick
