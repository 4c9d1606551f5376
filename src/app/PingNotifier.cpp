#include "app/PingNotifier.h"

#include "engine/AlertPolicy.h"
#include "engine/Formats.h"
#include "engine/PingSession.h"
#include "engine/PingTarget.h"
#include "platform/gui/Translation.h"

#include <QCoreApplication>

namespace {
QByteArray U8(const QString &text) { return text.toUtf8(); }
// The window's language for a format of the engine (its log and e-mails stay English).
const char *Tr(const char *format, QByteArray &&kept = {}) {
    kept = TranslatedFormat("Fmt", format);
    return kept.constData();
}
} // namespace

PingNotifier::PingNotifier(PingSession *session, QObject *parent)
    : QObject(parent), m_session(session) {
    connect(session, &PingSession::answered, this,
            [this](const QString &address, bool connectOnly, const QString &firstLine) {
                if (!ResultsToo() || ErrorPing() || Snoozed(address))
                    return;
                Hide();
                if (connectOnly)
                    Show(QString::asprintf(Tr(Fmt::CompletedBalloon), U8(address).constData()),
                         Fmt::PingOkTitle, 1);
                else
                    Show(QString::asprintf(Tr(Fmt::CompletedResponseBalloon),
                                           U8(address).constData(), U8(firstLine).constData()),
                         Fmt::PingOkTitle, 1);
            });
    connect(session, &PingSession::pingFailed, this,
            [this](const QString &address, const QString &errorText) {
                if (ErrorPing())
                    return;
                // Quiet while snoozed, before "Alert after" failures, and when a watched row
                // told of this outage already.
                if (Notifying() && !m_session->Alerts()->Quiet(address, m_session->Engine()))
                    Show(QString::asprintf(Tr(Fmt::FailedBalloon), U8(address).constData(),
                                           U8(errorText).constData()),
                         Fmt::ConnectionErrorTitle, 3);
                emit statusChanged(
                    3, QString::asprintf(Tr(Fmt::FailedStatus), U8(address).constData()));
            });
    // A watched address tells of its outage once, without a status of the main ping.
    connect(session, &PingSession::addressDown, this,
            [this](const QString &address, const QString &errorText) {
                if (Notifying())
                    Show(QString::asprintf(Tr(Fmt::FailedBalloon), U8(address).constData(),
                                           U8(errorText).constData()),
                         Fmt::ConnectionErrorTitle, 3);
            });
    connect(session, &PingSession::unknownError, this, [this](int code, const QString &text) {
        Show(QString::asprintf(Tr(Fmt::UnknownErrorBalloon), code, U8(text).constData()),
             Fmt::ConnectionErrorTitle, 3);
    });
    connect(session, &PingSession::cancelled, this, [this](const QString &address) {
        if (!Notifying() || ErrorPing() || Snoozed(address))
            return;
        Hide();
        Show(QString::asprintf(Tr(Fmt::AbortedBalloon), U8(address).constData()),
             Fmt::CancelledTitle, 2);
    });
    connect(session, &PingSession::connectionEnded, this,
            [this](const QString &address, PingOutcomeKind outcome) {
                if (ErrorPing())
                    return;
                if (outcome == PingOutcomeKind::Completed)
                    emit statusChanged(
                        2, QString::asprintf(Tr(Fmt::CompletedStatus), U8(address).constData()));
                else
                    emit statusChanged(
                        1, QString::asprintf(Tr(Fmt::AbortedStatus), U8(address).constData()));
            });
    // A slow answer completed all the same: the status says slow, not OK.
    connect(session, &PingSession::finished, this, [this](const PingResult &result) {
        if (result.outcome == PingOutcomeKind::Completed && result.slow && !result.errorPing)
            emit statusChanged(
                4, QString::asprintf(Tr(Fmt::SlowStatus), U8(result.address).constData()));
    });
    // Once a slow episode, once a day for a certificate: warnings, like failures.
    connect(session, &PingSession::addressSlow, this,
            [this](const QString &address, double seconds) {
                if (Notifying() && !Snoozed(address))
                    Show(QString::asprintf(Tr(Fmt::SlowBalloon), U8(address).constData(), seconds),
                         Fmt::SlowTitle, 2);
            });
    connect(session, &PingSession::certificateExpiring, this,
            [this](const QString &address, int days, const QDateTime &expiry) {
                if (Notifying() && !Snoozed(address))
                    Show(QString::asprintf(Tr(Fmt::CertificateExpiryBalloon),
                                           U8(address).constData(), days,
                                           U8(TimeStamp(expiry.toLocalTime())).constData()),
                         Fmt::CertificateExpiryTitle, 2);
            });
    // Shown whatever the notification settings say: the user was alerted of the outage.
    connect(session, &PingSession::addressRecovered, this,
            [this](const QString &address, qint64 downSeconds) {
                Hide();
                Show(QString::asprintf(Tr(Fmt::RestoredBalloon), U8(address).constData(),
                                       U8(DownTimeText(downSeconds)).constData()),
                     Fmt::RestoredTitle, 1);
            });
    // No failure notice for a ping that was not checked: one notice an outage of this
    // computer's network, and one at its end.
    connect(session, &PingSession::notChecked, this, [this](const QString &address) {
        emit statusChanged(5,
                           QString::asprintf(Tr(Fmt::NotCheckedStatus), U8(address).constData()));
    });
    connect(session, &PingSession::networkLost, this, [this](int addresses) {
        if (Notifying())
            Show(
                QString::asprintf(Tr(Fmt::NetworkLostBalloon), addresses,
                                  U8(addresses == 1 ? tr("address") : tr("addresses")).constData()),
                Fmt::NetworkLostTitle, 2);
    });
    connect(session, &PingSession::networkBack, this, [this](qint64 downSeconds) {
        if (!Notifying())
            return;
        Hide();
        Show(QString::asprintf(Tr(Fmt::NetworkBackBalloon),
                               U8(DownTimeText(downSeconds)).constData()),
             Fmt::NetworkBackTitle, 1);
    });
    connect(session, &PingSession::unexpectedError, this, [this](const QString &message) {
        emit balloon(message, QLatin1String(ApplicationTitle), 3);
    });
}

void PingNotifier::Show(const QString &text, const char *title, int iconKind) {
    emit balloon(text, QCoreApplication::translate("Fmt", title), iconKind);
}

void PingNotifier::Hide() { emit balloon(QString(), QString(), 0); }

bool PingNotifier::Snoozed(const QString &address) const {
    return m_session->SnoozedUntil(address).isValid();
}

bool PingNotifier::ErrorPing() const { return m_session->ErrorPingUnderWay(); }

bool PingNotifier::Notifying() const { return m_session->Settings().ShowNotifications; }

bool PingNotifier::ResultsToo() const {
    return Notifying() && !m_session->Settings().ShowOnlyErrorNotifications;
}
