#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

// A self-signed certificate with its private key, made with the openssl tool in a temporary
// folder that lives as long as this object. Each object is a different authority: trusting
// one does not trust another.
class TestCertificate {
public:
    // altNames: the subjectAltName value, by default localhost, 127.0.0.1 and ::1.
    explicit TestCertificate(
        const QString &altNames = QStringLiteral("DNS:localhost,IP:127.0.0.1,IP:::1"));

    bool isValid() const { return m_error.isEmpty(); }
    QString error() const { return m_error; } // why it could not be made
    QString certificatePath() const;          // PEM; also the authority to trust
    QString keyPath() const;                  // PEM, unencrypted
    // A folder holding the certificate under its subject-hash name, as SSL_CERT_DIR wants;
    // empty when it could not be made.
    QString authorityFolder() const;

private:
    QTemporaryDir m_dir;
    QString m_error;
};

// An authority of the test's own, made in memory with the TLS library, that issues
// certificates of any shape: expired, for another name, self-signed, a name holding a NUL, a
// chain padded to any size. EC P-256 keys, quick to make. Files live in a temporary folder as
// long as this object.
class TestAuthority {
public:
    struct Request {
        QStringList dnsNames;            // subjectAltName DNS entries; a NUL is kept
        QStringList ipAddresses;         // subjectAltName IP entries
        qint64 validFromSeconds = -3600; // from now
        qint64 validToSeconds = 30 * 24 * 3600;
        bool selfSigned = false; // signed by its own key, not by the authority
        int chainPadding = 0;    // at least this many bytes of copies of the authority after it
    };
    struct Files {
        QString certificate; // PEM: the certificate, then the chain
        QString key;         // PEM, unencrypted
    };

    TestAuthority();
    ~TestAuthority();

    bool isValid() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }
    QString certificatePath() const; // the authority's PEM: give it as SSL_CERT_FILE

    // Files named after name; empty paths when they could not be made (see error()).
    Files issue(const QString &name, const Request &request);

private:
    struct Keys;
    QTemporaryDir m_dir;
    QString m_error;
    std::unique_ptr<Keys> m_keys;
};
