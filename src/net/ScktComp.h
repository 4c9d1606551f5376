#pragma once

#include "platform/Resolver.h"
#include "platform/SocketApi.h"
#include "support/Exceptions.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <exception>
#include <functional>
#include <memory>

class QSocketNotifier;

enum TErrorEvent { eeGeneral, eeSend, eeReceive, eeConnect, eeDisconnect, eeAccept, eeLookup };
enum TClientType { ctNonBlocking = 0, ctBlocking = 1 };

class ESocketError : public Exception {
public:
    using Exception::Exception;
};

class TCustomWinSocket;
class TClientSocket;

using TSocketNotifyEvent = std::function<void(QObject *Sender, TCustomWinSocket *Socket)>;
using TSocketErrorEvent = std::function<void(QObject *Sender, TCustomWinSocket *Socket,
                                             TErrorEvent ErrorEvent, int &ErrorCode)>;

// The connection object: one platform handle at a time, reused for every attempt.
// Non-blocking TCP over IPv4 or IPv6; readiness comes from QSocketNotifier on the owner's
// thread. Every address of the lookup is tried in turn, each on a fresh handle of its family;
// only the failure of the last one is reported.
class TCustomWinSocket : public QObject {
    Q_OBJECT
public:
    explicit TCustomWinSocket(TClientSocket *owner);
    ~TCustomWinSocket() override;

    // Bytes accepted, 0 when not connected, -1 on would-block or a swallowed send error.
    int SendString(const QString &text); // sends the UTF-8 bytes
    int SendBytes(const char *buffer, int count);
    // Bytes stored (0 = orderly close), 0 when not connected, -1 when nothing is waiting or
    // after a swallowed receive error. Never writes a terminator.
    int ReceiveBytes(char *buffer, int count);

    // Cancels a pending lookup; with an open handle raises OnDisconnect, then closes it.
    void CloseConnection();

    // Reverse lookup; empty when not connected or no name. A loopback peer is named from the
    // hosts file only.
    QString PeerHostName();
    // Numeric text of either family ("127.0.0.1", "::1"); empty when not connected.
    QString PeerAddress();

    bool Connected() const { return m_connected; }
    // The handle is of the IPv6 family (the address connected to, once connected).
    bool IPv6() const;
    Sockets::Handle Handle() const { return m_handle; }
    bool LookupPending() const { return m_lookupId != 0; }
    // The addresses of the last lookup that answered, in the order they are tried.
    const QList<QHostAddress> &Addresses() const { return m_addresses; }

private:
    friend class TClientSocket;
    enum class LookupState { Idle, ResolvingAddress, ResolvingService };
    // The readiness notifications of one handle.
    enum class Notice { Read, Write, Connect, Close };

    void Open(const QString &host, const QString &address, const QString &service, quint16 port);
    void Lookup(const QString &host, const QString &address, const QString &service, quint16 port);
    quint64 StartLookup(bool host, const QString &name);
    quint64 PostLiteralAnswer(const QHostAddress &address);
    void OnHostFound(bool literal, quint64 id, int error, const QList<QHostAddress> &addresses);
    void OnServiceFound(quint64 id, int error, quint16 port);
    bool AcceptAnswer(bool literal, quint64 id, LookupState state);
    void LookupFailed(int error);
    void DoConnect();
    void ConnectCurrent();
    bool TryNextAddress(int &error);
    void PostConnectCompleted(int error);
    void OnReadActivated(quint64 generation);
    void OnWriteActivated(quint64 generation);
    void OnConnectCheck(quint64 generation);
    void Dispatch(quint64 generation, Notice kind, int error);
    template <typename Fn> void Guarded(Fn &&fn) noexcept;
    bool Fire(TSocketNotifyEvent TClientSocket::*event);
    bool RaiseError(TErrorEvent event, int &code);
    bool RaiseErrorThenClose(TErrorEvent event, int &code);
    int FailTransfer(TErrorEvent event, int wsaError, const char *label);
    void ForgetLookup();
    int ReplaceHandle(int family); // 0, or the number of the failure
    Sockets::Handle DetachHandle();
    Sockets::Handle ReleaseHandle();
    void CreateNotifiers();
    void SetReadArmed(bool armed);
    void SetWriteArmed(bool armed);

