// The TLS layer of the "gsi" driver: TLS 1.3 over the tcp socket, both
// ends presenting the one credential and accepting only it ("self"
// authorization).
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <signal.h>

#include <cerrno>
#include <ctime>
#include <memory>
#include <string>

#include "xio_internal.h"

namespace xio_detail {

namespace {

// Only the target certificate matters: it must be exactly our own, the
// certificate this connection presents.
int self_verify(X509_STORE_CTX *store, void *)
{
    auto *ssl = static_cast<SSL *>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    X509 *ours = ssl ? SSL_get_certificate(ssl) : nullptr;
    X509 *peer = X509_STORE_CTX_get0_cert(store);
    if (peer && ours && X509_cmp(peer, ours) == 0) {
        X509_STORE_CTX_set_error(store, X509_V_OK);
        return 1;
    }
    X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_REJECTED);
    return 0;
}

struct CtxFree {
    void operator()(SSL_CTX *ctx) const { SSL_CTX_free(ctx); }
};

SSL_CTX *new_shared_ctx(bool server)
{
    SSL_CTX *ctx = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
    if (!ctx)
        return nullptr;
    if (SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) != 1 ||
        SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) != 1) {
        SSL_CTX_free(ctx);
        return nullptr;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    SSL_CTX_set_cert_verify_callback(ctx, self_verify, nullptr);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(ctx, 0);
    SSL_CTX_set_mode(ctx, SSL_MODE_AUTO_RETRY);
    return ctx;
}

// One TLS context per process and role: making one costs about 100 us of
// OpenSSL's method and cipher lookups, and nothing in it depends on the
// connection. Each connection sets its own certificate and key on its SSL
// object. The contexts live until the toolkit is unloaded.
SSL_CTX *shared_ctx(bool server)
{
    static const std::unique_ptr<SSL_CTX, CtxFree> server_ctx(new_shared_ctx(true));
    static const std::unique_ptr<SSL_CTX, CtxFree> client_ctx(new_shared_ctx(false));
    return server ? server_ctx.get() : client_ctx.get();
}

}  // namespace

SigpipeGuard::SigpipeGuard()
{
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGPIPE);
    blocked_ = pthread_sigmask(SIG_BLOCK, &block, &old_) == 0;
}

SigpipeGuard::~SigpipeGuard()
{
    if (!blocked_)
        return;
    if (!was_pending_) {
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        if (sigismember(&pending, SIGPIPE) == 1) {
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            timespec zero{0, 0};
            while (sigtimedwait(&pipe, nullptr, &zero) == -1 && errno == EINTR) {
            }
        }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}

kalder_result_t handshake(kalder_xio_handle_s *h)
{
    SSL_CTX *ctx = shared_ctx(h->accepted);
    if (!ctx)
        return error(KALDER_ERROR_MEMORY, "SSL_CTX_new failed: %s", kalder_openssl_errors().c_str());
    h->ssl = SSL_new(ctx);
    if (!h->ssl || SSL_set_fd(h->ssl, h->fd.get()) != 1)
        return error(KALDER_ERROR_MEMORY, "SSL_new failed: %s", kalder_openssl_errors().c_str());
    X509 *cert = kalder_gsi_cred_cert(h->settings.cred);
    if (SSL_use_certificate(h->ssl, cert) != 1 ||
        SSL_use_PrivateKey(h->ssl, kalder_gsi_cred_key(h->settings.cred)) != 1 ||
        SSL_check_private_key(h->ssl) != 1) {
        h->broken = true;
        return error(KALDER_ERROR_AUTH, "cannot set up TLS with the credential: %s",
                     kalder_openssl_errors().c_str());
    }
    set_socket_timeout(h->fd.get(), h->settings.setup_timeout_ms);
    int rc;
    {
        SigpipeGuard guard;
        rc = h->accepted ? SSL_accept(h->ssl) : SSL_connect(h->ssl);
    }
    if (rc != 1) {
        int err = SSL_get_error(h->ssl, rc);
        long verify = SSL_get_verify_result(h->ssl);
        int saved = errno;
        std::string why = kalder_openssl_errors();
        h->broken = true;
        if (verify != X509_V_OK)
            return error(KALDER_ERROR_AUTH, "TLS handshake failed: the peer is not authorized (%s)",
                         X509_verify_cert_error_string(verify));
        if (err == SSL_ERROR_SYSCALL && (saved == EAGAIN || saved == EWOULDBLOCK))
            return error(KALDER_ERROR_TIMEOUT, "TLS handshake timed out");
        return error(KALDER_ERROR_AUTH, "TLS handshake failed: %s", why.c_str());
    }
    // Belt and braces: the peer's certificate must be ours.
    X509 *peer = SSL_get0_peer_certificate(h->ssl);
    if (!peer || X509_cmp(peer, cert) != 0) {
        h->broken = true;
        return error(KALDER_ERROR_AUTH, "TLS peer did not present our own certificate");
    }
    set_socket_timeout(h->fd.get(), h->settings.io_timeout_ms);
    return KALDER_SUCCESS;
}

}  // namespace xio_detail
