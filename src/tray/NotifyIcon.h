#pragma once

#include "platform/gui/TrayShell.h"

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>

class QMenu;

using TNotifyEvent = std::function<void(QObject *Sender)>;

// One icon in the notification area with tool-tip, balloons, click events and a menu.
// Shell calls happen only while Visible and only when something changes.
class TNotifyIcon : public QObject {
    Q_OBJECT
public:
    // shell: null takes CreateTrayShell().
    explicit TNotifyIcon(QObject *owner, std::unique_ptr<ITrayShell> shell = nullptr);
    ~TNotifyIcon() override; // removes the icon when visible

    bool Visible() const { return m_visible; }
    void SetVisible(bool value);
    QIcon Icon() const { return m_icon; }
    void SetIcon(const QIcon &icon);
    // The tool-tip the tray icon always had (its first lines); at most 127 characters of it
    // are shown.
    QString ToolTip() const { return m_toolTip; }
    void SetToolTip(const QString &text);
    // Lines added below it: they never cut the first lines. A host that shows long tool-tips
    // gets them in full; elsewhere they fill what the 127 characters leave.
    QString AddedToolTipLines() const { return m_addedLines; }
    // Both at once: one change for the desktop.
    void SetToolTip(const QString &text, const QString &addedLines);
    // What the desktop is given.
    QString ShownToolTip() const;
    QMenu *PopupMenu() const { return m_popupMenu; }
    void SetPopupMenu(QMenu *menu);
    bool RightClickBeepOnNoMenu = false;

    // Text cut to 255 characters, title to 63; empty text hides the balloon. False while not
    // visible or when the shell refused.
    bool ShowBalloon(const QString &Text, const QString &Title, int IconKind, int Timeout);
    void RefreshIcon();

    // While the owner loads (constructor), Visible is only stored; EndLoading applies it.
    void BeginLoading();
    void EndLoading();

    ITrayShell *Shell() const { return m_shell.get(); }
    static QString ClipToolTip(const QString &text); // first 127 characters

    TNotifyEvent OnClick;
    TNotifyEvent OnRightClick;
    TNotifyEvent OnDblClick;
    TNotifyEvent OnMouseMove;
    TNotifyEvent OnBalloonShow;
    TNotifyEvent OnBalloonHide;
    TNotifyEvent OnBalloonTimeout;
    TNotifyEvent OnBalloonClick;

private:
    bool AddIcon();
    bool ModifyIcon();
    bool DeleteIcon();
    void HandleRightClick(QPoint pos);

    std::unique_ptr<ITrayShell> m_shell;
    bool m_visible = false;
    bool m_loading = false;
    QIcon m_icon;
    QString m_toolTip;
    QString m_addedLines;
    QPointer<QMenu> m_popupMenu;
};
