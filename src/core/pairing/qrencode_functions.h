#pragma once

// libqrencode, opened the first time a QR code is drawn, not at start-up
// (see shared/lazy_library.h). Every libqrencode function the program calls
// is defined in qrencode_functions.cc. Without the library no QR code is
// drawn (pairing with the six-digit code still works), after one line on
// standard error. Callers ask load() first.

#include "shared/lazy_library.h"

namespace tallowick {

extern LazyLibrary libqrencode;

}  // namespace tallowick
