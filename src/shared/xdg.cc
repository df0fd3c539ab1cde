#include "shared/xdg.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "shared/file_util.h"

namespace tallowick::xdg {
namespace {

std::string absoluteVariable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] != '/') return {};
  return value;
}

// An absolute $XDG_... variable, else `fallback` under home.
std::string baseDirectory(const char* variable, const char* fallback) {
  if (std::string value = absoluteVariable(variable); !value.empty()) return value;
  std::string home = homeDirectory();
  if (home.empty()) return {};
  return home + fallback;
}

struct UserDirectoryNames {
  std::string_view key;
  std::string_view fallback;
};

constexpr UserDirectoryNames kUserDirectories[] = {
    {"DESKTOP", "Desktop"},     {"DOWNLOAD", "Downloads"}, {"PICTURES", "Pictures"},
    {"DOCUMENTS", "Documents"}, {"VIDEOS", "Videos"},
};

const UserDirectoryNames& namesOf(UserDirectory which) {
  return kUserDirectories[static_cast<int>(which)];
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

// The file is written for a shell: a double-quoted value where \ escapes
// the next character.
std::string unquoted(std::string_view value) {
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    value = value.substr(1, value.size() - 2);
  }
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) ++i;
    out.push_back(value[i]);
  }
  return out;
}

}  // namespace

std::string homeDirectory() {
  if (std::string home = absoluteVariable("HOME"); !home.empty()) return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) {
    return pw->pw_dir;
  }
  return {};
}

std::string dataHome() { return baseDirectory("XDG_DATA_HOME", "/.local/share"); }

std::string configHome() { return baseDirectory("XDG_CONFIG_HOME", "/.config"); }

std::string defaultStorageDirectory() {
  std::string data = dataHome();
  return data.empty() ? std::string() : data + "/Tallowick";
}

std::string_view userDirectoryKey(UserDirectory which) { return namesOf(which).key; }

std::string_view userDirectoryFallbackName(UserDirectory which) { return namesOf(which).fallback; }

std::optional<std::string> userDirectoryFromText(std::string_view text, std::string_view key,
                                                 const std::string& home) {
  const std::string prefix = "XDG_" + std::string(key) + "_DIR=";
  std::optional<std::string> found;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = trimmed(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.starts_with(prefix)) continue;
    std::string value = unquoted(trimmed(line.substr(prefix.size())));
    if (value == "$HOME" || value.starts_with("$HOME/")) {
      found = home + value.substr(5);
    } else if (value.starts_with('/')) {
      found = value;
    }
  }
  return found;
}

std::string userDirectory(UserDirectory which) {
  std::string home = homeDirectory();
  if (home.empty()) return {};
  if (std::string config = configHome(); !config.empty()) {
    if (auto text = readWholeFile(config + "/user-dirs.dirs")) {
      if (auto dir = userDirectoryFromText(*text, userDirectoryKey(which), home)) return *dir;
    }
  }
  return home + "/" + std::string(userDirectoryFallbackName(which));
}

}  // namespace tallowick::xdg
