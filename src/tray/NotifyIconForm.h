#pragma once

#include "tray/NotifyIcon.h"

#include <QAction>
#include <QMainWindow>
#include <QMenu>
#include <QPointer>
#include <QRect>

class QCloseEvent;
class QMoveEvent;
class QResizeEvent;
class QWidget;

// A main window that lives in the notification area: the close box hides it to the tray,
// the tray icon and its menu bring it back, a second start of the program wakes it.
// Where the desktop has no notification area, closing minimises instead, so the window can
// always be reached.
class TNotifyIconForm : public QMainWindow {
    Q_OBJECT
public:
    explicit TNotifyIconForm(QWidget *parent = nullptr);
    ~TNotifyIconForm() override;

    bool SingleClickRestore = false;
    // Whether the desktop keeps a minimised window reachable. Wayland compositors such as sway
    // and weston have no minimised state: there a window closed without a tray to hide to
    // ends the program instead of staying on screen.
    bool MinimiseHonoured = true;

    TNotifyIcon *NotifyIcon = nullptr;
    QMenu *NotifyIconPopupMenu = nullptr; // Show (default, bold), separator, Exit
    QAction *actExit = nullptr;           // "E&xit", Alt+X, category File
    QAction *actShow = nullptr;           // "&Show", "Show main window"
    QAction *actCloseWindow = nullptr;    // "&Close window", category File
    QAction *mnShowP = nullptr;           // the tray menu items (actions of the menu)
    QAction *mnExitP = nullptr;

    void SetAlwaysOnTop(bool OnTop);
    void HideToTray();
    // The window as the program starts: shown, or with "quiet" hidden to the tray; where there
    // is no tray, minimised, so that the program can still be found.
    void ShowAtStart(bool quiet);
    void ShowFromTray();
    bool GetTrayRect(QRect &rect) const;
    // The animation setting is the process's general UI effect switch (never saved).
    static bool IsAnimationEnabled();
    static void SetAnimationEnabled(bool on);

    // Keeps the whole window, its frame included, inside the work area of the screen that
    // holds most of it; a size larger than that area is reduced first. The frame is known
    // once the window is shown: the check is made again then.
    void KeepOnScreen();

    // What a second start of the program triggers (also callable by tests).
    void ActivationMessage();

    // Bounds captured before the window is maximised: pos() and size() as QWidget gives them
    // (frame position, client size), the values move() and resize() take back.
    int RestoreTop = 0;
    int RestoreLeft = 0;
    int RestoreWidth = 0;
    int RestoreHeight = 0;

    // Captures the Restore* bounds from the current ones, then maximises. Maximising by other
    // means (window manager, caption double-click) captures the last normal bounds.
    virtual void MaximizeCommand();

    // Category of an action ("File", "Ping", ...), kept as the action's property "category".
    static void SetCategory(QAction *action, const QString &category);

    // A menu item that runs action and follows its caption, image, hint and enabled state,
    // but shows no shortcut (tray menu items).
    static QAction *CreateLinkedMenuItem(QAction *action, QObject *owner);

protected:
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void moveEvent(QMoveEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

    // After the window was hidden to the tray.
    virtual void HiddenToTray() {}
    // Whether a single click on the icon shows and hides the window.
    bool SingleClickShows() const;
    virtual void NotifyIconClick(QObject *Sender);
    virtual void NotifyIconDblClick(QObject *Sender);
    virtual void actShowExecute();
    virtual void actCloseWindowExecute();
    virtual void actExitExecute();

private:
    void CreateActions();
    void CreateTrayMenu();
    void CloseWindow();
    void BringToFront();
    void RestoreFromMinimized();
    void TrackNormalBounds();
    QRect TargetTrayRect() const;
    QRect FallbackTrayRect() const;
    void AnimateRect(const QRect &from, const QRect &to);

    bool m_exiting = false;
    bool m_checkOnExpose = false; // KeepOnScreen again once the frame is there
    QMargins m_frame;             // the frame's widths as last seen
    QRect m_normalBounds;         // last bounds seen while in the normal state
    QPointer<QWidget> m_animation;
};
