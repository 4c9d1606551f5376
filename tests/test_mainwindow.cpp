#include "Version.h"
#include "app/Application.h"
#include "app/Main.h"
#include "app/RepaintThrottle.h"
#include "engine/PingTarget.h"
#include "engine/SnoozeList.h"
#include "platform/AppErrors.h"
#include "platform/gui/MessageBox.h"
#include "support/EngineProbe.h"
#include "support/TableResolver.h"
#include "support/TestHelpers.h"
#include "support/TestTcpServer.h"
#include "support/gui/Accessibility.h"
#include "support/gui/MainWindowParts.h"
#include "support/gui/RecordingTrayShell.h"
#include "support/gui/TestEnvironment.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>
#include <memory>

namespace {
// Data of a drop from another program: the bytes as that program offered them. (A QMimeData
// of this process turns text/uri-list into parsed URLs when it is set.)
class ForeignDropData : public QMimeData {
public:
    ForeignDropData(const QString &format, const QByteArray &bytes)
        : m_format(format), m_bytes(bytes) {}
    QStringList formats() const override { return {m_format}; }
    bool hasFormat(const QString &format) const override { return format == m_format; }

protected:
    QVariant retrieveData(const QString &format, QMetaType) const override {
        return format == m_format ? QVariant(m_bytes) : QVariant();
    }

private:
    QString m_format;
    QByteArray m_bytes;
};

// Counts the paint events a widget gets.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget *widget) { widget->installEventFilter(this); }
    int paints = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

QStringList Captions(const QList<QAction *> &actions) {
    QStringList out;
    for (QAction *a : actions)
        out << (a->isSeparator() ? QStringLiteral("-") : a->text());
    return out;
}
} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void menusToolBarAndTrayMenu();
    void toolBarPicturesFollowThePalette();
    void commandsAtStart();
    void quietOnlyAsFirstArgument();
    void statusAtStart();
    void everyControlNamedAndStatusAnnounced();
    void refusedAutoPingAddressAtStart();
    void closeHidesAndKeepsRunning();
    void activationShowsAndReregisters();
    void alwaysOnTopFlipsMarkOnly();
    void unhandledErrorWhileVisible();
    void unhandledErrorWhileHidden();
    void aboutDetachesTrayMenu();

    void emptyEntryAddsEmptyLine();
    void clearLogWithSaveLog();
    void startCreatesFoldersAndContinuesOldLog();
    void oldLogWithOtherLineBreaksIsContinuedOnANewLine();
    void unwritableLogIsReportedOnceAndPaneKeepsEntries();
    void logFileEqualsPaneAfterEveryEntry();
    void saveLogToChosenFile();
    void hideAndShowLogRestoresHeight();
    void repaintThrottleHoldsAFloodOnly();
    void floodOfEntriesKeepsEveryEntryAndEndsAtTheLast();

    void ctrlEnterCompletesBareName();
    void ctrlEnterLeavesWwwAndSchemesAlone();
    void enterWhileBusyStartsNothing();
    void lineBreakAndTabCharactersSwallowed();
    void tabLeavesTheBoxWhileTheListIsClosed();
    void commandShortcutsAnswerInTheAddressBox();
    void disabledCommandKeysLeaveTheBoxAlone();
    void deleteRemovesHighlightedEntryOfOpenList();
    void droppedFtpLinkIsRefusedAndNotListed();
    void droppedHttpLinkIsPinged();
    void droppedLinkIsPingedAsDropped_data();
    void droppedLinkIsPingedAsDropped();

private:
    void Build();
    // A store file with "Save log" on and the given "Log file", as a previous run left it.
    bool StoreSaveLog(const QString &logFile);
    // Shows the window, active, with the keyboard focus in the address box.
    bool ShowWithFocusInAddressBox();
    std::unique_ptr<TestEnvironment> m_env;
    std::unique_ptr<TfMain_Vennatro> w;
    MainWindowParts ui;
    TableResolver *m_resolver = nullptr;
    RecordingTrayShell *m_shell = nullptr;
};

void TestMainWindow::init() {
    m_env = std::make_unique<TestEnvironment>();
    Options = TOptions();
}

void TestMainWindow::Build() {
    w = std::make_unique<TfMain_Vennatro>(new PingSession);
    ui.Resolve(w.get()); // a missing part fails the test
    m_shell = RecordingTrayShell::Of(w->NotifyIcon->Shell());
    m_resolver = new TableResolver(w.get());
    w->Session->Engine()->SetResolver(m_resolver);
}

bool TestMainWindow::ShowWithFocusInAddressBox() {
    w->show();
    w->activateWindow();
    if (!QTest::qWaitForWindowActive(w.get()))
        return false;
    ui.cmbAddress->setFocus();
    return QTest::qWaitFor([this] { return ui.cmbAddress->hasFocus(); }, 5000);
}

bool TestMainWindow::StoreSaveLog(const QString &logFile) {
    return m_env->WriteStore("\"Save log\"=dword:00000001\r\n\"Log file\"=\"" + logFile.toUtf8() +
                             "\"\r\n");
}

void TestMainWindow::cleanup() {
    w.reset();
    m_env.reset();
}

