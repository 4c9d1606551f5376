#include "net/TlsClient.h"

#include "platform/Resolver.h"
#include "platform/SslLibrary.h"

#include <QUrl>

namespace {

constexpr int ReadChunk = 16384;

QString HandshakeFailed(const QString &why) {
    return QStringLiteral("TLS handshake failed: ") + why;
}

QString VerifyText(const SslLibrary &L, long result) {
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
        return HandshakeFailed(QString::fromUtf8(L.X509_verify_cert_error_string(result)));
    }
}

QDateTime ExpiryOf(const SslLibrary &L, X509 *certificate) {
    struct tm when {};
    const ASN1_TIME *notAfter = certificate ? L.X509_get0_notAfter(certificate) : nullptr;
    if (!notAfter || L.ASN1_TIME_to_tm(notAfter, &when) != 1)
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

TlsContext::~TlsContext() {
    if (m_ctx)
        m_lib->SSL_CTX_free(m_ctx);
}

void TlsContext::Prepare() {
    if (m_ctx || m_tried)
        return;
    m_tried = true;
    m_lib = SslLibrary::Get(&m_why);
    if (!m_lib)
        return;
    const SslLibrary &L = *m_lib;
    m_ctx = L.SSL_CTX_new(L.TLS_client_method());
    if (!m_ctx) {
        m_why = QStringLiteral("no TLS context could be made");
        return;
    }
    L.SSL_CTX_ctrl(m_ctx, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
    L.SSL_CTX_set_verify(m_ctx, SSL_VERIFY_PEER, nullptr);
    // Every ping checks the certificate anew: no session is resumed.
    L.SSL_CTX_ctrl(m_ctx, SSL_CTRL_SET_SESS_CACHE_MODE, SSL_SESS_CACHE_OFF, nullptr);
    const QByteArray file = qgetenv("SSL_CERT_FILE");
    const QByteArray dir = qgetenv("SSL_CERT_DIR");
    if (!file.isEmpty() || !dir.isEmpty()) {
        L.SSL_CTX_load_verify_locations(m_ctx, file.isEmpty() ? nullptr : file.constData(),
                                        dir.isEmpty() ? nullptr : dir.constData());
    } else {
        L.SSL_CTX_set_default_verify_paths(m_ctx);
    }
    // A missing file is no reason to stop here: the handshake then fails its verification
    // and says why.
    L.ERR_clear_error();
}

ssl_ctx_st *TlsContext::Handle() {
    Prepare();
    return m_ctx;
}

// ---- TlsClient ----

TlsClient::TlsClient(TlsContext &context, const QString &host) {
    SSL_CTX *ctx = context.Handle();
    m_lib = context.Library();
    if (!ctx || !m_lib) {
        m_state = State::Failed;
        m_error = HandshakeFailed(
            QStringLiteral("the TLS library could not start (%1)").arg(context.Problem()));
        return;
    }
    const SslLibrary &L = *m_lib;
    m_ssl = L.SSL_new(ctx);
    m_in = L.BIO_new(L.BIO_s_mem());
    m_out = L.BIO_new(L.BIO_s_mem());
    if (!m_ssl || !m_in || !m_out) {
        L.BIO_free(m_in);
        L.BIO_free(m_out);
        m_in = m_out = nullptr;
        m_state = State::Failed;
        m_error = HandshakeFailed(QStringLiteral("the TLS library could not start"));
        return;
    }
    L.SSL_set_bio(m_ssl, m_in, m_out);
    L.SSL_set_connect_state(m_ssl);

    X509_VERIFY_PARAM *param = L.SSL_get0_param(m_ssl);
    if (const std::optional<QHostAddress> literal = Resolver::addressLiteral(host)) {
        // An address is checked as an address; it is never sent as a server name.
        L.X509_VERIFY_PARAM_set1_ip_asc(param, literal->toString().toLatin1().constData());
    } else {
        QString name = host;
        while (name.endsWith(QLatin1Char('.')))
            name.chop(1);
        QByteArray ace = QUrl::toAce(name);
        if (ace.isEmpty())
            ace = name.toUtf8();
        L.X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        // The length is given: a name is never cut short at a NUL.
        L.X509_VERIFY_PARAM_set1_host(param, ace.constData(), size_t(ace.size()));
        if (ace.size() <= 255)
            L.SSL_ctrl(m_ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                       const_cast<char *>(ace.constData()));
    }
}

TlsClient::~TlsClient() {
    if (m_ssl)
        m_lib->SSL_free(m_ssl);
}

void TlsClient::Feed(const char *data, qsizetype size) {
    if (m_in && size > 0)
        m_lib->BIO_write(m_in, data, int(size));
}

void TlsClient::FeedEnd() {
    m_ended = true;
    if (m_in) // an empty input now reads as the end
        m_lib->BIO_ctrl(m_in, BIO_C_SET_BUF_MEM_EOF_RETURN, 0, nullptr);
}

TlsClient::State TlsClient::Advance() {
    if (m_state != State::Handshaking)
        return m_state;
    const SslLibrary &L = *m_lib;
    L.ERR_clear_error();
    const int result = L.SSL_do_handshake(m_ssl);
    if (result == 1) {
        Established();
        return m_state;
    }
    const int error = L.SSL_get_error(m_ssl, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        if (m_ended)
            Fail(SSL_ERROR_ZERO_RETURN);
        return m_state;
    }
    Fail(error);
    return m_state;
}

void TlsClient::Fail(int sslError) {
    const SslLibrary &L = *m_lib;
    m_state = State::Failed;
    const long verify = L.SSL_get_verify_result(m_ssl);
    if (verify != X509_V_OK) {
        m_error = VerifyText(L, verify);
    } else {
        const unsigned long code = L.ERR_peek_last_error();
        const char *reason = code ? L.ERR_reason_error_string(code) : nullptr;
        if (m_ended && (sslError == SSL_ERROR_ZERO_RETURN || sslError == SSL_ERROR_SYSCALL ||
                        ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING))
            m_error = HandshakeFailed(QStringLiteral("the server closed the connection"));
        else if (reason)
            m_error = HandshakeFailed(QString::fromUtf8(reason));
        else
            m_error = HandshakeFailed(QStringLiteral("error %1").arg(sslError));
    }
    L.ERR_clear_error();
}

void TlsClient::Established() {
    const SslLibrary &L = *m_lib;
    m_state = State::Established;
    m_version = VersionName(L.SSL_get_version(m_ssl));
    m_leafExpiry = ExpiryOf(L, L.SSL_get0_peer_certificate(m_ssl));
    // On the client's side the chain holds the leaf too.
    if (STACK_OF(X509) *chain = L.SSL_get_peer_cert_chain(m_ssl)) {
        const auto *stack = reinterpret_cast<const OPENSSL_STACK *>(chain);
        for (int i = 0; i < L.OPENSSL_sk_num(stack); ++i) {
            const QDateTime expiry = ExpiryOf(L, static_cast<X509 *>(L.OPENSSL_sk_value(stack, i)));
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
    const size_t pending = m_lib->BIO_ctrl_pending(m_out);
    if (pending == 0)
        return bytes;
    bytes.resize(qsizetype(pending));
    const int read = m_lib->BIO_read(m_out, bytes.data(), int(pending));
    bytes.resize(qMax(read, 0));
    return bytes;
}

void TlsClient::Write(const QByteArray &plain) {
    if (m_state != State::Established || plain.isEmpty())
        return;
    m_lib->ERR_clear_error();
    // A memory channel takes everything at once.
    m_lib->SSL_write(m_ssl, plain.constData(), int(plain.size()));
    m_lib->ERR_clear_error();
}

QByteArray TlsClient::Read() {
    QByteArray plain;
    if (m_state != State::Established)
        return plain;
    char buffer[ReadChunk];
    m_lib->ERR_clear_error();
    for (;;) {
        const int read = m_lib->SSL_read(m_ssl, buffer, int(sizeof buffer));
        if (read <= 0)
            break;
        plain.append(buffer, read);
    }
    // The end of the data, or an error after the handshake: what arrived is the answer.
    m_lib->ERR_clear_error();
    return plain;
}
