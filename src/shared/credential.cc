#include "shared/credential.h"

#include <utility>

namespace tallowick::Transport {

Credential Credential::pairing(const std::string& code) {
  return Credential{std::string(PSK::pairingIdentity), PSK::derive(code)};
}

Parameters parameters(std::vector<Credential> credentials) {
  return Parameters{std::move(credentials)};
}

Parameters parameters(CredentialSource source) { return Parameters{{}, std::move(source)}; }

Parameters parameters(std::string identity, Bytes key) {
  return Parameters{{Credential{std::move(identity), std::move(key)}}};
}

Parameters pairingParameters(const std::string& code) {
  return Parameters{{Credential::pairing(code)}};
}

}  // namespace tallowick::Transport
