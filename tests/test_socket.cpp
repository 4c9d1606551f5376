// The asynchronous client socket against scripted servers on 127.0.0.1 and [::1]. Names come
// from a table resolver (or "localhost" from /etc/hosts), so no query leaves the machine.

#include "net/ScktComp.h"
#include "platform/AppErrors.h"
#include "platform/Resolver.h"
#include "platform/SocketApi.h"
#include "platform/WsaErrors.h"
#include "support/TableResolver.h"
#include "support/TestTcpServer.h"

#include <QDir>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>
#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/resource.h>
#endif

namespace {

const QByteArray Request = "HEAD / HTTP/1.0\r\nHost: www.example.test\r\nConnection: close\r\n\r\n";
const QByteArray Answer = "HTTP/1.0 200 OK\r\nServer: test\r\n\r\n";
const QString GoodHost = QStringLiteral("www.example.test");
const int Quiet = 100; // ms of event processing that must bring no further event
const char *const NoIPv6 = "the IPv6 loopback ::1 is not configured here (ip -6 addr show lo)";
const QStringList FullSequence{"lookup", "connecting", "connect", "write", "read", "disconnect"};

QString EventName(TErrorEvent event) {
    static const char *const names[] = {"eeGeneral",    "eeSend",   "eeReceive", "eeConnect",
                                        "eeDisconnect", "eeAccept", "eeLookup"};
    return QString::fromLatin1(names[event]);
}

// Owns one component, records every event it raises (with the Active state and whether a
// handle was open at that moment) and runs optional per-test actions from inside handlers.
class Probe {
public:
    explicit Probe(Resolver *resolver) : socket(std::make_unique<TClientSocket>()) {
        socket->SetResolver(resolver);
        TClientSocket *s = socket.get();
        const auto notify = [this, s](const char *name,
                                      std::function<void(TCustomWinSocket *)> *hook) {
            return [this, s, name, hook](QObject *sender, TCustomWinSocket *conn) {
                QVERIFY(sender == s);
                QVERIFY(conn == s->Connection());
                events << QString::fromLatin1(name);
                active << s->Active();
                handleOpen << (conn->Handle() >= 0);
                if (*hook)
                    (*hook)(conn);
            };
        };
        s->OnLookup = notify("lookup", &onLookup);
        s->OnConnecting = notify("connecting", &onConnecting);
        s->OnConnect = notify("connect", &onConnect);
        s->OnDisconnect = notify("disconnect", &onDisconnect);
        s->OnWrite = notify("write", &onWrite);
        s->OnRead = notify("read", &onRead);
        s->OnError = [this, s](QObject *sender, TCustomWinSocket *, TErrorEvent event, int &code) {
            QVERIFY(sender == s);
            events << QStringLiteral("error %1 %2").arg(EventName(event)).arg(code);
            active << s->Active();
            handleOpen << (s->Connection()->Handle() >= 0);
            if (onError)
                onError(event, code);
            else if (swallow)
                code = 0;
        };
        onWrite = [this](TCustomWinSocket *conn) {
            if (!request.isEmpty())
                sendResults << conn->SendBytes(request.constData(), int(request.size()));
        };
        onRead = [this](TCustomWinSocket *conn) { readAll(conn); };
        QObject::connect(s, &TClientSocket::handlerException, s, [this](std::exception_ptr error) {
            exceptions << ExceptionMessage(error);
        });
    }

    void readAll(TCustomWinSocket *conn) {
        QByteArray buffer(65536, '\0');
        const int n = conn->ReceiveBytes(buffer.data(), int(buffer.size()));
        readResults << n;
        if (n > 0)
            received += buffer.left(n);
    }

    int count(const QString &event) const { return int(events.count(event)); }

    std::unique_ptr<TClientSocket> socket;
    QStringList events;
    QList<bool> active;
    QList<bool> handleOpen;
    QByteArray request = Request;
    QByteArray received;
    QList<int> sendResults;
    QList<int> readResults;
    QStringList exceptions; // from the handlerException signal
    bool swallow = true;
    std::function<void(TCustomWinSocket *)> onLookup, onConnecting, onConnect, onDisconnect,
        onWrite, onRead;
    std::function<void(TErrorEvent, int &)> onError;
};

// The first name /etc/hosts gives the address, or nothing.
QString NameInHostsFile(const QHostAddress &address) {
    QFile hosts(Sockets::HostsFilePath());
    if (!hosts.open(QIODevice::ReadOnly))
        return QString();
    while (!hosts.atEnd()) {
        const QByteArray line = hosts.readLine();
        const QList<QByteArray> fields = line.left(line.indexOf('#')).simplified().split(' ');
        if (fields.size() >= 2 && QHostAddress(QString::fromLatin1(fields[0])) == address)
            return QString::fromLatin1(fields[1]);
    }
    return QString();
}

int FamilyOf(Sockets::Handle handle) {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    return ::getsockname(decltype(::socket(0, 0, 0))(handle), reinterpret_cast<sockaddr *>(&local),
                         &length) == 0
               ? local.ss_family
               : -1;
}

// Descriptors (Windows: handles) open in this process: no attempt may leave one behind.
int OpenDescriptors() {
#ifdef Q_OS_WIN
    DWORD count = 0;
    ::GetProcessHandleCount(::GetCurrentProcess(), &count);
    return int(count);
#else
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot)
                   .size());
#endif
}

} // namespace

class TestSocket : public QObject {
    Q_OBJECT

private:
    TableResolver *resolver = nullptr;
    TestTcpServer *server = nullptr;
    QStringList appErrors;

    // Lets the loop run a while to show that nothing more happens.
    static void settle() { QTest::qWait(Quiet); }

private slots:
    void init() {
        appErrors.clear();
        SetApplicationErrorHandler([this](const QString &message) { appErrors << message; });
        resolver = new TableResolver(this);
        resolver->addHost(GoodHost, QStringLiteral("127.0.0.1"));
        server = new TestTcpServer(this);
        QVERIFY(server->listen());
        server->setScript(TestTcpServer::Script::answer({Answer}));
    }

    void cleanup() {
        SetApplicationErrorHandler(nullptr);
        // The component reports through its own signal, never to the application handler.
        QVERIFY(appErrors.isEmpty());
        delete server;
        delete resolver;
    }

#ifdef Q_OS_WIN
    // Winsock's numbers pass as they are; their texts are the system's own.
    void errorNumbers() {
        QCOMPARE(WsaFromErrno(0), 0);
        QCOMPARE(WsaFromErrno(ECONNREFUSED), 10061);
        QCOMPARE(WsaFromErrno(ENOBUFS), 10055);
        QCOMPARE(WsaFromGai(EAI_NONAME), 11001);
        QCOMPARE(WsaFromGai(WSAHOST_NOT_FOUND), 11001);
        QCOMPARE(WsaFromGai(WSATRY_AGAIN), 11002);
        for (const int number : {10061, 10060, 10054, 10065, 11001}) {
            wchar_t text[256];
            const DWORD length =
                ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, DWORD(number), 0, text, 256, nullptr);
            // Wine has no text for some of them: then neither has the program.
            QCOMPARE(SystemErrorText(number), QString::fromWCharArray(text, int(length)));
        }
        QVERIFY(!SystemErrorText(10061).isEmpty());
        QCOMPARE(SystemErrorText(Wsa::NoAddressSpecified), QStringLiteral("No address specified"));
    }
