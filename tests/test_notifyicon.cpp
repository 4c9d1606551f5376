#include "support/gui/RecordingTrayShell.h"
#include "tray/NotifyIcon.h"

#include <QApplication>
#include <QMenu>
#include <QPixmap>
#include <QtTest>

namespace {
QIcon ColourIcon(Qt::GlobalColor colour) {
    QPixmap pixmap(16, 16);
    pixmap.fill(colour);
    return QIcon(pixmap);
}

// Remembers what happened to it after its icon is gone.
class WitnessShell : public RecordingTrayShell {
public:
    explicit WitnessShell(QStringList *log) : m_log(log) {}
    bool remove() override {
        m_log->append(QStringLiteral("remove"));
        return RecordingTrayShell::remove();
    }

private:
    QStringList *m_log;
};
} // namespace

class TestNotifyIcon : public QObject {
    Q_OBJECT

    std::unique_ptr<TNotifyIcon> icon;
    RecordingTrayShell *shell = nullptr;

private slots:
    void init() {
        icon = std::make_unique<TNotifyIcon>(nullptr, std::make_unique<RecordingTrayShell>());
        shell = RecordingTrayShell::Of(icon->Shell());
        QVERIFY(shell);
    }
    void cleanup() { icon.reset(); }

    void startsInvisibleWithoutShellCalls() {
        QCOMPARE(icon->Visible(), false);
        QCOMPARE(icon->RightClickBeepOnNoMenu, false);
        QVERIFY(icon->ToolTip().isEmpty());
        QVERIFY(icon->Icon().isNull());
        QVERIFY(shell->Calls.isEmpty());
    }

    void visibleTogglesAddAndDelete() {
        icon->SetToolTip(QStringLiteral("Vennatro"));
        icon->SetVisible(true);
        icon->SetVisible(true);
        icon->SetVisible(false);
        icon->SetVisible(false);
        icon->SetVisible(true);
        QCOMPARE(shell->Kinds(), QStringList({"add", "remove", "add"}));
        QCOMPARE(shell->Calls.at(0).toolTip, QStringLiteral("Vennatro"));
        QVERIFY(shell->Registered());
    }

    void visibleIsKeptWhenTheShellRefuses() {
        shell->AcceptAdd = false;
        icon->SetVisible(true);
        QCOMPARE(icon->Visible(), true);
        QCOMPARE(shell->Calls.size(), 1);
        QCOMPARE(shell->Calls.at(0).accepted, false);
        // Set back to false: the delete is tried all the same.
        icon->SetVisible(false);
        QCOMPARE(icon->Visible(), false);
        QCOMPARE(shell->Kinds(), QStringList({"add", "remove"}));
    }

    void noShellCallWhileInvisible() {
        const QIcon red = ColourIcon(Qt::red);
        icon->SetToolTip(QStringLiteral("first"));
        icon->SetIcon(red);
        icon->RefreshIcon();
        QCOMPARE(icon->ShowBalloon(QStringLiteral("text"), QStringLiteral("title"), 1, 0), false);
        QVERIFY(shell->Calls.isEmpty());
        // The stored values go to the shell with the next add.
        icon->SetVisible(true);
        QCOMPARE(shell->Kinds(), QStringList({"add"}));
        QCOMPARE(shell->Calls.at(0).toolTip, QStringLiteral("first"));
        QCOMPARE(shell->Calls.at(0).icon.cacheKey(), red.cacheKey());
    }

    void changesWhileVisibleModifyOnlyWhenTheValueChanges() {
        const QIcon red = ColourIcon(Qt::red);
        icon->SetVisible(true);
        shell->Clear();
        icon->SetToolTip(QStringLiteral("a"));
        icon->SetToolTip(QStringLiteral("a"));
        icon->SetIcon(red);
        icon->SetIcon(red);
        icon->SetToolTip(QStringLiteral("b"));
        QCOMPARE(shell->Kinds(), QStringList({"modify", "modify", "modify"}));
        QCOMPARE(shell->Calls.at(0).toolTip, QStringLiteral("a"));
        QCOMPARE(shell->Calls.at(1).icon.cacheKey(), red.cacheKey());
        QCOMPARE(shell->Calls.at(1).toolTip, QStringLiteral("a"));
        QCOMPARE(shell->Calls.at(2).toolTip, QStringLiteral("b"));
        QCOMPARE(shell->Calls.at(2).icon.cacheKey(), red.cacheKey());
    }

