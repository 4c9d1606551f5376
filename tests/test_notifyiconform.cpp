#include "support/gui/RecordingTrayShell.h"
#include "support/gui/TestEnvironment.h"
#include "tray/NotifyIconForm.h"

#include <QApplication>
#include <QRubberBand>
#include <QScreen>
#include <QWindowStateChangeEvent>
#include <QtTest>

namespace {
// Notes the animation setting at the moment the window leaves the minimised state.
class ProbeForm : public TNotifyIconForm {
public:
    QList<bool> animationWhileRestoring;

protected:
    void changeEvent(QEvent *event) override {
        if (event->type() == QEvent::WindowStateChange) {
            const auto *change = static_cast<QWindowStateChangeEvent *>(event);
            if ((change->oldState() & Qt::WindowMinimized) && !isMinimized())
                animationWhileRestoring.append(IsAnimationEnabled());
        }
        TNotifyIconForm::changeEvent(event);
    }
};

// The flying rectangles are windows of their own.
QList<QRubberBand *> FlyingRects() {
    QList<QRubberBand *> rects;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *band = qobject_cast<QRubberBand *>(w))
            rects << band;
    return rects;
}

QStringList MenuTexts(const QMenu *menu) {
    QStringList texts;
    for (const QAction *action : menu->actions())
        texts << (action->isSeparator() ? QStringLiteral("-") : action->text());
    return texts;
}
} // namespace

class TestNotifyIconForm : public QObject {
    Q_OBJECT

    TestEnvironment env; // every tray icon records instead of showing
    std::unique_ptr<ProbeForm> form;
    RecordingTrayShell *shell = nullptr;
    bool animationBefore = false;

    void showAndSettle() {
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    }

private slots:
    void initTestCase() {
        QPixmap pixmap(16, 16);
        pixmap.fill(Qt::darkGreen);
        QApplication::setWindowIcon(QIcon(pixmap));
        QApplication::setApplicationDisplayName(QStringLiteral("Vennatro"));
    }

    void init() {
        animationBefore = TNotifyIconForm::IsAnimationEnabled();
        TNotifyIconForm::SetAnimationEnabled(false);
        form = std::make_unique<ProbeForm>();
        shell = RecordingTrayShell::Last();
        QVERIFY(shell);
        QCOMPARE(RecordingTrayShell::Of(form->NotifyIcon->Shell()), shell);
    }
    void cleanup() {
        form.reset();
        TNotifyIconForm::SetAnimationEnabled(animationBefore);
    }

    void constructionRegistersTheIconWithDefaults() {
        QCOMPARE(shell->Kinds(), QStringList({"add", "modify"}));
        QCOMPARE(shell->Calls.at(0).toolTip, QStringLiteral("Vennatro"));
        QCOMPARE(shell->Calls.at(0).icon.cacheKey(), QApplication::windowIcon().cacheKey());
        QVERIFY(form->NotifyIcon->Visible());
        QCOMPARE(form->NotifyIcon->PopupMenu(), form->NotifyIconPopupMenu);
        QCOMPARE(shell->Menu.data(), form->NotifyIconPopupMenu);
        QCOMPARE(form->NotifyIcon->RightClickBeepOnNoMenu, false);
        QCOMPARE(form->SingleClickRestore, false);
        QVERIFY(!form->isVisible());
        QCOMPARE(QApplication::quitOnLastWindowClosed(), false);
    }

    void actionsCarryTheirTexts() {
        QCOMPARE(form->actExit->text(), QStringLiteral("E&xit"));
        QCOMPARE(form->actExit->shortcut(), QKeySequence(Qt::ALT | Qt::Key_X));
        QCOMPARE(form->actExit->statusTip(), QStringLiteral("Exit"));
        QCOMPARE(form->actExit->property("category").toString(), QStringLiteral("File"));
        QCOMPARE(form->actShow->text(), QStringLiteral("&Show"));
        QCOMPARE(form->actShow->statusTip(), QStringLiteral("Show main window"));
        QVERIFY(form->actShow->shortcut().isEmpty());
        QCOMPARE(form->actCloseWindow->text(), QStringLiteral("&Close window"));
        QCOMPARE(form->actCloseWindow->property("category").toString(), QStringLiteral("File"));
    }