#else
    void errorNumbers() {
        QCOMPARE(WsaFromErrno(0), 0);
        QCOMPARE(WsaFromErrno(ECONNREFUSED), 10061);
        QCOMPARE(WsaFromErrno(ETIMEDOUT), 10060);
        QCOMPARE(WsaFromErrno(EHOSTUNREACH), 10065);
        QCOMPARE(WsaFromErrno(ENETUNREACH), 10051);
        QCOMPARE(WsaFromErrno(EADDRNOTAVAIL), 10049);
        QCOMPARE(WsaFromErrno(ECONNRESET), 10054);
        QCOMPARE(WsaFromErrno(EPIPE), 10054);
        QCOMPARE(WsaFromErrno(ECONNABORTED), 10053);
        QCOMPARE(WsaFromErrno(EWOULDBLOCK), 10035);
        QCOMPARE(WsaFromErrno(EINPROGRESS), 10036);
        QCOMPARE(WsaFromErrno(EINVAL), 10022);
        QCOMPARE(WsaFromErrno(EMFILE), 10024);
        QCOMPARE(WsaFromErrno(ENOBUFS), 10055);
        QCOMPARE(WsaFromErrno(ENOTCONN), 10057);
        QCOMPARE(WsaFromGai(EAI_NONAME), 11001);
        QCOMPARE(WsaFromGai(EAI_AGAIN), 11002);
        QCOMPARE(WsaFromGai(EAI_FAIL), 11003);
        QCOMPARE(WsaFromGai(EAI_NODATA), 11004);
        QCOMPARE(WsaFromGai(EAI_SYSTEM, ECONNREFUSED), 10061);

        // The text is the system's own, for the code the number came from.
        QCOMPARE(SystemErrorText(10061), QString::fromLocal8Bit(strerror(ECONNREFUSED)));
        QCOMPARE(SystemErrorText(10054), QString::fromLocal8Bit(strerror(ECONNRESET)));
        QCOMPARE(SystemErrorText(11001), QString::fromLocal8Bit(gai_strerror(EAI_NONAME)));
        QCOMPARE(SystemErrorText(11002), QString::fromLocal8Bit(gai_strerror(EAI_AGAIN)));

        // A code outside the table keeps its text and never lands on a Windows number.
        const int unknown = WsaFromErrno(ENOSPC);
        QVERIFY(unknown > 11999);
        QCOMPARE(SystemErrorText(unknown), QString::fromLocal8Bit(strerror(ENOSPC)));
        // The socket's own number names what went wrong.
        QCOMPARE(SystemErrorText(Wsa::NoAddressSpecified), QStringLiteral("No address specified"));
        QVERIFY(SystemErrorText(0).isEmpty());
    }
