#include "shared/tls_context.h"

#include <cstring>
#include <utility>

#include <openssl/ssl.h>

namespace tallowick {
namespace {

// TLS_AES_128_GCM_SHA256, the only suite offered or accepted.
constexpr unsigned char kCipherID[2] = {0x13, 0x01};

void freeIdentity(void*, void* pointer, CRYPTO_EX_DATA*, int, long, void*) {
  delete static_cast<std::string*>(pointer);
}

// Where the server keeps the identity that matched on each SSL object.
int identityIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, freeIdentity);
  return index;
}

// Where the server marks each SSL object that received a ClientHello.
int clientHelloIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

// Where each SSL_CTX points back at its TlsContext (asio keeps its own
// verify callback in the SSL_CTX's app data, so that slot is taken).
int contextIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

TlsContext* owner(SSL* ssl) {
  return static_cast<TlsContext*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), contextIndex()));
}

// A resumption-style session that carries one external key, as OpenSSL wants
// it for TLS 1.3 PSKs.
SSL_SESSION* sessionForKey(SSL* ssl, const Bytes& key) {
  const SSL_CIPHER* cipher = SSL_CIPHER_find(ssl, kCipherID);
  if (cipher == nullptr) return nullptr;
  SSL_SESSION* session = SSL_SESSION_new();
  if (session == nullptr) return nullptr;
  if (SSL_SESSION_set1_master_key(session, key.data(), key.size()) != 1 ||
      SSL_SESSION_set_cipher(session, cipher) != 1 ||
      SSL_SESSION_set_protocol_version(session, TLS1_3_VERSION) != 1) {
    SSL_SESSION_free(session);
    return nullptr;
  }
  return session;
}

}  // namespace

std::shared_ptr<TlsContext> TlsContext::make(Role role, Transport::Parameters parameters) {
  // The callbacks find this object through the SSL_CTX, so its address must
  // not change after construction.
  std::shared_ptr<TlsContext> context(new TlsContext(role, std::move(parameters)));
  SSL_CTX_set_ex_data(context->context_.native_handle(), contextIndex(), context.get());
  return context;
}

TlsContext::TlsContext(Role role, Transport::Parameters parameters)
    : role_(role),
      parameters_(std::move(parameters)),
      context_(role == Role::server ? asio::ssl::context::tls_server
                                    : asio::ssl::context::tls_client) {
  SSL_CTX* ctx = context_.native_handle();
  SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION);
  SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION);
  SSL_CTX_set_ciphersuites(ctx, "TLS_AES_128_GCM_SHA256");
  SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
  SSL_CTX_set_num_tickets(ctx, 0);
  SSL_CTX_set_max_early_data(ctx, 0);
  SSL_CTX_set_recv_max_early_data(ctx, 0);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  if (role == Role::server) {
    SSL_CTX_set_client_hello_cb(ctx, &TlsContext::clientHello, nullptr);
    SSL_CTX_set_psk_find_session_callback(ctx, &TlsContext::findSession);
  } else {
    SSL_CTX_set_psk_use_session_callback(ctx, &TlsContext::useSession);
  }
}

std::optional<std::string> TlsContext::matchedIdentity(SSL* ssl) {
  auto* identity = static_cast<std::string*>(SSL_get_ex_data(ssl, identityIndex()));
  if (identity == nullptr) return std::nullopt;
  return *identity;
}

bool TlsContext::sawClientHello(SSL* ssl) {
  return SSL_get_ex_data(ssl, clientHelloIndex()) != nullptr;
}

int TlsContext::clientHello(SSL* ssl, int*, void*) {
  static char mark;
  SSL_set_ex_data(ssl, clientHelloIndex(), &mark);
  return SSL_CLIENT_HELLO_SUCCESS;
}

int TlsContext::findSession(SSL* ssl, const unsigned char* identity, std::size_t length,
                            SSL_SESSION** session) {
  *session = nullptr;
  TlsContext* self = owner(ssl);
  if (self == nullptr) return 1;
  const Transport::Parameters& parameters = self->parameters_;
  const std::vector<Transport::Credential> current =
      parameters.source ? parameters.source() : std::vector<Transport::Credential>{};
  for (const Transport::Credential& credential :
       parameters.source ? current : parameters.credentials) {
    if (!credential.usable() || credential.identity.size() != length ||
        std::memcmp(credential.identity.data(), identity, length) != 0) {
      continue;
    }
    *session = sessionForKey(ssl, credential.key);
    if (*session == nullptr) return 0;
    int index = identityIndex();
    delete static_cast<std::string*>(SSL_get_ex_data(ssl, index));
    SSL_set_ex_data(ssl, index, new std::string(credential.identity));
    return 1;
  }
  // Unknown identity: no session, and the handshake goes on to fail for want
  // of a key rather than through a callback error.
  return 1;
}

int TlsContext::useSession(SSL* ssl, const EVP_MD* md, const unsigned char** id,
                           std::size_t* length, SSL_SESSION** session) {
  *session = nullptr;
  *id = nullptr;
  *length = 0;
  TlsContext* self = owner(ssl);
  if (self == nullptr || self->parameters_.credentials.empty()) return 1;
  const Transport::Credential& credential = self->parameters_.credentials.front();
  if (!credential.usable()) return 1;
  // After a HelloRetryRequest OpenSSL asks again with the negotiated hash;
  // our key is only valid with SHA-256.
  if (md != nullptr && EVP_MD_get_type(md) != NID_sha256) return 1;
  SSL_SESSION* made = sessionForKey(ssl, credential.key);
  if (made == nullptr) return 0;
  *session = made;
  *id = reinterpret_cast<const unsigned char*>(credential.identity.data());
  *length = credential.identity.size();
  return 1;
}

}  // namespace tallowick
