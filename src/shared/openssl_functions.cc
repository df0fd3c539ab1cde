#include "shared/openssl_functions.h"

#include <openssl/bio.h>
#include <openssl/conf.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

namespace tallowick {

constinit LazyLibrary libssl("libssl.so.3", "no TLS connection can be made");

constinit LazyLibrary libcrypto("libcrypto.so.3", "nothing can be hashed or encrypted");

}  // namespace tallowick

using tallowick::libcrypto;
using tallowick::libssl;

// asio's TLS set-up object calls this when the process exits, whether or not
// anything used OpenSSL: there is nothing to unload when it was never opened.
extern "C" __attribute__((visibility("hidden"))) void CONF_modules_unload(int all) {
  if (!libcrypto.loaded()) return;
  static const auto real =
      reinterpret_cast<decltype(&CONF_modules_unload)>(libcrypto.require("CONF_modules_unload"));
  real(all);
}

// libcrypto
TALLOWICK_LAZY_FUNCTION(libcrypto, long, BIO_ctrl, (BIO * b, int cmd, long larg, void* parg),
                        (b, cmd, larg, parg))
TALLOWICK_LAZY_FUNCTION(libcrypto, size_t, BIO_ctrl_pending, (BIO * b), (b))
TALLOWICK_LAZY_FUNCTION(libcrypto, int, BIO_free, (BIO * a), (a))
TALLOWICK_LAZY_FUNCTION(libcrypto, int, BIO_new_bio_pair,
                        (BIO * *bio1, size_t writebuf1, BIO** bio2, size_t writebuf2),
                        (bio1, writebuf1, bio2, writebuf2))
TALLOWICK_LAZY_FUNCTION(libcrypto, int, BIO_read, (BIO * b, void* data, int dlen), (b, data, dlen))
TALLOWICK_LAZY_FUNCTION(libcrypto, int, BIO_write, (BIO * b, const void* data, int dlen),
                        (b, data, dlen))
TALLOWICK_LAZY_FUNCTION(libcrypto, int, CRYPTO_get_ex_new_index,
                        (int class_index, long argl, void* argp, CRYPTO_EX_new* new_func,
                         CRYPTO_EX_dup* dup_func, CRYPTO_EX_free* free_func),
                        (class_index, argl, argp, new_func, dup_func, free_func))
TALLOWICK_LAZY_FUNCTION(libcrypto, int, CRYPTO_memcmp,
                        (const void* in_a, const void* in_b, size_t len), (in_a, in_b, len))
TALLOWICK_LAZY_FUNCTION(libcrypto, void, ERR_clear_error, (void), ())
TALLOWICK_LAZY_FUNCTION(libcrypto, unsigned long, ERR_get_error, (void), ())
TALLOWICK_LAZY_FUNCTION(libcrypto, const char*, ERR_lib_error_string, (unsigned long e), (e))
TALLOWICK_LAZY_FUNCTION(libcrypto, const char*, ERR_reason_error_string, (unsigned long e), (e))
TALLOWICK_LAZY_FUNCTION(libcrypto, int, EVP_DigestFinal_ex,
                        (EVP_MD_CTX * ctx, unsigned char* md, unsigned int* s), (ctx, md, s))
TALLOWICK_LAZY_FUNCTION(libcrypto, int, EVP_DigestInit_ex,
                        (EVP_MD_CTX * ctx, const EVP_MD* type, ENGINE* impl), (ctx, type, impl))
TALLOWICK_LAZY_FUNCTION(libcrypto, int, EVP_DigestUpdate,
                        (EVP_MD_CTX * ctx, const void* d, size_t cnt), (ctx, d, cnt))
TALLOWICK_LAZY_FUNCTION(libcrypto, void, EVP_KDF_CTX_free, (EVP_KDF_CTX * ctx), (ctx))
TALLOWICK_LAZY_FUNCTION(libcrypto, EVP_KDF_CTX*, EVP_KDF_CTX_new, (EVP_KDF * kdf), (kdf))
TALLOWICK_LAZY_FUNCTION(libcrypto, int, EVP_KDF_derive,
                        (EVP_KDF_CTX * ctx, unsigned char* key, size_t keylen,
                         const OSSL_PARAM params[]),
                        (ctx, key, keylen, params))
TALLOWICK_LAZY_FUNCTION(libcrypto, EVP_KDF*, EVP_KDF_fetch,
                        (OSSL_LIB_CTX * libctx, const char* algorithm, const char* properties),
                        (libctx, algorithm, properties))
