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

std::string joined(const std::vector<std::string>& parts, const std::string& separator) {
  std::string out;
  for (const std::string& part : parts) {
    if (!out.empty()) out += separator;
    out += part;
  }
  return out;
}

}  // namespace tallowick::server_internal
