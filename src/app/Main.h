#pragma once

#include "app/AboutFree.h"
#include "engine/LogFile.h"
#include "engine/PingResult.h"
#include "engine/PingSession.h"
#include "store/Options.h"
#include "store/RegistryDefault.h"
#include "tray/NotifyIconForm.h"
#include "tray/TrayBadge.h"

#include <QElapsedTimer>
#include <QIcon>
#include <QList>
#include <QString>
#include <functional>

class PingNotifier;
class QComboBox;
class QLabel;
class QPlainTextEdit;
class QStatusBar;
class QTimer;
class QToolBar;
class QToolButton;
class QKeyEvent;
class THistoryWindow;

// A log entry as the pane shows it, with its size in the log file.
struct PaneEntry {
    QString text;
    qint64 bytes = 0;
};

// The main window: the view of a PingSession. It shows what the session says (log pane,
// status display, tray icon, the watched addresses' dock, the history window), turns the
// user's commands into the session's calls, and keeps the settings record `Options`, which it
// loads, saves and hands to the session. Its implementation is split by concern: Main.cpp
// (creation, layout, commands), MainPing.cpp (the ping commands and the session's signals),
// MainLog.cpp (the log pane), MainScheduler.cpp (automatic ping, idle status),
// MainSettings.cpp (load, save, apply), MainAddress.cpp (address box keys, dropped links),
// MainWatch.cpp (the watched addresses and the tray's summary of them).
class TfMain_Vennatro : public TNotifyIconForm {
    Q_OBJECT
public:
    // Takes the session over (it becomes the window's child).
    explicit TfMain_Vennatro(PingSession *session, QWidget *parent = nullptr);
    ~TfMain_Vennatro() override; // saves the settings and the log

    // ---- what it shows ----
    PingSession *Session = nullptr;
    QTimer *TimerNotification = nullptr; // result hold, 2500 ms
    QList<QIcon>
        ImageListStatus; // 0 under way, 1 idle, 2 completed, 3 failed, 4 slow, 5 not checked
    int StatusImageIndex = 1;

    // ---- what the program knows of itself ----
    QString UserAgent;
    QString ComputerName;
    QString ProgramVersion;
    QString MailAgent;
    TVersion VersionInfo;

    LogBound LogPane; // what mmLog holds: the newest entries only

    // ---- operations ----
    bool ValidateAddress();
    void AddToLog(const QString &text);
    void UpdateStatus();
    void LoadSettings();
    void SaveSettings();
    void ApplySettings();
    void ShowStatusImage(int index);
    void SetStatusText(const QString &text); // panel 0
    QString StatusText() const;
    void SetStatusHint(const QString &hint); // imgStatus hint
    QString StatusHint() const;
    void ShowUnhandledError(const QString &message);
    bool AutoPingOn() const;
    // Creation step 11: the end of the old log file into the pane, or its folders created.
    void OpenLogAtStart();
    // The destroy handler's log write: entries still waiting for the file, if any.
    void SaveLogAtExit();
    // The pane's whole text with CR LF line breaks.
    QString LogText();

    // ---- command handlers ----
    void actPingExecute();
    void actCancelExecute();
    void actAutoPingExecute();
    void actShowLogExecute();
    void actClearLogExecute();
    void actSaveLogExecute();
    void actAlwaysOnTopExecute();
    void actOptionsExecute();
    void actAboutExecute();
    void actHistoryExecute();

    // ---- timers, tray, address box ----
    void TimerTimer();
    void TimerNotificationTimer();
    void NotifyIconBalloonClick(QObject *Sender);
    // Key-down of the address box; true when the key is consumed.
    bool cmbAddressKeyDown(QKeyEvent *event);
    // Typed character of the address box; true when it is swallowed.
    bool cmbAddressKeyPress(QChar ch);
    void DropURLTargetDrop(const QString &url);
    // The tray menu's "Snooze alerts" (of every address) and "Resume alerts".
    QMenu *mnSnooze = nullptr;
    QAction *actResumeAlerts = nullptr;

