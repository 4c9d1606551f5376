#include "platform/SslLibrary.h"

#include <QLibrary>

#include <atomic>

namespace {

std::atomic<bool> loaded{false};

struct Loader {
    SslLibrary api;
    bool ok = false;
    QString why;
    // Kept, and never unloaded, for the process's life: OpenSSL keeps state of its own until
    // the process ends.
    QLibrary *crypto = new QLibrary;
    QLibrary *ssl = new QLibrary;

    Loader() {
#ifdef Q_OS_WIN
        // OpenSSL 3's own names on 64-bit Windows, beside the program or on the path; the
        // Windows build carries none (README, "Windows").
        crypto->setFileName(QStringLiteral("libcrypto-3-x64"));
        ssl->setFileName(QStringLiteral("libssl-3-x64"));
#else
        crypto->setFileNameAndVersion(QStringLiteral("crypto"), 3);
        ssl->setFileNameAndVersion(QStringLiteral("ssl"), 3);
#endif
        if (!crypto->load() || !ssl->load()) {
            why = crypto->isLoaded() ? ssl->errorString() : crypto->errorString();
            return;
        }
        loaded = true;
        const auto resolve = [this](QLibrary *library, auto &slot, const char *name) {
            slot =
                reinterpret_cast<std::remove_reference_t<decltype(slot)>>(library->resolve(name));
            if (!slot && why.isEmpty())
                why = QStringLiteral("%1 is missing").arg(QLatin1String(name));
        };
#define VN_SSL(name) resolve(ssl, api.name, #name)
#define VN_CRYPTO(name) resolve(crypto, api.name, #name)
        VN_SSL(TLS_client_method);
        VN_SSL(SSL_CTX_new);
        VN_SSL(SSL_CTX_free);
        VN_SSL(SSL_CTX_ctrl);
        VN_SSL(SSL_CTX_set_verify);
        VN_SSL(SSL_CTX_load_verify_locations);
        VN_SSL(SSL_CTX_set_default_verify_paths);
        VN_SSL(SSL_new);
        VN_SSL(SSL_free);
        VN_SSL(SSL_set_bio);
        VN_SSL(SSL_set_connect_state);
        VN_SSL(SSL_get0_param);
        VN_SSL(SSL_ctrl);
        VN_SSL(SSL_do_handshake);
        VN_SSL(SSL_get_error);
        VN_SSL(SSL_get_verify_result);
        VN_SSL(SSL_get_version);
        VN_SSL(SSL_get0_peer_certificate);
        VN_SSL(SSL_get_peer_cert_chain);
        VN_SSL(SSL_write);
        VN_SSL(SSL_read);
        VN_CRYPTO(BIO_s_mem);
        VN_CRYPTO(BIO_new);
        VN_CRYPTO(BIO_free);
        VN_CRYPTO(BIO_write);
        VN_CRYPTO(BIO_read);
        VN_CRYPTO(BIO_ctrl);
        VN_CRYPTO(BIO_ctrl_pending);
        VN_CRYPTO(X509_VERIFY_PARAM_set1_ip_asc);
        VN_CRYPTO(X509_VERIFY_PARAM_set_hostflags);
        VN_CRYPTO(X509_VERIFY_PARAM_set1_host);
        VN_CRYPTO(X509_verify_cert_error_string);
        VN_CRYPTO(X509_get0_notAfter);
        VN_CRYPTO(ASN1_TIME_to_tm);
        VN_CRYPTO(ERR_clear_error);
        VN_CRYPTO(ERR_peek_last_error);
        VN_CRYPTO(ERR_reason_error_string);
        VN_CRYPTO(OPENSSL_sk_num);
        VN_CRYPTO(OPENSSL_sk_value);
#undef VN_SSL
#undef VN_CRYPTO
        ok = why.isEmpty();
    }
};

} // namespace

const SslLibrary *SslLibrary::Get(QString *why) {
    static const Loader loader; // thread-safe, once
    if (!loader.ok && why)
        *why = loader.why;
    return loader.ok ? &loader.api : nullptr;
}

bool SslLibrary::Loaded() { return loaded; }
