#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QTcpServer>

class QTcpSocket;

// A loopback HTTP server that takes requests with a body (a webhook, an ntfy or a JSON
// endpoint as the notification channels reach them), records each whole request and answers
// with a status, or never answers.
class TestHttpReceiver : public QObject {
    Q_OBJECT
public:
    struct Request {
        QByteArray method;
        QByteArray path;
        QHash<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;
    };

    explicit TestHttpReceiver(QObject *parent = nullptr);
    bool listen();
    quint16 port() const { return m_server.serverPort(); }
    QString Url(const QString &scheme, const QString &path = QStringLiteral("/")) const;

    // 0: keep the connection open and never answer.
    void SetStatus(int status) { m_status = status; }
    const QList<Request> &Requests() const { return m_requests; }

signals:
    void received(int index);

private:
    void Read(QTcpSocket *socket);

    QHash<QTcpSocket *, QByteArray> m_buffers;
    QList<Request> m_requests;
    int m_status = 200;
    QTcpServer m_server; // last: its sockets report their end while the rest still stands
};