    // ---- seams for tests ----
    // The save dialog: returns the chosen path, or empty when cancelled.
    std::function<QString()> dlgSaveExecute;

protected:
    void resizeEvent(QResizeEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void HiddenToTray() override;

private:
    // ---- widgets ----
    // Each carries its member name as its object name: that is how tests find them.
    QToolBar *ToolBar = nullptr;
    QLabel *imgStatus = nullptr; // 32 x 32; its tool-tip is the status hint
    QLabel *lblAddress = nullptr;
    QComboBox *cmbAddress = nullptr;
    QToolButton *btnPingSmall = nullptr;
    QToolButton *btnPingToolBar = nullptr; // the tool-bar "Ping now" button Enter clicks
    QPlainTextEdit *mmLog = nullptr;
    QStatusBar *StatusBar = nullptr;
    QLabel *StatusPanel = nullptr; // panel 0
    // Panel 1, permanent: the main address's last result and the watched addresses' summary.
    QLabel *StatusLastPanel = nullptr;

    QAction *actPing = nullptr;
    QAction *actCancel = nullptr;
    QAction *actAutoPing = nullptr;
    QAction *actShowLog = nullptr;
    QAction *actClearLog = nullptr;
    QAction *actSaveLog = nullptr;
    QAction *actAlwaysOnTop = nullptr;
    QAction *actOptions = nullptr;
    QAction *actAbout = nullptr;
    QAction *actHistory = nullptr;
    THistoryWindow *HistoryWindow = nullptr; // made on first use, then shown again
    QMenu *mnFile = nullptr;
    QMenu *mnPing = nullptr;
    QMenu *mnOptions = nullptr;
    QMenu *mnHelp = nullptr;
    QAction *mnPingNowP = nullptr; // tray menu "Ping now" (no shortcut text)

    void CreateActions();
    void CreateMenus();
    void CreateToolBar();
    void CreateCentral();
    // Every command's picture in the tool bar palette's colours (ThemedIcons).
    void ApplyToolIcons();
    QList<QPair<QAction *, QString>> m_themedIcons; // a command and its picture's name
    QAction *m_optionsItem = nullptr;               // the Options menu's copy of actOptions
    // A tool-bar button for the command (before `before`, else at the end).
    QToolButton *AddToolBarButton(QAction *action, const QString &caption,
                                  QAction *before = nullptr);
    // The history window on that address (an empty chart with a hint for none).
    void ShowHistoryFor(const QString &address);
    void WireComponents();
    void ConnectSession();
    PingNotifier *Notifier = nullptr; // the session's events as balloons and status
    // MainWatch.cpp: the watched addresses, their dock and the tray's summary of them.
    void CreateWatchList();
    QString WatchSummary() const;
    // "completed in 0.042 s at 14:03", "failed (Connection refused) at 14:05".
    static QString LastResultText(const PingResult &result);
    // The tray's tool-tip: the status lines first, then the last result and the watched
    // addresses' summary.
    void ShowTrayToolTip();
    // Panel 1 from the last result and the watched list.
    void UpdateLastPanel();
    // The tray icon's badge: the worst of the main ping's last outcome and the watched rows.
    void UpdateTrayBadge();
    // MainSnooze.cpp: the tray menu's snooze items, the muted mark and the tool-tip's line.
    void CreateSnoozeMenu();
    bool AlertsMuted() const;
    QString SnoozeSummary() const;
    bool m_shownMuted = false;
    TrayBadge m_mainBadge = TrayBadge::None;
    QString m_lastAddress; // the main ping's last address (not the error ping's)
    QString m_lastResult;  // its result and time, as LastResultText gives it
    TrayBadge m_shownBadge = TrayBadge::None;
    QString m_watchSummary; // the watched list's line in the tool-tip as last set
    class TWatchPanel *WatchPanel = nullptr;
    QAction *actWatched = nullptr;
    void SetPingCommandsIdle(bool idle);
    bool ValidateErrorPingAddress(const QString &address);
    void SetAutoPingChecked(bool on);
    void PlaceStatusImage(); // 7 pixels from the tool bar band's right end
    bool IsCommandShortcut(const QKeyEvent *event) const; // a command's shortcut, enabled or not
    // MainSettings.cpp: every value a save writes, the record's and the window's.
    void WriteSettings(TRegistryDefault &reg) const;
    TUnreadValues m_unreadValues; // what the last load did not reach, kept as the file has it
    int m_heightWithLog = 0;      // the window's height with the log pane, while it is hidden
    int m_watchPanelHeight = 0;   // the watched panel's height as stored, until it has it
    void ApplyWatchPanelHeight();
    QString m_statusBeforeMail; // the status text the mail's own text stands in for
    class TRepaintThrottle *m_logRepaint = nullptr; // the log pane's drawing under a flood
    QList<PaneEntry> m_logPending; // watched entries waiting for the pane within a flood
    // An entry of the session's log into the pane; a background one (a watched address's) may
    // wait for the pane within a flood.
    void AddEntry(const QString &text, qint64 fileBytes, bool background);
    void FlushLogPane();
};
