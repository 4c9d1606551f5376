#pragma once

// The one way tests reach a ping engine's private state and handlers: the engine names this
// class its friend. Reads and writes go through references, as they would on the members.

#include "engine/PingEngine.h"

class EngineProbe {
public:
    explicit EngineProbe(PingEngine *engine) : e(engine) {}
    explicit EngineProbe(PingEngine &engine) : e(&engine) {}

    TClientSocket *ClientSocket() const { return e->ClientSocket; }
    quint32 &AttemptCount() const { return e->AttemptCount; }
    bool &PingBusy() const { return e->PingBusy; }
    TPingOutcome &PingOutcome() const { return e->PingOutcome; }
    bool &LastErrorWasLookup() const { return e->LastErrorWasLookup; }
    const QElapsedTimer &PingStartTime() const { return e->PingStartTime; }
    TIdSMTP &IdSMTP() const { return e->IdSMTP; }
    TIdMessage &IdMessage() const { return e->IdMessage; }
    const QString &TargetAddress() const { return e->TargetAddress; }
    const QString &TargetHost() const { return e->TargetHost; }
    const QString &TargetPath() const { return e->TargetPath; }
    int TargetPort() const { return e->TargetPort; }

    void ClientSocketError(QObject *sender, TCustomWinSocket *socket, TErrorEvent event,
                           int &code) const {
        e->ClientSocketError(sender, socket, event, code);
    }
    void actCancelExecute() const { e->actCancelExecute(); }

private:
    PingEngine *e;
};