#endif

    void systemResolver() {
        SystemResolver system;
        QSignalSpy hosts(&system, &Resolver::hostFound);
        QSignalSpy services(&system, &Resolver::serviceFound);
        const quint64 local = system.lookupHost(QStringLiteral("localhost"));
        const quint64 longName = system.lookupHost(QString(65536, QLatin1Char('a')));
        const quint64 control = system.lookupHost(QStringLiteral("bad\x01\nname\t"));
        const quint64 v6 = system.lookupHost(QStringLiteral("::1"));
        const quint64 bracketed = system.lookupHost(QStringLiteral("[::1]"));
        const quint64 v4 = system.lookupHost(QStringLiteral("127.0.0.1"));
        const quint64 service = system.lookupService(QStringLiteral("http"));
        const quint64 noService = system.lookupService(QStringLiteral("no-such-service-vn"));
        QVERIFY(local != 0 && local != longName && longName != control && v6 != bracketed);
        QCOMPARE(hosts.count() + services.count(), 0); // answers always come later
        QTRY_COMPARE_WITH_TIMEOUT(hosts.count(), 6, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(services.count(), 2, 10000);

        QHash<quint64, QPair<int, QList<QHostAddress>>> answers;
        for (const QList<QVariant> &args : hosts)
            answers.insert(args[0].toULongLong(),
                           {args[1].toInt(), args[2].value<QList<QHostAddress>>()});
        // Every address of the hosts file, in its order; here at least 127.0.0.1.
        QCOMPARE(answers.value(local).first, 0);
        QVERIFY(answers.value(local).second.contains(QHostAddress(QStringLiteral("127.0.0.1"))));
        for (const QHostAddress &address : answers.value(local).second)
            QVERIFY2(address.isLoopback(), qPrintable(address.toString()));
        QCOMPARE(answers.value(longName), qMakePair(11001, QList<QHostAddress>()));
        QCOMPARE(answers.value(control), qMakePair(11001, QList<QHostAddress>()));
        const QList<QHostAddress> loopback6{QHostAddress(QHostAddress::LocalHostIPv6)};
        QCOMPARE(answers.value(v6), qMakePair(0, loopback6));
        QCOMPARE(answers.value(bracketed), qMakePair(0, loopback6));
        QCOMPARE(answers.value(v4),
                 qMakePair(0, QList<QHostAddress>{QHostAddress(QHostAddress::LocalHost)}));

        QHash<quint64, QPair<int, int>> ports;
        for (const QList<QVariant> &args : services)
            ports.insert(args[0].toULongLong(), {args[1].toInt(), args[2].toInt()});
        if (QFile::exists(QStringLiteral("/etc/services")))
            QCOMPARE(ports.value(service), qMakePair(0, 80));
        QCOMPARE(ports.value(noService).first, 10109);
    }

    void addressLiterals_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("address"); // empty: a name, left to the lookup
        QTest::newRow("IPv4") << "127.0.0.1"
                              << "127.0.0.1";
        QTest::newRow("IPv6") << "::1"
                              << "::1";
        QTest::newRow("IPv6 in brackets") << "[::1]"
                                          << "::1";
        QTest::newRow("long IPv6") << "[2001:DB8:0:0:0:0:0:1]"
                                   << "2001:db8::1";
        QTest::newRow("IPv4-mapped") << "::ffff:10.1.2.3"
                                     << "10.1.2.3";
        QTest::newRow("IPv6 any") << "::"
                                  << "::";
        QTest::newRow("IPv6 any in brackets") << "[::]"
                                              << "::";
        QTest::newRow("IPv4 any") << "0.0.0.0"
                                  << "0.0.0.0";
        QTest::newRow("IPv4 in brackets") << "[127.0.0.1]"
                                          << "";
        QTest::newRow("short IPv4") << "127.1"
                                    << "";
        QTest::newRow("scoped IPv6") << "fe80::1%lo"
                                     << "";
        QTest::newRow("open bracket") << "[::1"
                                      << "";
        QTest::newRow("blank after") << "::1 "
                                     << "";
        QTest::newRow("name") << "www.example.test"
                              << "";
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("brackets only") << "[]"
                                       << "";
    }

    // Which host texts are addresses the socket answers itself, without a lookup.
    void addressLiterals() {
        QFETCH(QString, text);
        QFETCH(QString, address);
        const std::optional<QHostAddress> literal = Resolver::addressLiteral(text);
        QCOMPARE(literal.has_value(), !address.isEmpty());
        if (literal)
            QCOMPARE(literal->toString(), address);
    }

    // Connect, write, read, disconnect: the order an HTTP ping sees.
    void httpSequence() {
        Probe p(resolver);
        QString peerAddress, peerName;
        p.onConnect = [&](TCustomWinSocket *conn) {
            peerAddress = conn->PeerAddress();
            peerName = conn->PeerHostName();
        };
        p.socket->SetHost(GoodHost);
        p.socket->SetPort(server->port());
        p.socket->SetActive(true);
        QVERIFY(!p.socket->Active()); // still resolving
        QVERIFY(p.socket->Connection()->LookupPending());
        QTRY_COMPARE(p.count("disconnect"), 1);

        QCOMPARE(p.events,
                 (QStringList{"lookup", "connecting", "connect", "write", "read", "disconnect"}));
        QCOMPARE(p.active, (QList<bool>{false, false, true, true, true, false}));
        QVERIFY(!p.handleOpen.contains(false));
        QCOMPARE(p.sendResults, QList<int>{int(Request.size())});
        QCOMPARE(p.received, Answer);
        QTRY_COMPARE(server->received(0), Request);
        QCOMPARE(resolver->requestedNames(), QStringList{GoodHost});
        QCOMPARE(peerAddress, QStringLiteral("127.0.0.1"));
        QCOMPARE(peerName, QStringLiteral("localhost"));

        QVERIFY(!p.socket->Active());
        QCOMPARE(p.socket->Connection()->Handle(), -1);
        QVERIFY(!p.socket->Connection()->Connected());
        QVERIFY(p.socket->Connection()->PeerAddress().isEmpty());
        settle();
        QCOMPARE(p.events.size(), 6);
        QVERIFY(p.exceptions.isEmpty());
    }

    void httpSequenceWithSystemResolver() {
        Probe p(Resolver::system());
        p.socket->SetHost(QStringLiteral("localhost"));
        p.socket->SetPort(server->port());
        p.socket->SetActive(true);
        QTRY_COMPARE_WITH_TIMEOUT(p.count("disconnect"), 1, 10000);
        QCOMPARE(p.events,
                 (QStringList{"lookup", "connecting", "connect", "write", "read", "disconnect"}));
        QCOMPARE(p.received, Answer);
    }

    // The component can be opened again after a close, each time on a new handle.
    void reusedForEveryAttempt() {
        Probe p(resolver);
        p.socket->SetHost(GoodHost);
        p.socket->SetPort(server->port());
        for (int attempt = 1; attempt <= 3; ++attempt) {
            p.socket->SetActive(true);
            QTRY_COMPARE(p.count("disconnect"), attempt);
        }
        QCOMPARE(p.count("connect"), 3);
        QCOMPARE(p.count("read"), 3);
        QCOMPARE(server->connectionCount(), 3);
        QCOMPARE(p.received, Answer + Answer + Answer);
    }

    void answerInTwoPartsGivesTwoReads() {
        TestTcpServer::Script script =
            TestTcpServer::Script::answer({"HTTP/1.0 200 OK\r\n", "Server: test\r\n\r\n"});
        script.manualChunks = true;
        server->setScript(script);
        Probe p(resolver);
        p.onRead = [&](TCustomWinSocket *conn) {
            p.readAll(conn);
            server->sendNextChunk(0);
        };
        p.socket->SetHost(GoodHost);
        p.socket->SetPort(server->port());
        p.socket->SetActive(true);
        QTRY_COMPARE(p.count("disconnect"), 1);
        QCOMPARE(p.events, (QStringList{"lookup", "connecting", "connect", "write", "read", "read",
                                        "disconnect"}));
        QCOMPARE(p.readResults, (QList<int>{17, 16}));
        QCOMPARE(p.received, QByteArray("HTTP/1.0 200 OK\r\nServer: test\r\n\r\n"));
    }

    void answerPacedByTimer() {
        server->setScript(TestTcpServer::Script::answer({"first\r\n", "second\r\n", "third"}));
        Probe p(resolver);
        p.socket->SetHost(GoodHost);
        p.socket->SetPort(server->port());
        p.socket->SetActive(true);
        QTRY_COMPARE(p.count("disconnect"), 1);
        QCOMPARE(p.count("read"), 3);
        QCOMPARE(p.received, QByteArray("first\r\nsecond\r\nthird"));
    }

    void bigAnswerWithNulBytes() {
        QByteArray big = TestTcpServer::bigAnswer(70 * 1024);
        big[100] = '\0';
        big[big.size() - 1] = '\0';
        server->setScript(TestTcpServer::Script::answer({big}));
        Probe p(resolver);
        p.socket->SetHost(GoodHost);
        p.socket->SetPort(server->port());
        p.socket->SetActive(true);
        QTRY_COMPARE(p.count("disconnect"), 1);
        QCOMPARE(p.received.size(), big.size());
        QCOMPARE(p.received, big);
        QVERIFY(p.count("read") >= 2); // more than one 64 KB buffer
    }

    // HTTPS: close inside OnConnect; the disconnect nests in the connect and nothing follows.
    void closeInsideConnect() {
        server->setScript(TestTcpServer::Script::neverAnswer());
        QSignalSpy clientClosed(server, &TestTcpServer::clientClosed);
        Probe p(resolver);
        p.onConnect = [&](TCustomWinSocket *conn) {
            conn->CloseConnection();
            p.events << QStringLiteral("connect returns");
            p.active << p.socket->Active();
            p.handleOpen << (conn->Handle() >= 0);
        };
        p.socket->SetHost(GoodHost);
        p.socket->SetPort(server->port());
        p.socket->SetActive(true);
        QTRY_COMPARE(p.count("connect returns"), 1);
        QVERIFY(clientClosed.wait(5000) || clientClosed.count() == 1);
        settle();
        QCOMPARE(p.events,
                 (QStringList{"lookup", "connecting", "connect", "disconnect", "connect returns"}));
        // OnDisconnect: Active already false, handle not yet closed.
        QCOMPARE(p.active, (QList<bool>{false, false, true, false, false}));
        QCOMPARE(p.handleOpen, (QList<bool>{true, true, true, true, false}));
        QCOMPARE(p.socket->Connection()->Handle(), -1);
        QVERIFY(server->received(0).isEmpty());
    }

    void connectionRefusedSwallowed() {
        Probe p(resolver);
        p.socket->SetHost(GoodHost);
        p.socket->SetPort(TestTcpServer::closedPort());
        p.socket->SetActive(true);
        QTRY_COMPARE(p.events.size(), 3);
        settle();
        QCOMPARE(p.events, (QStringList{"lookup", "connecting", "error eeConnect 10061"}));
        // Nobody closed: the handle stays, the component is not active.
        QVERIFY(p.socket->Connection()->Handle() >= 0);
        QVERIFY(!p.socket->Active());
        QVERIFY(!p.socket->Connection()->Connected());
        QVERIFY(p.exceptions.isEmpty());

        // Writing false changes nothing; closing raises the one disconnect of that handle.
        p.socket->SetActive(false);
        QVERIFY(p.socket->Connection()->Handle() >= 0);
        p.socket->Connection()->CloseConnection();
        p.socket->Connection()->CloseConnection();
        QCOMPARE(p.events.last(), QStringLiteral("disconnect"));
        QCOMPARE(p.count("disconnect"), 1);
        QCOMPARE(p.socket->Connection()->Handle(), -1);
    }

    // An error left unswallowed becomes the exception text, which reaches the component's
    // handlerException signal and not the event loop; the component goes on working afterwards.
    void unswallowedErrorsReachExceptionSignal() {
        Probe p(resolver);
        p.swallow = false;
        p.socket->SetHost(GoodHost);
        p.socket->SetPort(TestTcpServer::closedPort());
        p.socket->SetActive(true);
        QTRY_COMPARE(p.exceptions.size(), 1);
        QCOMPARE(p.exceptions.first(), QStringLiteral("Asynchronous socket error 10061"));
        QCOMPARE(p.events.last(), QStringLiteral("error eeConnect 10061"));

        // Without any OnError handler the number is left as it is, too.
        p.socket->OnError = nullptr;
        p.socket->Connection()->CloseConnection();
        p.socket->SetActive(true);
        QTRY_COMPARE(p.exceptions.size(), 2);
        QCOMPARE(p.exceptions.last(), QStringLiteral("Asynchronous socket error 10061"));

        p.socket->Connection()->CloseConnection();
        p.socket->SetPort(server->port());
        p.socket->SetActive(true);
        QTRY_COMPARE(p.count("read"), 1);
        QTRY_COMPARE(p.count("disconnect"), 3);
        QCOMPARE(p.exceptions.size(), 2);
    }

    void lookupFailure_data() {
        QTest::addColumn<int>("wsa");
        QTest::newRow("host not found") << 11001;
        QTest::newRow("try again") << 11002;
        QTest::newRow("no recovery") << 11003;
    }

    void lookupFailure() {
        QFETCH(int, wsa);
        const QString bad = QStringLiteral("bad.example.test");
        if (wsa != 11001) // unknown names answer 11001 by themselves
            resolver->addHostError(bad, wsa);

        Probe p(resolver);
        p.socket->SetHost(bad);
        p.socket->SetPort(server->port());
        p.socket->SetActive(true);
        QTRY_COMPARE(p.count("disconnect"), 1);
        settle();
        QCOMPARE(p.events, (QStringList{"lookup", QStringLiteral("error eeLookup %1").arg(wsa),
                                        "disconnect"}));
        QCOMPARE(p.handleOpen, (QList<bool>{true, true, true}));
        QCOMPARE(p.socket->Connection()->Handle(), -1);
        QVERIFY(!p.socket->Connection()->LookupPending());
        QVERIFY(p.exceptions.isEmpty());
        QCOMPARE(server->connectionCount(), 0);

        // Left unswallowed: the platform text, the number and the operation.
        p.swallow = false;
        p.socket->SetActive(true);
        QTRY_COMPARE(p.exceptions.size(), 1);
        QCOMPARE(p.exceptions.first(),
                 QStringLiteral("Windows socket error: %1 (%2), on API 'ASync "
                                "Lookup'")
                     .arg(SystemErrorText(wsa))
                     .arg(wsa));
        QVERIFY(!SystemErrorText(wsa).isEmpty());
        QCOMPARE(p.count("disconnect"), 2); // closed before the exception
    }

    // After a lookup error the component closes whatever handle is current, even one the
    // error handler opened meanwhile.
    void lookupErrorClosesCurrentHandle() {
        Probe p(resolver);
        p.onError = [&](TErrorEvent, int &code) {
            code = 0;
            if (p.count("lookup") == 1) {
                p.socket->SetHost(GoodHost);
                p.socket->SetActive(true);
            }
        };
        p.socket->SetHost(QStringLiteral("unknown.example.test"));
        p.socket->SetPort(server->port());
        p.socket->SetActive(true);
        QTRY_COMPARE(p.count("disconnect"), 1);
        QTRY_COMPARE(resolver->answerCount(), 2);
        settle();
        QCOMPARE(p.events, (QStringList{"lookup", "error eeLookup 11001", "lookup", "disconnect"}));
        QCOMPARE(p.socket->Connection()->Handle(), -1);
        QCOMPARE(server->connectionCount(), 0);
    }

    void cancelDuringLookup() {
        resolver->addHost(QStringLiteral("held.example.test"), QStringLiteral("127.0.0.1"),
                          TableResolver::Held);
        Probe p(resolver);
        p.socket->SetHost(QStringLiteral("held.example.test"));
        p.socket->SetPort(server->port());
        p.socket->SetActive(true);
        QVERIFY(p.socket->Connection()->LookupPending());
        QVERIFY(p.socket->Connection()->Handle() >= 0);

        // Writing false while resolving does nothing.
        p.socket->SetActive(false);
        QVERIFY(p.socket->Connection()->LookupPending());
        QCOMPARE(p.events, QStringList{"lookup"});

        p.socket->Connection()->CloseConnection();
        QCOMPARE(p.events, (QStringList{"lookup", "disconnect"}));
        QVERIFY(!p.socket->Connection()->LookupPending());
        QCOMPARE(p.socket->Connection()->Handle(), -1);

        // The answer still comes, and is ignored.
        resolver->releaseAll();
        QTRY_COMPARE(resolver->answerCount(), 1);
        settle();
        QCOMPARE(p.events, (QStringList{"lookup", "disconnect"}));
        QCOMPARE(server->connectionCount(), 0);
    }

    // Opening again while the earlier attempt still resolves drops the earlier one.
    void reopenWhileResolving() {
        resolver->addHost(QStringLiteral("held.example.test"), QStringLiteral("127.0.0.1"),
                          TableResolver::Held);
        Probe p(resolver);
        p.socket->SetHost(QStringLiteral("held.example.test"));
        p.socket->SetPort(server->port());
        p.socket->SetActive(true);
        p.socket->SetActive(true);
        QCOMPARE(resolver->heldCount(), 2);
        resolver->releaseAll();
        QTRY_COMPARE(p.count("disconnect"), 1);
        settle();
        QCOMPARE(p.events, (QStringList{"lookup", "lookup", "connecting", "connect", "write",
                                        "read", "disconnect"}));
        QCOMPARE(server->connectionCount(), 1);
    }

    void settersWhileActive() {
        server->setScript(TestTcpServer::Script::neverAnswer());
        Probe p(resolver);
        p.request.clear();
        p.socket->SetHost(GoodHost);
        p.socket->SetPort(server->port());
        p.socket->SetActive(true);
        QTRY_VERIFY(p.socket->Active());

        const QString refused = QStringLiteral("Can't change value while socket is active");
        const auto expectRefusal = [&](const std::function<void()> &change) {
            try {
                change();
                QFAIL("no exception");
            } catch (const ESocketError &e) {
                QCOMPARE(e.Message(), refused);
            }
        };
        expectRefusal([&] { p.socket->SetHost(QStringLiteral("other.example.test")); });
        expectRefusal([&] { p.socket->SetPort(server->port() + 1); });
        expectRefusal([&] { p.socket->SetAddress(QStringLiteral("127.0.0.2")); });
        expectRefusal([&] { p.socket->SetService(QStringLiteral("http")); });
        expectRefusal([&] { p.socket->SetClientType(ctBlocking); });

        // Equal values, also in another letter case, change nothing and raise nothing.
        p.socket->SetHost(QStringLiteral("WWW.Example.TEST"));
        p.socket->SetPort(server->port());
        p.socket->SetAddress(QString());
        p.socket->SetService(QString());
        p.socket->SetClientType(ctNonBlocking);
        p.socket->SetActive(true);
        QCOMPARE(p.socket->Host(), GoodHost);
        QCOMPARE(p.socket->Port(), int(server->port()));
        QVERIFY(p.socket->Active());

        // Writing false closes.
        p.socket->SetActive(false);
        QCOMPARE(p.events.last(), QStringLiteral("disconnect"));
        QVERIFY(!p.socket->Active());
        p.socket->SetHost(QStringLiteral("other.example.test"));
        QCOMPARE(p.socket->Host(), QStringLiteral("other.example.test"));
    }

    void settersWhileConnecting() {
        resolver->addHost(QStringLiteral("held.example.test"), QStringLiteral("127.0.0.1"),
                          TableResolver::Held);
        Probe p(resolver);
        p.socket->SetHost(QStringLiteral("held.example.test"));
        p.socket->SetPort(server->port());
        p.socket->SetActive(true);

        // Accepted during the lookup, used only by the next opening.
        p.socket->SetHost(GoodHost);
        p.socket->SetPort(1);
        QCOMPARE(p.socket->Host(), GoodHost);
        QCOMPARE(p.socket->Port(), 1);
        resolver->releaseAll();
        QTRY_COMPARE(p.count("disconnect"), 1);
        QCOMPARE(p.count("read"), 1);
        QCOMPARE(server->connectionCount(), 1);
        QCOMPARE(resolver->requestedNames(), QStringList{"held.example.test"});

        // A case-only change keeps the stored text.
        p.socket->SetHost(QStringLiteral("WWW.EXAMPLE.TEST"));
        QCOMPARE(p.socket->Host(), GoodHost);
    }

    void sendAndReceiveWhenNotConnected() {
        resolver->addHost(QStringLiteral("held.example.test"), QStringLiteral("127.0.0.1"),
                          TableResolver::Held);
        Probe p(resolver);
        TCustomWinSocket *conn = p.socket->Connection();
        QByteArray buffer(16, 'x');
        QCOMPARE(conn->SendString(QStringLiteral("abc")), 0);
        QCOMPARE(conn->SendBytes("abc", 3), 0);
        QCOMPARE(conn->ReceiveBytes(buffer.data(), int(buffer.size())), 0);
        QCOMPARE(buffer, QByteArray(16, 'x'));
        QVERIFY(conn->PeerAddress().isEmpty());
        QVERIFY(conn->PeerHostName().isEmpty());

        p.socket->SetHost(QStringLiteral("held.example.test"));
        p.socket->SetActive(true);
        QCOMPARE(conn->SendString(QStringLiteral("abc")), 0);
        QCOMPARE(conn->ReceiveBytes(buffer.data(), int(buffer.size())), 0);
        QCOMPARE(buffer, QByteArray(16, 'x'));
        QVERIFY(p.events == QStringList{"lookup"});
    }

    void receiveWithNothingWaiting() {
        server->setScript(TestTcpServer::Script::neverAnswer());
        Probe p(resolver);
        p.request.clear();
        p.socket->SetHost(GoodHost);
        p.socket->SetPort(server->port());
        p.socket->SetActive(true);
        QTRY_COMPARE(p.count("write"), 1);
        QByteArray buffer(16, 'x');
        QCOMPARE(p.socket->Connection()->ReceiveBytes(buffer.data(), int(buffer.size())), -1);
        QCOMPARE(buffer, QByteArray(16, 'x'));
        QCOMPARE(p.socket->Connection()->SendString(QStringLiteral("ping\r\n\r\n")), 8);
        QTRY_COMPARE(server->received(0), QByteArray("ping\r\n\r\n"));
        QVERIFY(p.socket->Active());
    }

    void noAddressSpecified() {
        Probe p(resolver);
        p.socket->SetPort(server->port());
        p.socket->SetActive(true); // swallowed: no exception
        QCOMPARE(p.events, (QStringList{"lookup", "error eeLookup 1110", "disconnect"}));
        QCOMPARE(p.socket->Connection()->Handle(), -1);

        // Left unswallowed, the exception reaches the caller of the opening.
        p.swallow = false;
        try {
            p.socket->SetActive(true);
            QFAIL("no exception");
        } catch (const ESocketError &e) {
            QCOMPARE(e.Message(), QStringLiteral("No address specified"));
        }
        QCOMPARE(p.count("disconnect"), 2);
        QCOMPARE(p.socket->Connection()->Handle(), -1);
        QCOMPARE(resolver->requestCount(), 0);
        QVERIFY(p.exceptions.isEmpty());
    }

    void absurdHosts_data() {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("system");
        const QString huge(65536, QLatin1Char('h'));
        QString control;
        for (int c = 1; c < 32; ++c)
            control += QChar(c);
        control += QStringLiteral("www.example.test\x7f");
        QTest::newRow("64 KB, table") << huge << false;
        QTest::newRow("control characters, table") << control << false;
        QTest::newRow("64 KB, system") << huge << true;
        QTest::newRow("control characters, system") << control << true;
        QTest::newRow("embedded NUL, system")
            << QStringLiteral("localhost") + QChar(0) + "x" << true;
    }

    // Such names reach the component and fail through OnError, never by a crash or a hang.
    void absurdHosts() {
        QFETCH(QString, host);
        QFETCH(bool, system);
        Probe p(system ? Resolver::system() : resolver);
        p.socket->SetHost(host);
        p.socket->SetPort(server->port());
        p.socket->SetActive(true);
        QTRY_COMPARE_WITH_TIMEOUT(p.count("disconnect"), 1, 10000);
        QCOMPARE(p.events, (QStringList{"lookup", "error eeLookup 11001", "disconnect"}));
        QCOMPARE(server->connectionCount(), 0);
    }