void TestMainWindow::menusToolBarAndTrayMenu() {
    Build();
    QCOMPARE(Captions(w->menuBar()->actions()),
             (QStringList{"&File", "&Ping", "&Options", "&Help"}));
    QCOMPARE(Captions(ui.mnFile->actions()),
             (QStringList{"&Save log to file...", "-", "&Close window", "E&xit"}));
    QCOMPARE(Captions(ui.mnPing->actions()),
             (QStringList{"&Ping now", "&Cancel", "-", "&Automatic ping", "-", "&History...",
                          "&Watched addresses"}));
    QCOMPARE(Captions(ui.mnOptions->actions()),
             (QStringList{"Show &log", "&Always on top", "-", "&Clear log", "-", "&Options..."}));
    QCOMPARE(Captions(ui.mnHelp->actions()), (QStringList{"&About"}));
    QCOMPARE(ui.mnOptions->actions().last()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_O));

    QStringList bar;
    for (QAction *a : ui.ToolBar->actions()) {
        if (a->isSeparator()) {
            bar << QStringLiteral("-");
        } else if (auto *b = qobject_cast<QToolButton *>(ui.ToolBar->widgetForAction(a))) {
            bar << b->text();
        }
    }
    QCOMPARE(bar, (QStringList{"Ping now", "Cancel", "-", "Auto-ping", "History", "Watched", "-",
                               "Show log", "Options", "-", "Exit"}));
    auto *exitButton = qobject_cast<QToolButton *>(ui.ToolBar->widgetForAction(w->actExit));
    QCOMPARE(exitButton->toolTip(), QStringLiteral("Exit application"));
    QVERIFY(
        qobject_cast<QToolButton *>(ui.ToolBar->widgetForAction(ui.actAutoPing))->isCheckable());

    const QList<QAction *> tray = w->NotifyIconPopupMenu->actions();
    QCOMPARE(Captions(tray), (QStringList{"&Show", "&Ping now", "-", "&About", "-", "E&xit", "-",
                                          "&Snooze alerts", "&Resume alerts"}));
    QCOMPARE(Captions(w->mnSnooze->actions()),
             (QStringList{"1 &hour", "&4 hours", "Until &tomorrow 08:00"}));
    QVERIFY(!tray.at(8)->isEnabled()); // nothing snoozed
    QCOMPARE(w->NotifyIconPopupMenu->defaultAction(), tray.at(0));
    QVERIFY(tray.at(0)->font().bold());
    QVERIFY(tray.at(1)->shortcut().isEmpty());
    QVERIFY(tray.at(5)->shortcut().isEmpty());
    QCOMPARE(w->actExit->shortcut(), QKeySequence(Qt::ALT | Qt::Key_X));
    // The tray's "Ping now" follows the command.
    ui.actPing->setEnabled(false);
    QVERIFY(!tray.at(1)->isEnabled());
}

// Lines in the palette's button text colour, paper in its base colour, brighter accents on a
// dark palette; a new palette repaints them, the menus' copies too.
void TestMainWindow::toolBarPicturesFollowThePalette() {
    Build();
    // Options: a ring of lines around a hole of paper; Ping: a green trace.
    const auto pixel = [](const QAction *action, int x, int y) {
        return action->icon().pixmap(24, 24).toImage().pixelColor(x, y);
    };
    for (const bool dark : {false, true}) {
        QPalette palette;
        palette.setColor(QPalette::Window,
                         dark ? QColor(0x2b, 0x2b, 0x2b) : QColor(0xef, 0xef, 0xef));
        palette.setColor(QPalette::ButtonText,
                         dark ? QColor(0xe8, 0xe8, 0xe8) : QColor(0x10, 0x10, 0x10));
        palette.setColor(QPalette::Base, dark ? QColor(0x1e, 0x1e, 0x1e) : QColor(Qt::white));
        w->setPalette(palette);
        QCOMPARE(pixel(ui.actOptions, 12, 8), palette.color(QPalette::ButtonText));
        QCOMPARE(pixel(ui.actOptions, 12, 12), palette.color(QPalette::Base));
        const QColor green = pixel(ui.actPing, 4, 13);
        QVERIFY2(green.green() > green.red() && (green.lightness() > 128) == dark,
                 qPrintable(green.name()));
        QCOMPARE(pixel(ui.mnPingNowP, 4, 13), green);
    }
}

void TestMainWindow::commandsAtStart() {
    Build();
    struct Row {
        QAction *action;
        const char *caption;
        QKeySequence shortcut;
        const char *hint;
        const char *category;
        bool enabled;
    };
    const QList<Row> rows{
        {ui.actPing, "&Ping now", QKeySequence(Qt::CTRL | Qt::Key_P),
         "Ping the current address now", "Ping", true},
        {ui.actCancel, "&Cancel", QKeySequence(Qt::Key_Escape), "Cancel current ping", "Ping",
         false},
        {ui.actAutoPing, "&Automatic ping", QKeySequence(Qt::CTRL | Qt::Key_U),
         "Enable automatic ping of the current address", "Ping", true},
        {ui.actShowLog, "Show &log", QKeySequence(Qt::CTRL | Qt::Key_L), "Show ping history log",
         "Options", true},
        {ui.actClearLog, "&Clear log", QKeySequence(), "", "Options", true},
        {ui.actSaveLog, "&Save log to file...", QKeySequence(Qt::CTRL | Qt::Key_S),
         "Save log to file", "File", true},
        {ui.actAlwaysOnTop, "&Always on top", QKeySequence(Qt::CTRL | Qt::Key_A), "", "Options",
         true},
        {ui.actOptions, "&Options", QKeySequence(Qt::CTRL | Qt::Key_O), "Options", "Options", true},
        {ui.actAbout, "&About", QKeySequence(), "About", "Help", true},
        {w->actExit, "E&xit", QKeySequence(Qt::ALT | Qt::Key_X), "Exit", "File", true},
        {w->actShow, "&Show", QKeySequence(), "Show main window", "", true},
        {w->actCloseWindow, "&Close window", QKeySequence(), "", "File", true},
    };
    for (const Row &r : rows) {
        QCOMPARE(r.action->text(), QString::fromLatin1(r.caption));
        QCOMPARE(r.action->shortcut(), r.shortcut);
        QCOMPARE(r.action->statusTip(), QString::fromLatin1(r.hint));
        QCOMPARE(r.action->property("category").toString(), QString::fromLatin1(r.category));
        QCOMPARE(r.action->isEnabled(), r.enabled);
    }
    QVERIFY(ui.actShowLog->isChecked());
    QVERIFY(!ui.actAutoPing->isChecked());
    QVERIFY(ui.btnPingSmall->text().isEmpty());
    QCOMPARE(ui.StatusPanel->font().pointSize(), 10);
    QCOMPARE(w->windowTitle(), QStringLiteral("Vennatro"));
    QVERIFY(w->minimumWidth() >= 600 && w->minimumHeight() >= 400);
    // Tool-tips stay four seconds.
    QCOMPARE(ui.btnPingToolBar->toolTipDuration(), 4000);
    QCOMPARE(ui.imgStatus->toolTipDuration(), 4000);
    QCOMPARE(ui.btnPingSmall->toolTipDuration(), 4000);
}

