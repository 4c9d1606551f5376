#include "app/Main.h"

#include "app/HistoryWindow.h"
#include "app/PingNotifier.h"
#include "app/RepaintThrottle.h"
#include "app/ThemedIcons.h"
#include "app/WatchPanel.h"
#include "engine/HistoryStore.h"
#include "engine/PingTarget.h"
#include "engine/WatchList.h"
#include "platform/AppErrors.h"
#include "platform/SystemInfo.h"
#include "platform/gui/AccessibleComboBox.h"
#include "platform/gui/MessageBox.h"
#include "settings/OptionsForm.h"
#include "support/UsualFunctions.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <iterator>

static void InitResources() { Q_INIT_RESOURCE(vennatro); }

namespace {

constexpr int StatusImageSize = 32;
constexpr int StatusImageMargin = 7;  // from the right end of the tool bar band
constexpr int HintDisplayTime = 4000; // ms a tool-tip stays
constexpr int LogRepaintMs = 500;     // the log pane drawn at most this often under a flood

QIcon IconFor(const char *name) {
    return QIcon(QStringLiteral(":/icons/%1.svg").arg(QLatin1String(name)));
}

// A checkable action whose handler decides the mark itself: Qt flips the mark before
// `triggered`, so it is put back first and the handler sees the state before the command.
template <typename Handler> void BindCheckable(QAction *action, Handler handler) {
    QObject::connect(action, &QAction::triggered, action, [action, handler]() {
        action->setChecked(!action->isChecked());
        GuardedCall(handler);
    });
}

template <typename Handler> void Bind(QAction *action, Handler handler) {
    QObject::connect(action, &QAction::triggered, action, [handler]() { GuardedCall(handler); });
}

} // namespace

TfMain_Vennatro::TfMain_Vennatro(PingSession *session, QWidget *parent)
    : TNotifyIconForm(parent), Session(session) {
    Session->setParent(this);
    InitResources();
    InstallAccessibleComboBoxes(); // before the first combo box is asked for its name
    setObjectName(QStringLiteral("TfMain_Vennatro"));
    setWindowTitle(QLatin1String(ApplicationTitle));
    setWindowIcon(IconFor("vennatro"));
    if (QApplication::windowIcon().isNull())
        QApplication::setWindowIcon(windowIcon());

    ImageListStatus = {IconFor("status0"), IconFor("status1"), IconFor("status2"),
                       IconFor("status3"), IconFor("status4"), IconFor("status5")};

    CreateActions();
    ApplyToolIcons();
    CreateMenus();
    CreateToolBar();
    CreateCentral();
    WireComponents();

    // The design's client area holds the tool bar band and the status bar; only the menu bar
    // comes on top of it here.
    resize(692, 354 + menuBar()->sizeHint().height());
    setMinimumSize(600, 400);

    // Creation steps, in order.
    // Tool-tips stay four seconds (Qt's own time depends on the length of the text).
    for (QWidget *child : findChildren<QWidget *>())
        child->setToolTipDuration(HintDisplayTime);
    btnPingSmall->setText(QString());
    QFont statusFont = StatusBar->font();
    statusFont.setPointSize(10);
    StatusBar->setFont(statusFont);
    StatusPanel->setFont(statusFont);
    StatusLastPanel->setFont(statusFont);
    setAcceptDrops(true); // the whole window takes dropped links
    ShowStatusImage(1);
    ComputerName = ComputerNetworkName();
    ProgramVersion =
        CutBeforeLastDot(GetFileVersionString(QCoreApplication::applicationFilePath()));
    VersionInfo = ProgramVersionRecord();
    MailAgent =
        QLatin1String(ApplicationTitle) + QLatin1Char(' ') + ProgramVersion + VersionInfo.Suffix;

    SetApplicationErrorHandler([this](const QString &message) { ShowUnhandledError(message); });

    LoadSettings();
    OpenLogAtStart();
    UpdateStatus();
    AddToLog(SessionBanner(TimeStamp()));
    // After the banner, so that a problem of the history or the metrics is logged under it.
    Session->Open();
    WatchPanel->SetHistoryAvailable(Session->History()->IsOpen());
    if (Options.AutoPingAtStart) {
        cmbAddress->setEditText(Options.AutoPingAddress);
        if (ValidateAddress())
            GuardedCall([this] { actAutoPingExecute(); });
    }
}

