#include "net/TlsClient.h"

#include "platform/Resolver.h"

#include <QUrl>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

namespace {

constexpr int ReadChunk = 16384;

QString HandshakeFailed(const QString &why) {
    return QStringLiteral("TLS handshake failed: ") + why;
}

QString VerifyText(long result) {
    switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return QStringLiteral("Certificate has expired");
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return QStringLiteral("Host name mismatch");
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        return QStringLiteral("Self-signed certificate");
    default:
        return HandshakeFailed(QString::fromUtf8(X509_verify_cert_error_string(result)));
    }
}

QDateTime ExpiryOf(X509 *certificate) {
    struct tm when {};
    const ASN1_TIME *notAfter = certificate ? X509_get0_notAfter(certificate) : nullptr;
    if (!notAfter || ASN1_TIME_to_tm(notAfter, &when) != 1)
        return QDateTime();
    return QDateTime(QDate(when.tm_year + 1900, when.tm_mon + 1, when.tm_mday),
                     QTime(when.tm_hour, when.tm_min, when.tm_sec), Qt::UTC);
}

// "TLSv1.3" as people write it: "TLS 1.3".
QString VersionName(const char *version) {
    QString text = QString::fromLatin1(version ? version : "");
    if (text.startsWith(QLatin1String("TLSv")))
        text = QStringLiteral("TLS ") + text.mid(4);
    return text;
}

} // namespace

// ---- TlsContext ----

TlsContext::TlsContext() = default;

TlsContext::~TlsContext() { SSL_CTX_free(m_ctx); }

void TlsContext::Prepare() {
    if (m_ctx)
        return;
    m_ctx = SSL_CTX_new(TLS_client_method());
    if (!m_ctx)
        return;
    SSL_CTX_set_min_proto_version(m_ctx, TLS1_2_VERSION);
    SSL_CTX_set_verify(m_ctx, SSL_VERIFY_PEER, nullptr);
    // Every ping checks the certificate anew: no session is resumed.
    SSL_CTX_set_session_cache_mode(m_ctx, SSL_SESS_CACHE_OFF);
    const QByteArray file = qgetenv("SSL_CERT_FILE");
    const QByteArray dir = qgetenv("SSL_CERT_DIR");
    if (!file.isEmpty() || !dir.isEmpty()) {
        SSL_CTX_load_verify_locations(m_ctx, file.isEmpty() ? nullptr : file.constData(),
                                      dir.isEmpty() ? nullptr : dir.constData());
    } else {
        SSL_CTX_set_default_verify_paths(m_ctx);
    }
    // A missing file is no reason to stop here: the handshake then fails its verification
    // and says why.
    ERR_clear_error();
}

ssl_ctx_st *TlsContext::Handle() {
    Prepare();
    return m_ctx;
}

// ---- TlsClient ----

TlsClient::TlsClient(TlsContext &context, const QString &host) {
    SSL_CTX *ctx = context.Handle();
    m_ssl = ctx ? SSL_new(ctx) : nullptr;
    m_in = BIO_new(BIO_s_mem());
    m_out = BIO_new(BIO_s_mem());
    if (!m_ssl || !m_in || !m_out) {
        BIO_free(m_in);
        BIO_free(m_out);
        m_in = m_out = nullptr;
        m_state = State::Failed;
        m_error = HandshakeFailed(QStringLiteral("the TLS library could not start"));
        return;
    }
    SSL_set_bio(m_ssl, m_in, m_out);
    SSL_set_connect_state(m_ssl);

    X509_VERIFY_PARAM *param = SSL_get0_param(m_ssl);
    if (const std::optional<QHostAddress> literal = Resolver::addressLiteral(host)) {
        // An address is checked as an address; it is never sent as a server name.
        X509_VERIFY_PARAM_set1_ip_asc(param, literal->toString().toLatin1().constData());
    } else {
        QString name = host;
        while (name.endsWith(QLatin1Char('.')))
            name.chop(1);
        QByteArray ace = QUrl::toAce(name);
        if (ace.isEmpty())
            ace = name.toUtf8();
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        // The length is given: a name is never cut short at a NUL.
        X509_VERIFY_PARAM_set1_host(param, ace.constData(), size_t(ace.size()));
        if (ace.size() <= 255)
            SSL_set_tlsext_host_name(m_ssl, ace.constData());
    }
}