void TestMainWindow::quietOnlyAsFirstArgument() {
    const QString program = QStringLiteral("vennatro");
    QVERIFY(StartQuiet({program, QStringLiteral("-quiet")}));
    QVERIFY(StartQuiet({program, QStringLiteral("-QUIET")}));
    QVERIFY(StartQuiet({program, QStringLiteral("-Quiet"), QStringLiteral("more")}));
    QVERIFY(!StartQuiet({program}));
    QVERIFY(!StartQuiet({program, QStringLiteral("x"), QStringLiteral("-quiet")}));
    QVERIFY(!StartQuiet({program, QStringLiteral("-quieter")}));
    QVERIFY(!StartQuiet({program, QStringLiteral("quiet")}));
}

void TestMainWindow::statusAtStart() {
    Build();
    QCOMPARE(w->StatusImageIndex, 1);
    QCOMPARE(w->StatusHint(), QStringLiteral("Inactive"));
    QCOMPARE(w->StatusText(), QString());
    QCOMPARE(w->NotifyIcon->ToolTip(), QStringLiteral("Vennatro"));
    QVERIFY(!w->Session->Engine()->Busy());
    QCOMPARE(EngineProbe(w->Session->Engine()).PingOutcome(), poPending);
    QVERIFY(!w->ComputerName.isEmpty());
    QCOMPARE(w->ProgramVersion, CutBeforeLastDot(QStringLiteral(VENNATRO_FILE_VERSION)));
    QVERIFY(w->UserAgent.startsWith(QStringLiteral("Vennatro/") + w->ProgramVersion + " ("));
    QCOMPARE(EngineProbe(w->Session->Engine()).IdSMTP().MailAgent,
             QStringLiteral("Vennatro ") + w->ProgramVersion);
    // The banner is the one entry of a new log.
    QVERIFY(ui.mmLog->toPlainText().startsWith(QStringLiteral("= = = = = = = = = = = =  Session "
                                                              "started at [")));
    QVERIFY(ui.mmLog->toPlainText().endsWith(QStringLiteral("= = =\n\n\n")));
    // The status image keeps a 7-pixel margin from the band's right end.
    w->resize(900, 500);
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    QTRY_COMPARE(ui.ToolBar->width() - ui.imgStatus->geometry().right() - 1, 7);
    w->resize(1000, 500);
    QTRY_COMPARE(ui.ToolBar->width() - ui.imgStatus->geometry().right() - 1, 7);
    // A snooze from the tray: kept in the settings, said by the tool-tip, ended by Resume.
    w->mnSnooze->actions().at(0)->trigger();
    const QDateTime until = QDateTime::currentDateTime().addSecs(3600);
    QVERIFY(Options.SnoozedUntil.startsWith(QStringLiteral("*\t")));
    QVERIFY(w->actResumeAlerts->isEnabled());
    QCOMPARE(w->NotifyIcon->AddedToolTipLines(),
             QStringLiteral("Alerts snoozed until ") +
                 SnoozeEndText(until, QDateTime::currentDateTime()));
    w->actResumeAlerts->trigger();
    QCOMPARE(Options.SnoozedUntil, QString());
    QVERIFY(!w->actResumeAlerts->isEnabled());
    QCOMPARE(w->NotifyIcon->AddedToolTipLines(), QString());
}

// A screen reader finds a name on every control, the status image's state in words, and the
// status bar's and the status image's names follow the status.
void TestMainWindow::everyControlNamedAndStatusAnnounced() {
    Build();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    ui.mmLog->setFocus(); // the focus moves nothing a name depends on
    QCOMPARE(UnnamedFocusable(w.get()), QStringList());
    QCOMPARE(AccessibleName(ui.btnPingSmall), QStringLiteral("Ping now"));
    QVERIFY(ui.btnPingSmall->text().isEmpty()); // a picture only
    QCOMPARE(AccessibleName(ui.mmLog), QStringLiteral("Log"));
    QCOMPARE(AccessibleName(ui.cmbAddress), QStringLiteral("Address"));
    QCOMPARE(ui.lblAddress->buddy(), ui.cmbAddress);
    QVERIFY(ui.lblAddress->text().contains(QLatin1Char('&'))); // Alt+D reaches the box
    QCOMPARE(AccessibleName(ui.imgStatus), QStringLiteral("Status: idle"));
    QCOMPARE(AccessibleName(ui.StatusPanel), QStringLiteral("Status: idle"));

    // Announced by name (offscreen there is no accessibility bus to hear it: e2e_a11y does).
    emit w->Session->pingFailed(QStringLiteral("http://127.0.0.1:9/"), QStringLiteral("refused"));
    QCOMPARE(AccessibleName(ui.imgStatus), QStringLiteral("Status: last ping failed"));
    QCOMPARE(QAccessible::queryAccessibleInterface(ui.imgStatus)->text(QAccessible::Description),
             QStringLiteral("Connection to [http://127.0.0.1:9/] failed."));
    QCOMPARE(AccessibleName(ui.StatusPanel),
             QStringLiteral("Connection to [http://127.0.0.1:9/] failed."));
    w->TimerNotificationTimer();
    QCOMPARE(AccessibleName(ui.imgStatus), QStringLiteral("Status: idle"));
    QCOMPARE(AccessibleName(ui.StatusPanel), QStringLiteral("Status: idle"));
}

void TestMainWindow::refusedAutoPingAddressAtStart() {
    QVERIFY(m_env->WriteStore("\"Auto-ping at start\"=dword:00000001\r\n"
                              "\"Auto-ping address\"=\"ftp://files.example/\"\r\n"));
    Build();
    // The address's own warning, and nothing else.
    QCOMPARE(m_env->messages.size(), 1);
    QCOMPARE(m_env->messages.at(0).text, QString::fromLatin1(SchemeRejectedText));
    QCOMPARE(m_env->messages.at(0).caption, QStringLiteral("Vennatro"));
    QCOMPARE(m_env->messages.at(0).icon, MessageIcon::Warning);
    QVERIFY(!w->AutoPingOn());
    QVERIFY(!ui.actAutoPing->isChecked());
    QVERIFY(!w->Session->Engine()->Busy());
    QCOMPARE(ui.cmbAddress->currentText(), QStringLiteral("ftp://files.example/"));
    QCOMPARE(ui.cmbAddress->count(), 0);
    // The steps after it still ran.
    QCOMPARE(EngineProbe(w->Session->Engine()).IdSMTP().MailAgent,
             QStringLiteral("Vennatro ") + w->ProgramVersion);
}

