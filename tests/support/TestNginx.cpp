#include "TestNginx.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#ifndef Q_OS_WIN
#include <unistd.h>
#endif

namespace {

// A port on 127.0.0.1 that was free a moment ago.
quint16 FreePort() {
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
}

QString NginxProgram() {
    QString found = QStandardPaths::findExecutable(QStringLiteral("nginx"));
    if (found.isEmpty())
        found =
            QStandardPaths::findExecutable(QStringLiteral("nginx"), {QStringLiteral("/usr/sbin")});
    return found;
}

} // namespace

TestNginx::TestNginx() = default;

TestNginx::~TestNginx() {
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(5000)) {
            m_process->kill();
            m_process->waitForFinished(5000);
        }
    }
}

bool TestNginx::available() { return !NginxProgram().isEmpty(); }

int TestNginx::addPlain() {
    m_servers.append(Server());
    return int(m_servers.size()) - 1;
}

int TestNginx::addTls(const QString &certificate, const QString &key) {
    m_servers.append(Server{certificate, key, 0});
    return int(m_servers.size()) - 1;
}

QByteArray TestNginx::Config() const {
    const QByteArray root = m_dir.path().toUtf8();
    QByteArray servers;
    for (const Server &server : m_servers) {
        servers += "    server {\n        listen 127.0.0.1:" + QByteArray::number(server.port);
        if (!server.certificate.isEmpty()) {
            servers += " ssl;\n        ssl_certificate " + server.certificate.toUtf8() +
                       ";\n        ssl_certificate_key " + server.key.toUtf8() +
                       ";\n        ssl_protocols TLSv1.2 TLSv1.3;\n";
        } else {
            servers += ";\n";
        }
        for (const char *status : {"200", "204", "301", "404", "500", "503"})
            servers += QByteArray("        location = /status/") + status + " { return " + status +
                       "; }\n";
        if (m_upstream)
            servers += "        location /slow { proxy_pass http://127.0.0.1:" +
                       QByteArray::number(m_upstream) + "; }\n";
        servers += "        location / { return 200 \"test\\n\"; }\n    }\n";
    }
    // As root, the worker would otherwise become a user who cannot read the test's files.
#ifdef Q_OS_WIN
    const QByteArray user; // no nginx runs there: available() is false
#else
    const QByteArray user = ::geteuid() == 0 ? "user root;\n" : "";
#endif
    return user + "daemon off;\nworker_processes 1;\npid " + root + "/nginx.pid;\nerror_log " +
           root + "/error.log info;\nevents { worker_connections 64; }\nhttp {\n    access_log " +
           root + "/access.log;\n    client_body_temp_path " + root +
           "/tmp/body;\n    proxy_temp_path " + root + "/tmp/proxy;\n    fastcgi_temp_path " +
           root + "/tmp/fastcgi;\n    uwsgi_temp_path " + root +
           "/tmp/uwsgi;\n    scgi_temp_path " + root + "/tmp/scgi;\n" + servers + "}\n";
}

bool TestNginx::Listening() const {
    for (const Server &server : m_servers) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, server.port);
        if (!probe.waitForConnected(1000))
            return false;
    }
    return true;
}

bool TestNginx::start(QString *error) {
    const QString program = NginxProgram();
    if (program.isEmpty()) {
        *error = QStringLiteral("nginx is not installed (Debian: nginx)");
        return false;
    }
    QDir().mkpath(m_dir.filePath(QStringLiteral("tmp")));
    const QString conf = m_dir.filePath(QStringLiteral("nginx.conf"));
    // A free port may be taken between the probe and nginx's bind: a few tries.
    for (int tries = 0; tries < 3; ++tries) {
        for (Server &server : m_servers)
            server.port = FreePort();
        QFile file(conf);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(Config()) < 0) {
            *error = QStringLiteral("cannot write %1").arg(conf);
            return false;
        }
        file.close();
        m_process = std::make_unique<QProcess>();
        m_process->setProcessChannelMode(QProcess::MergedChannels);
        m_process->start(program,
                         {QStringLiteral("-p"), m_dir.path(), QStringLiteral("-e"),
                          m_dir.filePath(QStringLiteral("error.log")), QStringLiteral("-c"), conf});
        if (!m_process->waitForStarted(10000)) {
            *error = QStringLiteral("nginx did not start: %1").arg(m_process->errorString());
            return false;
        }
        if (QTest::qWaitFor(
                [this] { return m_process->state() != QProcess::Running || Listening(); }, 15000) &&
            m_process->state() == QProcess::Running)
            return true;
        m_process->kill();
        m_process->waitForFinished(5000);
        *error = QStringLiteral("nginx did not listen: %1")
                     .arg(QString::fromLocal8Bit(m_process->readAll()).trimmed());
    }
    return false;
}
