#pragma once

// The pre-shared keys a TLS connection may use, and the parameters a listener
// or a client connection is built from. Both are plain values; the TLS set-up
// made from them lives in tls_context.h.

#include <functional>
#include <string>
#include <vector>

#include "shared/json_codec.h"
#include "shared/psk.h"

namespace tallowick::Transport {

// One pre-shared key as offered to TLS: the identity travels in the clear as
// the PSK identity (its UTF-8 bytes), the key never does.
struct Credential {
  std::string identity;
  Bytes key;

  // The credential of a phone pairing with the six-digit code: the identity
  // "tallowick" and the key derived from the code.
  static Credential pairing(const std::string& code);

  // A key of any other length than PSK::keyLength is never offered to TLS:
  // an empty or short key would let anyone complete the handshake.
  bool usable() const { return key.size() == PSK::keyLength; }

  friend bool operator==(const Credential&, const Credential&) = default;
};

// The credentials a listener accepts as they are now. A listener asks at
// every handshake, so a change counts from the next connection on; it asks
// on the executor its connections run on.
using CredentialSource = std::function<std::vector<Credential>()>;

// What a listener or a connection is created from: TLS 1.3 over TCP with
// no-delay, the single cipher suite TLS_AES_128_GCM_SHA256 and one external
// pre-shared key per credential. A listener accepts any of its credentials
// (the first one in list order wins when identities repeat), taken from
// `source` when it has one; a client connection presents the first of
// `credentials`, or of what `source` gives when it has one, asked once when
// its TCP connection stands.
struct Parameters {
  std::vector<Credential> credentials;
  CredentialSource source;
};

// The listener side: the given credentials in order (an empty list is valid
// and lets no client complete the handshake).
Parameters parameters(std::vector<Credential> credentials);
// The listener side with a set that changes while it listens.
Parameters parameters(CredentialSource source);
// A connection that presents a single credential.
Parameters parameters(std::string identity, Bytes key);
// A connection that pairs with the six-digit code.
Parameters pairingParameters(const std::string& code);

}  // namespace tallowick::Transport