TfMain_Vennatro::~TfMain_Vennatro() {
    // Stop every source of events before the parts they reach go away.
    Session->StopAutoPing();
    TimerNotification->stop();
    Session->disconnect(this);
    GuardedCall([this] { SaveSettings(); });
    GuardedCall([this] { SaveLogAtExit(); });
    SetApplicationErrorHandler(nullptr);
}

void TfMain_Vennatro::CreateActions() {
    auto make = [this](const char *name, const QString &caption, const QString &hint,
                       const QKeySequence &shortcut, const QString &category, const char *icon) {
        auto *action = new QAction(caption, this);
        action->setObjectName(QLatin1String(name));
        action->setStatusTip(hint);
        action->setToolTip(hint.isEmpty() ? QString(caption).remove(QLatin1Char('&')) : hint);
        action->setShortcut(shortcut);
        if (!category.isEmpty())
            SetCategory(action, category);
        if (icon)
            m_themedIcons.append({action, QLatin1String(icon)});
        addAction(action); // shortcuts work while the menus are closed
        return action;
    };
    actPing = make("actPing", tr("&Ping now"), tr("Ping the current address now"),
                   QKeySequence(Qt::CTRL | Qt::Key_P), QStringLiteral("Ping"), "ping");
    actCancel = make("actCancel", tr("&Cancel"), tr("Cancel current ping"),
                     QKeySequence(Qt::Key_Escape), QStringLiteral("Ping"), "cancel");
    actCancel->setEnabled(false);
    actAutoPing = make("actAutoPing", tr("&Automatic ping"),
                       tr("Enable automatic ping of the current address"),
                       QKeySequence(Qt::CTRL | Qt::Key_U), QStringLiteral("Ping"), "autoping");
    actAutoPing->setCheckable(true);
    actAutoPing->setIconText(tr("Auto-ping"));
    actShowLog = make("actShowLog", tr("Show &log"), tr("Show ping history log"),
                      QKeySequence(Qt::CTRL | Qt::Key_L), QStringLiteral("Options"), "showlog");
    actShowLog->setCheckable(true);
    actShowLog->setChecked(true);
    actClearLog = make("actClearLog", tr("&Clear log"), QString(), QKeySequence(),
                       QStringLiteral("Options"), nullptr);
    actSaveLog = make("actSaveLog", tr("&Save log to file..."), tr("Save log to file"),
                      QKeySequence(Qt::CTRL | Qt::Key_S), QStringLiteral("File"), "save");
    actAlwaysOnTop = make("actAlwaysOnTop", tr("&Always on top"), QString(),
                          QKeySequence(Qt::CTRL | Qt::Key_A), QStringLiteral("Options"), nullptr);
    actAlwaysOnTop->setCheckable(true);
    actOptions = make("actOptions", tr("&Options"), tr("Options"),
                      QKeySequence(Qt::CTRL | Qt::Key_O), QStringLiteral("Options"), "options");
    actAbout = make("actAbout", tr("&About"), tr("About"), QKeySequence(), QStringLiteral("Help"),
                    nullptr);
    actHistory = make("actHistory", tr("&History..."), tr("History"),
                      QKeySequence(Qt::CTRL | Qt::Key_H), QStringLiteral("Ping"), "history");
    actAbout->setIcon(IconFor("vennatro"));
    m_themedIcons.append({actExit, QStringLiteral("exit")});
    actShow->setIcon(IconFor("vennatro"));
    addAction(actExit);
    addAction(actShow);
    addAction(actCloseWindow);
}

