#pragma once

#include "platform/gui/TrayShell.h"

#include <QIcon>
#include <QList>
#include <QMenu>
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QStringList>
#include <optional>

// A notification area that records every call instead of showing anything.
//
// Typical use in a widget test:
//
//     RecordingTrayShell::Install();                 // every new tray icon gets a recorder
//     TfSomething form;                              // creates its TNotifyIcon
//     auto *shell = RecordingTrayShell::Last();      // or RecordingTrayShell::Of(icon->Shell())
//     shell->Clear();
//     ... act ...
//     QCOMPARE(shell->Kinds(), QStringList({"remove", "add"}));
//     QCOMPARE(shell->LastBalloon()->text, "...");
//     shell->EmitDoubleClick();                      // as a desktop would report it
//     RecordingTrayShell::Uninstall();               // back to the real shell
//
// It behaves like the shell it stands for: "add" registers the icon (a second add while
// registered is refused), "modify" and "balloon" are refused while not registered, "remove"
// unregisters. The Accept* switches make a call kind refuse regardless; refused calls are
// still recorded.
// What the recording desktop reports; change it at any time through RecordingTrayShell::config.
struct RecordingTrayShellConfig {
    bool available = true;
    QRect geometry;               // empty: the desktop does not tell
    bool singleClickHost = false; // a StatusNotifierItem host
    bool longToolTips = true;     // false: the 127 characters of the Windows area
};

class RecordingTrayShell : public ITrayShell {
    Q_OBJECT
public:
    enum class CallKind { Add, Modify, Remove, Balloon };

    struct Call {
        CallKind kind = CallKind::Add;
        QIcon icon;        // add, modify
        QString toolTip;   // add, modify
        QString text;      // balloon
        QString title;     // balloon
        int iconKind = 0;  // balloon
        int timeoutMs = 0; // balloon
        bool accepted = false;
    };

    using Config = RecordingTrayShellConfig;

    explicit RecordingTrayShell(const Config &config = Config(), QObject *parent = nullptr);

    bool add(const QIcon &icon, const QString &toolTip) override;
    bool modify(const QIcon &icon, const QString &toolTip) override;
    bool remove() override;
    bool balloon(const QString &text, const QString &title, int iconKind, int timeoutMs) override;
    bool available() const override { return config.available; }
    QRect geometry() const override { return config.geometry; }
    bool singleClickHost() const override { return config.singleClickHost; }
    bool longToolTips() const override { return config.longToolTips; }
    // Kept, not recorded as a call: see Menu.
    void setMenu(QMenu *menu) override { Menu = menu; }

    Config config;
    bool AcceptAdd = true;
    bool AcceptModify = true;
    bool AcceptRemove = true;
    bool AcceptBalloon = true;

    // The menu handed over last (hosts that open menus themselves).
    QPointer<QMenu> Menu;

    // Every call in order (add, modify, remove, balloon).
    QList<Call> Calls;
    // The kinds in order: "add", "modify", "remove", "balloon".
    QStringList Kinds() const;
    // Only the balloon calls, in order.
    QList<Call> Balloons() const;
    // The last balloon call, if any.
    std::optional<Call> LastBalloon() const;
    // Whether the icon is registered now (after add, before remove).
    bool Registered() const { return m_registered; }
    // Forgets the recorded calls (the registration state stays).
    void Clear() { Calls.clear(); }

    // Reports as a desktop would. A double click arrives as a click and then the double click.
    void EmitClick();
    void EmitDoubleClick();
    void EmitRightClick(QPoint globalPos = QPoint(10, 10));
    void EmitMouseMove();
    void EmitBalloonShown();
    void EmitBalloonHidden();
    void EmitBalloonTimedOut();
    void EmitBalloonClicked();

    // SetTrayShellFactory with a factory that makes recorders with this configuration.
    static void Install(const Config &config = Config());
    // SetTrayShellFactory({}): new tray icons get the real shell again.
    static void Uninstall();
    // The recorder made last by the installed factory (null when none or destroyed).
    static RecordingTrayShell *Last();
    // The recorder behind a shell pointer (null when it is not one).
    static RecordingTrayShell *Of(ITrayShell *shell);

private:
    bool record(Call call);
    bool m_registered = false;
};
