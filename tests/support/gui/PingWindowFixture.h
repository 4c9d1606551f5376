#pragma once

// A main window built for ping and scheduler tests: the shared test environment (private
// folders, the recording tray shell, recorded message boxes), a table resolver, recorded retry
// pauses and a snapshot of the status display at every log entry.

#include "app/Main.h"
#include "engine/HistoryStore.h"
#include "engine/MetricsPublisher.h"
#include "engine/PingTarget.h"
#include "engine/WatchList.h"
#include "support/EngineProbe.h"
#include "support/LogPattern.h"
#include "support/TableResolver.h"
#include "support/TestHelpers.h"
#include "support/gui/MainWindowParts.h"
#include "support/gui/RecordingTrayShell.h"
#include "support/gui/TestEnvironment.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QTest>
#include <memory>

class PingWindowFixture {
public:
    struct Pause {
        int ms = 0;
        QString statusText; // panel 0 when the pause began
        QString log;        // the log's new text when the pause began
    };
    struct LogSnapshot {
        QString log; // the log's new text after the entry
        int image = -1;
        QString statusText;
        QString hint;
        TPingOutcome outcome = poPending;
    };

    // A missing widget fails the test's set-up, which then skips the test itself.
    PingWindowFixture() {

        window = std::make_unique<TfMain_Vennatro>(new PingSession);
        w = window.get();
        if (!ui.Resolve(w))
            return;
        shell = RecordingTrayShell::Of(w->NotifyIcon->Shell());
        w->Session->Engine()->SetResolver(&resolver);
        QObject::connect(w->Session->Engine(), &PingEngine::retryPaused, w, [this](int ms) {
            pauses << Pause{ms, w->StatusText(), NewLog()};
        });
        resolver.addHost(QStringLiteral("web.test"), QStringLiteral("127.0.0.1"));
        resolver.addHost(QStringLiteral("error.test"), QStringLiteral("127.0.0.1"));
        resolver.addHostError(QStringLiteral("nowhere.test"), 11001);

        Options = DefaultOptions();
        Options.ShowNotifications = true;
        Options.PingAttempts = 1;
        Options.SaveLog = false;
        // The verdict on a lookup's failure reads this machine's own network; its tests make
        // a network of their own.
        Options.TellNetworkOutages = false;
        w->ApplySettings();

        QObject::connect(ui.mmLog, &QPlainTextEdit::textChanged, w, [this] {
            snapshots << LogSnapshot{NewLog(), w->StatusImageIndex, w->StatusText(),
                                     w->StatusHint(),
                                     EngineProbe(w->Session->Engine()).PingOutcome()};
        });
        logMark = w->LogText().size();
        shell->Clear();
    }

    ~PingWindowFixture() { window.reset(); }

    PingWindowFixture(const PingWindowFixture &) = delete;
    PingWindowFixture &operator=(const PingWindowFixture &) = delete;

    // The log text written since the fixture was set up (or since Mark()).
    QString NewLog() const { return w->LogText().mid(logMark); }
    void Mark() {
        logMark = w->LogText().size();
        snapshots.clear();
        shell->Clear();
        messages.clear();
        pauses.clear();
    }

    // Pings the text as if typed into the box and "Ping now" chosen.
    // Options changed by the test reach the engine first, as the options dialog's OK does.
    void Ping(const QString &text) {
        w->ApplySettings();
        ui.cmbAddress->setEditText(text);
        w->actPingExecute();
    }

    bool Idle() const { return !w->Session->Engine()->Busy(); }

    // Every balloon call as "title|kind|text" (the hiding call is "|0|").
    QStringList Balloons() const {
        QStringList out;
        for (const auto &call : shell->Balloons())
            out << call.title + QLatin1Char('|') + QString::number(call.iconKind) +
                       QLatin1Char('|') + call.text;
        return out;
    }

    // Whether text matches the pattern (see LogPattern), its time stamps all of this run.
    bool Matches(const QString &text, const QString &literal) const {
        return pattern.Matches(text, literal);
    }

    // Every seconds figure "completed in X seconds" of a text.
    static QList<double> Seconds(const QString &text) {
        QList<double> out;
        const QRegularExpression re(QStringLiteral("completed in (\\d+\\.\\d{3}) seconds"));
        auto it = re.globalMatch(text);
        while (it.hasNext())
            out << it.next().captured(1).toDouble();
        return out;
    }

    static int Count(const QString &text, const QString &part) { return int(text.count(part)); }

    // A text with its line breaks made visible, for failure messages.
    static QByteArray Visible(QString text) {
        text.replace(QLatin1String("\r"), QLatin1String("\\r"));
        text.replace(QLatin1String("\n"), QLatin1String("\\n\n"));
        return text.toUtf8();
    }

    TestEnvironment env;
    TableResolver resolver; // outlives the window's socket
    std::unique_ptr<TfMain_Vennatro> window;
    TfMain_Vennatro *w = nullptr;
    MainWindowParts ui;
    RecordingTrayShell *shell = nullptr;
    QList<MessageBoxRequest> &messages = env.messages;
    QList<Pause> pauses;
    QList<LogSnapshot> snapshots;
    LogPattern pattern; // from the fixture's start
    qsizetype logMark = 0;
};

inline const QString SuccessBar =
    QStringLiteral("* * * * * * * * * * * * * * * * * * * * * * * * *");
inline const QString FailureBar =
    QStringLiteral("|  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |");
