#pragma once

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <QString>

// OpenSSL (libssl 3 and its libcrypto), loaded the first time a TLS check runs rather than with
// the program: linked, the two cost every start of the command line about a millisecond of CPU
// time, and most runs check no TLS. Calls go through the pointers below only; the library's
// macros that stand for calls are spelled out as the calls they stand for (SSL_CTX_ctrl, ...).
struct SslLibrary {
    // libssl
    decltype(&::TLS_client_method) TLS_client_method = nullptr;
    decltype(&::SSL_CTX_new) SSL_CTX_new = nullptr;
    decltype(&::SSL_CTX_free) SSL_CTX_free = nullptr;
    decltype(&::SSL_CTX_ctrl) SSL_CTX_ctrl = nullptr;
    decltype(&::SSL_CTX_set_verify) SSL_CTX_set_verify = nullptr;
    decltype(&::SSL_CTX_load_verify_locations) SSL_CTX_load_verify_locations = nullptr;
    decltype(&::SSL_CTX_set_default_verify_paths) SSL_CTX_set_default_verify_paths = nullptr;
    decltype(&::SSL_new) SSL_new = nullptr;
    decltype(&::SSL_free) SSL_free = nullptr;
    decltype(&::SSL_set_bio) SSL_set_bio = nullptr;
    decltype(&::SSL_set_connect_state) SSL_set_connect_state = nullptr;
    decltype(&::SSL_get0_param) SSL_get0_param = nullptr;
    decltype(&::SSL_ctrl) SSL_ctrl = nullptr;
    decltype(&::SSL_do_handshake) SSL_do_handshake = nullptr;
    decltype(&::SSL_get_error) SSL_get_error = nullptr;
    decltype(&::SSL_get_verify_result) SSL_get_verify_result = nullptr;
    decltype(&::SSL_get_version) SSL_get_version = nullptr;
    decltype(&::SSL_get0_peer_certificate) SSL_get0_peer_certificate = nullptr;
    decltype(&::SSL_get_peer_cert_chain) SSL_get_peer_cert_chain = nullptr;
    decltype(&::SSL_write) SSL_write = nullptr;
    decltype(&::SSL_read) SSL_read = nullptr;
    // libcrypto
    decltype(&::BIO_s_mem) BIO_s_mem = nullptr;
    decltype(&::BIO_new) BIO_new = nullptr;
    decltype(&::BIO_free) BIO_free = nullptr;
    decltype(&::BIO_write) BIO_write = nullptr;
    decltype(&::BIO_read) BIO_read = nullptr;
    decltype(&::BIO_ctrl) BIO_ctrl = nullptr;
    decltype(&::BIO_ctrl_pending) BIO_ctrl_pending = nullptr;
    decltype(&::X509_VERIFY_PARAM_set1_ip_asc) X509_VERIFY_PARAM_set1_ip_asc = nullptr;
    decltype(&::X509_VERIFY_PARAM_set_hostflags) X509_VERIFY_PARAM_set_hostflags = nullptr;
    decltype(&::X509_VERIFY_PARAM_set1_host) X509_VERIFY_PARAM_set1_host = nullptr;
    decltype(&::X509_verify_cert_error_string) X509_verify_cert_error_string = nullptr;
    decltype(&::X509_get0_notAfter) X509_get0_notAfter = nullptr;
    decltype(&::ASN1_TIME_to_tm) ASN1_TIME_to_tm = nullptr;
    decltype(&::ERR_clear_error) ERR_clear_error = nullptr;
    decltype(&::ERR_peek_last_error) ERR_peek_last_error = nullptr;
    decltype(&::ERR_reason_error_string) ERR_reason_error_string = nullptr;
    decltype(&::OPENSSL_sk_num) OPENSSL_sk_num = nullptr;
    decltype(&::OPENSSL_sk_value) OPENSSL_sk_value = nullptr;

    // Loaded on the first call (from any thread), kept for the process's life. Null when it
    // cannot be; why then says what failed.
    static const SslLibrary *Get(QString *why = nullptr);
    // Whether this process has loaded it yet.
    static bool Loaded();
};