void TestMainWindow::closeHidesAndKeepsRunning() {
    Build();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    QSignalSpy quit(qApp, &QCoreApplication::aboutToQuit);
    QVERIFY(!w->close());
    QVERIFY(!w->isVisible());
    QVERIFY(m_shell->Registered());
    w->show();
    w->actCloseWindow->trigger();
    QVERIFY(!w->isVisible());
    QCOMPARE(quit.count(), 0);

    // The first hide says where the program went, once per user: not again in this run, and
    // not in the next.
    const QList<RecordingTrayShell::Call> hints = m_shell->Balloons();
    QCOMPARE(hints.size(), 1);
    QCOMPARE(hints[0].title, QStringLiteral("Vennatro"));
    QCOMPARE(hints[0].text,
             QStringLiteral("Vennatro keeps running in the notification area. Double-click its "
                            "icon to bring the window back; Exit in the icon's menu ends the "
                            "program."));
    w.reset();
    QFile store(m_env->StorePath());
    QVERIFY(store.open(QIODevice::ReadOnly));
    const QByteArray stored = store.readAll();
    QVERIFY2(stored.contains("\n\"Hide hint shown\"=dword:00000001"), stored.constData());
    Build();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    w->close();
    QVERIFY(!w->isVisible());
    QCOMPARE(m_shell->Balloons().size(), 0);
}

void TestMainWindow::activationShowsAndReregisters() {
    Build();
    QVERIFY(!w->isVisible());
    m_shell->Clear();
    w->ActivationMessage();
    QVERIFY(w->isVisible());
    QCOMPARE(m_shell->Kinds().mid(0, 2), (QStringList{"remove", "add"}));
}

void TestMainWindow::alwaysOnTopFlipsMarkOnly() {
    Build();
    Options.AlwaysOnTop = false;
    ui.actAlwaysOnTop->trigger();
    QVERIFY(ui.actAlwaysOnTop->isChecked());
    QVERIFY(w->windowFlags() & Qt::WindowStaysOnTopHint);
    QVERIFY(!Options.AlwaysOnTop);
    ui.actAlwaysOnTop->trigger();
    QVERIFY(!ui.actAlwaysOnTop->isChecked());
    QVERIFY(!(w->windowFlags() & Qt::WindowStaysOnTopHint));
    // The next apply puts the window back to the setting.
    ui.actAlwaysOnTop->trigger();
    w->ApplySettings();
    QVERIFY(!ui.actAlwaysOnTop->isChecked());
}

void TestMainWindow::unhandledErrorWhileVisible() {
    Build();
    w->show();
    HandleApplicationException(std::make_exception_ptr(Exception(QStringLiteral("Boom"))));
    HandleApplicationException(std::make_exception_ptr(Exception(QStringLiteral("Done."))));
    HandleApplicationException(std::make_exception_ptr(Exception(QStringLiteral("Bad (x)"))));
    QCOMPARE(m_env->messages.size(), 3);
    QCOMPARE(m_env->messages.at(0).text, QStringLiteral("Boom."));
    QCOMPARE(m_env->messages.at(0).caption, QStringLiteral("Vennatro"));
    QCOMPARE(m_env->messages.at(0).icon, MessageIcon::Error);
    QCOMPARE(m_env->messages.at(1).text, QStringLiteral("Done."));
    QCOMPARE(m_env->messages.at(2).text, QStringLiteral("Bad (x)")); // ')' sorts before '.'
    // A handler that throws from a queued call does not end the program either.
    QMetaObject::invokeMethod(
        w.get(), [] { GuardedCall([] { throw std::runtime_error("late"); }); },
        Qt::QueuedConnection);
    QTRY_COMPARE(m_env->messages.size(), 4);
    QCOMPARE(m_env->messages.at(3).text, QStringLiteral("late."));
}

void TestMainWindow::unhandledErrorWhileHidden() {
    Build();
    m_shell->Clear();
    HandleApplicationException(std::make_exception_ptr(Exception(QStringLiteral("Boom"))));
    QVERIFY(m_env->messages.isEmpty());
    const auto balloon = m_shell->LastBalloon();
    QVERIFY(balloon.has_value());
    QCOMPARE(balloon->text, QStringLiteral("Boom"));
    QCOMPARE(balloon->title, QStringLiteral("Vennatro"));
    QCOMPARE(balloon->iconKind, 3);
}

void TestMainWindow::aboutDetachesTrayMenu() {
    Build();
    QMenu *menu = w->NotifyIcon->PopupMenu();
    QVERIFY(menu);
    QMenu *during = menu;
    QTimer::singleShot(0, w.get(), [&] {
        during = w->NotifyIcon->PopupMenu();
        for (QWidget *top : QApplication::topLevelWidgets())
            if (auto *d = qobject_cast<QDialog *>(top); d && d->isVisible())
                d->reject();
    });
    ui.actAbout->trigger();
    QCOMPARE(during, static_cast<QMenu *>(nullptr));
    QCOMPARE(w->NotifyIcon->PopupMenu(), menu);
}

void TestMainWindow::emptyEntryAddsEmptyLine() {
    Build();
    const QString before = w->LogText();
    w->AddToLog(QString());
    QCOMPARE(w->LogText(), before + QStringLiteral("\r\n"));
    w->AddToLog(QStringLiteral("a\r\nb"));
    QCOMPARE(w->LogText(), before + QStringLiteral("\r\na\r\nb\r\n"));
}

void TestMainWindow::clearLogWithSaveLog() {
    Build();
    Options.SaveLog = true;
    Options.LogFile = m_env->Path(QStringLiteral("log.txt"));
    w->ApplySettings();
    w->AddToLog(QStringLiteral("one"));
    w->AddToLog(QStringLiteral("two"));
    QVERIFY(ReadBytes(Options.LogFile).contains("two"));
    ui.actClearLog->trigger();
    const QByteArray file = ReadBytes(Options.LogFile);
    QVERIFY(file.startsWith("= = = = = = = = = = = =  Session started at ["));
    QVERIFY(!file.contains("two"));
    QCOMPARE(file, w->LogText().toUtf8());
    QCOMPARE(file.count("Session started"), 1);
}

