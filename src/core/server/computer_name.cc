#include "core/server/computer_name.h"

#include <unistd.h>

#include <climits>
#include <fstream>
#include <sstream>

namespace tallowick {

namespace {

constexpr std::string_view kKey = "PRETTY_HOSTNAME";

std::string_view trimmed(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

// One shell-style value: 'single', "double" with backslash escapes, or bare
// text up to an unquoted "#" comment. Quoted and bare pieces may be adjacent.
std::string unquoted(std::string_view v) {
  std::string out;
  std::size_t i = 0;
  while (i < v.size()) {
    const char c = v[i];
    if (c == '\'') {
      const auto end = v.find('\'', i + 1);
      if (end == std::string_view::npos) return out + std::string(v.substr(i + 1));
      out.append(v.substr(i + 1, end - i - 1));
      i = end + 1;
    } else if (c == '"') {
      ++i;
      while (i < v.size() && v[i] != '"') {
        if (v[i] == '\\' && i + 1 < v.size()) ++i;
        out.push_back(v[i++]);
      }
      ++i;
    } else if (c == '\\' && i + 1 < v.size()) {
      out.push_back(v[i + 1]);
      i += 2;
    } else if (c == '#' && (i == 0 || v[i - 1] == ' ' || v[i - 1] == '\t')) {
      break;
    } else {
      out.push_back(c);
      ++i;
    }
  }
  return std::string(trimmed(out));
}

std::string kernelHostname() {
  char buf[HOST_NAME_MAX + 1] = {};
  if (gethostname(buf, sizeof buf - 1) != 0) return {};
  return buf;
}

std::string blankToEmpty(std::string s) { return trimmed(s).empty() ? std::string() : s; }

}  // namespace

std::string prettyHostnameFromMachineInfo(std::string_view text) {
  std::string value;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    auto end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = trimmed(text.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || line.front() == '#') continue;
    const auto eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    if (trimmed(line.substr(0, eq)) != kKey) continue;
    value = unquoted(trimmed(line.substr(eq + 1)));
  }
  return value;
}

std::string removingLocalSuffixes(std::string name) {
  static constexpr std::string_view kLocal = ".local";
  for (auto at = name.find(kLocal); at != std::string::npos; at = name.find(kLocal, at)) {
    name.erase(at, kLocal.size());
  }
  return name;
}

std::string computerName(const std::filesystem::path& machineInfo) {
  std::ifstream in(machineInfo, std::ios::binary);
  if (in) {
    std::ostringstream text;
    text << in.rdbuf();
    std::string pretty =
        blankToEmpty(removingLocalSuffixes(prettyHostnameFromMachineInfo(text.str())));
    if (!pretty.empty()) return pretty;
  }
  std::string host = blankToEmpty(removingLocalSuffixes(kernelHostname()));
  return host.empty() ? "localhost" : host;
}

}  // namespace tallowick
