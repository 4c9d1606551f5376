#pragma once

#include <QList>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <memory>

// Debian's nginx as a private foreground process with a configuration of the test's own, on
// 127.0.0.1: any number of servers, each plain HTTP or TLS with the certificate files given.
// Every server answers /status/NNN with that status (200, 204, 301, 404, 500, 503), /slow through
// an upstream of the test's own (a scripted server that takes its time), and anything else with
// 200.
class TestNginx {
public:
    TestNginx();
    ~TestNginx();

    // The index of the server, for port().
    int addPlain();
    int addTls(const QString &certificate, const QString &key);
    // Where /slow is passed on to (127.0.0.1); without one /slow answers 502.
    void setUpstream(quint16 port) { m_upstream = port; }

    // Starts nginx and waits until every server takes connections. False with the reason when
    // it could not (nginx missing: see available()).
    bool start(QString *error);
    quint16 port(int server) const { return m_servers.at(server).port; }

    static bool available();

private:
    struct Server {
        QString certificate; // empty: plain HTTP
        QString key;
        quint16 port = 0;
    };
    QByteArray Config() const;
    bool Listening() const;

    QTemporaryDir m_dir;
    QList<Server> m_servers;
    quint16 m_upstream = 0;
    std::unique_ptr<QProcess> m_process;
};