void TestMainWindow::startCreatesFoldersAndContinuesOldLog() {
    // First run: the folder does not exist; start creates it and the banner creates the file.
    {
        TOptions o = DefaultOptions();
        Options = o;
    }
    const QString path = m_env->Path(QStringLiteral("deep/er/log.txt"));
    // The settings load would overwrite Options: store them first.
    QVERIFY(StoreSaveLog(path));
    Build();
    QVERIFY(Options.SaveLog);
    QCOMPARE(Options.LogFile, path);
    QVERIFY(QFileInfo(path).exists());
    const QByteArray first = ReadBytes(path);
    QCOMPARE(first.count("Session started"), 1);
    w->AddToLog(QStringLiteral("entry of the first run"));
    w.reset();

    // Second run: the old log comes back above the new banner.
    Build();
    const QString text = w->LogText();
    const qsizetype old = text.indexOf(QLatin1String("entry of the first run"));
    const qsizetype banner2 = text.lastIndexOf(QLatin1String("Session started"));
    QVERIFY(old > 0);
    QVERIFY(banner2 > old);
    QCOMPARE(ReadBytes(path), text.toUtf8());
}

void TestMainWindow::oldLogWithOtherLineBreaksIsContinuedOnANewLine() {
    // A log file edited by hand: bare line feeds, and no line break after its last line.
    const QString path = m_env->Path(QStringLiteral("log.txt"));
    {
        QFile log(path);
        QVERIFY(log.open(QIODevice::WriteOnly));
        log.write("first\nsecond\r\nlast");
    }
    QVERIFY(StoreSaveLog(path));
    Build();
    const QString text = w->LogText();
    // The banner starts a line of its own. The file keeps its own bytes and gets the same
    // line break and what follows it in the pane.
    QVERIFY2(text.startsWith(QStringLiteral("first\r\nsecond\r\nlast\r\n= = = = ")),
             qPrintable(text));
    const auto fileFor = [](const QString &pane) {
        return "first\nsecond\r\nlast" + pane.mid(19).toUtf8(); // after "first ... last"
    };
    QCOMPARE(ReadBytes(path), fileFor(text));
    w->AddToLog(QStringLiteral("next"));
    QCOMPARE(ReadBytes(path), fileFor(w->LogText()));
    QVERIFY(w->LogText().endsWith(QStringLiteral("\r\n\r\n\r\nnext\r\n")));
}

void TestMainWindow::unwritableLogIsReportedOnceAndPaneKeepsEntries() {
    Build();
    w->show();
    Options.SaveLog = true;
    Options.LogFile = m_env->Path(); // a folder: no file can be written there
    w->ApplySettings();
    w->AddToLog(QStringLiteral("first"));
    w->AddToLog(QStringLiteral("second"));
    QCOMPARE(m_env->messages.size(), 1);
    QVERIFY2(m_env->messages.at(0).text.contains(m_env->Path()),
             qPrintable(m_env->messages.at(0).text));
    QCOMPARE(m_env->messages.at(0).caption, QStringLiteral("Vennatro"));
    QVERIFY(w->LogText().endsWith(QStringLiteral("first\r\nsecond\r\n")));
    // Once the file works again it catches up with everything in the pane.
    Options.LogFile = m_env->Path(QStringLiteral("ok.txt"));
    w->ApplySettings();
    w->AddToLog(QStringLiteral("third"));
    QCOMPARE(ReadBytes(Options.LogFile), w->LogText().toUtf8());
}

void TestMainWindow::logFileEqualsPaneAfterEveryEntry() {
    Build();
    Options.SaveLog = true;
    Options.LogFile = m_env->Path(QStringLiteral("log.txt"));
    w->ApplySettings();
    const QStringList entries{QStringLiteral(""), QStringLiteral("x\r\n\r\n"),
                              QStringLiteral("lone\nfeed"), QStringLiteral("lone\rreturn"),
                              QStringLiteral("\u00fcml\u00e4ut")};
    for (const QString &e : entries) {
        w->AddToLog(e);
        QCOMPARE(ReadBytes(Options.LogFile), w->LogText().toUtf8());
    }
}

void TestMainWindow::saveLogToChosenFile() {
    Build();
    const QString target = m_env->Path(QStringLiteral("saved.txt"));
    w->dlgSaveExecute = [&] { return target; };
    w->AddToLog(QStringLiteral("kept"));
    ui.actSaveLog->trigger();
    QCOMPARE(ReadBytes(target), w->LogText().toUtf8());
    // Cancelled: nothing written.
    QFile::remove(target);
    w->dlgSaveExecute = [] { return QString(); };
    ui.actSaveLog->trigger();
    QVERIFY(!QFile::exists(target));

    // With "Always on top" the dialog is never hidden behind the window, and a file that
    // cannot be written is reported; the window goes back on top either way.
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    Options.AlwaysOnTop = true;
    w->ApplySettings();
    bool onTopDuring = true;
    w->dlgSaveExecute = [&] {
        onTopDuring = w->windowFlags() & Qt::WindowStaysOnTopHint;
        return m_env->Path(); // a folder
    };
    ui.actSaveLog->trigger();
    QVERIFY(!onTopDuring);
    QVERIFY(w->windowFlags() & Qt::WindowStaysOnTopHint);
    QCOMPARE(m_env->messages.size(), 1);
    QVERIFY2(m_env->messages.at(0).text.contains(m_env->Path()),
             qPrintable(m_env->messages.at(0).text));
    QCOMPARE(m_env->messages.at(0).caption, QStringLiteral("Vennatro"));
}

void TestMainWindow::hideAndShowLogRestoresHeight() {
    Build();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    w->resize(700, 520);
    QTRY_COMPARE(w->height(), 520);
    ui.actShowLog->trigger();
    QVERIFY(!ui.actShowLog->isChecked());
    QVERIFY(!Options.ShowLog);
    QCOMPARE(w->RestoreHeight, 520);
    QCOMPARE(w->maximumHeight(), 150);
    w->resize(800, 150);
    ui.actShowLog->trigger();
    QVERIFY(ui.actShowLog->isChecked());
    QVERIFY(Options.ShowLog);
    QCOMPARE(w->minimumHeight(), 400);
    QTRY_COMPARE(w->height(), 520);
}

