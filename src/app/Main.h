#pragma once

#include "engine/LogFile.h"
#include "net/ScktComp.h"
#include "platform/Smtp.h"
#include "engine/Options.h"
#include "support/AboutFree.h"
#include "tray/NotifyIconForm.h"

#include <QElapsedTimer>
#include <QIcon>
#include <QList>
#include <QString>
#include <functional>

class QComboBox;
class QLabel;
class QPlainTextEdit;
class QStatusBar;
class QTimer;
class QToolBar;
class QToolButton;
class QKeyEvent;

enum TPingOutcome { poPending, poSucceeded, poFailed, poCancelled };

// The main window: the hub that owns every component, holds the ping state and carries the
// handlers. Its implementation is split by concern: Main.cpp (creation, layout, commands),
// MainPing.cpp (ping exchange, failures, alerts), MainLog.cpp (activity log),
// MainScheduler.cpp (automatic ping, idle status), MainSettings.cpp (load, save, apply),
// MainAddress.cpp (address box keys, dropped links).
class TfMain_Vennatro : public TNotifyIconForm {
    Q_OBJECT
public:
    explicit TfMain_Vennatro(QWidget *parent = nullptr);
    ~TfMain_Vennatro() override; // saves the settings and the log

    // ---- components ----
    QToolBar *ToolBar = nullptr;
    QLabel *imgStatus = nullptr; // 32 x 32; its tool-tip is the status hint
    QLabel *lblAddress = nullptr;
    QComboBox *cmbAddress = nullptr;
    QToolButton *btnPingSmall = nullptr;
    QToolButton *btnPingToolBar = nullptr; // the tool-bar "Ping now" button Enter clicks
    QPlainTextEdit *mmLog = nullptr;
    QStatusBar *StatusBar = nullptr;
    QLabel *StatusPanel = nullptr;       // panel 0
    QTimer *Timer = nullptr;             // automatic ping, 1000 ms
    QTimer *TimerNotification = nullptr; // result hold, 2500 ms
    TClientSocket *ClientSocket = nullptr;
    TIdSMTP IdSMTP;
    TIdMessage IdMessage;
    QList<QIcon> ImageListStatus; // 0 under way, 1 idle, 2 completed, 3 failed
    int StatusImageIndex = 1;

    QAction *actPing = nullptr;
    QAction *actCancel = nullptr;
    QAction *actAutoPing = nullptr;
    QAction *actShowLog = nullptr;
    QAction *actClearLog = nullptr;
    QAction *actSaveLog = nullptr;
    QAction *actAlwaysOnTop = nullptr;
    QAction *actOptions = nullptr;
    QAction *actAbout = nullptr;
    QMenu *mnFile = nullptr;
    QMenu *mnPing = nullptr;
    QMenu *mnOptions = nullptr;
    QMenu *mnHelp = nullptr;
    QAction *mnPingNowP = nullptr; // tray menu "Ping now" (no shortcut text)
    QAction *mnAboutP = nullptr;

    // ---- ping target and state ----
    QString TargetAddress;
    QString TargetHost;
    QString TargetPath;
    QString UserAgent;
    QString ComputerName;
    QString ProgramVersion;
    TVersion VersionInfo;
    quint32 AttemptCount = 0;
    QElapsedTimer PingStartTime; // monotonic: a clock change never distorts the figure
    bool PingBusy = false;
    TPingOutcome PingOutcome = poPending;
    bool LastErrorWasLookup = false;

    // ---- automatic ping ----
    QString AutoTargetAddress;
    QString AutoTargetHost;
    QString AutoTargetPath;
    quint32 AutoPingSeconds = 0;
    qint32 AutoPingElapsed = 0;

    // ---- the log file mirror ----
    LogFile Log;

    // ---- operations ----
    bool ValidateAddress();
    void StartPingAttempt();
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
    // Creation step 11: the old log file into the pane, or its folders created.
    void OpenLogAtStart();
    // The destroy handler's log write (skipped when the file already equals the pane).
    void SaveLogAtExit();
    // The pane's whole text with CR LF line breaks.
    QString LogText() const;

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

    // ---- socket handlers ----
    void ClientSocketConnect(QObject *Sender, TCustomWinSocket *Socket);
    void ClientSocketWrite(QObject *Sender, TCustomWinSocket *Socket);
    void ClientSocketRead(QObject *Sender, TCustomWinSocket *Socket);
    void ClientSocketDisconnect(QObject *Sender, TCustomWinSocket *Socket);
    void ClientSocketError(QObject *Sender, TCustomWinSocket *Socket, TErrorEvent ErrorEvent,
                           int &ErrorCode);

    // ---- timers, tray, address box ----
    void TimerTimer();
    void TimerNotificationTimer();
    void NotifyIconBalloonClick(QObject *Sender);
    // Key-down of the address box; true when the key is consumed.
    bool cmbAddressKeyDown(QKeyEvent *event);
    // Typed character of the address box; true when it is swallowed.
    bool cmbAddressKeyPress(QChar ch);
    void DropURLTargetDrop(const QString &url);

    // ---- seams for tests ----
    // The save dialog: returns the chosen path, or empty when cancelled.
    std::function<QString()> dlgSaveExecute;
    // The pause before a repeated attempt (the UI thread sleeps).
    std::function<void(int ms)> PauseBeforeRetry;

protected:
    void resizeEvent(QResizeEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void CreateActions();
    void CreateMenus();
    void CreateToolBar();
    void CreateCentral();
    void WireComponents();
    void SendFailureEmail(TErrorEvent errorEvent, int errorCode, const QString &errorText);
    void StartErrorPing();
    void ConnectionFailure(TErrorEvent errorEvent, int errorCode, const QString &errorText);
    QString SocketErrorText(int code) const;
    void SetAutoPingChecked(bool on);
    // Counts attempts started; a retry posted after a socket error checks it, so that a ping
    // started in between is never doubled.
    quint64 m_attemptSerial = 0;
    void MirrorToLogFile(const QString &entry);
    void PlaceStatusImage(); // 7 pixels from the tool bar band's right end
    bool IsCommandShortcut(const QKeyEvent *event) const; // an enabled command's shortcut
    bool m_logFileFailing = false; // a log-file error was reported and not yet followed by success
};
