#include "shared/lazy_library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>

namespace tallowick {

namespace {

[[noreturn]] void stop(const std::string& line) {
  std::fprintf(stderr, "tallowick: %s\n", line.c_str());
  std::fflush(stderr);
  // Other threads may be running: no exit handlers, no static destructors.
  ::_exit(1);
}

}  // namespace

bool LazyLibrary::load() {
  std::call_once(once_, [this] {
    // RTLD_LOCAL: its symbols stay out of the lookups of libraries opened
    // later. RTLD_LAZY: binding all of libcrypto's thousands of calls at
    // once cost more than the handful a command makes.
    void* handle = ::dlopen(soname_, RTLD_LAZY | RTLD_LOCAL);
    if (!handle) {
      const char* why = ::dlerror();
      std::fprintf(stderr, "tallowick: cannot load %s (%s): %s\n", soname_,
                   why ? why : "unknown error", without_);
      std::fflush(stderr);
    }
    handle_.store(handle, std::memory_order_release);
  });
  return loaded();
}

bool LazyLibrary::loaded() const { return handle_.load(std::memory_order_acquire) != nullptr; }

void* LazyLibrary::require(const char* name) {
  if (!load()) ::_exit(1);
  void* function = ::dlsym(handle_.load(std::memory_order_acquire), name);
  if (!function) stop(std::string(soname_) + " has no function " + name);
  return function;
}

}  // namespace tallowick
