#pragma once

#include "tray/NotifyIcon.h"

#include <QAction>
#include <QMainWindow>
#include <QMenu>
#include <QRect>

class QLocalServer;

// A main window that lives in the notification area: the close box hides it to the tray,
// the tray icon and its menu bring it back, a second start of the program wakes it.
class TNotifyIconForm : public QMainWindow {
    Q_OBJECT
public:
    explicit TNotifyIconForm(QWidget *parent = nullptr);
    ~TNotifyIconForm() override;

    bool SingleClickRestore = false;

    TNotifyIcon *NotifyIcon = nullptr;
    QMenu *NotifyIconPopupMenu = nullptr; // Show (default, bold), separator, Exit
    QAction *actExit = nullptr;           // "E&xit", Alt+X, category File
    QAction *actShow = nullptr;           // "&Show", "Show main window"
    QAction *actCloseWindow = nullptr;    // "&Close window", category File
    QAction *mnShowP = nullptr;           // the tray menu items (actions of the menu)
    QAction *mnExitP = nullptr;

    void SetAlwaysOnTop(bool OnTop);
    void HideToTray();
    void ShowFromTray();
    bool GetTrayRect(QRect &rect) const;
    static bool IsAnimationEnabled();
    static void SetAnimationEnabled(bool on);

    // What a second start of the program triggers (also callable by tests).
    void ActivationMessage();

    // Bounds captured before the window is maximised.
    int RestoreTop = 0;
    int RestoreLeft = 0;
    int RestoreWidth = 0;
    int RestoreHeight = 0;

    // Category of an action ("File", "Ping", ...), kept as the action's property "category".
    static void SetCategory(QAction *action, const QString &category);

protected:
    // The main window's step on the maximise command; the base captures the Restore* bounds.
    virtual void MaximizeCommand();
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;

    virtual void NotifyIconClick(QObject *Sender);
    virtual void NotifyIconDblClick(QObject *Sender);
    virtual void actShowExecute();
    virtual void actCloseWindowExecute();
    virtual void actExitExecute();

private:
    QRect FallbackTrayRect() const;
    void AnimateRect(const QRect &from, const QRect &to);
};
