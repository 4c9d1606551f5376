#include "engine/TestMail.h"

#include "engine/Formats.h"
#include "engine/MailSender.h"
#include "engine/PingTarget.h"
#include "platform/Smtp.h"

QString SendTestMail(MailSender &sender, const TOptions &options, const QString &mailAgent,
                     const QString &computerName) {
    // As PingEngine::ApplySettings fills its own, so a test proves what an alert would do.
    TIdSMTP smtp;
    smtp.Host = options.SMTPServer;
    smtp.Port = options.SMTPPort;
    smtp.Username = options.SMTPUser;
    smtp.Password = options.SMTPPassword;
    smtp.MailAgent = mailAgent;
    smtp.Security = int(options.SMTPSecurity);
    TIdMessage message;
    message.From = options.FromAddress;
    message.Recipients = QStringList{options.ErrorEmailAddress};
    message.Subject = QString::fromUtf8(Fmt::TestMailSubject);
    message.Body = QString::asprintf(Fmt::TestMailBody, computerName.toUtf8().constData(),
                                     TimeStamp().toUtf8().constData());
    return sender.Send(smtp, message);
}
