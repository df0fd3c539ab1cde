#pragma once

// A system library opened the first time one of its functions is called,
// instead of at start-up. OpenSSL, GLib's GIO, Avahi and libqrencode each
// cost more processor time to map and relocate than `tallowick --version`
// takes without them, and most commands use one of them or none.
//
// A library's functions are defined in this program under their own names
// with TALLOWICK_LAZY_FUNCTION (one file per library), so callers, and the
// libraries' own headers such as asio's TLS stream, call them as usual. Those
// definitions are hidden: they never stand in for the real functions inside
// other libraries of the process, which keep calling each other directly.
// A function the program calls and its file does not define is a link error.
//
// Thread safety: every member may be called from any thread; the library is
// opened at most once and never closed.

#include <atomic>
#include <mutex>
#include <string>

namespace tallowick {

class LazyLibrary {
 public:
  // `soname` is the name the dynamic linker looks for ("libssl.so.3");
  // `without` says in a few words what goes without it, for the one line
  // printed when it cannot be opened.
  // Constant: a library object may stand at namespace scope and be used
  // while other files' statics are constructed.
  constexpr LazyLibrary(const char* soname, const char* without)
      : soname_(soname), without_(without) {}
  LazyLibrary(const LazyLibrary&) = delete;
  LazyLibrary& operator=(const LazyLibrary&) = delete;

  // Opens the library unless done already; false when it cannot be, after
  // one line on standard error (the first time only): "tallowick: cannot
  // load SONAME (WHY): WITHOUT".
  bool load();

  // Whether the library is open already; never opens it.
  bool loaded() const;

  // The address of the library's function `name`, opening the library
  // first; a library or function that cannot be had ends the process with
  // one line on standard error and exit status 1. It is for functions the
  // program cannot go on without; callers that can do without the library
  // ask load() first.
  void* require(const char* name);

  const char* soname() const { return soname_; }

 private:
  const char* soname_;
  const char* without_;
  std::once_flag once_;
  std::atomic<void*> handle_{nullptr};
};

}  // namespace tallowick

// Defines the C function `name` with the parameter list `params` (names and
// types, in parentheses) as a call of the same function of `library` (an
// LazyLibrary) with `args` (the names, in parentheses).
// The compiler checks the definition against the library's own header, which
// must be included first.
#define TALLOWICK_LAZY_FUNCTION(library, result, name, params, args)                      \
  extern "C" __attribute__((visibility("hidden"))) result name params {                   \
    static const auto real = reinterpret_cast<decltype(&name)>((library).require(#name)); \
    return real args;                                                                     \
  }
