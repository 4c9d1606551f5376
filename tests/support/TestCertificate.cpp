#include "TestCertificate.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

TestCertificate::TestCertificate(const QString &altNames) {
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary folder: %1").arg(m_dir.errorString());
        return;
    }
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                   QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-subj"),
                   QStringLiteral("/CN=localhost"), QStringLiteral("-addext"),
                   QStringLiteral("subjectAltName=") + altNames, QStringLiteral("-days"),
                   QStringLiteral("2"), QStringLiteral("-keyout"), keyPath(),
                   QStringLiteral("-out"), certificatePath()});
    if (!openssl.waitForStarted(30000)) {
        m_error = QStringLiteral("openssl did not start: %1").arg(openssl.errorString());
        return;
    }
    if (!openssl.waitForFinished(60000) || openssl.exitStatus() != QProcess::NormalExit ||
        openssl.exitCode() != 0) {
        m_error = QStringLiteral("openssl failed: %1")
                      .arg(QString::fromLocal8Bit(openssl.readAll()).trimmed());
        return;
    }
    if (QFileInfo(certificatePath()).size() == 0 || QFileInfo(keyPath()).size() == 0)
        m_error = QStringLiteral("openssl wrote no certificate");
}

QString TestCertificate::certificatePath() const {
    return m_dir.filePath(QStringLiteral("cert.pem"));
}

QString TestCertificate::keyPath() const { return m_dir.filePath(QStringLiteral("key.pem")); }

QString TestCertificate::authorityFolder() const {
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("x509"), QStringLiteral("-hash"), QStringLiteral("-noout"),
                   QStringLiteral("-in"), certificatePath()});
    if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0)
        return QString();
    const QString hash = QString::fromLatin1(openssl.readAllStandardOutput()).trimmed();
    const QString folder = m_dir.filePath(QStringLiteral("authorities"));
    const QString target = folder + QLatin1Char('/') + hash + QStringLiteral(".0");
    if (hash.isEmpty() || !QDir().mkpath(folder) ||
        (!QFile::exists(target) && !QFile::copy(certificatePath(), target)))
        return QString();
    return folder;
}
