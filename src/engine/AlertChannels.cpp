#include "engine/AlertChannels.h"

#include "engine/Formats.h"
#include "engine/PingTarget.h"

#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>

namespace {

QByteArray U8(const QString &text) { return text.toUtf8(); }

bool IsHttp(const QString &url) {
    return url.startsWith(QLatin1String("http://"), Qt::CaseInsensitive) ||
           url.startsWith(QLatin1String("https://"), Qt::CaseInsensitive);
}

// A host name (with a dot, or localhost) or an address, with an optional port: anything else
// in the host's place is taken for a token.
bool LooksLikeHost(const QString &host) {
    static const QRegularExpression name(
        QStringLiteral("^(\\[[0-9A-Fa-f:.]+\\]|localhost|[A-Za-z0-9-]+(\\.[A-Za-z0-9-]+)+)"
                       "(:[0-9]{1,5})?$"));
    return name.match(host).hasMatch();
}

} // namespace

QString MaskedUrl(const QString &url) {
    const qsizetype sep = url.indexOf(QLatin1String("://"));
    if (sep <= 0)
        return QStringLiteral("***");
    const QString scheme = url.left(sep).toLower();
    const QString rest = url.mid(sep + 3);
    qsizetype end = rest.size();
    for (const QChar c : {QLatin1Char('/'), QLatin1Char('?'), QLatin1Char('#')}) {
        const qsizetype at = rest.indexOf(c);
        if (at >= 0 && at < end)
            end = at;
    }
    const QString authority = rest.left(end);
    const QString host = authority.mid(authority.lastIndexOf(QLatin1Char('@')) + 1);
    if (!LooksLikeHost(host))
        return scheme + QStringLiteral("://***");
    return scheme + QStringLiteral("://") + host.toLower() +
           (end < rest.size() && rest.size() - end > 1 ? QStringLiteral("/***") : QString());
}

struct AlertChannels::Job {
    QString url;
    QString masked;
    AlertEvent event;
    QString text;
    QTimer *timer = nullptr;
    QNetworkReply *reply = nullptr;
    QProcess *process = nullptr;
    bool timedOut = false;
};

AlertChannels::AlertChannels(QObject *parent) : QObject(parent) {}

AlertChannels::~AlertChannels() {
    for (Job *job : std::as_const(m_running)) {
        if (job->reply) {
            job->reply->disconnect(this);
            job->reply->abort();
        }
        if (job->process) {
            job->process->disconnect(this);
            job->process->kill();
            job->process->waitForFinished(1000);
        }
        delete job;
    }
    qDeleteAll(m_waiting);
}

