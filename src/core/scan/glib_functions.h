#pragma once

// GLib and its GIO, opened the first time a scan needs them (see
// shared/lazy_library.h): GIO brings GLib, GObject, libmount, SELinux and
// more, which commands that never scan must not pay for at start-up. Every
// GLib and GIO function the scan calls is defined in glib_functions.cc.
//
// A scan goes on without them, after one line on standard error: file kinds
// then come from nothing but the rules that need no content type, names are
// lowered in ASCII only, and no "last opened" date is read. Callers ask
// load() of the library before calling any of its functions.

#include "shared/lazy_library.h"

namespace tallowick {

extern LazyLibrary libglib;
extern LazyLibrary libgio;

}  // namespace tallowick
