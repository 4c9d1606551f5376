#include "support/TestHttpReceiver.h"

#include <QTcpSocket>

TestHttpReceiver::TestHttpReceiver(QObject *parent) : QObject(parent) {
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { Read(socket); });
            connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                m_buffers.remove(socket);
                socket->deleteLater();
            });
        }
    });
}

bool TestHttpReceiver::listen() { return m_server.listen(QHostAddress::LocalHost); }

QString TestHttpReceiver::Url(const QString &scheme, const QString &path) const {
    return QStringLiteral("%1://127.0.0.1:%2%3").arg(scheme).arg(port()).arg(path);
}

void TestHttpReceiver::Read(QTcpSocket *socket) {
    QByteArray &buffer = m_buffers[socket];
    buffer += socket->readAll();
    const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return;
    Request request;
    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
    request.method = first.value(0);
    request.path = first.value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0)
            request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                   lines[i].mid(colon + 1).trimmed());
    }
    const qsizetype length = request.headers.value("content-length").toLongLong();
    if (buffer.size() < headEnd + 4 + length)
        return; // the body is still on its way
    request.body = buffer.mid(headEnd + 4, length);
    buffer.remove(0, headEnd + 4 + length);
    m_requests.append(request);
    if (m_status > 0) {
        socket->write("HTTP/1.1 " + QByteArray::number(m_status) +
                      " Status\r\nContent-Type: application/json\r\nContent-Length: 2\r\n"
                      "Connection: close\r\n\r\n{}");
        socket->disconnectFromHost();
    }
    emit received(int(m_requests.size()) - 1);
}
