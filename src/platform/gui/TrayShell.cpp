#include "platform/gui/TrayShell.h"
#include "platform/gui/QtTrayShell.h"

#include <QApplication>
#include <QCursor>
#include <QStyle>
#ifndef Q_OS_WIN
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusReply>
#endif

namespace {
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kAppName = QStringLiteral("Vennatro");
const QString kDefaultAction = QStringLiteral("default");
constexpr int kCallTimeoutMs = 2000;
constexpr int kQtBalloonDefaultMs = 10000; // what Qt itself takes when told nothing
constexpr uint kClosedExpired = 1;
constexpr uint kClosedDismissed = 2;

// Whether QSystemTrayIcon goes through a StatusNotifierItem host: Qt decides so once, when the
// first tray icon is made, by this same question to the session bus.
bool StatusNotifierHostRegistered() {
#ifdef Q_OS_WIN
    return false;
#else
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
    if (!bus.isConnected() || !bus.interface() ||
        !bus.interface()->isServiceRegistered(watcherService).value())
        return false;
    QDBusInterface watcher(watcherService, QStringLiteral("/StatusNotifierWatcher"), watcherService,
                           bus);
    return watcher.property("IsStatusNotifierHostRegistered").toBool();
#endif
}

TrayShellFactory &factorySlot() {
    static TrayShellFactory factory;
    return factory;
}

// Texts of the program separate lines with a single CR; desktops here expect LF.
QString desktopLines(QString text) {
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

[[maybe_unused]] QString iconName(int iconKind) {
    switch (iconKind) {
    case 1:
        return QStringLiteral("dialog-information");
    case 2:
        return QStringLiteral("dialog-warning");
    case 3:
        return QStringLiteral("dialog-error");
    default:
        return QString();
    }
}

QSystemTrayIcon::MessageIcon qtMessageIcon(int iconKind) {
    switch (iconKind) {
    case 1:
        return QSystemTrayIcon::Information;
    case 2:
        return QSystemTrayIcon::Warning;
    case 3:
        return QSystemTrayIcon::Critical;
    default:
        return QSystemTrayIcon::NoIcon;
    }
}
} // namespace

TrayClickMapper::Report TrayClickMapper::trigger(qint64 nowMs, int doubleClickIntervalMs) {
    if (m_pendingSince >= 0 && nowMs - m_pendingSince <= doubleClickIntervalMs) {
        m_pendingSince = -1;
        return Report::DoubleClick;
    }
    m_pendingSince = nowMs;
    return Report::Click;
}

TrayClickMapper::Report TrayClickMapper::doubleClick() {
    m_pendingSince = -1;
    return Report::DoubleClick;
}

#ifdef Q_OS_WIN
QtTrayShell::QtTrayShell(QObject *parent) : ITrayShell(parent), m_tray(new QSystemTrayIcon(this)) {
    m_clock.start();
    connect(m_tray, &QSystemTrayIcon::activated, this, &QtTrayShell::activate);
    connect(m_tray, &QSystemTrayIcon::messageClicked, this, &ITrayShell::balloonClicked);
}
#else
QtTrayShell::QtTrayShell(QObject *parent) : QtTrayShell(QDBusConnection::sessionBus(), parent) {}

QtTrayShell::QtTrayShell(const QDBusConnection &bus, QObject *parent)
    : ITrayShell(parent), m_tray(new QSystemTrayIcon(this)), m_bus(bus) {
    m_clock.start();
    m_hostShowsMenus = StatusNotifierHostRegistered();
    connect(m_tray, &QSystemTrayIcon::activated, this, &QtTrayShell::activate);
    connect(m_tray, &QSystemTrayIcon::messageClicked, this, &ITrayShell::balloonClicked);
    if (m_bus.isConnected()) {
        // Any sender: the service may change owner while we run; our ids filter the rest.
        m_bus.connect(QString(), kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                      SLOT(onActionInvoked(uint, QString)));
        m_bus.connect(QString(), kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                      SLOT(onNotificationClosed(uint, uint)));
    }
}
#endif

QtTrayShell::~QtTrayShell() {
    if (m_added)
        closeNotification();
}

void QtTrayShell::applyIcon(const QIcon &icon, const QString &toolTip) {
    QIcon shown = icon;
    // Qt refuses to show a tray icon without an image.
    if (shown.isNull())
        shown = QApplication::windowIcon();
    if (shown.isNull())
        shown = QApplication::style()->standardIcon(QStyle::SP_ComputerIcon);
    // Only what changed goes to the desktop: a new image repaints the docked icon, and the
    // countdown changes the tool-tip once a second while the image stays.
    if (shown.cacheKey() != m_iconKey) {
        m_iconKey = shown.cacheKey();
        m_tray->setIcon(shown);
    }
    const QString tip = desktopLines(toolTip);
    if (tip != m_tray->toolTip())
        m_tray->setToolTip(tip);
}

bool QtTrayShell::add(const QIcon &icon, const QString &toolTip) {
    if (m_added)
        return false;
    applyIcon(icon, toolTip);
    // Shown even without a notification area yet: Qt docks it once a host appears.
    m_tray->show();
    m_added = true;
    return true;
}

bool QtTrayShell::modify(const QIcon &icon, const QString &toolTip) {
    if (!m_added)
        return false;
    applyIcon(icon, toolTip);
    return true;
}

bool QtTrayShell::remove() {
    if (!m_added)
        return false;
    // Removing the icon takes its balloon with it.
    closeNotification();
    m_tray->hide();
    m_added = false;
    return true;
}

bool QtTrayShell::balloon(const QString &text, const QString &title, int iconKind, int timeoutMs) {
    if (!m_added)
        return false;
    if (notificationServiceAvailable()) {
        if (text.isEmpty())
            return closeNotification();
        return notify(text, title, iconKind, timeoutMs);
    }
    return qtBalloon(text, title, iconKind, timeoutMs);
}

bool QtTrayShell::available() const { return QSystemTrayIcon::isSystemTrayAvailable(); }

QRect QtTrayShell::geometry() const { return m_tray->geometry(); }

void QtTrayShell::setMenu(QMenu *menu) {
    // Such a host never asks the item for a context menu; it shows the exported one.
    if (m_hostShowsMenus)
        m_tray->setContextMenu(menu);
}

void QtTrayShell::activate(QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
    case QSystemTrayIcon::Trigger:
        if (m_clicks.trigger(m_clock.elapsed(), QApplication::doubleClickInterval()) ==
            TrayClickMapper::Report::Click)
            emit leftButtonDown();
        else
            emit leftDoubleClick();
        break;
    case QSystemTrayIcon::DoubleClick:
        m_clicks.doubleClick();
        emit leftDoubleClick();
        break;
    case QSystemTrayIcon::Context:
        emit rightButtonUp(QCursor::pos());
        break;
    case QSystemTrayIcon::MiddleClick:
    case QSystemTrayIcon::Unknown:
        break;
    }
}

