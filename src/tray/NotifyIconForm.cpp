#include "tray/NotifyIconForm.h"

#include <QApplication>
#include <QCloseEvent>
#include <QPropertyAnimation>
#include <QRubberBand>
#include <QScreen>
#include <QShowEvent>
#include <QWindow>
#include <QWindowStateChangeEvent>

#include <limits>

namespace {

// The screen that holds most of rect, or the nearest one when rect lies on none.
QScreen *ScreenOf(const QRect &rect, QScreen *fallback) {
    QScreen *best = nullptr;
    qint64 bestArea = 0;
    qint64 bestDistance = std::numeric_limits<qint64>::max();
    for (QScreen *screen : QGuiApplication::screens()) {
        const QRect g = screen->geometry();
        const QRect common = g.intersected(rect);
        const qint64 area = qint64(common.width()) * common.height();
        if (area > bestArea) {
            bestArea = area;
            best = screen;
            continue;
        }
        if (bestArea > 0)
            continue;
        const qint64 dx = qMax(0, qMax(g.left() - rect.right(), rect.left() - g.right()));
        const qint64 dy = qMax(0, qMax(g.top() - rect.bottom(), rect.top() - g.bottom()));
        if (dx * dx + dy * dy < bestDistance) {
            bestDistance = dx * dx + dy * dy;
            best = screen;
        }
    }
    return best ? best : fallback;
}

constexpr int kAnimationMs = 200;
constexpr int kFallbackWidth = 100;
constexpr int kFallbackHeight = 30;
// Stands for the desktop's minimise/restore animation setting.
constexpr Qt::UIEffect kWindowAnimation = Qt::UI_General;

// Switches the animation setting back to what it was, whatever happens in between.
class AnimationSettingRestorer {
public:
    AnimationSettingRestorer() : m_was(TNotifyIconForm::IsAnimationEnabled()) {}
    ~AnimationSettingRestorer() { TNotifyIconForm::SetAnimationEnabled(m_was); }
    AnimationSettingRestorer(const AnimationSettingRestorer &) = delete;
    AnimationSettingRestorer &operator=(const AnimationSettingRestorer &) = delete;

private:
    bool m_was;
};

QRect BoundsOf(const QWidget *w) { return QRect(w->pos(), w->size()); }
} // namespace

TNotifyIconForm::TNotifyIconForm(QWidget *parent) : QMainWindow(parent) {
    // Closing the window never ends the program; only Exit does.
    QApplication::setQuitOnLastWindowClosed(false);
    MinimiseHonoured = !QGuiApplication::platformName().startsWith(QLatin1String("wayland"));

    NotifyIcon = new TNotifyIcon(this);
    NotifyIcon->BeginLoading();
    CreateActions();
    CreateTrayMenu();

    NotifyIcon->SetVisible(true);
    NotifyIcon->SetPopupMenu(NotifyIconPopupMenu);
    NotifyIcon->RightClickBeepOnNoMenu = false;
    NotifyIcon->OnClick = [this](QObject *sender) { NotifyIconClick(sender); };
    NotifyIcon->OnDblClick = [this](QObject *sender) { NotifyIconDblClick(sender); };
    // A click on any balloon brings the window back.
    NotifyIcon->OnBalloonClick = [this](QObject *) { actShow->trigger(); };

    // The defaults go in before the icon is registered, so it is never shown without an image.
    if (NotifyIcon->Icon().isNull())
        NotifyIcon->SetIcon(QApplication::windowIcon());
    if (NotifyIcon->ToolTip().isEmpty())
        NotifyIcon->SetToolTip(QApplication::applicationDisplayName());
    NotifyIcon->EndLoading();
    NotifyIcon->RefreshIcon();
}

TNotifyIconForm::~TNotifyIconForm() { delete m_animation; }

