#include "support/TestTcpServer.h"

#include <QHostAddress>
#include <QTimer>
#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

TestTcpServer::Script TestTcpServer::Script::answer(QList<QByteArray> chunks,
                                                    bool closeAfterAnswer) {
    Script script;
    script.chunks = std::move(chunks);
    script.closeAfterAnswer = closeAfterAnswer;
    return script;
}

TestTcpServer::Script TestTcpServer::Script::neverAnswer() {
    Script script;
    script.mode = Mode::NeverAnswer;
    return script;
}

TestTcpServer::Script TestTcpServer::Script::closeOnAccept() {
    Script script;
    script.mode = Mode::CloseOnAccept;
    return script;
}

TestTcpServer::TestTcpServer(QObject *parent) : QObject(parent) {
    connect(&m_server, &QTcpServer::newConnection, this, &TestTcpServer::OnNewConnection);
}

TestTcpServer::~TestTcpServer() {
    // The sockets are children of m_server; stop reacting to them before they go.
    for (Connection &c : m_connections) {
        if (c.socket)
            c.socket->disconnect(this);
    }
}

bool TestTcpServer::listen(const QHostAddress &address) { return m_server.listen(address, 0); }

quint16 TestTcpServer::port() const { return m_server.serverPort(); }

void TestTcpServer::setScript(const Script &script) { m_default = script; }

void TestTcpServer::setScriptFor(int connection, const Script &script) {
    m_perConnection.append({connection, script});
}

TestTcpServer::Script TestTcpServer::ScriptFor(int index) const {
    for (auto it = m_perConnection.crbegin(); it != m_perConnection.crend(); ++it) {
        if (it->first == index)
            return it->second;
    }
    return m_default;
}

QByteArray TestTcpServer::received(int connection) const {
    return connection >= 0 && connection < m_connections.size() ? m_connections[connection].received
                                                                : QByteArray();
}

bool TestTcpServer::requestComplete(int connection) const {
    return connection >= 0 && connection < m_connections.size() &&
           m_connections[connection].requestComplete;
}

bool TestTcpServer::isClientClosed(int connection) const {
    return connection >= 0 && connection < m_connections.size() &&
           m_connections[connection].clientClosed;
}

int TestTcpServer::chunksSent(int connection) const {
    return connection >= 0 && connection < m_connections.size()
               ? m_connections[connection].chunksFlushed
               : 0;
}

void TestTcpServer::OnNewConnection() {
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        const int index = int(m_connections.size());
        Connection c;
        c.socket = socket;
        c.script = ScriptFor(index);
        c.readPaused = c.script.pauseReading;
        if (c.readPaused)
            socket->setReadBufferSize(1);
        m_connections.append(c);

        connect(socket, &QTcpSocket::readyRead, this, [this, index] { OnReadyRead(index); });
        connect(socket, &QTcpSocket::bytesWritten, this,
                [this, index](qint64 bytes) { OnBytesWritten(index, bytes); });
        connect(socket, &QTcpSocket::disconnected, this, [this, index] {
            Connection &conn = m_connections[index];
            // Only a close the server did not start counts as the client's.
            if (!conn.clientClosed && !conn.serverClosed) {
                conn.clientClosed = true;
                emit clientClosed(index);
            }
        });

        emit connectionAccepted(index);
        const Script &script = m_connections[index].script;
        if (script.mode == Script::Mode::CloseOnAccept)
            closeConnection(index);
        else if (script.mode == Script::Mode::Answer && !script.waitForRequest)
            StartAnswer(index);
    }
}

void TestTcpServer::OnReadyRead(int index) {
    Connection &c = m_connections[index];
    if (!c.socket || c.readPaused)
        return;
    c.received += c.socket->readAll();
    if (c.requestComplete)
        return;
    if (c.received.contains("\r\n\r\n") || c.received.contains("\n\n")) {
        c.requestComplete = true;
        emit requestReceived(index, c.received);
        const Script &script = m_connections[index].script;
        if (script.mode == Script::Mode::Answer && script.waitForRequest)
            StartAnswer(index);
    }
}