#ifdef Q_OS_WIN
bool QtTrayShell::notificationServiceAvailable() const { return false; }

bool QtTrayShell::notify(const QString &, const QString &, int, int) { return false; }

bool QtTrayShell::closeNotification() {
    m_notificationId = 0;
    return true;
}
#else
bool QtTrayShell::notificationServiceAvailable() const {
    if (!m_bus.isConnected() || !m_bus.interface())
        return false;
    const QDBusReply<bool> registered = m_bus.interface()->isServiceRegistered(kService);
    if (registered.isValid() && registered.value())
        return true;
    const QDBusReply<QStringList> activatable = m_bus.interface()->activatableServiceNames();
    return activatable.isValid() && activatable.value().contains(kService);
}

bool QtTrayShell::notify(const QString &text, const QString &title, int iconKind, int timeoutMs) {
    if (!m_markupChecked) {
        QDBusMessage caps = QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                           QStringLiteral("GetCapabilities"));
        const QDBusReply<QStringList> reply = m_bus.call(caps, QDBus::Block, kCallTimeoutMs);
        if (reply.isValid()) {
            m_markupChecked = true;
            m_bodyMarkup = reply.value().contains(QStringLiteral("body-markup"));
        }
    }
    // A body the server reads as markup would lose "<", "&" and the like from addresses.
    QString body = desktopLines(text);
    if (m_bodyMarkup)
        body = body.toHtmlEscaped();

    QVariantMap hints;
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue<uchar>(1));
    // Lets the desktop file the notification under the program's entry, with its icon.
    if (!QGuiApplication::desktopFileName().isEmpty())
        hints.insert(QStringLiteral("desktop-entry"), QGuiApplication::desktopFileName());
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    call << kAppName << m_notificationId << iconName(iconKind) << desktopLines(title) << body
         << QStringList{kDefaultAction, QCoreApplication::translate("TrayShell", "Show")} << hints
         << (timeoutMs > 0 ? timeoutMs : -1);
    const QDBusReply<uint> reply = m_bus.call(call, QDBus::Block, kCallTimeoutMs);
    if (!reply.isValid())
        return false;
    m_notificationId = reply.value();
    m_reportedIds.insert(m_notificationId);
    QMetaObject::invokeMethod(this, &ITrayShell::balloonShown, Qt::QueuedConnection);
    return true;
}

