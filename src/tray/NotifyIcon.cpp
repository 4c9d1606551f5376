#include "tray/NotifyIcon.h"

#include <QApplication>
#include <QMenu>

namespace {
constexpr int kToolTipLimit = 127;
constexpr int kBalloonTextLimit = 255;
constexpr int kBalloonTitleLimit = 63;

// The first `limit` characters, never splitting a surrogate pair.
QString FirstChars(const QString &text, int limit) {
    if (text.size() <= limit)
        return text;
    int end = limit;
    if (end > 0 && text.at(end - 1).isHighSurrogate())
        --end;
    return text.left(end);
}

bool SameIcon(const QIcon &a, const QIcon &b) {
    if (a.isNull() || b.isNull())
        return a.isNull() == b.isNull();
    return a.cacheKey() == b.cacheKey();
}
} // namespace

TNotifyIcon::TNotifyIcon(QObject *owner, std::unique_ptr<ITrayShell> shell)
    : QObject(owner), m_shell(shell ? std::move(shell) : CreateTrayShell()) {
    auto raise = [this](const TNotifyEvent &event) {
        if (event)
            event(this);
    };
    ITrayShell *s = m_shell.get();
    connect(s, &ITrayShell::mouseMoved, this, [=, this] { raise(OnMouseMove); });
    connect(s, &ITrayShell::leftButtonDown, this, [=, this] { raise(OnClick); });
    connect(s, &ITrayShell::leftDoubleClick, this, [=, this] { raise(OnDblClick); });
    connect(s, &ITrayShell::rightButtonUp, this, &TNotifyIcon::HandleRightClick);
    connect(s, &ITrayShell::balloonShown, this, [=, this] { raise(OnBalloonShow); });
    connect(s, &ITrayShell::balloonHidden, this, [=, this] { raise(OnBalloonHide); });
    connect(s, &ITrayShell::balloonTimedOut, this, [=, this] { raise(OnBalloonTimeout); });
    connect(s, &ITrayShell::balloonClicked, this, [=, this] { raise(OnBalloonClick); });
}

TNotifyIcon::~TNotifyIcon() {
    if (m_visible && !m_loading)
        DeleteIcon();
}

void TNotifyIcon::SetVisible(bool value) {
    if (value == m_visible)
        return;
    if (!m_loading) {
        if (m_visible)
            DeleteIcon();
        else
            AddIcon();
    }
    // Kept even when the shell refused: the next toggle tries again.
    m_visible = value;
}

void TNotifyIcon::SetIcon(const QIcon &icon) {
    if (SameIcon(icon, m_icon))
        return;
    m_icon = icon;
    if (m_visible && !m_loading)
        ModifyIcon();
}

void TNotifyIcon::SetToolTip(const QString &text) { SetToolTip(text, m_addedLines); }

void TNotifyIcon::SetToolTip(const QString &text, const QString &addedLines) {
    if (text == m_toolTip && addedLines == m_addedLines)
        return;
    m_toolTip = text;
    m_addedLines = addedLines;
    if (m_visible && !m_loading)
        ModifyIcon();
}

QString TNotifyIcon::ShownToolTip() const {
    if (m_addedLines.isEmpty())
        return ClipToolTip(m_toolTip);
    if (m_toolTip.isEmpty())
        return m_shell->longToolTips() ? m_addedLines : ClipToolTip(m_addedLines);
    // The first lines are cut as they always were; what follows them can only lose its own end.
    if (m_shell->longToolTips())
        return ClipToolTip(m_toolTip) + QLatin1Char('\r') + m_addedLines;
    return ClipToolTip(m_toolTip + QLatin1Char('\r') + m_addedLines);
}

void TNotifyIcon::SetPopupMenu(QMenu *menu) {
    if (menu == m_popupMenu)
        return;
    m_popupMenu = menu;
    m_shell->setMenu(menu);
}

bool TNotifyIcon::ShowBalloon(const QString &Text, const QString &Title, int IconKind,
                              int Timeout) {
    // An icon that is not registered cannot carry a balloon.
    if (!m_visible || m_loading)
        return false;
    return m_shell->balloon(FirstChars(Text, kBalloonTextLimit),
                            FirstChars(Title, kBalloonTitleLimit), IconKind, Timeout);
}

void TNotifyIcon::RefreshIcon() {
    if (m_visible && !m_loading)
        ModifyIcon();
}

void TNotifyIcon::BeginLoading() { m_loading = true; }

void TNotifyIcon::EndLoading() {
    if (!m_loading)
        return;
    m_loading = false;
    if (m_visible)
        AddIcon();
}

QString TNotifyIcon::ClipToolTip(const QString &text) { return FirstChars(text, kToolTipLimit); }

bool TNotifyIcon::AddIcon() { return m_shell->add(m_icon, ShownToolTip()); }

bool TNotifyIcon::ModifyIcon() { return m_shell->modify(m_icon, ShownToolTip()); }

bool TNotifyIcon::DeleteIcon() { return m_shell->remove(); }

void TNotifyIcon::HandleRightClick(QPoint pos) {
    if (OnRightClick)
        OnRightClick(this);
    if (m_popupMenu) {
        // Handlers of the menu may want to know which icon opened it.
        m_popupMenu->setProperty("popupComponent", QVariant::fromValue<QObject *>(this));
        m_popupMenu->popup(pos);
    } else if (RightClickBeepOnNoMenu) {
        QApplication::beep();
    }
}