void TNotifyIconForm::CreateActions() {
    actExit = new QAction(tr("E&xit"), this);
    actExit->setShortcut(QKeySequence(Qt::ALT | Qt::Key_X));
    actExit->setToolTip(tr("Exit"));
    actExit->setStatusTip(tr("Exit"));
    SetCategory(actExit, QStringLiteral("File"));
    connect(actExit, &QAction::triggered, this, [this] { actExitExecute(); });

    actShow = new QAction(tr("&Show"), this);
    actShow->setToolTip(tr("Show main window"));
    actShow->setStatusTip(tr("Show main window"));
    connect(actShow, &QAction::triggered, this, [this] { actShowExecute(); });

    actCloseWindow = new QAction(tr("&Close window"), this);
    SetCategory(actCloseWindow, QStringLiteral("File"));
    connect(actCloseWindow, &QAction::triggered, this, [this] { actCloseWindowExecute(); });

    // Alt+X works before any menu carries the action.
    addAction(actExit);
}

void TNotifyIconForm::CreateTrayMenu() {
    NotifyIconPopupMenu = new QMenu(this);
    NotifyIconPopupMenu->setObjectName(QStringLiteral("NotifyIconPopupMenu"));

    mnShowP = CreateLinkedMenuItem(actShow, NotifyIconPopupMenu);
    mnShowP->setObjectName(QStringLiteral("mnShowP"));
    QFont bold = mnShowP->font();
    bold.setBold(true);
    mnShowP->setFont(bold);
    NotifyIconPopupMenu->addAction(mnShowP);
    NotifyIconPopupMenu->setDefaultAction(mnShowP);

    NotifyIconPopupMenu->addSeparator()->setObjectName(QStringLiteral("N1"));

    mnExitP = CreateLinkedMenuItem(actExit, NotifyIconPopupMenu);
    mnExitP->setObjectName(QStringLiteral("mnExitP"));
    NotifyIconPopupMenu->addAction(mnExitP);
}

QAction *TNotifyIconForm::CreateLinkedMenuItem(QAction *action, QObject *owner) {
    auto *item = new QAction(owner);
    auto follow = [item, action] {
        item->setText(action->text());
        item->setIcon(action->icon());
        item->setToolTip(action->toolTip());
        item->setStatusTip(action->statusTip());
        item->setEnabled(action->isEnabled());
        item->setVisible(action->isVisible());
    };
    follow();
    QObject::connect(action, &QAction::changed, item, follow);
    QObject::connect(item, &QAction::triggered, action, [action] {
        if (action->isEnabled())
            action->trigger();
    });
    return item;
}

void TNotifyIconForm::SetCategory(QAction *action, const QString &category) {
    action->setProperty("category", category);
}

bool TNotifyIconForm::IsAnimationEnabled() {
    return QApplication::isEffectEnabled(kWindowAnimation);
}

void TNotifyIconForm::SetAnimationEnabled(bool on) {
    QApplication::setEffectEnabled(kWindowAnimation, on);
}

void TNotifyIconForm::SetAlwaysOnTop(bool OnTop) {
    if (windowFlags().testFlag(Qt::WindowStaysOnTopHint) == OnTop)
        return;
    const Qt::WindowFlags flags = windowFlags().setFlag(Qt::WindowStaysOnTopHint, OnTop);
    if (QWindow *native = windowHandle()) {
        // Told to the existing window: re-creating it would unmap and map it again, and the
        // window manager would place it anew (a frame's height off each time).
        overrideWindowFlags(flags);
        native->setFlags(flags);
        return;
    }
    // Not yet created: the flag is taken when it is. A widget re-creates itself hidden for a
    // flag changed this way: put it back as it was.
    const bool wasVisible = isVisible();
    const Qt::WindowStates state = windowState();
    const QRect bounds = BoundsOf(this);
    setWindowFlags(flags);
    if (!(state & (Qt::WindowMaximized | Qt::WindowFullScreen))) {
        move(bounds.topLeft());
        resize(bounds.size());
    }
    setWindowState(state);
    if (wasVisible)
        show();
}

bool TNotifyIconForm::GetTrayRect(QRect &rect) const {
    const QRect icon = NotifyIcon->Shell()->geometry();
    if (icon.isEmpty())
        return false;
    rect = icon;
    return true;
}