TALLOWICK_LAZY_FUNCTION(libcrypto, void, EVP_KDF_free, (EVP_KDF * kdf), (kdf))
TALLOWICK_LAZY_FUNCTION(libcrypto, int, EVP_MD_CTX_copy_ex,
                        (EVP_MD_CTX * out, const EVP_MD_CTX* in), (out, in))
TALLOWICK_LAZY_FUNCTION(libcrypto, void, EVP_MD_CTX_free, (EVP_MD_CTX * ctx), (ctx))
TALLOWICK_LAZY_FUNCTION(libcrypto, EVP_MD_CTX*, EVP_MD_CTX_new, (void), ())
TALLOWICK_LAZY_FUNCTION(libcrypto, int, EVP_MD_get_type, (const EVP_MD* md), (md))
TALLOWICK_LAZY_FUNCTION(libcrypto, const EVP_MD*, EVP_sha256, (void), ())
TALLOWICK_LAZY_FUNCTION(libcrypto, unsigned char*, HMAC,
                        (const EVP_MD* evp_md, const void* key, int key_len,
                         const unsigned char* data, size_t data_len, unsigned char* md,
                         unsigned int* md_len),
                        (evp_md, key, key_len, data, data_len, md, md_len))
TALLOWICK_LAZY_FUNCTION(libcrypto, OSSL_PARAM, OSSL_PARAM_construct_end, (void), ())
TALLOWICK_LAZY_FUNCTION(libcrypto, OSSL_PARAM, OSSL_PARAM_construct_octet_string,
                        (const char* key, void* buf, size_t bsize), (key, buf, bsize))
TALLOWICK_LAZY_FUNCTION(libcrypto, OSSL_PARAM, OSSL_PARAM_construct_utf8_string,
                        (const char* key, char* buf, size_t bsize), (key, buf, bsize))
TALLOWICK_LAZY_FUNCTION(libcrypto, int, RAND_bytes, (unsigned char* buf, int num), (buf, num))

// libssl
TALLOWICK_LAZY_FUNCTION(libssl, const SSL_CIPHER*, SSL_CIPHER_find,
                        (SSL * ssl, const unsigned char* ptr), (ssl, ptr))
TALLOWICK_LAZY_FUNCTION(libssl, long, SSL_CTX_ctrl, (SSL_CTX * ctx, int cmd, long larg, void* parg),
                        (ctx, cmd, larg, parg))
TALLOWICK_LAZY_FUNCTION(libssl, void, SSL_CTX_free, (SSL_CTX * ctx), (ctx))
TALLOWICK_LAZY_FUNCTION(libssl, void*, SSL_CTX_get_default_passwd_cb_userdata, (SSL_CTX * ctx),
                        (ctx))
TALLOWICK_LAZY_FUNCTION(libssl, void*, SSL_CTX_get_ex_data, (const SSL_CTX* ssl, int idx),
                        (ssl, idx))
TALLOWICK_LAZY_FUNCTION(libssl, SSL_CTX*, SSL_CTX_new, (const SSL_METHOD* meth), (meth))
TALLOWICK_LAZY_FUNCTION(libssl, int, SSL_CTX_set_ciphersuites, (SSL_CTX * ctx, const char* str),
                        (ctx, str))
TALLOWICK_LAZY_FUNCTION(libssl, void, SSL_CTX_set_client_hello_cb,
                        (SSL_CTX * c, SSL_client_hello_cb_fn cb, void* arg), (c, cb, arg))
TALLOWICK_LAZY_FUNCTION(libssl, void, SSL_CTX_set_default_passwd_cb_userdata,
                        (SSL_CTX * ctx, void* u), (ctx, u))
TALLOWICK_LAZY_FUNCTION(libssl, int, SSL_CTX_set_ex_data, (SSL_CTX * ssl, int idx, void* data),
                        (ssl, idx, data))
TALLOWICK_LAZY_FUNCTION(libssl, int, SSL_CTX_set_max_early_data,
                        (SSL_CTX * ctx, uint32_t max_early_data), (ctx, max_early_data))
TALLOWICK_LAZY_FUNCTION(libssl, int, SSL_CTX_set_num_tickets, (SSL_CTX * ctx, size_t num_tickets),
                        (ctx, num_tickets))
TALLOWICK_LAZY_FUNCTION(libssl, uint64_t, SSL_CTX_set_options, (SSL_CTX * ctx, uint64_t op),
                        (ctx, op))