TlsClient::~TlsClient() { SSL_free(m_ssl); }

void TlsClient::Feed(const char *data, qsizetype size) {
    if (m_in && size > 0)
        BIO_write(m_in, data, int(size));
}

void TlsClient::FeedEnd() {
    m_ended = true;
    if (m_in)
        BIO_set_mem_eof_return(m_in, 0); // an empty input now reads as the end
}

TlsClient::State TlsClient::Advance() {
    if (m_state != State::Handshaking)
        return m_state;
    ERR_clear_error();
    const int result = SSL_do_handshake(m_ssl);
    if (result == 1) {
        Established();
        return m_state;
    }
    const int error = SSL_get_error(m_ssl, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        if (m_ended)
            Fail(SSL_ERROR_ZERO_RETURN);
        return m_state;
    }
    Fail(error);
    return m_state;
}

void TlsClient::Fail(int sslError) {
    m_state = State::Failed;
    const long verify = SSL_get_verify_result(m_ssl);
    if (verify != X509_V_OK) {
        m_error = VerifyText(verify);
    } else {
        const unsigned long code = ERR_peek_last_error();
        const char *reason = code ? ERR_reason_error_string(code) : nullptr;
        if (m_ended && (sslError == SSL_ERROR_ZERO_RETURN || sslError == SSL_ERROR_SYSCALL ||
                        ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING))
            m_error = HandshakeFailed(QStringLiteral("the server closed the connection"));
        else if (reason)
            m_error = HandshakeFailed(QString::fromUtf8(reason));
        else
            m_error = HandshakeFailed(QStringLiteral("error %1").arg(sslError));
    }
    ERR_clear_error();
}

void TlsClient::Established() {
    m_state = State::Established;
    m_version = VersionName(SSL_get_version(m_ssl));
    m_leafExpiry = ExpiryOf(SSL_get0_peer_certificate(m_ssl));
    // On the client's side the chain holds the leaf too.
    if (STACK_OF(X509) *chain = SSL_get_peer_cert_chain(m_ssl)) {
        for (int i = 0; i < sk_X509_num(chain); ++i) {
            const QDateTime expiry = ExpiryOf(sk_X509_value(chain, i));
            if (expiry.isValid() && (!m_earliestExpiry.isValid() || expiry < m_earliestExpiry))
                m_earliestExpiry = expiry;
        }
    }
    if (!m_earliestExpiry.isValid())
        m_earliestExpiry = m_leafExpiry;
}

QByteArray TlsClient::TakeOutgoing() {
    QByteArray bytes;
    if (!m_out)
        return bytes;
    const size_t pending = BIO_ctrl_pending(m_out);
    if (pending == 0)
        return bytes;
    bytes.resize(qsizetype(pending));
    const int read = BIO_read(m_out, bytes.data(), int(pending));
    bytes.resize(qMax(read, 0));
    return bytes;
}

void TlsClient::Write(const QByteArray &plain) {
    if (m_state != State::Established || plain.isEmpty())
        return;
    ERR_clear_error();
    // A memory channel takes everything at once.
    SSL_write(m_ssl, plain.constData(), int(plain.size()));
    ERR_clear_error();
}

QByteArray TlsClient::Read() {
    QByteArray plain;
    if (m_state != State::Established)
        return plain;
    char buffer[ReadChunk];
    ERR_clear_error();
    for (;;) {
        const int read = SSL_read(m_ssl, buffer, int(sizeof buffer));
        if (read <= 0)
            break;
        plain.append(buffer, read);
    }
    // The end of the data, or an error after the handshake: what arrived is the answer.
    ERR_clear_error();
    return plain;
}