QRect TNotifyIconForm::FallbackTrayRect() const {
    // The bottom-right corner of the monitor that holds the window.
    const QScreen *s = screen() ? screen() : QApplication::primaryScreen();
    const QRect monitor = s ? s->geometry() : QRect(0, 0, 640, 480);
    const QPoint corner = monitor.bottomRight() + QPoint(1, 1);
    return QRect(corner - QPoint(kFallbackWidth, kFallbackHeight),
                 QSize(kFallbackWidth, kFallbackHeight));
}

QRect TNotifyIconForm::TargetTrayRect() const {
    QRect rect;
    if (!GetTrayRect(rect))
        rect = FallbackTrayRect();
    return rect;
}

void TNotifyIconForm::RestoreFromMinimized() {
    setWindowState(windowState() & ~Qt::WindowMinimized);
}

void TNotifyIconForm::HideToTray() {
    const QRect target = TargetTrayRect();
    if (isMinimized()) {
        // Restored without the desktop's own animation, so the window comes back un-minimised
        // from the tray later.
        AnimationSettingRestorer restorer;
        SetAnimationEnabled(false);
        RestoreFromMinimized();
    }
    const QRect from = frameGeometry();
    hide();
    if (IsAnimationEnabled())
        AnimateRect(from, target);
    HiddenToTray();
}

void TNotifyIconForm::ShowAtStart(bool quiet) {
    if (!quiet)
        show();
    else if (!NotifyIcon->Shell()->available())
        showMinimized();
}

void TNotifyIconForm::ShowFromTray() {
    const QRect source = TargetTrayRect();
    if (IsAnimationEnabled())
        AnimateRect(source, frameGeometry());
    // Back where it was hidden: a window manager places a re-shown window anew unless the
    // program asks for its position (a move by the user does not count as asking).
    if (!(windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen)) && windowHandle())
        windowHandle()->setPosition(geometry().topLeft());
    show();
    BringToFront();
}

void TNotifyIconForm::BringToFront() {
    raise();
    activateWindow();
}

void TNotifyIconForm::AnimateRect(const QRect &from, const QRect &to) {
    // One flying rectangle at a time; it runs on its own and never holds up the caller. It is
    // a window of its own (a child window would vanish with the hidden form) that the form
    // deletes if it goes first.
    delete m_animation;
    auto *band = new QRubberBand(QRubberBand::Rectangle);
    m_animation = band;
    band->setWindowFlags(Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                         Qt::WindowTransparentForInput);
    band->setAttribute(Qt::WA_ShowWithoutActivating);
    band->setGeometry(from);

    auto *move = new QPropertyAnimation(band, "geometry", band);
    move->setDuration(kAnimationMs);
    move->setStartValue(from);
    move->setEndValue(to);
    connect(move, &QPropertyAnimation::finished, band, &QObject::deleteLater);
    band->show();
    move->start();
}

void TNotifyIconForm::KeepOnScreen() {
    if (windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen | Qt::WindowMinimized))
        return;
    if (QWindow *native = windowHandle(); native && isVisible() && !native->frameMargins().isNull())
        m_frame = native->frameMargins();
    QScreen *screen = ScreenOf(QRect(pos(), size()), this->screen()); // pos(): the frame's
    if (!screen)
        return;
    const QRect work = screen->availableGeometry();
    const QSize room(work.width() - m_frame.left() - m_frame.right(),
                     work.height() - m_frame.top() - m_frame.bottom());
    const QSize fitted = size().boundedTo(room).expandedTo(minimumSize());
    if (fitted != size())
        resize(fitted);
    const int frameWidth = width() + m_frame.left() + m_frame.right();
    const int frameHeight = height() + m_frame.top() + m_frame.bottom();
    // Right and bottom first: where the window is larger than the area, its top left stays.
    int left = qMin(x(), work.x() + work.width() - frameWidth);
    int top = qMin(y(), work.y() + work.height() - frameHeight);
    left = qMax(left, work.x());
    top = qMax(top, work.y());
    if (QPoint(left, top) != pos())
        move(left, top);
}

void TNotifyIconForm::showEvent(QShowEvent *event) {
    QMainWindow::showEvent(event);
    if (QWindow *native = windowHandle(); native && !m_checkOnExpose) {
        m_checkOnExpose = true;
        native->installEventFilter(this);
    }
}

