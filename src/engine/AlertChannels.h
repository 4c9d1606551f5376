#pragma once

#include "engine/AlertMessage.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

class QNetworkAccessManager;

// The URL as a log line may show it: the scheme and the host, nothing after them, no user or
// password ("ntfys://ntfy.example.org/***"). A host part that looks like no host name (a
// token, as Telegram's, Slack's and Discord's URLs put there) is masked too.
QString MaskedUrl(const QString &url);

// The "Notify URLs": every alert goes to each as well. http:// and https:// URLs get the
// program's own JSON notice by POST; any other scheme is an Apprise URL, handed to Debian's
// `apprise` program with the title and body as arguments (never through a shell). Nothing
// blocks the thread that sends: the requests and the programs run on their own and report
// back, at most MaxAtOnce at once, each ended after TimeoutMs. A failure is logged once per
// URL until it works again; a missing `apprise` once, naming its package.
class AlertChannels : public QObject {
    Q_OBJECT
public:
    static constexpr int MaxAtOnce = 4;
    static constexpr int TimeoutMs = 10000;
    static constexpr int MaxUrls = 20;
    static constexpr int MaxWaiting = 200; // messages waiting their turn; more are dropped

    explicit AlertChannels(QObject *parent = nullptr);
    ~AlertChannels() override;

    // The stored setting: a URL a line (CR, LF or CR LF). Lines that are no URL, and URLs past
    // MaxUrls, are skipped; one log line says so for each new value.
    void SetUrls(const QString &stored);
    QStringList Urls() const { return m_urls; }
    void SetTemplate(const QString &text) { m_template = text; }
    void SetUserAgent(const QString &agent) { m_userAgent = agent; }

    // The event to every URL.
    void Send(const AlertEvent &event);
    // Messages under way or waiting.
    int Pending() const { return int(m_running.size() + m_waiting.size()); }

    // ---- seams for tests ----
    void SetTimeoutMs(int ms) { m_timeoutMs = ms; }
    // The Apprise program: a name looked up on PATH when a message is sent, or a path.
    void SetAppriseProgram(const QString &program) { m_apprise = program; }

signals:
    // A log entry, CR LF line breaks.
    void logText(const QString &entry);
    // A message to a URL has ended: sent, or why not. maskedUrl as MaskedUrl gives it.
    void delivered(const QString &maskedUrl, bool sent, const QString &reason);
    // Nothing is under way or waiting any more.
    void idle();

private:
    struct Job;
    void StartWaiting();
    void StartHttp(Job *job);
    void StartApprise(Job *job);
    void Finish(Job *job, bool sent, const QString &reason);

    QStringList m_urls;
    QString m_template;
    QString m_userAgent = QStringLiteral("Vennatro");
    QString m_apprise = QStringLiteral("apprise");
    int m_timeoutMs = TimeoutMs;
    QNetworkAccessManager *m_network = nullptr;
    QList<Job *> m_waiting;
    QList<Job *> m_running;
    QSet<QString> m_failing; // URLs whose last message failed (said once)
    QString m_saidFor;       // the value whose skipped lines were said
    bool m_saidNoApprise = false;
    bool m_saidDropped = false;
};