    void refreshIconPushesIconAndTip() {
        icon->SetToolTip(QStringLiteral("tip"));
        icon->SetVisible(true);
        shell->Clear();
        icon->RefreshIcon();
        QCOMPARE(shell->Kinds(), QStringList({"modify"}));
        QCOMPARE(shell->Calls.at(0).toolTip, QStringLiteral("tip"));
    }

    void toolTipIsCutTo127Characters() {
        const QString longTip = QString(200, QLatin1Char('t'));
        icon->SetToolTip(longTip);
        icon->SetVisible(true);
        icon->SetToolTip(longTip + QLatin1Char('x'));
        QCOMPARE(shell->Calls.at(0).toolTip, QString(127, QLatin1Char('t')));
        QCOMPARE(shell->Calls.at(1).toolTip, QString(127, QLatin1Char('t')));
        // The property keeps the whole text.
        QCOMPARE(icon->ToolTip().size(), 201);
    }

    // The first lines are cut as ever, never by the lines added below them: a host of long
    // tool-tips shows those in full, another what the 127 characters leave.
    void addedLinesFollowTheFirstLines() {
        const QString a130(130, QLatin1Char('a'));
        const QString a120 = a130.left(120);
        const QString b50(50, QLatin1Char('b'));
        icon->SetVisible(true);
        icon->SetToolTip(a130, b50);
        QCOMPARE(shell->Calls.constLast().toolTip, a130.left(127) + "\r" + b50);
        shell->config.longToolTips = false;
        icon->SetToolTip(a120, b50);
        QCOMPARE(icon->ShownToolTip(), a120 + "\r" + b50.left(6));
        icon->SetToolTip(QStringLiteral("V")); // keeps the added lines
        QCOMPARE(icon->ShownToolTip(), QStringLiteral("V\r") + b50);
    }

    void cutsNeverSplitACharacter() {
        // A character outside the basic plane is two UTF-16 units; half of one is no text.
        const QString face = QString::fromUtf8("\xF0\x9F\x98\x80");
        const QString tip = QString(126, QLatin1Char('a')) + face;
        QCOMPARE(TNotifyIcon::ClipToolTip(tip), QString(126, QLatin1Char('a')));
        QCOMPARE(TNotifyIcon::ClipToolTip(QString(125, QLatin1Char('a')) + face),
                 QString(125, QLatin1Char('a')) + face);
    }

    void balloonTextAndTitleAreCut() {
        icon->SetVisible(true);
        shell->Clear();
        const QString text = QString(300, QLatin1Char('x'));
        const QString title = QString(100, QLatin1Char('y'));
        QVERIFY(icon->ShowBalloon(text, title, 3, 0));
        QCOMPARE(shell->Kinds(), QStringList({"balloon"}));
        const auto balloon = shell->LastBalloon();
        QCOMPARE(balloon->text, QString(255, QLatin1Char('x')));
        QCOMPARE(balloon->title, QString(63, QLatin1Char('y')));
        QCOMPARE(balloon->iconKind, 3);
        QCOMPARE(balloon->timeoutMs, 0);
    }

    void emptyBalloonTextHidesAndLeavesIconAlone() {
        icon->SetToolTip(QStringLiteral("tip"));
        icon->SetVisible(true);
        QVERIFY(icon->ShowBalloon(QStringLiteral("Connection completed"),
                                  QStringLiteral("Vennatro"), 1, 0));
        shell->Clear();
        QVERIFY(icon->ShowBalloon(QString(), QString(), 0, 0));
        QCOMPARE(shell->Kinds(), QStringList({"balloon"}));
        QVERIFY(shell->Calls.at(0).text.isEmpty());
        QCOMPARE(icon->ToolTip(), QStringLiteral("tip"));
        QVERIFY(shell->Registered());
    }

    void balloonRefusedByTheShellReturnsFalse() {
        icon->SetVisible(true);
        shell->AcceptBalloon = false;
        QCOMPARE(icon->ShowBalloon(QStringLiteral("t"), QString(), 1, 0), false);
    }

    void whileLoadingVisibleIsOnlyStored() {
        icon->BeginLoading();
        icon->SetVisible(true);
        icon->SetToolTip(QStringLiteral("loaded"));
        icon->RefreshIcon();
        QCOMPARE(icon->ShowBalloon(QStringLiteral("early"), QString(), 1, 0), false);
        QVERIFY(shell->Calls.isEmpty());
        QCOMPARE(icon->Visible(), true);
        icon->EndLoading();
        QCOMPARE(shell->Kinds(), QStringList({"add"}));
        QCOMPARE(shell->Calls.at(0).toolTip, QStringLiteral("loaded"));
        icon->EndLoading();
        QCOMPARE(shell->Calls.size(), 1);
    }