bool TNotifyIconForm::eventFilter(QObject *watched, QEvent *event) {
    // The first expose after a show: the window manager has framed the window by then.
    if (m_checkOnExpose && watched == windowHandle() && event->type() == QEvent::Expose &&
        windowHandle()->isExposed()) {
        m_checkOnExpose = false;
        watched->removeEventFilter(this);
        KeepOnScreen();
    }
    return QMainWindow::eventFilter(watched, event);
}

void TNotifyIconForm::ActivationMessage() {
    // The desktop may have lost the icon (a restarted panel): register it anew.
    NotifyIcon->SetVisible(false);
    NotifyIcon->SetVisible(true);
    if (!isVisible())
        ShowFromTray();
    else
        BringToFront();
    if (isMinimized()) {
        RestoreFromMinimized();
        BringToFront();
    }
}

void TNotifyIconForm::CloseWindow() {
    if (!NotifyIcon->Shell()->available()) {
        // Nowhere to hide to: keep the window reachable through the taskbar, or where nothing
        // would keep it, end like an ordinary application.
        if (MinimiseHonoured)
            showMinimized();
        else
            actExit->trigger();
        return;
    }
    HideToTray();
}

void TNotifyIconForm::closeEvent(QCloseEvent *event) {
    if (m_exiting) {
        QMainWindow::closeEvent(event);
        return;
    }
    event->ignore();
    if (isVisible())
        CloseWindow();
}

bool TNotifyIconForm::SingleClickShows() const {
    return SingleClickRestore || NotifyIcon->Shell()->singleClickHost();
}

void TNotifyIconForm::NotifyIconClick(QObject *) {
    if (!SingleClickShows()) {
        if (isVisible())
            BringToFront();
        return;
    }
    if (isVisible())
        HideToTray();
    else
        actShow->trigger();
}

void TNotifyIconForm::NotifyIconDblClick(QObject *) {
    if (!SingleClickShows() && !isVisible())
        actShow->trigger();
}

void TNotifyIconForm::actShowExecute() {
    if (!isVisible())
        ShowFromTray();
}

void TNotifyIconForm::actCloseWindowExecute() { CloseWindow(); }

void TNotifyIconForm::actExitExecute() {
    m_exiting = true;
    QApplication::quit();
}

void TNotifyIconForm::MaximizeCommand() {
    if (!(windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen))) {
        const QRect bounds = BoundsOf(this);
        m_normalBounds = bounds;
        RestoreTop = bounds.top();
        RestoreLeft = bounds.left();
        RestoreWidth = bounds.width();
        RestoreHeight = bounds.height();
    }
    showMaximized();
}

void TNotifyIconForm::TrackNormalBounds() {
    if (!isVisible() ||
        (windowState() & (Qt::WindowMaximized | Qt::WindowMinimized | Qt::WindowFullScreen)))
        return;
    const QRect bounds = BoundsOf(this);
    if (bounds == m_normalBounds)
        return;
    m_normalBounds = bounds;
}

void TNotifyIconForm::moveEvent(QMoveEvent *event) {
    QMainWindow::moveEvent(event);
    TrackNormalBounds();
}

void TNotifyIconForm::resizeEvent(QResizeEvent *event) {
    QMainWindow::resizeEvent(event);
    TrackNormalBounds();
}

void TNotifyIconForm::changeEvent(QEvent *event) {
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange)
        return;
    const auto *change = static_cast<QWindowStateChangeEvent *>(event);
    const bool wasMaximized = change->oldState() & Qt::WindowMaximized;
    if (!(windowState() & Qt::WindowMaximized) || wasMaximized)
        return;
    // A hidden window keeps its normal bounds until it is shown maximised.
    QRect bounds = isVisible() ? m_normalBounds : BoundsOf(this);
    if (!bounds.isValid())
        bounds = BoundsOf(this);
    RestoreTop = bounds.top();
    RestoreLeft = bounds.left();
    RestoreWidth = bounds.width();
    RestoreHeight = bounds.height();
}
