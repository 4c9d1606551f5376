#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <memory>

struct ssl_ctx_st;
struct ssl_st;
struct bio_st;
struct SslLibrary;

// The authorities a TLS check trusts and the settings every handshake shares. Made once and
// shared by the engines of a program: loading the authorities is the expensive part, and it
// happens in Prepare, before any ping's clock starts. The authorities are those of
// SSL_CERT_FILE / SSL_CERT_DIR when either is set, else the system's.
class TlsContext {
public:
    TlsContext();
    ~TlsContext();
    TlsContext(const TlsContext &) = delete;
    TlsContext &operator=(const TlsContext &) = delete;

    // Loads the TLS library and the authorities on the first call; later calls cost nothing.
    void Prepare();
    ssl_ctx_st *Handle(); // null when the library could not be loaded
    const SslLibrary *Library() const { return m_lib; }
    QString Problem() const { return m_why; } // why there is no handle

private:
    const SslLibrary *m_lib = nullptr;
    ssl_ctx_st *m_ctx = nullptr;
    bool m_tried = false;
    QString m_why;
};

// One TLS client session over bytes the caller carries: what arrives from the server goes in
// through Feed, what must go to it comes out of TakeOutgoing. It never touches a socket, so the
// ping keeps its own socket and its readiness notifications. The server's name is sent (SNI)
// and checked against the certificate; an address literal is checked as an address.
class TlsClient {
public:
    enum class State { Handshaking, Established, Failed };

    // host: a name or an address literal, "[::1]" as written in a URL.
    TlsClient(TlsContext &context, const QString &host);
    ~TlsClient();
    TlsClient(const TlsClient &) = delete;
    TlsClient &operator=(const TlsClient &) = delete;

    // Bytes from the server.
    void Feed(const char *data, qsizetype size);
    // The server closed its side: a handshake that waits for more fails.
    void FeedEnd();
    // Runs the handshake as far as the bytes fed allow.
    State Advance();
    State CurrentState() const { return m_state; }
    // Bytes for the server, taken out once.
    QByteArray TakeOutgoing();

    // Application data, once established.
    void Write(const QByteArray &plain);
    // The application data that arrived so far; empty when none.
    QByteArray Read();

    // Why the handshake failed: "Certificate has expired", "Host name mismatch",
    // "Self-signed certificate" or "TLS handshake failed: ...".
    QString ErrorText() const { return m_error; }

    // Of the certificates the server presented, once established; invalid when unknown.
    QDateTime LeafExpiry() const { return m_leafExpiry; }
    QDateTime EarliestExpiry() const { return m_earliestExpiry; }
    // "TLS 1.3", "TLS 1.2", ...
    QString Version() const { return m_version; }

private:
    void Fail(int sslError);
    void Established();

    const SslLibrary *m_lib = nullptr;
    ssl_st *m_ssl = nullptr;
    bio_st *m_in = nullptr;  // owned by m_ssl
    bio_st *m_out = nullptr; // owned by m_ssl
    State m_state = State::Handshaking;
    bool m_ended = false;
    QString m_error;
    QDateTime m_leafExpiry;
    QDateTime m_earliestExpiry;
    QString m_version;
};
