#include "engine/AlertMessage.h"

#include "engine/Formats.h"
#include "engine/PingTarget.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {

QByteArray U8(const QString &text) { return text.toUtf8(); }

// The balloon's line break is a CR; a message on a phone wants a line feed.
QString Lines(QString text) { return text.replace(QLatin1Char('\r'), QLatin1Char('\n')); }

} // namespace

AlertEvent DownAlert(const QString &address, const QString &errorText, int code, qint64 downSeconds,
                     bool repeat, const QDateTime &time) {
    AlertEvent e;
    e.address = AddressWithoutPassword(address);
    e.event = QStringLiteral("down");
    e.time = time.toUTC();
    e.result = QStringLiteral("failed: %1 (%2)").arg(errorText).arg(code);
    e.code = code;
    e.downSeconds = downSeconds;
    e.repeat = repeat;
    e.title = QString::fromUtf8(Fmt::FailureSubject);
    e.text = Lines(QString::asprintf(Fmt::FailedBalloon, U8(e.address).constData(),
                                     U8(errorText).constData()));
    return e;
}

AlertEvent UpAlert(const QString &address, double seconds, int httpStatus, qint64 downSeconds,
                   const QDateTime &time) {
    AlertEvent e;
    e.address = AddressWithoutPassword(address);
    e.event = QStringLiteral("up");
    e.time = time.toUTC();
    e.result = QStringLiteral("completed in %1 s").arg(qMax(0.0, seconds), 0, 'f', 3);
    e.seconds = seconds;
    e.code = httpStatus;
    e.downSeconds = downSeconds;
    e.title = QString::fromUtf8(Fmt::RecoverySubject);
    e.text = QString::asprintf(Fmt::RestoredBalloon, U8(e.address).constData(),
                               U8(DownTimeText(downSeconds)).constData());
    return e;
}

AlertEvent CertificateAlert(const QString &address, int days, const QDateTime &expiry,
                            const QDateTime &time) {
    AlertEvent e;
    e.address = AddressWithoutPassword(address);
    e.event = QStringLiteral("certificate");
    e.time = time.toUTC();
    const QByteArray when = U8(TimeStamp(expiry.toLocalTime()));
    e.result = QStringLiteral("certificate expires in %1 days (%2)")
                   .arg(days)
                   .arg(QString::fromUtf8(when));
    e.code = days;
    e.title = QString::fromUtf8(Fmt::CertificateSubject);
    e.text = QString::asprintf(Fmt::CertificateExpiryBalloon, U8(e.address).constData(), days,
                               when.constData());
    return e;
}

AlertEvent TestAlert(const QString &computerName, const QDateTime &time) {
    AlertEvent e;
    e.event = QStringLiteral("test");
    e.time = time.toUTC();
    e.title = QString::fromUtf8(Fmt::TestAlertSubject);
    e.text = QString::asprintf(Fmt::TestAlertBody, U8(computerName).constData());
    return e;
}

QString AlertText(const QString &templateText, const AlertEvent &event) {
    if (templateText.isEmpty())
        return event.text.left(MaxAlertTextChars);
    const auto value = [&event](QStringView name, bool *known) -> QString {
        *known = true;
        if (name == u"address")
            return event.address;
        if (name == u"event")
            return event.event;
        if (name == u"result")
            return event.result;
        if (name == u"time")
            return TimeStamp(event.time.toLocalTime());
        if (name == u"duration")
            return event.seconds < 0 ? QString()
                                     : QStringLiteral("%1 s").arg(event.seconds, 0, 'f', 3);
        if (name == u"downtime")
            return event.downSeconds < 0 ? QString() : DownTimeText(event.downSeconds);
        *known = false;
        return QString();
    };
    // One pass, each character looked at once: a megabyte of '%' costs no more than of text.
    QString out;
    const QStringView text(templateText);
    qsizetype i = 0;
    while (i < text.size() && out.size() < MaxAlertTextChars) {
        const qsizetype open = text.indexOf(QLatin1Char('%'), i);
        if (open < 0) {
            out += text.mid(i);
            break;
        }
        out += text.mid(i, open - i);
        const qsizetype close = text.indexOf(QLatin1Char('%'), open + 1);
        bool known = false;
        // Names are short: a far-off '%' closes none.
        const QString replacement = close > open && close - open <= 10
                                        ? value(text.mid(open + 1, close - open - 1), &known)
                                        : QString();
        if (known) {
            out += replacement;
            i = close + 1;
        } else {
            out += QLatin1Char('%');
            i = open + 1;
        }
    }
    return out.left(MaxAlertTextChars);
}

QByteArray AlertJson(const AlertEvent &event, const QString &text) {
    QJsonObject o;
    o.insert(QStringLiteral("address"), event.address);
    o.insert(QStringLiteral("event"), event.event);
    o.insert(QStringLiteral("time"), event.time.toUTC().toString(Qt::ISODateWithMs));
    o.insert(QStringLiteral("result"), event.result);
    o.insert(QStringLiteral("duration_seconds"),
             event.seconds < 0 ? QJsonValue() : QJsonValue(event.seconds));
    o.insert(QStringLiteral("code"), event.code);
    o.insert(QStringLiteral("text"), text);
    o.insert(QStringLiteral("downtime_seconds"),
             event.downSeconds < 0 ? QJsonValue() : QJsonValue(event.downSeconds));
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}
