#pragma once

#include "platform/gui/TrayShell.h"

#include <QElapsedTimer>
#ifndef Q_OS_WIN
#include <QDBusConnection>
#endif
#include <QSet>
#include <QSystemTrayIcon>

// The notification area of this desktop: QSystemTrayIcon for icon, tool-tip and clicks.
// Balloons go straight to org.freedesktop.Notifications when the bus has it (Qt's own path
// there cannot hide a notification and reports clicks only on critical ones); otherwise they
// are Qt's own balloons. Windows has no such bus: there the shell's own balloons, through Qt.
class QtTrayShell : public ITrayShell {
    Q_OBJECT
public:
    explicit QtTrayShell(QObject *parent = nullptr);
#ifndef Q_OS_WIN
    // bus: where to look for the notification service (tests pass a private bus).
    QtTrayShell(const QDBusConnection &bus, QObject *parent);
#endif
    ~QtTrayShell() override;

    bool add(const QIcon &icon, const QString &toolTip) override;
    bool modify(const QIcon &icon, const QString &toolTip) override;
    bool remove() override;
    bool balloon(const QString &text, const QString &title, int iconKind, int timeoutMs) override;
    bool available() const override;
    QRect geometry() const override;
    void setMenu(QMenu *menu) override;
    bool singleClickHost() const override { return m_hostShowsMenus; }
#ifdef Q_OS_WIN
    bool longToolTips() const override { return false; }
#endif

    // An activation as the desktop reports it (QSystemTrayIcon::activated).
    void activate(QSystemTrayIcon::ActivationReason reason);

private slots:
    void onActionInvoked(uint id, const QString &actionKey);
    void onNotificationClosed(uint id, uint reason);

private:
    bool notificationServiceAvailable() const;
    bool notify(const QString &text, const QString &title, int iconKind, int timeoutMs);
    bool closeNotification();
    bool qtBalloon(const QString &text, const QString &title, int iconKind, int timeoutMs);
    void applyIcon(const QIcon &icon, const QString &toolTip);

    QSystemTrayIcon *m_tray = nullptr;
#ifndef Q_OS_WIN
    QDBusConnection m_bus;
#endif
    bool m_added = false;
    qint64 m_iconKey = 0; // cacheKey of the image the desktop shows
    bool m_hostShowsMenus = false;
    bool m_markupChecked = false;
    bool m_bodyMarkup = false;
    uint m_notificationId = 0; // the balloon on show, replaced by the next one
    QSet<uint> m_reportedIds;  // our notifications whose click or close is still to report
    TrayClickMapper m_clicks;
    QElapsedTimer m_clock;
};