    void trayMenuOrderDefaultItemAndExitWithoutShortcut() {
        const QMenu *menu = form->NotifyIconPopupMenu;
        QCOMPARE(MenuTexts(menu), QStringList({"&Show", "-", "E&xit"}));
        QCOMPARE(menu->actions().at(0), form->mnShowP);
        QCOMPARE(menu->actions().at(2), form->mnExitP);
        QCOMPARE(menu->defaultAction(), form->mnShowP);
        QVERIFY(form->mnShowP->font().bold());
        QVERIFY(!form->mnExitP->font().bold());
        QVERIFY(form->mnExitP->shortcut().isEmpty());
        // The main menu's Exit keeps its shortcut.
        QCOMPARE(form->actExit->shortcut(), QKeySequence(Qt::ALT | Qt::Key_X));
        QVERIFY(!form->actShow->font().bold());
    }

    void trayMenuItemsFollowTheirActions() {
        form->mnShowP->trigger();
        QVERIFY(form->isVisible());

        form->actExit->setEnabled(false);
        QVERIFY(!form->mnExitP->isEnabled());
        form->actExit->setText(QStringLiteral("E&xit now"));
        QCOMPARE(form->mnExitP->text(), QStringLiteral("E&xit now"));
        QVERIFY(form->mnExitP->shortcut().isEmpty());
        form->actExit->setEnabled(true);
        QVERIFY(form->mnExitP->isEnabled());
    }

    void closeBoxHidesToTheTrayAndKeepsRunning() {
        showAndSettle();
        shell->Clear();
        QCOMPARE(form->close(), false); // refused: the window only hides
        QVERIFY(!form->isVisible());
        QVERIFY(shell->Registered());
        QVERIFY(shell->Calls.isEmpty());
        QVERIFY(form->NotifyIcon->Visible());
    }

    void closeWindowCommandHidesToTheTray() {
        showAndSettle();
        form->actCloseWindow->trigger();
        QVERIFY(!form->isVisible());
        QVERIFY(!form->isMinimized());
    }

    void closeMinimisesWhenThereIsNoNotificationArea() {
        shell->config.available = false;
        showAndSettle();
        QCOMPARE(form->close(), false);
        QVERIFY(form->isVisible());
        QVERIFY(form->isMinimized());
        form->showNormal();
        form->actCloseWindow->trigger();
        QVERIFY(form->isVisible());
        QVERIFY(form->isMinimized());
    }

    void closeEndsWhereNothingWouldKeepAMinimisedWindow() {
        form->MinimiseHonoured = false;
        QSignalSpy exit(form->actExit, &QAction::triggered);
        // With a tray the window hides there as anywhere else.
        showAndSettle();
        QCOMPARE(form->close(), false);
        QVERIFY(!form->isVisible());
        QCOMPARE(exit.count(), 0);
        // Without one, closing is Exit: the program saves and ends.
        shell->config.available = false;
        showAndSettle();
        form->close();
        QCOMPARE(exit.count(), 1);
        QVERIFY(!form->isMinimized());
        form->actCloseWindow->trigger();
        QCOMPARE(exit.count(), 2);
    }

    void startShowsOrWithQuietHidesOnlyWhereThereIsATray() {
        form->ShowAtStart(true);
        QVERIFY(!form->isVisible());
        shell->config.available = false;
        form->ShowAtStart(true);
        QVERIFY(form->isVisible());
        QVERIFY(form->isMinimized());
        form->hide();
        form->setWindowState(Qt::WindowNoState);
        shell->config.available = true;
        form->ShowAtStart(false);
        QVERIFY(form->isVisible());
        QVERIFY(!form->isMinimized());
    }

    void activationShowsAHiddenWindowAndRegistersTheIconAnew() {
        QVERIFY(!form->isVisible());
        shell->Clear();
        form->ActivationMessage();
        QVERIFY(form->isVisible());
        QCOMPARE(shell->Kinds(), QStringList({"remove", "add"}));
        QVERIFY(shell->Registered());
        QVERIFY(form->NotifyIcon->Visible());
    }

    void activationRestoresAMinimisedWindow() {
        showAndSettle();
        form->showMinimized();
        QVERIFY(form->isMinimized());
        shell->Clear();
        form->ActivationMessage();
        QVERIFY(form->isVisible());
        QVERIFY(!form->isMinimized());
        QCOMPARE(shell->Kinds(), QStringList({"remove", "add"}));
    }

    void activationOfAVisibleWindowKeepsItShown() {
        showAndSettle();
        shell->Clear();
        form->ActivationMessage();
        QVERIFY(form->isVisible());
        QCOMPARE(shell->Kinds(), QStringList({"remove", "add"}));
    }

