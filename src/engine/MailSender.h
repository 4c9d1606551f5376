#pragma once

#include "platform/Smtp.h"
#include "support/Exceptions.h"

#include <QObject>
#include <atomic>
#include <memory>

// Sends an e-mail off the user-interface thread, while this thread goes on handling events;
// Send returns when the exchange has ended, so the steps that follow it keep their order.
// Abort (Cancel, Exit, a signal ending the event loop) ends an exchange under way within a
// second; it then fails with the message "aborted".
class MailSender : public QObject {
    Q_OBJECT
public:
    explicit MailSender(QObject *parent = nullptr);
    ~MailSender() override;

    // Throws EIdException as TIdSMTP does. Not re-entrant: a second call while one is under
    // way throws at once. Returns the server's last reply (TIdSMTP::LastReply).
    QString Send(const TIdSMTP &smtp, const TIdMessage &message);
    void Abort();
    bool Sending() const { return m_sending; }

signals:
    void abortRequested();

private:
    std::shared_ptr<std::atomic_bool> m_abort;
    bool m_sending = false;
};