void TfMain_Vennatro::CreateMenus() {
    mnFile = menuBar()->addMenu(tr("&File"));
    mnFile->setObjectName(QStringLiteral("mnFile"));
    mnFile->addAction(actSaveLog);
    mnFile->addSeparator();
    mnFile->addAction(actCloseWindow);
    mnFile->addAction(actExit);

    mnPing = menuBar()->addMenu(tr("&Ping"));
    mnPing->setObjectName(QStringLiteral("mnPing"));
    mnPing->addAction(actPing);
    mnPing->addAction(actCancel);
    mnPing->addSeparator();
    mnPing->addAction(actAutoPing);
    mnPing->addSeparator();
    mnPing->addAction(actHistory);

    mnOptions = menuBar()->addMenu(tr("&Options"));
    mnOptions->setObjectName(QStringLiteral("mnOptions"));
    mnOptions->addAction(actShowLog);
    mnOptions->addAction(actAlwaysOnTop);
    mnOptions->addSeparator();
    mnOptions->addAction(actClearLog);
    mnOptions->addSeparator();
    // The options command under its menu caption; it shows the command's shortcut, which the
    // command itself carries (the menu item's own copy only answers inside the menu).
    auto *optionsItem = new QAction(tr("&Options..."), mnOptions);
    m_optionsItem = optionsItem;
    optionsItem->setIcon(actOptions->icon());
    optionsItem->setShortcut(actOptions->shortcut());
    optionsItem->setShortcutContext(Qt::WidgetShortcut);
    optionsItem->setStatusTip(actOptions->statusTip());
    connect(optionsItem, &QAction::triggered, actOptions, &QAction::trigger);
    connect(actOptions, &QAction::changed, optionsItem,
            [this, optionsItem] { optionsItem->setEnabled(actOptions->isEnabled()); });
    mnOptions->addAction(optionsItem);

    mnHelp = menuBar()->addMenu(tr("&Help"));
    mnHelp->setObjectName(QStringLiteral("mnHelp"));
    mnHelp->addAction(actAbout);

    // Tray menu: Show, Ping now, separator, About, separator, Exit.
    const QList<QAction *> trayItems = NotifyIconPopupMenu->actions();
    QAction *before = trayItems.size() > 1 ? trayItems.at(1) : nullptr;
    mnPingNowP = new QAction(actPing->text(), NotifyIconPopupMenu);
    mnPingNowP->setObjectName(QStringLiteral("mnPingNowP"));
    mnPingNowP->setIcon(actPing->icon());
    mnPingNowP->setStatusTip(actPing->statusTip());
    mnPingNowP->setEnabled(actPing->isEnabled());
    connect(mnPingNowP, &QAction::triggered, actPing, &QAction::trigger);
    connect(actPing, &QAction::changed, mnPingNowP,
            [this] { mnPingNowP->setEnabled(actPing->isEnabled()); });
    NotifyIconPopupMenu->insertAction(before, mnPingNowP);
    NotifyIconPopupMenu->insertSeparator(before);
    // The tray menu's "About" is actAbout itself: one object, one name.
    NotifyIconPopupMenu->insertAction(before, actAbout);
    CreateSnoozeMenu();
}

void TfMain_Vennatro::CreateToolBar() {
    ToolBar = addToolBar(tr("Tools"));
    ToolBar->setObjectName(QStringLiteral("ToolBar"));
    ToolBar->setMovable(false);
    ToolBar->setFloatable(false);
    ToolBar->setContextMenuPolicy(Qt::PreventContextMenu);
    ToolBar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    ToolBar->setIconSize(QSize(24, 24));
    ToolBar->setMinimumHeight(48);

    auto addButton = [this](QAction *action, const QString &caption) {
        return AddToolBarButton(action, caption);
    };
    btnPingToolBar = addButton(actPing, tr("Ping now"));
    btnPingToolBar->setObjectName(QStringLiteral("btnPingToolBar"));
    addButton(actCancel, tr("Cancel"));
    ToolBar->addSeparator();
    addButton(actAutoPing, tr("Auto-ping"));
    addButton(actHistory, tr("History"));
    ToolBar->addSeparator();
    addButton(actShowLog, tr("Show log"));
    addButton(actOptions, tr("Options"));
    ToolBar->addSeparator();
    // The command's own hint: a button takes its command's again whenever the command changes
    // (a new picture for a new palette).
    actExit->setToolTip(tr("Exit application"));
    addButton(actExit, tr("Exit"));

    // The status image sits at the band's right end, outside the buttons' layout, placed by
    // the resize rule.
    imgStatus = new QLabel(ToolBar);
    imgStatus->setObjectName(QStringLiteral("imgStatus"));
    imgStatus->setFixedSize(StatusImageSize, StatusImageSize);
    imgStatus->setAccessibleName(tr("Status: idle"));
    ToolBar->installEventFilter(this);
}

