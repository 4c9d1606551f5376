#pragma once

#include <QIcon>
#include <QObject>
#include <QPoint>
#include <QRect>
#include <QString>
#include <functional>
#include <memory>

class QMenu;

// The desktop's notification area, reduced to the calls the tray icon makes. The real one
// (QtTrayShell) sits on QSystemTrayIcon and, where the session bus has
// org.freedesktop.Notifications, talks to it directly for balloons; tests use a recorder.
class ITrayShell : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~ITrayShell() override = default;

    virtual bool add(const QIcon &icon, const QString &toolTip) = 0;
    virtual bool modify(const QIcon &icon, const QString &toolTip) = 0;
    virtual bool remove() = 0;
    // Empty text hides the balloon that is showing. iconKind: 0 none, 1 info, 2 warning,
    // 3 error. timeoutMs 0 = the desktop's default.
    virtual bool balloon(const QString &text, const QString &title, int iconKind,
                         int timeoutMs) = 0;
    // Whether the desktop has a notification area at all.
    virtual bool available() const = 0;
    // Screen rectangle of the icon; empty when the desktop does not tell.
    virtual QRect geometry() const = 0;
    // The icon's menu. Hosts that open menus themselves (StatusNotifierItem) get it here and
    // report no right clicks; the others report right clicks and leave the menu to the caller.
    virtual void setMenu(QMenu *menu) { Q_UNUSED(menu) }
    // Whether the host's users expect a single click to show and hide the window, as on
    // StatusNotifierItem hosts (KDE, sway's bar, xfce4-panel in that mode).
    virtual bool singleClickHost() const { return false; }
    // Whether the host shows a tool-tip longer than the 127 characters of the Windows
    // notification area. Every Linux host does, StatusNotifierItem and XEmbed alike.
    virtual bool longToolTips() const { return true; }

signals:
    void mouseMoved();
    void leftButtonDown();  // a single click
    void leftDoubleClick(); // a double click (after its leftButtonDown)
    void rightButtonUp(QPoint globalPos);
    void balloonShown();
    void balloonHidden();
    void balloonTimedOut();
    void balloonClicked();
};

// Turns the left-button activations a desktop reports into click reports. A StatusNotifierItem
// host reports every left click alike, so a second one within the double-click interval is the
// double click; an XEmbed host names the double click itself (after the click of its first
// press). Times are monotonic milliseconds.
class TrayClickMapper {
public:
    enum class Report { Click, DoubleClick };
    Report trigger(qint64 nowMs, int doubleClickIntervalMs);
    Report doubleClick();

private:
    qint64 m_pendingSince = -1; // time of a click that may still become a double click
};

// The real shell. Never returns null.
std::unique_ptr<ITrayShell> CreateSystemTrayShell(QObject *parent = nullptr);

// Tests replace the shell every new tray icon gets; an empty factory restores the real one.
using TrayShellFactory = std::function<std::unique_ptr<ITrayShell>()>;
void SetTrayShellFactory(TrayShellFactory factory);
std::unique_ptr<ITrayShell> CreateTrayShell();
