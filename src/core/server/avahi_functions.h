#pragma once

// The Avahi client library (and libavahi-common and libdbus, which it
// brings), opened the first time the server advertises itself or the phone
// client browses, not at start-up (see shared/lazy_library.h). Every Avahi
// function the program calls is defined in avahi_functions.cc; those of
// libavahi-common are found through libavahi-client, which depends on it.
//
// Without the library the server runs unadvertised and the browser finds
// nothing, after one line on standard error. Callers ask load() first.

#include "shared/lazy_library.h"

namespace tallowick {

extern LazyLibrary libavahi;

}  // namespace tallowick