void TestTcpServer::StartAnswer(int index) {
    Connection &c = m_connections[index];
    if (c.answering)
        return;
    c.answering = true;
    if (c.script.delayMs > 0)
        QTimer::singleShot(c.script.delayMs, this, [this, index] { WriteNextChunk(index); });
    else
        WriteNextChunk(index);
}

void TestTcpServer::WriteNextChunk(int index) {
    Connection &c = m_connections[index];
    c.timerRunning = false;
    if (!c.socket || c.socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (c.nextChunk >= c.script.chunks.size()) {
        AfterChunkFlushed(index); // no chunks at all: finish at once
        return;
    }
    const QByteArray chunk = c.script.chunks[c.nextChunk++];
    if (chunk.isEmpty()) {
        ++c.chunksFlushed;
        emit chunkSent(index, c.chunksFlushed - 1);
        AfterChunkFlushed(index);
        return;
    }
    c.unflushed = chunk.size();
    c.socket->write(chunk);
}

void TestTcpServer::OnBytesWritten(int index, qint64 bytes) {
    Connection &c = m_connections[index];
    c.unflushed -= bytes;
    if (c.unflushed > 0 || c.chunksFlushed >= c.nextChunk)
        return;
    c.chunksFlushed = c.nextChunk;
    emit chunkSent(index, c.chunksFlushed - 1);
    AfterChunkFlushed(index);
}

void TestTcpServer::AfterChunkFlushed(int index) {
    Connection &c = m_connections[index];
    if (c.nextChunk >= c.script.chunks.size()) {
        emit answerSent(index);
        if (m_connections[index].script.closeAfterAnswer)
            closeConnection(index);
        return;
    }
    if (c.script.manualChunks) {
        if (c.nextWanted) {
            c.nextWanted = false;
            WriteNextChunk(index);
        }
        return;
    }
    c.timerRunning = true;
    QTimer::singleShot(c.script.chunkDelayMs, this, [this, index] { WriteNextChunk(index); });
}

void TestTcpServer::sendNextChunk(int connection) {
    if (connection < 0 || connection >= m_connections.size())
        return;
    Connection &c = m_connections[connection];
    if (!c.answering || c.nextChunk >= c.script.chunks.size() || c.timerRunning)
        return;
    if (c.chunksFlushed == c.nextChunk)
        WriteNextChunk(connection);
    else
        c.nextWanted = true;
}

void TestTcpServer::closeConnection(int connection) {
    if (connection < 0 || connection >= m_connections.size())
        return;
    Connection &c = m_connections[connection];
    if (!c.socket || c.serverClosed)
        return;
    c.serverClosed = true;
    c.socket->disconnectFromHost();
}

void TestTcpServer::resetConnection(int connection) {
    if (connection < 0 || connection >= m_connections.size())
        return;
    Connection &c = m_connections[connection];
    if (!c.socket || c.serverClosed)
        return;
    c.serverClosed = true;
    // A zero linger time makes the close send a reset.
    const linger abortive{1, 0};
    ::setsockopt(decltype(::socket(0, 0, 0))(c.socket->socketDescriptor()), SOL_SOCKET, SO_LINGER,
                 reinterpret_cast<const char *>(&abortive), sizeof abortive);
    c.socket->abort();
}

void TestTcpServer::resumeReading(int connection) {
    if (connection < 0 || connection >= m_connections.size())
        return;
    Connection &c = m_connections[connection];
    if (!c.socket || !c.readPaused)
        return;
    c.readPaused = false;
    c.socket->setReadBufferSize(0);
    OnReadyRead(connection);
}

void TestTcpServer::close() { m_server.close(); }

quint16 TestTcpServer::closedPort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress(QHostAddress::LocalHost), 0))
        return 0;
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

QByteArray TestTcpServer::bigAnswer(int size) {
    QByteArray answer = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n";
    answer.reserve(size);
    while (answer.size() < size)
        answer += char('a' + answer.size() % 26);
    return answer;
}