#ifndef Q_OS_WIN // Windows has no per-process limit on handles to lower
    void noSocketLeft() {
        Probe p(resolver);
        p.socket->SetHost(GoodHost);
        p.socket->SetPort(server->port());
        rlimit saved{};
        QCOMPARE(getrlimit(RLIMIT_NOFILE, &saved), 0);
        rlimit none = saved;
        none.rlim_cur = 0; // no descriptor can be created
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &none), 0);
        QString message;
        try {
            p.socket->SetActive(true);
        } catch (const ESocketError &e) {
            message = e.Message();
        }
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &saved), 0);
        QCOMPARE(message, QStringLiteral("Can't create new socket"));
        QVERIFY(p.events.isEmpty());
        QCOMPARE(p.socket->Connection()->Handle(), -1);

        p.socket->SetActive(true); // and it works again once descriptors are free
        QTRY_COMPARE(p.count("disconnect"), 1);
    }
#endif

    void portUsesLow16Bits() {
        Probe p(resolver);
        p.socket->SetHost(GoodHost);
        p.socket->SetPort(server->port() + 0x30000);
        p.socket->SetActive(true);
        QTRY_COMPARE(p.count("disconnect"), 1);
        QCOMPARE(p.count("read"), 1);
        QCOMPARE(p.socket->Port(), server->port() + 0x30000);
    }

    void connectByAddressAndService() {
        resolver->addService(QStringLiteral("test-http"), server->port());
        Probe p(resolver);
        p.socket->SetAddress(QStringLiteral("127.0.0.1"));
        p.socket->SetService(QStringLiteral("test-http"));
        p.socket->SetPort(1); // the service takes precedence
        p.socket->SetActive(true);
        QTRY_COMPARE(p.count("disconnect"), 1);
        QCOMPARE(p.count("read"), 1);
        QCOMPARE(resolver->requestedNames(), QStringList{"test-http"});

        // An unknown service fails like a host.
        p.socket->SetService(QStringLiteral("nothing"));
        p.socket->SetActive(true);
        QTRY_COMPARE(p.count("disconnect"), 2);
        QCOMPARE(p.events.mid(p.events.size() - 3),
                 (QStringList{"lookup", "error eeLookup 10109", "disconnect"}));
    }

    void addressWithoutPeer_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("wsa"); // 0: whatever the system reports
        QTest::newRow("any") << "0.0.0.0" << 10049;
        QTest::newRow("IPv6 any") << "::" << 10049;
        QTest::newRow("IPv6 any in brackets") << "[::]" << 10049;
        QTest::newRow("unreadable") << "not an address" << 0;
    }

    // Addresses no peer can have fail through OnError as a connect error.
    void addressWithoutPeer() {
        QFETCH(QString, address);
        QFETCH(int, wsa);
        Probe p(resolver);
        p.socket->SetAddress(address);
        p.socket->SetPort(server->port());
        p.socket->SetActive(true);
        QTRY_COMPARE(p.events.size(), 3);
        QCOMPARE(p.events.mid(0, 2), (QStringList{"lookup", "connecting"}));
        QVERIFY(p.events[2].startsWith("error eeConnect "));
        if (wsa != 0)
            QCOMPARE(p.events[2], QStringLiteral("error eeConnect %1").arg(wsa));
        settle();
        QCOMPARE(p.events.size(), 3);
        QCOMPARE(server->connectionCount(), 0);
        QVERIFY(resolver->requestedNames().isEmpty());
    }

    void disconnectOncePerHandle() {
        server->setScript(TestTcpServer::Script::neverAnswer());
        Probe p(resolver);
        p.request.clear();
        p.onDisconnect = [&](TCustomWinSocket *conn) {
            conn->CloseConnection(); // nested: no second event
            p.socket->SetActive(false);
        };
        p.socket->SetHost(GoodHost);
        p.socket->SetPort(server->port());
        p.socket->SetActive(true);
        QTRY_COMPARE(p.count("write"), 1);
        p.socket->Connection()->CloseConnection();
        p.socket->Connection()->CloseConnection();
        p.socket->SetActive(false);
        QCOMPARE(p.count("disconnect"), 1);
        QCOMPARE(p.socket->Connection()->Handle(), -1);

        // The peer's close after an orderly end is the same single event.
        server->setScript(TestTcpServer::Script::answer({Answer}));
        p.request = Request;
        p.onDisconnect = nullptr;
        p.socket->SetActive(true);
        QTRY_COMPARE(p.count("disconnect"), 2);
        settle();
        p.socket->Connection()->CloseConnection();
        QCOMPARE(p.count("disconnect"), 2);
    }

    // A read handler that does not read gets no second event (no busy loop); the next
    // receive asks for the following report.
    void readHandlerThatDoesNotRead() {
        Probe p(resolver);
        p.onRead = [](TCustomWinSocket *) {};
        p.socket->SetHost(GoodHost);
        p.socket->SetPort(server->port());
        p.socket->SetActive(true);
        QTRY_COMPARE(p.count("read"), 1);
        QTRY_VERIFY(server->chunksSent(0) == 1);
        settle();
        QCOMPARE(p.count("read"), 1);
        QCOMPARE(p.count("disconnect"), 0);

        p.readAll(p.socket->Connection());
        QCOMPARE(p.received, Answer);
        QTRY_COMPARE(p.count("disconnect"), 1);
        QCOMPARE(p.count("read"), 1);
    }

    // Writable is reported once after the connect, then again only after a send that
    // would block, once room is free.
    void writeAgainAfterWouldBlock() {
        TestTcpServer::Script script = TestTcpServer::Script::neverAnswer();
        script.pauseReading = true;
        server->setScript(script);
        Probe p(resolver);
        p.request.clear();
        p.socket->SetHost(GoodHost);
        p.socket->SetPort(server->port());
        p.socket->SetActive(true);
        QTRY_COMPARE(p.count("write"), 1);
        settle();
        QCOMPARE(p.count("write"), 1);

        const QByteArray block(65536, 'b');
        qint64 total = 0;
        int result = 0;
        for (int i = 0; i < 10000; ++i) {
            result = p.socket->Connection()->SendBytes(block.constData(), int(block.size()));
            if (result < 0)
                break;
            total += result;
        }
        QCOMPARE(result, -1);
        settle();
        QCOMPARE(p.count("write"), 1);

        server->resumeReading(0);
        QTRY_COMPARE_WITH_TIMEOUT(p.count("write"), 2, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(server->received(0).size(), total, 10000);
        settle();
        QCOMPARE(p.count("write"), 2);
        QCOMPARE(p.count("error eeSend 10054"), 0);
    }

    // A reset from the peer: a close notification with an error, then a send that fails.
    void peerResetAndSendError() {
        server->setScript(TestTcpServer::Script::neverAnswer());
        Probe p(resolver);
        p.request.clear();
        p.socket->SetHost(GoodHost);
        p.socket->SetPort(server->port());
        p.socket->SetActive(true);
        QTRY_COMPARE(p.count("write"), 1);
        QTRY_COMPARE(server->connectionCount(), 1);
        server->resetConnection(0);
        QTRY_COMPARE(p.count("error eeDisconnect 10054"), 1);
        // Swallowed and not closed: nothing else happens.
        QVERIFY(p.socket->Connection()->Handle() >= 0);
        QCOMPARE(p.count("disconnect"), 0);

        // The peer can no longer be named.
        try {
            p.socket->Connection()->PeerAddress();
            QFAIL("no exception");
        } catch (const ESocketError &e) {
            QCOMPARE(e.Message(),
                     QStringLiteral("Windows socket error: %1 (10057), on API 'getpeername'")
                         .arg(SystemErrorText(10057)));
        }

        QCOMPARE(p.socket->Connection()->SendString(QStringLiteral("x")), -1);
        QCOMPARE(p.events.mid(p.events.size() - 2),
                 (QStringList{"error eeSend 10054", "disconnect"}));
        QCOMPARE(p.socket->Connection()->Handle(), -1);
    }

    void unswallowedSendErrorPropagatesToCaller() {
        server->setScript(TestTcpServer::Script::neverAnswer());
        Probe p(resolver);
        p.request.clear();
        p.socket->SetHost(GoodHost);
        p.socket->SetPort(server->port());
        p.socket->SetActive(true);
        QTRY_COMPARE(p.count("write"), 1);
        QTRY_COMPARE(server->connectionCount(), 1);
        server->resetConnection(0);
        QTRY_COMPARE(p.count("error eeDisconnect 10054"), 1);
        p.swallow = false;
        try {
            p.socket->Connection()->SendString(QStringLiteral("x"));
            QFAIL("no exception");
        } catch (const ESocketError &e) {
            QCOMPARE(e.Message(), QStringLiteral("Windows socket error: %1 (10054), on API 'send'")
                                      .arg(SystemErrorText(10054)));
        }
        QCOMPARE(p.count("disconnect"), 1);
        QVERIFY(p.exceptions.isEmpty());
    }

    // An exception escaping a handler arrives as handlerException, not at the application
    // handler; later notifications are still processed and the component stays usable.
    void exceptionFromHandler() {
        Probe p(resolver);
        QSignalSpy spy(p.socket.get(), &TClientSocket::handlerException);
        p.onConnect = [](TCustomWinSocket *) {
            throw std::runtime_error("connect handler failed");
        };
        p.onDisconnect = [](TCustomWinSocket *) {
            throw ESocketError(QStringLiteral("disconnect handler failed"));
        };
        p.socket->SetHost(GoodHost);
        p.socket->SetPort(server->port());
        p.socket->SetActive(true);
        QTRY_COMPARE(p.count("disconnect"), 1);
        QTRY_COMPARE(spy.count(), 2);
        QCOMPARE(p.exceptions,
                 (QStringList{"connect handler failed", "disconnect handler failed"}));
        // The exception itself, with its type, not only its text.
        const auto error = spy[0][0].value<std::exception_ptr>();
        QVERIFY(error);
        try {
            std::rethrow_exception(error);
        } catch (const std::runtime_error &e) {
            QCOMPARE(QByteArray(e.what()), QByteArray("connect handler failed"));
        } catch (...) {
            QFAIL("not the handler's exception");
        }
        QCOMPARE(p.events, FullSequence);
        // The failing disconnect handler did not keep the handle open.
        QCOMPARE(p.socket->Connection()->Handle(), -1);
        QVERIFY(!p.socket->Active());

        // Nor does a failing error handler after a lookup error.
        p.onDisconnect = nullptr;
        p.onError = [](TErrorEvent, int &) { throw std::runtime_error("error handler failed"); };
        p.socket->SetHost(QStringLiteral("unknown.example.test"));
        p.socket->SetActive(true);
        QTRY_COMPARE(spy.count(), 3);
        QCOMPARE(p.exceptions.last(), QStringLiteral("error handler failed"));
        QCOMPARE(p.events.mid(6), (QStringList{"lookup", "error eeLookup 11001", "disconnect"}));
        QCOMPARE(p.socket->Connection()->Handle(), -1);

        // The same component then completes an attempt without any further report.
        p.onConnect = nullptr;
        p.onError = nullptr;
        p.socket->SetHost(GoodHost);
        p.socket->SetActive(true);
        QTRY_COMPARE(p.count("disconnect"), 3);
        QCOMPARE(p.events.mid(9), FullSequence);
        QCOMPARE(p.received, Answer + Answer);
        settle();
        QCOMPARE(spy.count(), 3);
    }

    // ---- both address families ----

    // A name with only an IPv6 address connects on a handle of that family.
    void nameWithIPv6AddressOnly() {
        TestTcpServer v6;
        v6.setScript(TestTcpServer::Script::answer({Answer}));
        if (!v6.listen(QHostAddress(QHostAddress::LocalHostIPv6)))
            QSKIP(NoIPv6);
        resolver->addHost(QStringLiteral("v6only.test"), QStringLiteral("::1"));
        Probe p(resolver);
        QString peerAddress, peerName = QStringLiteral("(not asked)");
        int family = 0;
        p.onConnect = [&](TCustomWinSocket *conn) {
            peerAddress = conn->PeerAddress();
            peerName = conn->PeerHostName();
            family = FamilyOf(conn->Handle());
        };
        p.socket->SetHost(QStringLiteral("v6only.test"));
        p.socket->SetPort(v6.port());
        p.socket->SetActive(true);
        QTRY_COMPARE(p.count("disconnect"), 1);
        QCOMPARE(p.events, FullSequence);
        QCOMPARE(p.received, Answer);
        QTRY_COMPARE(v6.received(0), Request);
        QCOMPARE(family, AF_INET6);
        QCOMPARE(peerAddress, QStringLiteral("::1"));
        // A loopback peer is named by the hosts file alone, never by a name server.
        QCOMPARE(peerName, NameInHostsFile(QHostAddress(QHostAddress::LocalHostIPv6)));
        QCOMPARE(resolver->requestedNames(), QStringList{"v6only.test"});
        QVERIFY(p.socket->Connection()->PeerAddress().isEmpty());
        QVERIFY(p.socket->Connection()->PeerHostName().isEmpty());
        QVERIFY(p.exceptions.isEmpty());
    }

    void addressLiteralHosts_data() {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("peer");
        QTest::newRow("IPv6") << "::1"
                              << "::1";
        QTest::newRow("IPv6 in brackets") << "[::1]"
                                          << "::1";
        QTest::newRow("IPv4") << "127.0.0.1"
                              << "127.0.0.1";
    }

    // An address as host is answered by the component itself, later, as a lookup is.
    void addressLiteralHosts() {
        QFETCH(QString, host);
        QFETCH(QString, peer);
        TestTcpServer v6;
        v6.setScript(TestTcpServer::Script::answer({Answer}));
        const bool ipv6 = peer.contains(QLatin1Char(':'));
        if (ipv6 && !v6.listen(QHostAddress(QHostAddress::LocalHostIPv6)))
            QSKIP(NoIPv6);
        Probe p(resolver);
        QString peerAddress;
        p.onConnect = [&](TCustomWinSocket *conn) { peerAddress = conn->PeerAddress(); };
        p.socket->SetHost(host);
        p.socket->SetPort(ipv6 ? v6.port() : server->port());
        p.socket->SetActive(true);
        QCOMPARE(p.events, QStringList{"lookup"});
        QVERIFY(p.socket->Connection()->LookupPending());
        QTRY_COMPARE(p.count("disconnect"), 1);
        QCOMPARE(p.events, FullSequence);
        QCOMPARE(p.received, Answer);
        QCOMPARE(peerAddress, peer);
        QCOMPARE(resolver->requestCount(), 0);
        QCOMPARE(ipv6 ? v6.connectionCount() : server->connectionCount(), 1);
    }

    void unspecifiedHosts_data() {
        QTest::addColumn<QString>("host");
        QTest::newRow("IPv4 any") << "0.0.0.0";
        QTest::newRow("IPv6 any") << "::";
        QTest::newRow("IPv6 any in brackets") << "[::]";
        QTest::newRow("IPv4-mapped any") << "::ffff:0.0.0.0";
    }

    // No peer has the unspecified address of either family: refused as a connect error.
    void unspecifiedHosts() {
        QFETCH(QString, host);
        Probe p(resolver);
        p.socket->SetHost(host);
        p.socket->SetPort(server->port());
        p.socket->SetActive(true);
        QTRY_COMPARE(p.events.size(), 3);
        settle();
        QCOMPARE(p.events, (QStringList{"lookup", "connecting", "error eeConnect 10049"}));
        QCOMPARE(resolver->requestCount(), 0);
        QCOMPARE(server->connectionCount(), 0);
    }

    void nextAddressAfterFailure_data() {
        QTest::addColumn<QStringList>("addresses");
        QTest::addColumn<bool>("ipv6Server");
        QTest::addColumn<QString>("peer");
        QTest::newRow("second IPv4 address")
            << QStringList{"127.0.0.2", "127.0.0.1"} << false << "127.0.0.1";
        QTest::newRow("IPv6 refused, then IPv4")
            << QStringList{"::1", "127.0.0.1"} << false << "127.0.0.1";
        QTest::newRow("IPv4 refused, then IPv6")
            << QStringList{"127.0.0.2", "::1"} << true << "::1";
        QTest::newRow("unspecified, then refused, then IPv4")
            << QStringList{"0.0.0.0", "127.0.0.3", "127.0.0.1"} << false << "127.0.0.1";
    }

    // An address that fails is left silently for the next one: one connect, no error, and no
    // handle of the failed addresses left open.
    void nextAddressAfterFailure() {
        QFETCH(QStringList, addresses);
        QFETCH(bool, ipv6Server);
        QFETCH(QString, peer);
        TestTcpServer v6;
        v6.setScript(TestTcpServer::Script::answer({Answer}));
        if (ipv6Server && !v6.listen(QHostAddress(QHostAddress::LocalHostIPv6)))
            QSKIP(NoIPv6);
        resolver->addHost(QStringLiteral("both.test"), addresses);
        const int descriptors = OpenDescriptors();
        Probe p(resolver);
        QString peerAddress;
        int family = 0;
        p.onConnect = [&](TCustomWinSocket *conn) {
            peerAddress = conn->PeerAddress();
            family = FamilyOf(conn->Handle());
        };
        p.socket->SetHost(QStringLiteral("both.test"));
        p.socket->SetPort(ipv6Server ? v6.port() : server->port());
        p.socket->SetActive(true);
        QTRY_COMPARE(p.count("disconnect"), 1);
        settle();
        QCOMPARE(p.events, FullSequence);
        QCOMPARE(p.received, Answer);
        QCOMPARE(peerAddress, peer);
        QCOMPARE(family, ipv6Server ? AF_INET6 : AF_INET);
        QCOMPARE(ipv6Server ? v6.connectionCount() : server->connectionCount(), 1);
        QCOMPARE(resolver->requestCount(), 1);
        QCOMPARE(OpenDescriptors(), descriptors);
    }

    void everyAddressFails_data() {
        QTest::addColumn<QStringList>("addresses");
        QTest::addColumn<QString>("error");
        QTest::newRow("both refuse")
            << QStringList{"127.0.0.2", "127.0.0.1"} << "error eeConnect 10061";
        QTest::newRow("unspecified, then refused")
            << QStringList{"0.0.0.0", "127.0.0.1"} << "error eeConnect 10061";
        QTest::newRow("refused, then unspecified")
            << QStringList{"127.0.0.1", "::"} << "error eeConnect 10049";
    }

    // Only the last address's error is reported, once; its handle stays until closed, the
    // earlier ones are gone.
    void everyAddressFails() {
        QFETCH(QStringList, addresses);
        QFETCH(QString, error);
        resolver->addHost(QStringLiteral("both.test"), addresses);
        const int descriptors = OpenDescriptors();
        Probe p(resolver);
        p.socket->SetHost(QStringLiteral("both.test"));
        p.socket->SetPort(TestTcpServer::closedPort());
        p.socket->SetActive(true);
        QTRY_COMPARE(p.events.size(), 3);
        settle();
        QCOMPARE(p.events, (QStringList{"lookup", "connecting", error}));
        QCOMPARE(p.handleOpen, (QList<bool>{true, true, true}));
        QVERIFY(!p.socket->Active());
        QCOMPARE(OpenDescriptors(), descriptors + 1);

        p.socket->Connection()->CloseConnection();
        QCOMPARE(p.events.last(), QStringLiteral("disconnect"));
        QCOMPARE(p.count("disconnect"), 1);
        QCOMPARE(OpenDescriptors(), descriptors);
    }

    // Closing while the first of several addresses connects ends the attempt: no later
    // address is tried and nothing follows.
    void closeWhileConnectingToSeveralAddresses() {
        server->setScript(TestTcpServer::Script::neverAnswer());
        resolver->addHost(QStringLiteral("both.test"), QStringList{"127.0.0.2", "127.0.0.1"});
        const int descriptors = OpenDescriptors();
        Probe p(resolver);
        p.onConnecting = [&](TCustomWinSocket *) {
            // Runs before the first address's completion is reported.
            QMetaObject::invokeMethod(
                p.socket.get(), [&] { p.socket->Connection()->CloseConnection(); },
                Qt::QueuedConnection);
        };
        p.socket->SetHost(QStringLiteral("both.test"));
        p.socket->SetPort(server->port());
        p.socket->SetActive(true);
        QTRY_COMPARE(p.count("disconnect"), 1);
        settle();
        QCOMPARE(p.events, (QStringList{"lookup", "connecting", "disconnect"}));
        QCOMPARE(p.socket->Connection()->Handle(), -1);
        QCOMPARE(server->connectionCount(), 0);
        QCOMPARE(OpenDescriptors(), descriptors);
    }

    void destroyedInsideHandler_data() {
        QTest::addColumn<QString>("event");
        QTest::newRow("lookup") << "lookup";
        QTest::newRow("connect") << "connect";
        QTest::newRow("write") << "write";
        QTest::newRow("read") << "read";
        QTest::newRow("disconnect") << "disconnect";
        QTest::newRow("error") << "error";
    }

    void destroyedInsideHandler() {
        QFETCH(QString, event);
        Probe p(resolver);
        const auto destroy = [&](TCustomWinSocket *) { p.socket.reset(); };
        if (event == "lookup")
            p.onLookup = destroy;
        else if (event == "connect")
            p.onConnect = destroy;
        else if (event == "write")
            p.onWrite = destroy;
        else if (event == "read")
            p.onRead = destroy;
        else if (event == "disconnect")
            p.onDisconnect = destroy;
        else
            p.onError = [&](TErrorEvent, int &) { p.socket.reset(); };
        p.socket->SetHost(event == "error" ? QStringLiteral("unknown.example.test") : GoodHost);
        p.socket->SetPort(server->port());
        p.socket->SetActive(true);
        QTRY_VERIFY(!p.socket);
        settle();
        QCOMPARE(p.events.last().section(' ', 0, 0), event);
        QVERIFY(p.exceptions.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestSocket)
#include "test_socket.moc"
