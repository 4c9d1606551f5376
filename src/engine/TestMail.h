#pragma once

#include "store/Options.h"

#include <QString>

class MailSender;

// One e-mail with the given settings, through the path the failure e-mail takes (off this
// thread, the same server, security, log-on, sender and recipient): what the options dialog's
// "Send test e-mail" tries before the settings are kept. Returns the server's last reply;
// throws EIdException with the mail library's message (and the server's reply) on failure.
QString SendTestMail(MailSender &sender, const TOptions &options, const QString &mailAgent,
                     const QString &computerName);
