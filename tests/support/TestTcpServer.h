#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

// A scripted TCP server on 127.0.0.1 or ::1 (ephemeral port) for socket and ping tests.
//
//   TestTcpServer server;
//   QVERIFY(server.listen());
//   server.setScript(TestTcpServer::Script::answer({"HTTP/1.0 200 OK\r\n\r\n"}));
//   ... connect a client to 127.0.0.1:server.port() ...
//   QTRY_COMPARE(server.received(0), expectedRequest);
//
// Every connection is numbered in accept order (0, 1, ...) and every byte it receives is
// recorded. Each connection follows a Script: the one given for its number with
// setScriptFor(), otherwise the default of setScript().
//
// Answer mode: once the request's blank line ("\r\n\r\n" or "\n\n") has arrived (or at once
// with waitForRequest = false), after delayMs the chunks are written one by one. A chunk is
// written only when the previous one has been flushed to the kernel (bytesWritten) and then
// either chunkDelayMs have passed (timer pacing, the default) or the test called
// sendNextChunk() (manual pacing, manualChunks = true). Manual pacing is the reliable way to
// get one client read per chunk: call sendNextChunk() from the client's read handler. Timer
// pacing gives the client's event loop at least one turn between chunks, which is enough
// when client and server share the thread.
//
// Other scripts: NeverAnswer (read and record, never write), CloseOnAccept, pauseReading
// (fill the client's send path); resetConnection() ends a connection with a reset. After the last
// chunk has been flushed the connection is closed when closeAfterAnswer is set.
class TestTcpServer : public QObject {
    Q_OBJECT
public:
    struct Script {
        enum class Mode {
            Answer,       // answer with the chunks (see above)
            NeverAnswer,  // keep the connection open, read and record, never write
            CloseOnAccept // close the connection as soon as it is accepted
        };
        Mode mode = Mode::Answer;
        QList<QByteArray> chunks;
        bool waitForRequest = true;
        int delayMs = 0;
        int chunkDelayMs = 20;
        bool manualChunks = false;
        bool closeAfterAnswer = true;
        // Leave received bytes in the kernel until resumeReading(), so the client's sends
        // eventually block.
        bool pauseReading = false;

        static Script answer(QList<QByteArray> chunks, bool closeAfterAnswer = true);
        static Script neverAnswer();
        static Script closeOnAccept();
    };

    explicit TestTcpServer(QObject *parent = nullptr);
    ~TestTcpServer() override;

    // 127.0.0.1 unless another address (::1) is given.
    bool listen(const QHostAddress &address = QHostAddress(QHostAddress::LocalHost));
    quint16 port() const;

    void setScript(const Script &script);
    void setScriptFor(int connection, const Script &script);

    int connectionCount() const { return int(m_connections.size()); }
    QByteArray received(int connection) const;
    bool requestComplete(int connection) const;
    bool isClientClosed(int connection) const;
    // Chunks of the answer written (flushed) so far on that connection.
    int chunksSent(int connection) const;

    // Manual pacing: writes the next chunk of that connection (after the previous one has
    // been flushed; a call made too early is remembered).
    void sendNextChunk(int connection);
    // Closes that connection from the server side now (orderly close).
    void closeConnection(int connection);
    // Aborts that connection with a reset (RST) instead of an orderly close.
    void resetConnection(int connection);
    // Starts reading a connection whose script had pauseReading.
    void resumeReading(int connection);
    // Stops listening; open connections stay.
    void close();

    // A port on 127.0.0.1 where nothing listens (taken and released at once).
    static quint16 closedPort();
    // A test answer of `size` bytes: a status line, headers, then a filler body.
    static QByteArray bigAnswer(int size);

signals:
    void connectionAccepted(int connection);
    void requestReceived(int connection, const QByteArray &request);
    void chunkSent(int connection, int chunk);
    void answerSent(int connection);
    void clientClosed(int connection);

private:
    struct Connection {
        QPointer<QTcpSocket> socket;
        Script script;
        QByteArray received;
        bool requestComplete = false;
        bool answering = false;
        bool clientClosed = false;
        bool serverClosed = false;
        bool readPaused = false;
        int nextChunk = 0;       // index of the next chunk to write
        int chunksFlushed = 0;   // chunks fully handed to the kernel
        qint64 unflushed = 0;    // bytes of the current chunk not yet written
        bool nextWanted = false; // manual pacing: the test asked for the next chunk
        bool timerRunning = false;
    };

    void OnNewConnection();
    void OnReadyRead(int index);
    void OnBytesWritten(int index, qint64 bytes);
    void StartAnswer(int index);
    void WriteNextChunk(int index);
    void AfterChunkFlushed(int index);
    Script ScriptFor(int index) const;

    QTcpServer m_server;
    Script m_default;
    QList<QPair<int, Script>> m_perConnection;
    QList<Connection> m_connections;
};