void TestMainWindow::repaintThrottleHoldsAFloodOnly() {
    QWidget widget;
    widget.resize(100, 100);
    widget.show();
    QVERIFY(QTest::qWaitForWindowExposed(&widget));
    PaintCounter counter(&widget);
    int settled = 0;
    TRepaintThrottle throttle(&widget, 50, [&] { ++settled; });

    // The first change shows at once.
    throttle.Changed();
    QCOMPARE(settled, 1);
    QVERIFY(widget.updatesEnabled());
    QVERIFY(!throttle.Holding());
    // The ones within the period wait: nothing is drawn or settled for them meanwhile.
    const int paintsBefore = counter.paints;
    for (int i = 0; i < 20; ++i) {
        throttle.Changed();
        widget.update();
    }
    QCoreApplication::sendPostedEvents();
    QVERIFY(throttle.Holding());
    QVERIFY(!widget.updatesEnabled());
    QCOMPARE(settled, 1);
    QCOMPARE(counter.paints, paintsBefore);
    // At the period's end: settled and drawn once for all of them.
    QTRY_VERIFY_WITH_TIMEOUT(widget.updatesEnabled(), Patience);
    QCOMPARE(settled, 2);
    QTRY_VERIFY_WITH_TIMEOUT(counter.paints > paintsBefore, Patience);
    // A period without changes: the next change shows at once again.
    QTRY_VERIFY_WITH_TIMEOUT(throttle.Quiet(), Patience);
    QCOMPARE(settled, 2);
    throttle.Changed();
    QCOMPARE(settled, 3);
    QVERIFY(widget.updatesEnabled());
}

void TestMainWindow::floodOfEntriesKeepsEveryEntryAndEndsAtTheLast() {
    Build();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    const QString before = w->LogText();
    QString expected = before;
    for (int i = 0; i < 300; ++i) {
        const QString entry = QStringLiteral("entry %1").arg(i);
        w->AddToLog(entry);
        expected += entry + QStringLiteral("\r\n");
    }
    // The text has every entry at once, whatever the drawing waits for.
    QCOMPARE(w->LogText(), expected);
    QScrollBar *bar = ui.mmLog->verticalScrollBar();
    QTRY_VERIFY_WITH_TIMEOUT(ui.mmLog->updatesEnabled(), Patience);
    QVERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), bar->maximum());
    // The line at the bottom is the last entry's, or the empty one after it.
    const QTextBlock atBottom =
        ui.mmLog->cursorForPosition(QPoint(1, ui.mmLog->viewport()->height() - 2)).block();
    QVERIFY2(atBottom == ui.mmLog->document()->lastBlock() ||
                 atBottom.text() == QStringLiteral("entry 299"),
             qPrintable(atBottom.text()));
}

void TestMainWindow::ctrlEnterCompletesBareName() {
    Build();
    Options.PingAttempts = 1;
    m_resolver->addHostError(QStringLiteral("www.example.com"), 11001);
    ui.cmbAddress->setEditText(QStringLiteral("example"));
    ui.cmbAddress->lineEdit()->setFocus();
    QTest::keyClick(ui.cmbAddress->lineEdit(), Qt::Key_Return, Qt::ControlModifier);
    QCOMPARE(ui.cmbAddress->currentText(), QStringLiteral("http://www.example.com/"));
    QCOMPARE(ui.cmbAddress->itemText(0), QStringLiteral("http://www.example.com/"));
    QCOMPARE(EngineProbe(w->Session->Engine()).TargetHost(), QStringLiteral("www.example.com"));
}

void TestMainWindow::ctrlEnterLeavesWwwAndSchemesAlone() {
    Build();
    Options.PingAttempts = 1;
    // Any text with a scheme stays as typed, the ones the program refuses included.
    for (const QString &typed :
         {QStringLiteral("WWW.Example.org"), QStringLiteral("HTTP://a.b"),
          QStringLiteral("https://host/"), QStringLiteral("HTTPS://Host.example/x"),
          QStringLiteral("ftp://files.example/"), QStringLiteral("host/page?u=a://b")}) {
        ui.actPing->setEnabled(false); // only the completion is looked at here
        ui.cmbAddress->setEditText(typed);
        QTest::keyClick(ui.cmbAddress->lineEdit(), Qt::Key_Return, Qt::ControlModifier);
        QCOMPARE(ui.cmbAddress->currentText(), typed);
    }
}

void TestMainWindow::enterWhileBusyStartsNothing() {
    Build();
    ui.actPing->setEnabled(false);
    ui.cmbAddress->setEditText(QStringLiteral("host.example"));
    QTest::keyClick(ui.cmbAddress->lineEdit(), Qt::Key_Return);
    QCOMPARE(ui.cmbAddress->count(), 0);
    QCOMPARE(ui.cmbAddress->currentText(), QStringLiteral("host.example"));
    QCOMPARE(m_resolver->requestCount(), 0);
    // Ctrl+Enter still completes the text.
    QTest::keyClick(ui.cmbAddress->lineEdit(), Qt::Key_Return, Qt::ControlModifier);
    QCOMPARE(ui.cmbAddress->currentText(), QStringLiteral("http://www.host.example.com/"));
    QCOMPARE(m_resolver->requestCount(), 0);
}

void TestMainWindow::lineBreakAndTabCharactersSwallowed() {
    Build();
    QVERIFY(w->cmbAddressKeyPress(QLatin1Char('\r')));
    QVERIFY(w->cmbAddressKeyPress(QLatin1Char('\n')));
    QVERIFY(w->cmbAddressKeyPress(QLatin1Char('\t')));
    QVERIFY(!w->cmbAddressKeyPress(QLatin1Char('a')));
    ui.cmbAddress->setEditText(QStringLiteral("ab"));
    ui.cmbAddress->lineEdit()->setCursorPosition(2);
    QKeyEvent lf(QEvent::KeyPress, Qt::Key_J, Qt::NoModifier, QStringLiteral("\n"));
    QApplication::sendEvent(ui.cmbAddress->lineEdit(), &lf);
    QTest::keyClicks(ui.cmbAddress->lineEdit(), QStringLiteral("c"));
    QCOMPARE(ui.cmbAddress->currentText(), QStringLiteral("abc"));
}

