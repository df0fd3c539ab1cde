#pragma once

// The OpenSSL set-up behind listeners and connections: TLS 1.3 only, the
// cipher suite TLS_AES_128_GCM_SHA256 only, external pre-shared keys with
// SHA-256, no certificates, no session tickets, no early data.

#include <memory>
#include <optional>
#include <string>

#include <asio/ssl.hpp>

#include "shared/credential.h"

namespace tallowick {

class TlsContext {
 public:
  enum class Role { server, client };

  // A server context accepts any usable credential of `parameters` (of its
  // source, asked at each handshake, when it has one); an unknown identity is
  // answered with no session (the handshake then fails for want of a key,
  // never with a fatal callback error). A client context
  // presents the first credential of `parameters`, or none when the list is
  // empty or that key is unusable, in which case no handshake can succeed.
  static std::shared_ptr<TlsContext> make(Role role, Transport::Parameters parameters);

  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  Role role() const { return role_; }
  asio::ssl::context& context() { return context_; }

  // On the server side, the identity whose key the client's binder was
  // checked against, once the client offered one that is known; nullopt
  // before that. After a completed handshake it is the identity that
  // authenticated the connection.
  static std::optional<std::string> matchedIdentity(SSL* ssl);
  // On the server side, whether a TLS ClientHello arrived, whatever became
  // of the handshake after it.
  static bool sawClientHello(SSL* ssl);

 private:
  TlsContext(Role role, Transport::Parameters parameters);

  static int clientHello(SSL* ssl, int* alert, void* arg);
  static int findSession(SSL* ssl, const unsigned char* identity, std::size_t length,
                         SSL_SESSION** session);
  static int useSession(SSL* ssl, const EVP_MD* md, const unsigned char** id, std::size_t* length,
                        SSL_SESSION** session);

  Role role_;
  Transport::Parameters parameters_;
  asio::ssl::context context_;
};

}  // namespace tallowick
