#pragma once

#include <QString>
#include <QTemporaryDir>

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