void AlertChannels::SetUrls(const QString &stored) {
    static const QRegularExpression form(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*://\\S+$"));
    m_urls.clear();
    int line = 0;
    int invalid = 0;
    int firstInvalid = 0;
    int over = 0;
    for (const QString &raw : SplitRecentList(stored)) {
        ++line;
        const QString url = RemoveControl(raw).trimmed();
        if (url.isEmpty() || m_urls.contains(url))
            continue;
        if (!form.match(url).hasMatch()) {
            if (invalid++ == 0)
                firstInvalid = line;
        } else if (m_urls.size() >= MaxUrls) {
            ++over;
        } else {
            m_urls << url;
        }
    }
    // Said once for a value, by line numbers only: a mistyped line may well be a token.
    if (stored == m_saidFor)
        return;
    m_saidFor = stored;
    if (invalid > 0)
        emit logText(QStringLiteral("Notify URLs: %1 line(s) skipped, not URLs (the first: line "
                                    "%2).\r\n")
                         .arg(invalid)
                         .arg(firstInvalid));
    if (over > 0)
        emit logText(QStringLiteral("Notify URLs: %1 more skipped; at most %2 are used.\r\n")
                         .arg(over)
                         .arg(MaxUrls));
}

void AlertChannels::Send(const AlertEvent &event) {
    const QString text = AlertText(m_template, event);
    for (const QString &url : std::as_const(m_urls)) {
        if (m_waiting.size() >= MaxWaiting) {
            if (!m_saidDropped) {
                m_saidDropped = true;
                emit logText(QStringLiteral("Notify URLs: too many messages at once; some are "
                                            "not sent.\r\n"));
            }
            emit delivered(MaskedUrl(url), false, QStringLiteral("too many messages at once"));
            continue;
        }
        auto *job = new Job;
        job->url = url;
        job->masked = MaskedUrl(url);
        job->event = event;
        job->text = text;
        m_waiting.append(job);
    }
    StartWaiting();
}

void AlertChannels::StartWaiting() {
    while (m_running.size() < MaxAtOnce && !m_waiting.isEmpty()) {
        Job *job = m_waiting.takeFirst();
        m_running.append(job);
        job->timer = new QTimer(this);
        job->timer->setSingleShot(true);
        connect(job->timer, &QTimer::timeout, this, [job] {
            job->timedOut = true;
            if (job->reply)
                job->reply->abort(); // finishes it
            else if (job->process)
                job->process->kill(); // finishes it
        });
        job->timer->start(m_timeoutMs);
        if (IsHttp(job->url))
            StartHttp(job);
        else
            StartApprise(job);
    }
}

void AlertChannels::StartHttp(Job *job) {
    if (!m_network)
        m_network = new QNetworkAccessManager(this);
    QNetworkRequest request{QUrl(job->url)};
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setHeader(QNetworkRequest::UserAgentHeader, m_userAgent);
    job->reply = m_network->post(request, AlertJson(job->event, job->text));
    connect(job->reply, &QNetworkReply::finished, this, [this, job] {
        const int status = job->reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (job->timedOut) {
            Finish(job, false, QStringLiteral("no answer within %1 s").arg(m_timeoutMs / 1000.0));
        } else if (status > 0) {
            Finish(job, status >= 200 && status < 300,
                   QStringLiteral("HTTP status %1").arg(status));
        } else {
            // Qt's text may quote the whole URL: only its masked form goes on.
            QString reason = job->reply->errorString();
            const QUrl url(job->url);
            for (const QString &form :
                 {job->url, url.toString(), url.toDisplayString(), url.host(), url.password()}) {
                if (!form.isEmpty())
                    reason.replace(form, job->masked);
            }
            Finish(job, false, reason);
        }
    });
}

void AlertChannels::StartApprise(Job *job) {
    const QString program = QFileInfo(m_apprise).isAbsolute()
                                ? (QFileInfo(m_apprise).isExecutable() ? m_apprise : QString())
                                : QStandardPaths::findExecutable(m_apprise);
    if (program.isEmpty()) {
        Finish(job, false, QStringLiteral("apprise is not installed"));
        return;
    }
    const QString type = job->event.event == QLatin1String("down") ? QStringLiteral("failure")
                         : job->event.event == QLatin1String("up") ? QStringLiteral("success")
                                                                   : QStringLiteral("info");
    job->process = new QProcess(this);
    job->process->setProgram(program);
    // Each piece an argument of its own, the values joined to their options: a body that starts
    // with '-' is still the body.
    job->process->setArguments({QStringLiteral("--title=") + job->event.title,
                                QStringLiteral("--body=") + job->text,
                                QStringLiteral("--notification-type=") + type, job->url});
    job->process->setStandardOutputFile(QProcess::nullDevice());
    job->process->setStandardErrorFile(QProcess::nullDevice());
    connect(job->process, &QProcess::finished, this,
            [this, job](int exitCode, QProcess::ExitStatus status) {
                if (job->timedOut)
                    Finish(job, false,
                           QStringLiteral("no answer within %1 s").arg(m_timeoutMs / 1000.0));
                else
                    Finish(job, status == QProcess::NormalExit && exitCode == 0,
                           status == QProcess::NormalExit
                               ? QStringLiteral("apprise ended with status %1").arg(exitCode)
                               : QStringLiteral("apprise ended abnormally"));
            });
    connect(job->process, &QProcess::errorOccurred, this, [this, job](QProcess::ProcessError e) {
        // Said from the event loop: a start that fails may say so before start() returns.
        if (e == QProcess::FailedToStart)
            QMetaObject::invokeMethod(
                this,
                [this, job] { Finish(job, false, QStringLiteral("apprise is not installed")); },
                Qt::QueuedConnection);
    });
    job->process->start(QIODevice::ReadWrite);
    if (job->process->state() != QProcess::NotRunning)
        job->process->closeWriteChannel(); // never a body read from its input
}

void AlertChannels::Finish(Job *job, bool sent, const QString &reason) {
    const qsizetype index = m_running.indexOf(job);
    if (index < 0)
        return; // finished already (a failed start reports twice)
    m_running.removeAt(index);
    job->timer->stop();
    job->timer->deleteLater();
    if (job->reply) {
        job->reply->disconnect(this);
        job->reply->deleteLater();
    }
    if (job->process) {
        job->process->disconnect(this);
        job->process->deleteLater();
    }
    const bool noApprise = !sent && reason == QLatin1String("apprise is not installed");
    if (noApprise) {
        if (!m_saidNoApprise) {
            m_saidNoApprise = true;
            emit logText(QString::fromUtf8(Fmt::AppriseMissingEntry));
        }
    } else if (!sent) {
        if (!m_failing.contains(job->url)) {
            m_failing.insert(job->url);
            emit logText(QString::asprintf(Fmt::ChannelFailedEntry, U8(job->masked).constData(),
                                           U8(reason).constData()));
        }
    } else {
        if (!IsHttp(job->url))
            m_saidNoApprise = false; // installed since: a later removal is said again
        if (m_failing.remove(job->url))
            emit logText(QString::asprintf(Fmt::ChannelBackEntry, U8(job->masked).constData()));
    }
    emit delivered(job->masked, sent, sent ? QString() : reason);
    delete job;
    StartWaiting();
    if (Pending() == 0) {
        m_saidDropped = false;
        emit idle();
    }
}