QToolButton *TfMain_Vennatro::AddToolBarButton(QAction *action, const QString &caption,
                                               QAction *before) {
    ToolBar->insertAction(before, action);
    auto *button = qobject_cast<QToolButton *>(ToolBar->widgetForAction(action));
    if (button) {
        button->setMinimumSize(54, 44);
        button->setAutoRaise(true);
        if (!caption.isEmpty())
            button->setText(caption);
    }
    return button;
}

void TfMain_Vennatro::ApplyToolIcons() {
    const QPalette palette = ToolBar ? ToolBar->palette() : this->palette();
    for (const auto &[action, name] : std::as_const(m_themedIcons))
        action->setIcon(ThemedIcons::Icon(QStringLiteral(":/icons/%1.svg").arg(name), palette));
    // The copies of a command in the menus show its picture too.
    if (mnPingNowP)
        mnPingNowP->setIcon(actPing->icon());
    if (m_optionsItem)
        m_optionsItem->setIcon(actOptions->icon());
}

void TfMain_Vennatro::PlaceStatusImage() {
    imgStatus->move(ToolBar->width() - imgStatus->width() - StatusImageMargin,
                    (ToolBar->height() - imgStatus->height()) / 2);
    imgStatus->raise();
}

void TfMain_Vennatro::CreateCentral() {
    auto *central = new QWidget(this);
    auto *column = new QVBoxLayout(central);
    column->setContentsMargins(4, 4, 4, 0);
    column->setSpacing(4);

    auto *row = new QHBoxLayout;
    lblAddress = new QLabel(tr("A&ddress:"), central);
    lblAddress->setObjectName(QStringLiteral("lblAddress"));
    cmbAddress = new QComboBox(central);
    cmbAddress->setObjectName(QStringLiteral("cmbAddress"));
    cmbAddress->setEditable(true);
    cmbAddress->setInsertPolicy(QComboBox::NoInsert); // the recent list has its own rule
    cmbAddress->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    cmbAddress->setMaxVisibleItems(16);
    lblAddress->setBuddy(cmbAddress);
    cmbAddress->setAccessibleName(tr("Address"));
    cmbAddress->lineEdit()->setAccessibleName(tr("Address")); // where the typing goes
    cmbAddress->setAccessibleDescription(tr("The address to ping; Enter pings it"));
    btnPingSmall = new QToolButton(central);
    btnPingSmall->setObjectName(QStringLiteral("btnPingSmall"));
    btnPingSmall->setDefaultAction(actPing);
    btnPingSmall->setToolButtonStyle(Qt::ToolButtonIconOnly);
    btnPingSmall->setAutoRaise(true);
    // A picture only: its name says what it does.
    btnPingSmall->setAccessibleName(tr("Ping now"));
    row->addWidget(lblAddress);
    row->addWidget(cmbAddress, 1);
    row->addWidget(btnPingSmall);
    column->addLayout(row);

    mmLog = new QPlainTextEdit(central);
    mmLog->setObjectName(QStringLiteral("mmLog"));
    mmLog->setAccessibleName(tr("Log"));
    mmLog->setAccessibleDescription(tr("The results of the pings, newest at the end"));
    mmLog->setReadOnly(true);
    mmLog->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    mmLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    mmLog->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    mmLog->setUndoRedoEnabled(false); // an undo copy of every entry is waste
    m_logRepaint = new TRepaintThrottle(mmLog, LogRepaintMs, [this] {
        FlushLogPane();
        mmLog->verticalScrollBar()->setValue(mmLog->verticalScrollBar()->maximum());
    });
    column->addWidget(mmLog, 1);
    setCentralWidget(central);

    // Dropped links go to the window, not into the text fields.
    cmbAddress->lineEdit()->setAcceptDrops(false);
    mmLog->setAcceptDrops(false);
    mmLog->viewport()->setAcceptDrops(false);
    cmbAddress->installEventFilter(this);
    cmbAddress->lineEdit()->installEventFilter(this);
    cmbAddress->view()->installEventFilter(this);

    StatusBar = statusBar();
    StatusBar->setObjectName(QStringLiteral("StatusBar"));
    StatusBar->setSizeGripEnabled(true);
    StatusPanel = new QLabel(StatusBar);
    StatusPanel->setObjectName(QStringLiteral("StatusPanel"));
    StatusPanel->setTextFormat(Qt::PlainText);
    StatusPanel->setAccessibleName(tr("Status: idle"));
    StatusPanel->setAccessibleDescription(tr("Status bar"));
    StatusBar->addWidget(StatusPanel, 1);
    // After the hold the status text goes; this one stays, so the last result is in sight.
    StatusLastPanel = new QLabel(StatusBar);
    StatusLastPanel->setObjectName(QStringLiteral("StatusLastPanel"));
    StatusLastPanel->setTextFormat(Qt::PlainText);
    StatusLastPanel->setAccessibleName(tr("No ping yet"));
    StatusLastPanel->setAccessibleDescription(tr("Last result"));
    StatusBar->addPermanentWidget(StatusLastPanel);
}

