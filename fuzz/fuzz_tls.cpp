#include "net/TlsClient.h"

#include <cstddef>
#include <cstdint>

// The server's side of a TLS check, as any bytes: the handshake ends established or failed
// with a reason in plain words, never in a crash, a hang or a leak. The first byte splits the
// rest into the pieces a socket would deliver.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static TlsContext context; // the authorities are loaded once, as in the program
    if (size == 0)
        return 0;
    const size_t piece = size_t(data[0]) * 16 + 1;
    const char *bytes = reinterpret_cast<const char *>(data + 1);
    const size_t length = size - 1;
    TlsClient client(context,
                     (data[0] & 1) ? QStringLiteral("localhost") : QStringLiteral("127.0.0.1"));
    client.Advance();
    if (client.TakeOutgoing().isEmpty() && client.CurrentState() != TlsClient::State::Failed)
        __builtin_trap(); // the client speaks first
    for (size_t at = 0; at < length && client.CurrentState() == TlsClient::State::Handshaking;
         at += piece) {
        client.Feed(bytes + at, qsizetype(length - at < piece ? length - at : piece));
        client.Advance();
        client.TakeOutgoing();
    }
    if (client.CurrentState() == TlsClient::State::Established) {
        client.Write(QByteArrayLiteral("HEAD / HTTP/1.0\r\n\r\n"));
        client.TakeOutgoing();
        client.Read();
    }
    client.FeedEnd();
    client.Advance();
    if (client.CurrentState() == TlsClient::State::Handshaking)
        __builtin_trap(); // the end of the input ends the handshake
    if (client.CurrentState() == TlsClient::State::Failed) {
        const QString why = client.ErrorText();
        if (why != QLatin1String("Certificate has expired") &&
            why != QLatin1String("Host name mismatch") &&
            why != QLatin1String("Self-signed certificate") &&
            !why.startsWith(QLatin1String("TLS handshake failed: ")))
            __builtin_trap();
    }
    return 0;
}
