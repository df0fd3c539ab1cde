#pragma once

// OpenSSL (libssl and libcrypto) opened the first time this program hashes,
// derives a key or makes a TLS context, not at start-up (see
// lazy_library.h): every OpenSSL function the program calls, directly or
// through asio's TLS stream, is defined in openssl_functions.cc. Without
// OpenSSL the program can do nothing of use: the first such call then ends
// it with one line on standard error and exit status 1.

#include "shared/lazy_library.h"

namespace tallowick {

extern LazyLibrary libssl;
extern LazyLibrary libcrypto;

}  // namespace tallowick
