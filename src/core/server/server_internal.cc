#include "core/server/server_internal.h"

#include "shared/file_util.h"

namespace tallowick::server_internal {

asio::thread_pool& userInitiatedPool() {
  static auto* pool = new asio::thread_pool(2);
  return *pool;
}

asio::thread_pool& utilityPool() {
  static auto* pool = new asio::thread_pool(1);
  return *pool;
}

std::string pathOf(const std::string& pathOrURL) {
  if (pathOrURL.starts_with("file://")) return fileURLToPath(pathOrURL).value_or(pathOrURL);
  return pathOrURL;
}

std::string lastComponent(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || path == "/") return path;
  return path.substr(slash + 1);
}

std::string joined(const std::vector<std::string>& parts, const std::string& separator) {
  std::string out;
  for (const std::string& part : parts) {
    if (!out.empty()) out += separator;
    out += part;
  }
  return out;
}

std::string parentOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace tallowick::server_internal