void TestMainWindow::tabLeavesTheBoxWhileTheListIsClosed() {
    Build();
    QVERIFY(ShowWithFocusInAddressBox());
    ui.cmbAddress->setEditText(QStringLiteral("typed"));
    QTest::keyClick(ui.cmbAddress, Qt::Key_Tab);
    QVERIFY(!ui.cmbAddress->hasFocus());
    QCOMPARE(ui.cmbAddress->currentText(), QStringLiteral("typed"));
    ui.cmbAddress->setFocus();
    QTRY_VERIFY(ui.cmbAddress->hasFocus());
    QTest::keyClick(ui.cmbAddress, Qt::Key_Backtab, Qt::ShiftModifier);
    QVERIFY(!ui.cmbAddress->hasFocus());
}

void TestMainWindow::commandShortcutsAnswerInTheAddressBox() {
    Build();
    QVERIFY(ShowWithFocusInAddressBox());
    ui.cmbAddress->setEditText(QStringLiteral("abc"));
    ui.cmbAddress->lineEdit()->setCursorPosition(3);

    // Ctrl+A is the always-on-top command, not the box's select-all: typing goes on at the end.
    QTest::keyClick(ui.cmbAddress, Qt::Key_A, Qt::ControlModifier);
    QVERIFY(ui.actAlwaysOnTop->isChecked());
    QTest::keyClicks(ui.cmbAddress, QStringLiteral("d"));
    QCOMPARE(ui.cmbAddress->currentText(), QStringLiteral("abcd"));
    QTest::keyClick(ui.cmbAddress, Qt::Key_L, Qt::ControlModifier);
    QVERIFY(!ui.actShowLog->isChecked());
    QTest::keyClick(ui.cmbAddress, Qt::Key_L, Qt::ControlModifier);
    QVERIFY(ui.actShowLog->isChecked());

    // A disabled command's key does nothing at all: no select-all of the box either.
    ui.actAlwaysOnTop->setEnabled(false);
    QTest::keyClick(ui.cmbAddress, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(ui.cmbAddress, QStringLiteral("z"));
    QCOMPARE(ui.cmbAddress->currentText(), QStringLiteral("abcdz"));
    QVERIFY(ui.actAlwaysOnTop->isChecked());
}

void TestMainWindow::disabledCommandKeysLeaveTheBoxAlone() {
    Build();
    TestTcpServer server;
    QVERIFY(server.listen());
    server.setScript(TestTcpServer::Script::neverAnswer());
    m_resolver->addHost(QStringLiteral("slow.test"), QStringLiteral("127.0.0.1"));
    Options.PingAttempts = 1;
    QVERIFY(ShowWithFocusInAddressBox());

    // A ping under way: automatic ping and "Ping now" are disabled until it ends.
    const QString address = QStringLiteral("http://slow.test:%1/").arg(server.port());
    ui.cmbAddress->setEditText(address);
    ui.actPing->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(server.connectionCount(), 1, Patience);
    QVERIFY(!ui.actAutoPing->isEnabled());
    QVERIFY(!ui.actPing->isEnabled());

    const QString typed = address + QStringLiteral("next");
    ui.cmbAddress->setEditText(typed);
    ui.cmbAddress->lineEdit()->setCursorPosition(int(typed.size()));
    // Ctrl+U would be the line edit's "delete to the start"; Ctrl+P nothing of its own.
    QTest::keyClick(ui.cmbAddress->lineEdit(), Qt::Key_U, Qt::ControlModifier);
    QTest::keyClick(ui.cmbAddress->lineEdit(), Qt::Key_P, Qt::ControlModifier);
    QCOMPARE(ui.cmbAddress->currentText(), typed);
    QCOMPARE(ui.cmbAddress->lineEdit()->cursorPosition(), int(typed.size()));
    QVERIFY(!ui.actAutoPing->isChecked());
    QVERIFY(!w->AutoPingOn());
    QCOMPARE(server.connectionCount(), 1);
    // The box still takes typing.
    QTest::keyClicks(ui.cmbAddress->lineEdit(), QStringLiteral("/x"));
    QCOMPARE(ui.cmbAddress->currentText(), typed + QStringLiteral("/x"));

    // Esc is the enabled cancel command: it ends the ping, and Ctrl+U is a command again.
    QTest::keyClick(ui.cmbAddress->lineEdit(), Qt::Key_Escape);
    QTRY_VERIFY(ui.actAutoPing->isEnabled());
    ui.cmbAddress->setEditText(address);
    QTest::keyClick(ui.cmbAddress->lineEdit(), Qt::Key_U, Qt::ControlModifier);
    QVERIFY(ui.actAutoPing->isChecked());
    QCOMPARE(ui.cmbAddress->currentText(), address);
    QVERIFY(w->AutoPingOn());
    QTRY_COMPARE_WITH_TIMEOUT(server.connectionCount(), 2, Patience);
}

void TestMainWindow::deleteRemovesHighlightedEntryOfOpenList() {
    Build();
    ui.cmbAddress->addItems(
        {QStringLiteral("http://a/"), QStringLiteral("http://b/"), QStringLiteral("http://c/")});
    ui.cmbAddress->setEditText(QStringLiteral("typed"));
    // With the list closed, Delete only edits the text.
    ui.cmbAddress->lineEdit()->setCursorPosition(0);
    QTest::keyClick(ui.cmbAddress->lineEdit(), Qt::Key_Delete);
    QCOMPARE(ui.cmbAddress->count(), 3);
    QCOMPARE(ui.cmbAddress->currentText(), QStringLiteral("yped"));

    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    ui.cmbAddress->showPopup();
    QTRY_VERIFY(ui.cmbAddress->view()->isVisible());
    ui.cmbAddress->view()->setCurrentIndex(ui.cmbAddress->model()->index(1, 0));
    QTest::keyClick(ui.cmbAddress->view(), Qt::Key_Delete);
    QCOMPARE(ui.cmbAddress->count(), 2);
    QCOMPARE(ui.cmbAddress->itemText(0), QStringLiteral("http://a/"));
    QCOMPARE(ui.cmbAddress->itemText(1), QStringLiteral("http://c/"));
    // Tab closes the open list and goes no further.
    QTest::keyClick(ui.cmbAddress->view(), Qt::Key_Tab);
    QTRY_VERIFY(!ui.cmbAddress->view()->isVisible());
}

void TestMainWindow::droppedFtpLinkIsRefusedAndNotListed() {
    Build();
    w->show();
    QMimeData data;
    data.setUrls({QUrl(QStringLiteral("ftp://files.example/x"))});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w.get(), &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w.get(), &drop);
    QCOMPARE(ui.cmbAddress->currentText(), QStringLiteral("ftp://files.example/x"));
    QCOMPARE(m_env->messages.size(), 1);
    QCOMPARE(m_env->messages.at(0).text, QString::fromLatin1(SchemeRejectedText));
    QCOMPARE(m_env->messages.at(0).caption, QStringLiteral("Vennatro"));
    QCOMPARE(ui.cmbAddress->count(), 0);

    // Plain text is no link.
    QMimeData text;
    text.setText(QStringLiteral("http://x/"));
    QDragEnterEvent enterText(QPoint(10, 10), Qt::CopyAction, &text, Qt::LeftButton,
                              Qt::NoModifier);
    QApplication::sendEvent(w.get(), &enterText);
    QVERIFY(!enterText.isAccepted());
}