void TfMain_Vennatro::WireComponents() {
    TimerNotification = new QTimer(this);
    TimerNotification->setInterval(2500);
    connect(TimerNotification, &QTimer::timeout, this,
            [this] { GuardedCall([this] { TimerNotificationTimer(); }); });

    Notifier = new PingNotifier(Session, this);
    ConnectSession();
    CreateWatchList();
    connect(Session->Scheduler(), &AutoPingScheduler::ticked, this,
            [this] { GuardedCall([this] { UpdateStatus(); }); });

    NotifyIcon->SetIcon(windowIcon());
    NotifyIcon->SetToolTip(QLatin1String(ApplicationTitle));
    NotifyIcon->OnBalloonClick = [this](QObject *sender) { NotifyIconBalloonClick(sender); };

    Bind(actPing, [this] { actPingExecute(); });
    Bind(actCancel, [this] { actCancelExecute(); });
    BindCheckable(actAutoPing, [this] { actAutoPingExecute(); });
    BindCheckable(actShowLog, [this] { actShowLogExecute(); });
    Bind(actClearLog, [this] { actClearLogExecute(); });
    Bind(actSaveLog, [this] { actSaveLogExecute(); });
    BindCheckable(actAlwaysOnTop, [this] { actAlwaysOnTopExecute(); });
    Bind(actOptions, [this] { actOptionsExecute(); });
    Bind(actAbout, [this] { actAboutExecute(); });
    Bind(actHistory, [this] { actHistoryExecute(); });

    dlgSaveExecute = [this]() {
        QFileDialog dialog(this, tr("Save log as"));
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setDefaultSuffix(QStringLiteral("txt"));
        dialog.setNameFilters({tr("Text files (*.txt)"), tr("All files (*.*)")});
        dialog.selectFile(tr("Vennatro Log"));
        dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return QString();
        return dialog.selectedFiles().constFirst();
    };
}

void TfMain_Vennatro::ShowStatusImage(int index) {
    if (index < 0 || index >= ImageListStatus.size())
        return;
    StatusImageIndex = index;
    imgStatus->setPixmap(ImageListStatus.at(index).pixmap(StatusImageSize, StatusImageSize));
    // The picture's state in words, for whoever cannot see it. Qt announces a new name to
    // assistive technology itself (QAccessible::NameChanged): one event a change, never two.
    static const char *const words[] = {
        QT_TR_NOOP("Status: ping under way"),      QT_TR_NOOP("Status: idle"),
        QT_TR_NOOP("Status: last ping completed"), QT_TR_NOOP("Status: last ping failed"),
        QT_TR_NOOP("Status: last ping slow"),      QT_TR_NOOP("Status: no network connection")};
    const QString name = index < int(std::size(words)) ? tr(words[index]) : QString();
    imgStatus->setAccessibleName(name);
}