    void loadingAnInvisibleIconAddsNothing() {
        icon->BeginLoading();
        icon->SetToolTip(QStringLiteral("x"));
        icon->EndLoading();
        QVERIFY(shell->Calls.isEmpty());
    }

    void destructionRemovesAVisibleIcon() {
        QStringList log;
        {
            TNotifyIcon visible(nullptr, std::make_unique<WitnessShell>(&log));
            visible.SetVisible(true);
        }
        QCOMPARE(log, QStringList({"remove"}));
        log.clear();
        {
            TNotifyIcon hidden(nullptr, std::make_unique<WitnessShell>(&log));
            hidden.SetVisible(true);
            hidden.SetVisible(false);
            log.clear();
        }
        QVERIFY(log.isEmpty());
    }

    void clicksRaiseTheirEvents() {
        QStringList events;
        QObject *sender = nullptr;
        icon->OnClick = [&](QObject *s) {
            events << "click";
            sender = s;
        };
        icon->OnDblClick = [&](QObject *) { events << "dblclick"; };
        icon->OnMouseMove = [&](QObject *) { events << "move"; };
        shell->EmitMouseMove();
        shell->EmitClick();
        shell->EmitDoubleClick();
        QCOMPARE(events, QStringList({"move", "click", "click", "dblclick"}));
        QCOMPARE(sender, icon.get());
    }

    void eventsWithoutHandlersAreSkipped() {
        shell->EmitClick();
        shell->EmitDoubleClick();
        shell->EmitMouseMove();
        shell->EmitRightClick();
        shell->EmitBalloonClicked();
        shell->EmitBalloonShown();
        shell->EmitBalloonHidden();
        shell->EmitBalloonTimedOut();
        QVERIFY(shell->Calls.isEmpty());
    }

    void balloonEventsRaiseTheirEvents() {
        QStringList events;
        icon->OnBalloonShow = [&](QObject *) { events << "show"; };
        icon->OnBalloonHide = [&](QObject *) { events << "hide"; };
        icon->OnBalloonTimeout = [&](QObject *) { events << "timeout"; };
        icon->OnBalloonClick = [&](QObject *) { events << "click"; };
        shell->EmitBalloonShown();
        shell->EmitBalloonClicked();
        shell->EmitBalloonTimedOut();
        shell->EmitBalloonHidden();
        QCOMPARE(events, QStringList({"show", "click", "timeout", "hide"}));
    }

    void rightClickRaisesTheEventThenOpensTheMenuAtThePointer() {
        QMenu menu;
        menu.addAction(QStringLiteral("&Show"));
        icon->SetPopupMenu(&menu);
        QObject *sender = nullptr;
        bool menuOpenDuringEvent = true;
        icon->OnRightClick = [&](QObject *s) {
            sender = s;
            menuOpenDuringEvent = menu.isVisible();
        };
        const QPoint at(40, 50);
        shell->EmitRightClick(at);
        QCOMPARE(sender, icon.get());
        QCOMPARE(menuOpenDuringEvent, false);
        QVERIFY(menu.isVisible());
        QCOMPARE(menu.pos(), at);
        QCOMPARE(menu.property("popupComponent").value<QObject *>(), icon.get());
        menu.hide();
    }

    void rightClickWithoutMenuRaisesOnlyTheEvent() {
        int rightClicks = 0;
        icon->OnRightClick = [&](QObject *) { ++rightClicks; };
        shell->EmitRightClick();
        icon->RightClickBeepOnNoMenu = true; // a beep, nothing to see
        shell->EmitRightClick();
        QCOMPARE(rightClicks, 2);
        QVERIFY(shell->Calls.isEmpty());
        QVERIFY(QApplication::activePopupWidget() == nullptr);
    }

    void theMenuGoesToTheShellForHostsThatOpenItThemselves() {
        QMenu menu;
        icon->SetPopupMenu(&menu);
        QCOMPARE(shell->Menu.data(), &menu);
        icon->SetPopupMenu(nullptr);
        QCOMPARE(shell->Menu.data(), nullptr);
        QVERIFY(shell->Calls.isEmpty());
    }

    void aDeletedMenuIsForgotten() {
        auto menu = std::make_unique<QMenu>();
        icon->SetPopupMenu(menu.get());
        menu.reset();
        QCOMPARE(icon->PopupMenu(), nullptr);
        shell->EmitRightClick(); // must not touch the gone menu
    }
};

QTEST_MAIN(TestNotifyIcon)
#include "test_notifyicon.moc"