    void trayClicks_data() {
        QTest::addColumn<bool>("singleClickRestore");
        QTest::addColumn<bool>("sniHost");
        QTest::addColumn<bool>("visibleBefore");
        QTest::addColumn<QString>("gesture");
        QTest::addColumn<bool>("visibleAfter");

        QTest::newRow("default, hidden, click") << false << false << false << "click" << false;
        QTest::newRow("default, hidden, double click")
            << false << false << false << "double" << true;
        QTest::newRow("default, shown, click") << false << false << true << "click" << true;
        QTest::newRow("default, shown, double click") << false << false << true << "double" << true;
        QTest::newRow("single, hidden, click") << true << false << false << "click" << true;
        QTest::newRow("single, shown, click") << true << false << true << "click" << false;
        // The double click brings its click first; the double click itself does nothing.
        QTest::newRow("single, hidden, double click") << true << false << false << "double" << true;
        QTest::newRow("single, shown, double click") << true << false << true << "double" << false;
        // A StatusNotifierItem host: a single click shows and hides, whatever the setting.
        QTest::newRow("sni, hidden, click") << false << true << false << "click" << true;
        QTest::newRow("sni, shown, click") << false << true << true << "click" << false;
        QTest::newRow("sni, shown, double click") << false << true << true << "double" << false;
    }

    void trayClicks() {
        QFETCH(bool, singleClickRestore);
        QFETCH(bool, sniHost);
        QFETCH(bool, visibleBefore);
        QFETCH(QString, gesture);
        QFETCH(bool, visibleAfter);

        form->SingleClickRestore = singleClickRestore;
        shell->config.singleClickHost = sniHost;
        if (visibleBefore)
            showAndSettle();
        if (gesture == QLatin1String("click"))
            shell->EmitClick();
        else
            shell->EmitDoubleClick();
        QCOMPARE(form->isVisible(), visibleAfter);
    }

    void showCommandShowsOnlyAHiddenWindow() {
        form->actShow->trigger();
        QVERIFY(form->isVisible());
        form->showMinimized();
        form->actShow->trigger();
        QVERIFY(form->isMinimized()); // visible already: nothing
    }

    void balloonClickShowsTheWindow() {
        shell->EmitBalloonClicked();
        QVERIFY(form->isVisible());
        const QRect before = form->geometry();
        shell->EmitBalloonClicked();
        QVERIFY(form->isVisible());
        QCOMPARE(form->geometry(), before);
    }

    void rightClickOpensTheTrayMenu() {
        shell->EmitRightClick(QPoint(30, 30));
        QVERIFY(form->NotifyIconPopupMenu->isVisible());
        form->NotifyIconPopupMenu->hide();
    }

    void hideFromMinimisedRestoresWithoutAnimation_data() {
        QTest::addColumn<bool>("animation");
        QTest::newRow("animation on") << true;
        QTest::newRow("animation off") << false;
    }

    void hideFromMinimisedRestoresWithoutAnimation() {
        QFETCH(bool, animation);
        showAndSettle();
        form->showMinimized();
        QVERIFY(form->isMinimized());
        TNotifyIconForm::SetAnimationEnabled(animation);
        form->animationWhileRestoring.clear();

        form->HideToTray();

        QVERIFY(!form->isVisible());
        QVERIFY(!form->isMinimized()); // comes back un-minimised later
        QCOMPARE(form->animationWhileRestoring, QList<bool>({false}));
        QCOMPARE(TNotifyIconForm::IsAnimationEnabled(), animation);
        form->ShowFromTray();
        QVERIFY(form->isVisible());
        QVERIFY(!form->isMinimized());
    }

    void animationFliesWithoutBlockingAndGoesAway() {
        shell->config.geometry = QRect(600, 0, 24, 24);
        showAndSettle();
        TNotifyIconForm::SetAnimationEnabled(true);
        const QRect bounds = form->frameGeometry();
        form->HideToTray();
        QVERIFY(!form->isVisible());
        // HideToTray has returned while the rectangle is still on its way.
        QCOMPARE(FlyingRects().size(), 1);
        QRubberBand *band = FlyingRects().constFirst();
        QVERIFY(band->isVisible());
        QVERIFY(band->isWindow());
        QCOMPARE(band->geometry(), bounds);
        QTRY_VERIFY_WITH_TIMEOUT(FlyingRects().isEmpty(), 5000);
    }

    void showFromTrayStartsAtTheIcon() {
        shell->config.geometry = QRect(600, 0, 24, 24);
        TNotifyIconForm::SetAnimationEnabled(true);
        form->ShowFromTray();
        QVERIFY(form->isVisible());
        QCOMPARE(FlyingRects().size(), 1);
        QCOMPARE(FlyingRects().constFirst()->geometry(), QRect(600, 0, 24, 24));
        QTRY_VERIFY_WITH_TIMEOUT(FlyingRects().isEmpty(), 5000);
    }

