#include "core/thumbs/media_module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <system_error>

namespace tallowick {

namespace fs = std::filesystem;

namespace {

std::atomic<const MediaFunctions*> loaded{nullptr};

// The folder of the running program, empty when the kernel does not say.
fs::path programFolder() {
  std::error_code error;
  fs::path program = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::path() : program.parent_path();
}

// The functions of the first candidate that exists, else why there are none.
const MediaFunctions* load(std::string& why) {
  std::vector<std::string> candidates = mediaModuleCandidates();
  for (const std::string& path : candidates) {
    if (::access(path.c_str(), F_OK) != 0) continue;
    // RTLD_LOCAL: the libraries it brings stay out of the program's own
    // symbol lookups.
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      why = "cannot load " + path + ": " + ::dlerror();
      return nullptr;
    }
    using Entry = const MediaFunctions* (*)();
    auto entry = reinterpret_cast<Entry>(::dlsym(handle, kMediaEntryPoint));
    const MediaFunctions* functions = entry ? entry() : nullptr;
    if (!functions || functions->version != MediaFunctions::kVersion) {
      why = path + " is from another build of tallowick";
      return nullptr;
    }
    return functions;
  }
  why = std::string(kMediaModuleName) + " is missing (looked in";
  for (const std::string& path : candidates) why += " " + fs::path(path).parent_path().string();
  why += ")";
  return nullptr;
}

}  // namespace

std::vector<std::string> mediaModuleCandidates() {
  fs::path folder = programFolder();
  if (folder.empty()) return {};
  return {(folder / kMediaModuleName).string(),
          (folder.parent_path() / "lib" / "tallowick" / "media" / kMediaModuleName).string()};
}

const MediaFunctions* mediaModule() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::string why;
    const MediaFunctions* functions = load(why);
    if (!functions) {
      std::fprintf(stderr, "tallowick: pictures and videos are not decoded: %s\n", why.c_str());
    }
    loaded.store(functions, std::memory_order_release);
  });
  return loaded.load(std::memory_order_acquire);
}

bool mediaModuleLoaded() { return loaded.load(std::memory_order_acquire) != nullptr; }

}  // namespace tallowick