    TClientSocket *m_owner; // detached first thing on destruction
    Sockets::Handle m_handle = Sockets::Invalid;
    int m_family = 0; // address family of m_handle
    bool m_connected = false;
    QList<QHostAddress> m_addresses; // of this attempt, tried in order
    qsizetype m_current = 0;         // the address m_handle connects to
    quint16 m_port = 0;
    LookupState m_state = LookupState::Idle;
    quint64 m_lookupId = 0;
    bool m_lookupLiteral = false; // m_lookupId names an answer of our own, not the resolver's
    quint64 m_literalSerial = 0;
    QString m_savedService;
    quint16 m_savedPort = 0;
    QPointer<Resolver> m_listening; // the resolver whose answers reach OnHostFound/OnServiceFound
    QList<QMetaObject::Connection> m_resolverConnections;
    std::unique_ptr<QSocketNotifier> m_readNotifier;
    std::unique_ptr<QSocketNotifier> m_writeNotifier;
    std::unique_ptr<QTimer> m_connectCheck; // where Sockets::ConnectCheckInterval() asks
    bool m_connectPending = false;
    bool m_readStarted = false;
    // Tells notifications of an earlier handle apart (descriptor numbers are reused).
    quint64 m_generation = 0;
    quint64 m_closingGeneration = 0; // the handle whose OnDisconnect is running
};

using TClientWinSocket = TCustomWinSocket;

// The client socket component: resolves a host, connects to one port, reports every step as
// an event. Only ctNonBlocking is used.
class TClientSocket : public QObject {
    Q_OBJECT
public:
    explicit TClientSocket(QObject *parent = nullptr);
    ~TClientSocket() override;

    // True only from OnConnect to OnDisconnect.
    bool Active() const;
    // true opens when not connected; false closes when connected (a pending lookup or
    // connect goes on).
    void SetActive(bool value);

    QString Address() const { return m_address; }
    void SetAddress(const QString &value);
    TClientType ClientType() const { return m_clientType; }
    void SetClientType(TClientType value);
    QString Host() const { return m_host; }
    void SetHost(const QString &value);
    int Port() const { return m_port; }
    void SetPort(int value);
    QString Service() const { return m_service; }
    void SetService(const QString &value);

    TClientWinSocket *Connection() const { return m_connection.get(); }

    // The lookup service; defaults to Resolver::system(). Not owned.
    void SetResolver(Resolver *resolver);
    Resolver *GetResolver() const;

    TSocketNotifyEvent OnLookup;
    TSocketNotifyEvent OnConnecting;
    TSocketNotifyEvent OnConnect;
    TSocketNotifyEvent OnDisconnect;
    TSocketNotifyEvent OnRead;
    TSocketNotifyEvent OnWrite;
    TSocketErrorEvent OnError;

signals:
    // An exception that escaped an event handler, or the error the component raises itself
    // while processing a notification (an unswallowed OnError code, a failed lookup), which
    // would otherwise unwind through the event loop. Emitted on the component's thread; the
    // component goes on working afterwards. Exceptions from SetActive and the transfer calls
    // still reach their caller.
    void handlerException(std::exception_ptr error);

private:
    friend class TCustomWinSocket;
    void CheckInactive() const;
    void ReportException(const std::exception_ptr &error) noexcept;

    bool m_active = false; // set by the connection object around OnConnect / OnDisconnect
    QString m_address;
    QString m_host;
    QString m_service;
    int m_port = 0;
    TClientType m_clientType = ctNonBlocking;
    QPointer<Resolver> m_resolver;
    std::unique_ptr<TClientWinSocket> m_connection;
};