    void withoutAnimationNothingFlies() {
        showAndSettle();
        form->HideToTray();
        form->ShowFromTray();
        QVERIFY(FlyingRects().isEmpty());
    }

    void trayRectFromTheShellOrTheScreenCorner() {
        QRect rect(1, 2, 3, 4);
        QCOMPARE(form->GetTrayRect(rect), false);
        QCOMPARE(rect, QRect(1, 2, 3, 4));
        shell->config.geometry = QRect(700, 5, 22, 22);
        QVERIFY(form->GetTrayRect(rect));
        QCOMPARE(rect, QRect(700, 5, 22, 22));

        // Without it the rectangle flies to (W - 100, H - 30)..(W, H) of the window's monitor.
        shell->config.geometry = QRect();
        TNotifyIconForm::SetAnimationEnabled(true);
        form->ShowFromTray();
        const QRect monitor = form->screen()->geometry();
        QCOMPARE(FlyingRects().size(), 1);
        QCOMPARE(FlyingRects().constFirst()->geometry(),
                 QRect(QPoint(monitor.width() - 100, monitor.height() - 30), QSize(100, 30)));
    }

    void maximiseCommandCapturesTheNormalBounds() {
        form->move(110, 120);
        form->resize(400, 300);
        showAndSettle();
        const QPoint pos = form->pos();
        const QSize size = form->size();
        form->MaximizeCommand();
        QVERIFY(form->isMaximized());
        QCOMPARE(form->RestoreLeft, pos.x());
        QCOMPARE(form->RestoreTop, pos.y());
        QCOMPARE(form->RestoreWidth, size.width());
        QCOMPARE(form->RestoreHeight, size.height());
    }

    void maximiseCommandOnAHiddenWindowCapturesItsBounds() {
        // As the settings load does before the window is first shown.
        form->move(50, 60);
        form->resize(420, 310);
        form->MaximizeCommand();
        QVERIFY(form->isMaximized());
        QCOMPARE(form->RestoreLeft, 50);
        QCOMPARE(form->RestoreTop, 60);
        QCOMPARE(form->RestoreWidth, 420);
        QCOMPARE(form->RestoreHeight, 310);
    }

    void maximisingByOtherMeansCapturesTheNormalBounds() {
        form->move(130, 140);
        form->resize(380, 290);
        showAndSettle();
        form->move(150, 160);
        form->resize(390, 280);
        QTRY_COMPARE(form->size(), QSize(390, 280));
        const QPoint pos = form->pos();
        form->setWindowState(Qt::WindowMaximized);
        QTRY_VERIFY(form->isMaximized());
        QTRY_VERIFY(form->size() != QSize(390, 280));
        QCOMPARE(form->RestoreLeft, pos.x());
        QCOMPARE(form->RestoreTop, pos.y());
        QCOMPARE(form->RestoreWidth, 390);
        QCOMPARE(form->RestoreHeight, 280);
        // Un-maximise and maximise again: the bounds are those of now.
        form->showNormal();
        QTRY_COMPARE(form->size(), QSize(390, 280));
        form->resize(360, 270);
        QTRY_COMPARE(form->size(), QSize(360, 270));
        form->showMaximized();
        QTRY_VERIFY(form->isMaximized());
        QCOMPARE(form->RestoreWidth, 360);
        QCOMPARE(form->RestoreHeight, 270);
    }

    void alwaysOnTopSetsAndClearsTheFlagKeepingTheWindow() {
        form->move(90, 80);
        form->resize(400, 300);
        showAndSettle();
        const QPoint pos = form->pos();
        // The shown window is told, never re-created: a new one would be placed anew by the
        // window manager.
        QWindow *const native = form->windowHandle();
        QSignalSpy visibility(native, &QWindow::visibleChanged);
        form->SetAlwaysOnTop(true);
        QVERIFY(form->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(native->flags().testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(form->isVisible());
        QCOMPARE(form->pos(), pos);
        QCOMPARE(form->size(), QSize(400, 300));
        form->SetAlwaysOnTop(false);
        QVERIFY(!form->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(!native->flags().testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(form->isVisible());
        QCOMPARE(form->pos(), pos);
        QCOMPARE(form->windowHandle(), native);
        QCOMPARE(visibility.count(), 0);
    }

    void alwaysOnTopLeavesAHiddenWindowHidden() {
        form->SetAlwaysOnTop(true);
        QVERIFY(form->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(!form->isVisible());
        form->SetAlwaysOnTop(false);
        QVERIFY(!form->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(!form->isVisible());
    }
};

QTEST_MAIN(TestNotifyIconForm)
#include "test_notifyiconform.moc"
