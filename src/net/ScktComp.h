#pragma once

#include "platform/Resolver.h"
#include "support/Exceptions.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
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
// Non-blocking IPv4 TCP; readiness comes from QSocketNotifier on the owner's thread.
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

    QString PeerHostName(); // reverse lookup; empty when not connected or no name
    QString PeerAddress();  // dotted IPv4; empty when not connected

    bool Connected() const { return m_connected; }
    int Handle() const { return m_handle; }
    bool LookupPending() const { return m_lookupId != 0; }

private:
    friend class TClientSocket;
    enum class LookupState { Idle, ResolvingAddress, ResolvingService };
    // The readiness notifications of one handle.
    enum class Notice { Read, Write, Connect, Close };

    void Open(const QString &host, const QString &address, const QString &service, quint16 port);
    void Lookup(const QString &host, const QString &address, const QString &service, quint16 port);
    quint64 StartLookup(bool host, const QString &name);
    void DoConnect();
    void PostConnectCompleted(int error);
    void OnLookupFinished(quint64 id, int error, quint32 value);
    void OnReadActivated(quint64 generation);
    void OnWriteActivated(quint64 generation);
    void Dispatch(quint64 generation, Notice kind, int error);
    bool Fire(TSocketNotifyEvent TClientSocket::*event);
    bool RaiseError(TErrorEvent event, int &code);
    bool RaiseErrorThenClose(TErrorEvent event, int &code);
    int FailTransfer(TErrorEvent event, int wsaError, const char *label);
    void ForgetLookup();
    int ReleaseHandle();
    void CreateNotifiers();
    void SetReadArmed(bool armed);
    void SetWriteArmed(bool armed);
    quint32 PeerIPv4();

    TClientSocket *m_owner; // detached first thing on destruction
    int m_handle = -1;
    bool m_connected = false;
    quint32 m_address = 0; // host byte order
    quint16 m_port = 0;
    LookupState m_state = LookupState::Idle;
    quint64 m_lookupId = 0;
    QString m_savedService;
    quint16 m_savedPort = 0;
    QPointer<Resolver> m_listening; // the resolver whose answers reach OnLookupFinished
    QMetaObject::Connection m_resolverConnection;
    std::unique_ptr<QSocketNotifier> m_readNotifier;
    std::unique_ptr<QSocketNotifier> m_writeNotifier;
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

private:
    friend class TCustomWinSocket;
    void CheckInactive() const;

    bool m_active = false; // set by the connection object around OnConnect / OnDisconnect
    QString m_address;
    QString m_host;
    QString m_service;
    int m_port = 0;
    TClientType m_clientType = ctNonBlocking;
    QPointer<Resolver> m_resolver;
    std::unique_ptr<TClientWinSocket> m_connection;
};