void TfMain_Vennatro::SetStatusText(const QString &text) {
    StatusPanel->setText(text);
    // Named by its text, so a screen reader reads what the bar shows and hears it change
    // (NameChanged, announced by Qt when the name differs).
    StatusPanel->setAccessibleName(text.isEmpty() ? tr("Status: idle") : text);
}

QString TfMain_Vennatro::StatusText() const { return StatusPanel->text(); }

void TfMain_Vennatro::SetStatusHint(const QString &hint) {
    imgStatus->setToolTip(hint);
    imgStatus->setAccessibleDescription(hint); // announced as DescriptionChanged
}

QString TfMain_Vennatro::StatusHint() const { return imgStatus->toolTip(); }

void TfMain_Vennatro::ShowUnhandledError(const QString &message) {
    if (isVisible()) {
        QString text = message;
        if (!text.isEmpty() && text.back() > QLatin1Char('.'))
            text += QLatin1Char('.');
        ShowMessageBox(this, text, QLatin1String(ApplicationTitle), MessageIcon::Error);
    } else {
        NotifyIcon->ShowBalloon(message, QLatin1String(ApplicationTitle), 3, 0);
    }
}

void TfMain_Vennatro::resizeEvent(QResizeEvent *event) {
    TNotifyIconForm::resizeEvent(event);
    PlaceStatusImage();
    ApplyWatchPanelHeight();
}

void TfMain_Vennatro::actAlwaysOnTopExecute() {
    actAlwaysOnTop->setChecked(!actAlwaysOnTop->isChecked());
    SetAlwaysOnTop(actAlwaysOnTop->isChecked());
}

void TfMain_Vennatro::HiddenToTray() {
    // Once per user: a window that vanishes on close looks like a program that ended.
    if (Options.HideHintShown)
        return;
    Options.HideHintShown = true;
    NotifyIcon->ShowBalloon(
        tr("Vennatro keeps running in the notification area. %1 its icon to bring "
           "the window back; Exit in the icon's menu ends the program.")
            .arg(SingleClickShows() ? tr("Click") : tr("Double-click")),
        QLatin1String(ApplicationTitle), 1, 0);
}

void TfMain_Vennatro::actOptionsExecute() {
    if (Options.AlwaysOnTop)
        SetAlwaysOnTop(false);
    if (ShowOptionsDialog(Options, this, MailAgent)) {
        ApplySettings();
        SaveSettings();
    }
    if (Options.AlwaysOnTop)
        SetAlwaysOnTop(true);
}

void TfMain_Vennatro::actAboutExecute() {
    // The icon offers no menu while the box is open; it comes back whatever happens.
    QMenu *menu = NotifyIcon->PopupMenu();
    NotifyIcon->SetPopupMenu(nullptr);
    struct Reattach {
        TNotifyIcon *icon;
        QMenu *menu;
        ~Reattach() { icon->SetPopupMenu(menu); }
    } reattach{NotifyIcon, menu};
    ShowAboutBox(this, !isVisible(), VersionInfo);
}

void TfMain_Vennatro::NotifyIconBalloonClick(QObject *) { actShow->trigger(); }

void TfMain_Vennatro::actHistoryExecute() {
    // The address box's address; with none there (or none that can be pinged), the address
    // pinged last, else the first watched one. Never "http:///" for an empty box.
    QString address;
    if (!TrimControl(cmbAddress->currentText()).isEmpty()) {
        const NormalisedAddress typed = NormaliseAddress(cmbAddress->currentText());
        if (typed.accepted)
            address = typed.boxText;
    }
    if (address.isEmpty())
        address = m_lastAddress;
    if (address.isEmpty() && Session->Watched()->Count() > 0)
        address = Session->Watched()->RowAt(0).address;
    ShowHistoryFor(address);
}

void TfMain_Vennatro::ShowHistoryFor(const QString &address) {
    if (!HistoryWindow) {
        HistoryWindow = new THistoryWindow(Session->History(), this);
        HistoryWindow->setObjectName(QStringLiteral("HistoryWindow"));
    }
    HistoryWindow->ShowFor(address);
}
