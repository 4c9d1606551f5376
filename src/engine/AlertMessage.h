#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

// One alert as the notification channels send it: an address went down, answers again, or a
// test from the options dialog.
struct AlertEvent {
    QString address;         // the normalised address (its password is never sent)
    QString event;           // "down", "up", "certificate", "test"
    QDateTime time;          // UTC
    QString result;          // "failed: Connection refused (10061)", "completed in 0.042 s"
    double seconds = -1;     // the ping's time; negative: not measured
    int code = 0;            // the error number, or the HTTP status of an answer
    qint64 downSeconds = -1; // how long it has been, or was, down; negative: not known
    bool repeat = false;     // a "down" alert sent again ("Repeat alerts every")
    QString title;           // the e-mail's subject
    QString text;            // the program's own message: the balloon's text

    bool operator==(const AlertEvent &) const = default;
};

// The address went down (first alert of an outage, or a repeat).
AlertEvent DownAlert(const QString &address, const QString &errorText, int code, qint64 downSeconds,
                     bool repeat, const QDateTime &time);
// The address answers again after an alerted outage.
AlertEvent UpAlert(const QString &address, double seconds, int httpStatus, qint64 downSeconds,
                   const QDateTime &time);
// The certificate of the address expires within days (at expiry).
AlertEvent CertificateAlert(const QString &address, int days, const QDateTime &expiry,
                            const QDateTime &time);
// The options dialog's "Send test".
AlertEvent TestAlert(const QString &computerName, const QDateTime &time);

// The body of a channel's message: the "Alert text" template with %address%, %event%,
// %result%, %time%, %duration% and %downtime% replaced, or the event's own text for an empty
// template. A '%' that starts no placeholder and unknown names stay as written. At most
// MaxAlertTextChars characters: a message is no place for a megabyte.
inline constexpr int MaxAlertTextChars = 16384;
QString AlertText(const QString &templateText, const AlertEvent &event);

// The program's own JSON notice for http(s) URLs: {"address", "event", "time", "result",
// "duration_seconds", "code", "text", "downtime_seconds"}, UTF-8.
QByteArray AlertJson(const AlertEvent &event, const QString &text);
