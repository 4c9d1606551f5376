#include "engine/MailSender.h"

#include <QEventLoop>
#include <QMetaObject>
#include <QTimer>
#include <exception>
#include <thread>

MailSender::MailSender(QObject *parent) : QObject(parent) {}

MailSender::~MailSender() { Abort(); }

void MailSender::Abort() {
    if (m_abort)
        m_abort->store(true);
    emit abortRequested();
}

QString MailSender::Send(const TIdSMTP &smtp, const TIdMessage &message) {
    if (m_sending)
        throw EIdException(QStringLiteral("A notification email is already being sent"));
    m_sending = true;
    m_abort = std::make_shared<std::atomic_bool>(false);
    struct Outcome {
        std::atomic_bool done{false};
        std::exception_ptr error;
        QString reply;
    };
    auto outcome = std::make_shared<Outcome>();
    TIdSMTP client = smtp;
    client.AbortFlag = m_abort;
    QEventLoop loop;
    std::thread worker([client, message, outcome]() mutable {
        try {
            client.Connect();
            client.Send(message);
            client.Disconnect();
            outcome->reply = client.LastReply;
        } catch (...) {
            outcome->error = std::current_exception();
        }
        outcome->done.store(true);
    });
    const auto wake = connect(this, &MailSender::abortRequested, &loop, &QEventLoop::quit);
    // The worker touches no QObject; the loop looks at its flag, which costs nothing measurable
    // for the few seconds an exchange takes.
    QTimer poll;
    poll.setInterval(20);
    connect(&poll, &QTimer::timeout, &loop, [&loop, outcome] {
        if (outcome->done.load())
            loop.quit();
    });
    poll.start();
    if (!outcome->done.load())
        loop.exec();
    poll.stop();
    disconnect(wake);
    // Left early (Abort, or the program's loop ending): the exchange is told to stop, and is
    // waited for; it ends within a second.
    if (!outcome->done.load())
        m_abort->store(true);
    worker.join();
    m_sending = false;
    if (m_abort->load() && !outcome->error)
        return outcome->reply; // finished just as it was aborted: it was sent
    if (outcome->error)
        std::rethrow_exception(outcome->error);
    return outcome->reply;
}