TALLOWICK_LAZY_FUNCTION(libssl, void, SSL_CTX_set_psk_find_session_callback,
                        (SSL_CTX * ctx, SSL_psk_find_session_cb_func cb), (ctx, cb))
TALLOWICK_LAZY_FUNCTION(libssl, void, SSL_CTX_set_psk_use_session_callback,
                        (SSL_CTX * ctx, SSL_psk_use_session_cb_func cb), (ctx, cb))
TALLOWICK_LAZY_FUNCTION(libssl, int, SSL_CTX_set_recv_max_early_data,
                        (SSL_CTX * ctx, uint32_t recv_max_early_data), (ctx, recv_max_early_data))
TALLOWICK_LAZY_FUNCTION(libssl, void, SSL_CTX_set_verify,
                        (SSL_CTX * ctx, int mode, SSL_verify_cb callback), (ctx, mode, callback))
TALLOWICK_LAZY_FUNCTION(libssl, void, SSL_SESSION_free, (SSL_SESSION * ses), (ses))
TALLOWICK_LAZY_FUNCTION(libssl, SSL_SESSION*, SSL_SESSION_new, (void), ())
TALLOWICK_LAZY_FUNCTION(libssl, int, SSL_SESSION_set1_master_key,
                        (SSL_SESSION * sess, const unsigned char* in, size_t len), (sess, in, len))
TALLOWICK_LAZY_FUNCTION(libssl, int, SSL_SESSION_set_cipher,
                        (SSL_SESSION * s, const SSL_CIPHER* cipher), (s, cipher))
TALLOWICK_LAZY_FUNCTION(libssl, int, SSL_SESSION_set_protocol_version,
                        (SSL_SESSION * s, int version), (s, version))
TALLOWICK_LAZY_FUNCTION(libssl, int, SSL_accept, (SSL * ssl), (ssl))
TALLOWICK_LAZY_FUNCTION(libssl, int, SSL_connect, (SSL * ssl), (ssl))
TALLOWICK_LAZY_FUNCTION(libssl, long, SSL_ctrl, (SSL * ssl, int cmd, long larg, void* parg),
                        (ssl, cmd, larg, parg))
TALLOWICK_LAZY_FUNCTION(libssl, void, SSL_free, (SSL * ssl), (ssl))
TALLOWICK_LAZY_FUNCTION(libssl, SSL_CTX*, SSL_get_SSL_CTX, (const SSL* ssl), (ssl))
TALLOWICK_LAZY_FUNCTION(libssl, int, SSL_get_error, (const SSL* s, int ret_code), (s, ret_code))
TALLOWICK_LAZY_FUNCTION(libssl, void*, SSL_get_ex_data, (const SSL* ssl, int idx), (ssl, idx))
TALLOWICK_LAZY_FUNCTION(libssl, int, SSL_get_shutdown, (const SSL* ssl), (ssl))
TALLOWICK_LAZY_FUNCTION(libssl, SSL*, SSL_new, (SSL_CTX * ctx), (ctx))
TALLOWICK_LAZY_FUNCTION(libssl, int, SSL_read, (SSL * ssl, void* buf, int num), (ssl, buf, num))
TALLOWICK_LAZY_FUNCTION(libssl, void, SSL_set_bio, (SSL * s, BIO* rbio, BIO* wbio), (s, rbio, wbio))
TALLOWICK_LAZY_FUNCTION(libssl, int, SSL_set_ex_data, (SSL * ssl, int idx, void* data),
                        (ssl, idx, data))
TALLOWICK_LAZY_FUNCTION(libssl, void, SSL_set_shutdown, (SSL * ssl, int mode), (ssl, mode))
TALLOWICK_LAZY_FUNCTION(libssl, int, SSL_shutdown, (SSL * s), (s))
TALLOWICK_LAZY_FUNCTION(libssl, int, SSL_write, (SSL * ssl, const void* buf, int num),
                        (ssl, buf, num))
// asio's context names every method it could be asked for; an unoptimised
// build keeps that reference.
TALLOWICK_LAZY_FUNCTION(libssl, const SSL_METHOD*, TLS_method, (void), ())
TALLOWICK_LAZY_FUNCTION(libssl, const SSL_METHOD*, TLS_client_method, (void), ())
TALLOWICK_LAZY_FUNCTION(libssl, const SSL_METHOD*, TLS_server_method, (void), ())