void TestMainWindow::droppedHttpLinkIsPinged() {
    Build();
    Options.PingAttempts = 1;
    m_resolver->addHostError(QStringLiteral("dropped.test"), 11001);
    QMimeData data;
    QByteArray moz;
    const QString mozText = QStringLiteral("http://dropped.test/page\nTitle");
    moz.append(reinterpret_cast<const char *>(mozText.utf16()), mozText.size() * 2);
    data.setData(QStringLiteral("text/x-moz-url"), moz);
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w.get(), &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w.get(), &drop);
    QCOMPARE(ui.cmbAddress->itemText(0), QStringLiteral("http://dropped.test/page"));
    QCOMPARE(EngineProbe(w->Session->Engine()).TargetHost(), QStringLiteral("dropped.test"));
    QTRY_VERIFY(m_resolver->requestedNames().contains(QStringLiteral("dropped.test")));
    QTRY_VERIFY(!w->Session->Engine()->Busy());

    // While an attempt is under way a drop only replaces the text.
    ui.actPing->setEnabled(false);
    QMimeData second;
    second.setUrls({QUrl(QStringLiteral("http://second.test/"))});
    QDragEnterEvent enter2(QPoint(5, 5), Qt::CopyAction, &second, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w.get(), &enter2);
    QVERIFY(enter2.isAccepted());
    QDropEvent drop2(QPointF(5, 5), Qt::CopyAction, &second, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w.get(), &drop2);
    QCOMPARE(ui.cmbAddress->currentText(), QStringLiteral("http://second.test/"));
    QCOMPARE(ui.cmbAddress->count(), 1);
    QCOMPARE(EngineProbe(w->Session->Engine()).TargetHost(), QStringLiteral("dropped.test"));
    QVERIFY(!m_resolver->requestedNames().contains(QStringLiteral("second.test")));
}

void TestMainWindow::droppedLinkIsPingedAsDropped_data() {
    QTest::addColumn<QByteArray>("uriList"); // PORT stands for the server's port
    QTest::addColumn<QByteArray>("path");    // what the request line must carry
    QTest::newRow("encoded blank")
        << QByteArray("http://drop.test:PORT/a%20b\r\n") << QByteArray("/a%20b");
    QTest::newRow("encoded non-ASCII")
        << QByteArray("http://drop.test:PORT/caf%C3%A9/%E6%97%A5%20x?q=%22y%22\r\n")
        << QByteArray("/caf%C3%A9/%E6%97%A5%20x?q=%22y%22");
    QTest::newRow("non-ASCII as it is")
        << QByteArray("http://drop.test:PORT/caf\xC3\xA9\r\n") << QByteArray("/caf\xC3\xA9");
    QTest::newRow("comment, then two links")
        << QByteArray(
               "# from a browser\r\nhttp://drop.test:PORT/x%2Fy%25\r\nhttp://other.test/\r\n")
        << QByteArray("/x%2Fy%25");
}

void TestMainWindow::droppedLinkIsPingedAsDropped() {
    QFETCH(QByteArray, uriList);
    QFETCH(QByteArray, path);
    Build();
    TestTcpServer server;
    QVERIFY(server.listen());
    server.setScript(TestTcpServer::Script::answer({"HTTP/1.0 200 OK\r\n\r\n"}));
    m_resolver->addHost(QStringLiteral("drop.test"), QStringLiteral("127.0.0.1"));
    Options.PingAttempts = 1;
    const QByteArray port = QByteArray::number(server.port());
    uriList.replace("PORT", port);

    const ForeignDropData data(QStringLiteral("text/uri-list"), uriList);
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w.get(), &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w.get(), &drop);

    const QString link =
        QStringLiteral("http://drop.test:") + QString::fromLatin1(port) + QString::fromUtf8(path);
    QCOMPARE(ui.cmbAddress->itemText(0), link);
    QTRY_VERIFY_WITH_TIMEOUT(server.requestComplete(0), Patience);
    QVERIFY2(server.received(0).startsWith("HEAD " + path + " HTTP/1.0\r\nHost: drop.test:" + port +
                                           "\r\n"),
             server.received(0).constData());
    QTRY_VERIFY_WITH_TIMEOUT(!w->Session->Engine()->Busy(), Patience);

    // A link dragged from within Qt (a URL list, not bytes) is sent as encoded too.
    QMimeData urls;
    urls.setUrls({QUrl::fromEncoded("http://drop.test:" + port + "/u%20v")});
    QDragEnterEvent enter2(QPoint(5, 5), Qt::CopyAction, &urls, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w.get(), &enter2);
    QVERIFY(enter2.isAccepted());
    QDropEvent drop2(QPointF(5, 5), Qt::CopyAction, &urls, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w.get(), &drop2);
    QTRY_VERIFY_WITH_TIMEOUT(server.requestComplete(1), Patience);
    QVERIFY2(server.received(1).startsWith("HEAD /u%20v HTTP/1.0\r\n"),
             server.received(1).constData());
}

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"