bool QtTrayShell::closeNotification() {
    if (m_notificationId == 0)
        return true;
    const uint id = m_notificationId;
    m_notificationId = 0;
    // Closed on our own word: nothing to report for it.
    m_reportedIds.remove(id);
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                       QStringLiteral("CloseNotification"));
    call << id;
    const QDBusMessage reply = m_bus.call(call, QDBus::Block, kCallTimeoutMs);
    return reply.type() == QDBusMessage::ReplyMessage;
}
#endif

bool QtTrayShell::qtBalloon(const QString &text, const QString &title, int iconKind,
                            int timeoutMs) {
    if (!QSystemTrayIcon::supportsMessages())
        return false;
    if (text.isEmpty()) {
        // Qt hides the balloon on show and shows nothing for empty texts.
        m_tray->showMessage(QString(), QString(), QSystemTrayIcon::NoIcon, 0);
        return true;
    }
    m_tray->showMessage(desktopLines(title), desktopLines(text), qtMessageIcon(iconKind),
                        timeoutMs > 0 ? timeoutMs : kQtBalloonDefaultMs);
    QMetaObject::invokeMethod(this, &ITrayShell::balloonShown, Qt::QueuedConnection);
    return true;
}

void QtTrayShell::onActionInvoked(uint id, const QString &actionKey) {
    if (actionKey != kDefaultAction || !m_reportedIds.contains(id))
        return;
    // Servers close a notification after its action: that close is part of the click.
    m_reportedIds.remove(id);
    emit balloonClicked();
}

void QtTrayShell::onNotificationClosed(uint id, uint reason) {
    if (id == m_notificationId)
        m_notificationId = 0;
    if (!m_reportedIds.remove(id))
        return;
    if (reason == kClosedExpired)
        emit balloonTimedOut();
    else if (reason == kClosedDismissed)
        emit balloonHidden();
}

std::unique_ptr<ITrayShell> CreateSystemTrayShell(QObject *parent) {
    return std::make_unique<QtTrayShell>(parent);
}

void SetTrayShellFactory(TrayShellFactory factory) { factorySlot() = std::move(factory); }

std::unique_ptr<ITrayShell> CreateTrayShell() {
    if (factorySlot())
        return factorySlot()();
    return CreateSystemTrayShell();
}
