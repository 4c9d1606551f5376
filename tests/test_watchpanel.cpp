// The "Watched addresses" dock in the main window: its shortcut, adding from its field or the
// address box, removing, reordering and editing rows, its context menu, the list across a
// restart, and the tray tool-tip that names the addresses that are down.

#include "app/HistoryWindow.h"
#include "app/Main.h"
#include "app/WatchPanel.h"
#include "engine/HistoryStore.h"
#include "engine/MetricsPublisher.h"
#include "engine/PingSession.h"
#include "engine/PingTarget.h"
#include "engine/WatchList.h"
#include "platform/gui/MessageBox.h"
#include "store/RegStore.h"
#include "support/TableResolver.h"
#include "support/TestHelpers.h"
#include "support/TestTcpServer.h"
#include "support/gui/Accessibility.h"
#include "support/gui/MainWindowParts.h"
#include "support/gui/RecordingTrayShell.h"
#include "support/gui/TestEnvironment.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDockWidget>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <memory>

namespace {

constexpr int ColState = TWatchPanel::ColState;
constexpr int ColAddress = TWatchPanel::ColAddress;
constexpr int ColResult = TWatchPanel::ColResult;
constexpr int ColUptime = TWatchPanel::ColUptime;

QString Local(quint16 port, const QString &path) {
    return QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path);
}

QStringList Captions(const QList<QAction *> &actions) {
    QStringList out;
    for (const QAction *a : actions)
        out << a->text();
    return out;
}

// The dock's parts and the window's, by object name.
struct PanelParts {
    QDockWidget *dock = nullptr;
    QTableWidget *table = nullptr;
    QLineEdit *edit = nullptr;
    QToolButton *add = nullptr;
    QToolButton *remove = nullptr;
    QToolButton *up = nullptr;
    QToolButton *down = nullptr;
    QAction *actWatched = nullptr;
    QMenu *mnPing = nullptr;
    QComboBox *cmbAddress = nullptr;

    bool Resolve(const QObject *window) {
        dock = Find<QDockWidget>(window, "dockWatched");
        table = Find<QTableWidget>(window, "tblWatched");
        edit = Find<QLineEdit>(window, "edWatchAddress");
        add = Find<QToolButton>(window, "btnWatchAdd");
        remove = Find<QToolButton>(window, "btnWatchRemove");
        up = Find<QToolButton>(window, "btnWatchUp");
        down = Find<QToolButton>(window, "btnWatchDown");
        actWatched = Find<QAction>(window, "actWatched");
        mnPing = Find<QMenu>(window, "mnPing");
        cmbAddress = Find<QComboBox>(window, "cmbAddress");
        return dock && table && edit && add && remove && up && down && actWatched && mnPing &&
               cmbAddress;
    }
};

} // namespace

class TestWatchPanel : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void ctrlWShowsAndHidesTheDock();
    void addFromTheFieldOrTheAddressBox();
    void deleteAndRemoveTakeTheSelectedRow();
    void upAndDownReorder();
    void editingTheAddressReplacesIt();
    void contextMenuCopiesAddressAndResult();
    void listSurvivesARestart();
    void trayToolTipNamesTheAddressesDown();
    void downAddressStaysNamedWhileItIsPingedAgain();
    void rowsPingedWhileHiddenAreCurrentWhenShown();
    void addressesAreElidedInTheMiddle_data();
    void addressesAreElidedInTheMiddle();
    void rowsSayTheirStateInWordsAndColour();
    void sortsByAnyColumnAndFailingFirst();
    void pasteAddsOneRowPerLine();
    void deleteAsksNothingAndUndoBringsTheRowBack();
    void rowMenuOpensTheHistory();
    void dockAndItsHeightSurviveARestart();

private:
    bool Build();
    bool ShowActive();
    // Built, shown, the dock shown, one attempt a ping.
    bool ShowDock();
    QStringList TableAddresses() const;
    // The text of the tray tool-tip as last handed to the notification area.
    QString LastToolTip() const;
    // Opens the row's context menu and chooses the entry with that caption; returns the
    // captions the menu offered.
    QStringList ChooseFromMenu(int row, const QString &caption);
    // A number the last exit wrote to the store.
    quint32 StoredDword(const char *name) const;

    std::unique_ptr<TestEnvironment> m_env;
    std::unique_ptr<TfMain_Vennatro> w;
    PanelParts ui;
    TableResolver *m_resolver = nullptr;
    RecordingTrayShell *m_shell = nullptr;
};

void TestWatchPanel::init() {
    m_env = std::make_unique<TestEnvironment>();
    QVERIFY(m_env->IsValid());
    Options = TOptions();
}

void TestWatchPanel::cleanup() {
    w.reset();
    m_env.reset();
}

bool TestWatchPanel::Build() {
    w = std::make_unique<TfMain_Vennatro>(new PingSession);
    if (!ui.Resolve(w.get()))
        return false;
    m_shell = RecordingTrayShell::Of(w->NotifyIcon->Shell());
    // Every name either ping could look up comes from a table.
    m_resolver = new TableResolver(w.get());
    w->Session->Engine()->SetResolver(m_resolver);
    w->Session->Watched()->SetResolver(m_resolver);
    return m_shell != nullptr;
}

bool TestWatchPanel::ShowActive() {
    w->show();
    w->activateWindow();
    return QTest::qWaitForWindowActive(w.get());
}

QStringList TestWatchPanel::TableAddresses() const {
    QStringList out;
    for (int row = 0; row < ui.table->rowCount(); ++row)
        out << (ui.table->item(row, ColAddress) ? ui.table->item(row, ColAddress)->text()
                                                : QStringLiteral("<none>"));
    return out;
}

QString TestWatchPanel::LastToolTip() const {
    for (auto it = m_shell->Calls.crbegin(); it != m_shell->Calls.crend(); ++it) {
        if (it->kind == RecordingTrayShell::CallKind::Add ||
            it->kind == RecordingTrayShell::CallKind::Modify)
            return it->toolTip;
    }
    return QStringLiteral("<no tool-tip recorded>");
}

quint32 TestWatchPanel::StoredDword(const char *name) const {
    const RegKey key =
        LoadRegStore(m_env->StorePath()).keys.value(QString::fromLatin1(SettingsKey).toLower());
    return key.values.value(QString::fromLatin1(name).toLower()).second.dword;
}

QStringList TestWatchPanel::ChooseFromMenu(int row, const QString &caption) {
    QStringList offered;
    bool chosen = false;
    // The menu runs a loop of its own: it is answered from inside that loop, once it is up.
    QTimer poll;
    poll.setInterval(10);
    connect(&poll, &QTimer::timeout, this, [&] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (!menu || menu->objectName() != QLatin1String("mnWatched"))
            return;
        poll.stop();
        offered = Captions(menu->actions());
        for (QAction *action : menu->actions()) {
            if (action->text() == caption) {
                chosen = true;
                action->trigger();
            }
        }
        menu->close();
    });
    poll.start();
    const QRect cell = ui.table->visualItemRect(ui.table->item(row, ColAddress));
    emit ui.table->customContextMenuRequested(cell.center());
    poll.stop();
    if (!chosen)
        offered << QStringLiteral("<%1 not chosen>").arg(caption);
    return offered;
}

void TestWatchPanel::ctrlWShowsAndHidesTheDock() {
    QVERIFY(Build());
    QVERIFY(ShowActive());
    QVERIFY(ui.mnPing->actions().contains(ui.actWatched));
    QCOMPARE(ui.actWatched->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_W));
    QVERIFY(ui.dock->isHidden());
    QVERIFY(!ui.actWatched->isChecked());

    // From the address box, where the focus nearly always is.
    ui.cmbAddress->setFocus();
    QTRY_VERIFY_WITH_TIMEOUT(ui.cmbAddress->hasFocus(), Patience);
    ui.cmbAddress->setEditText(QStringLiteral("typed"));
    QTest::keyClick(ui.cmbAddress, Qt::Key_W, Qt::ControlModifier);
    QTRY_VERIFY_WITH_TIMEOUT(ui.dock->isVisible(), Patience);
    QVERIFY(ui.actWatched->isChecked());
    QCOMPARE(ui.cmbAddress->currentText(), QStringLiteral("typed"));

    // From inside the dock itself.
    ui.edit->setFocus();
    QTRY_VERIFY_WITH_TIMEOUT(ui.edit->hasFocus(), Patience);
    QTest::keyClick(ui.edit, Qt::Key_W, Qt::ControlModifier);
    QTRY_VERIFY_WITH_TIMEOUT(ui.dock->isHidden(), Patience);
    QVERIFY(!ui.actWatched->isChecked());
    QCOMPARE(ui.edit->text(), QString());

    // The menu's command does the same.
    ui.actWatched->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(ui.dock->isVisible(), Patience);
    ui.actWatched->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(ui.dock->isHidden(), Patience);
    QVERIFY(m_env->messages.isEmpty());
}

void TestWatchPanel::addFromTheFieldOrTheAddressBox() {
    QVERIFY(Build());
    QVERIFY(ShowActive());
    ui.actWatched->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(ui.dock->isVisible(), Patience);

    // Typed into the field, then the button: normalised, the field emptied, the row selected.
    QTest::keyClicks(ui.edit, QStringLiteral("127.0.0.1:8001/one"));
    QTest::mouseClick(ui.add, Qt::LeftButton);
    QCOMPARE(w->Session->Watched()->Addresses(),
             QStringList{QStringLiteral("http://127.0.0.1:8001/one")});
    QCOMPARE(TableAddresses(), w->Session->Watched()->Addresses());
    QCOMPARE(ui.edit->text(), QString());
    QCOMPARE(ui.table->currentRow(), 0);

    // Enter in the field adds too.
    QTest::keyClicks(ui.edit, QStringLiteral("https://127.0.0.1:8443/two"));
    QTest::keyClick(ui.edit, Qt::Key_Return);
    QCOMPARE(TableAddresses(), QStringList({QStringLiteral("http://127.0.0.1:8001/one"),
                                            QStringLiteral("https://127.0.0.1:8443/two")}));
    QCOMPARE(ui.table->selectedItems().first()->row(), 1);

    // An empty field takes the address box's text.
    ui.cmbAddress->setEditText(QStringLiteral("http://127.0.0.1:8002/from-box"));
    QTest::mouseClick(ui.add, Qt::LeftButton);
    QCOMPARE(TableAddresses().constLast(), QStringLiteral("http://127.0.0.1:8002/from-box"));
    QCOMPARE(ui.cmbAddress->currentText(), QStringLiteral("http://127.0.0.1:8002/from-box"));
    QVERIFY(m_env->messages.isEmpty());

    // Refused: a warning that says why; the list and the field as they were.
    const QStringList before = TableAddresses();
    const struct {
        QString field;
        QString box;
        QString why;
    } refusals[] = {
        {QStringLiteral("ftp://127.0.0.1/x"), QString(),
         QStringLiteral("Only HTTP and HTTPS protocols are supported.")},
        {QStringLiteral("HTTP://127.0.0.1:8001/one"), QString(),
         QStringLiteral("Already watched: http://127.0.0.1:8001/one")},
        {QStringLiteral("127.0.0.1:99999/"), QString(),
         QStringLiteral("Invalid port in the address.")},
        {QString(), QString(), QStringLiteral("No address specified.")},
    };
    for (const auto &r : refusals) {
        m_env->messages.clear();
        ui.edit->setText(r.field);
        ui.cmbAddress->setEditText(r.box);
        QTest::mouseClick(ui.add, Qt::LeftButton);
        QCOMPARE(m_env->messages.size(), 1);
        QCOMPARE(m_env->messages[0].text, r.why);
        QCOMPARE(m_env->messages[0].caption, QStringLiteral("Warning"));
        QCOMPARE(m_env->messages[0].icon, MessageIcon::Warning);
        QCOMPARE(TableAddresses(), before);
        QCOMPARE(ui.edit->text(), r.field);
    }
    // Every watched address is a target of the metrics, pinged yet or not.
    for (const QString &address : before)
        QVERIFY2(w->Session->Metrics()->Registry()->Targets().contains(address),
                 qPrintable(address));
}

void TestWatchPanel::deleteAndRemoveTakeTheSelectedRow() {
    QVERIFY(Build());
    QVERIFY(ShowActive());
    ui.actWatched->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(ui.dock->isVisible(), Patience);
    w->Session->Watched()->Load(
        QStringLiteral("http://a.test/\r\nhttp://b.test/\r\nhttp://c.test/\r\nhttp://d.test/\r\n"));
    QCOMPARE(ui.table->rowCount(), 4);

    ui.table->setFocus();
    QTRY_VERIFY_WITH_TIMEOUT(ui.table->hasFocus(), Patience);
    ui.table->selectRow(1);
    QTest::keyClick(ui.table, Qt::Key_Delete);
    QCOMPARE(w->Session->Watched()->Addresses(),
             QStringList({QStringLiteral("http://a.test/"), QStringLiteral("http://c.test/"),
                          QStringLiteral("http://d.test/")}));
    QCOMPARE(TableAddresses(), w->Session->Watched()->Addresses());
    // The row that took its place is selected: Delete again goes on down the list.
    QCOMPARE(ui.table->selectedItems().first()->row(), 1);
    QTest::keyClick(ui.table, Qt::Key_Delete);
    QCOMPARE(TableAddresses(),
             QStringList({QStringLiteral("http://a.test/"), QStringLiteral("http://d.test/")}));

    // The last row: the one above it is selected next.
    ui.table->selectRow(1);
    QTest::mouseClick(ui.remove, Qt::LeftButton);
    QCOMPARE(TableAddresses(), QStringList{QStringLiteral("http://a.test/")});
    QCOMPARE(ui.table->selectedItems().first()->row(), 0);

    // Nothing selected: nothing removed.
    ui.table->clearSelection();
    QTest::mouseClick(ui.remove, Qt::LeftButton);
    ui.table->setFocus();
    QTest::keyClick(ui.table, Qt::Key_Delete);
    QCOMPARE(w->Session->Watched()->Count(), 1);

    ui.table->selectRow(0);
    QTest::keyClick(ui.table, Qt::Key_Delete);
    QCOMPARE(w->Session->Watched()->Count(), 0);
    QCOMPARE(ui.table->rowCount(), 0);
    QVERIFY(m_env->messages.isEmpty());
}

void TestWatchPanel::upAndDownReorder() {
    QVERIFY(Build());
    QVERIFY(ShowActive());
    ui.actWatched->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(ui.dock->isVisible(), Patience);
    w->Session->Watched()->Load(
        QStringLiteral("http://a.test/\r\nhttp://b.test/\r\nhttp://c.test/\r\n"));
    const QString a = QStringLiteral("http://a.test/");
    const QString b = QStringLiteral("http://b.test/");
    const QString c = QStringLiteral("http://c.test/");

    ui.table->selectRow(0);
    QTest::mouseClick(ui.down, Qt::LeftButton);
    QCOMPARE(TableAddresses(), QStringList({b, a, c}));
    QCOMPARE(ui.table->selectedItems().first()->row(), 1);
    QTest::mouseClick(ui.down, Qt::LeftButton);
    QCOMPARE(TableAddresses(), QStringList({b, c, a}));
    // At the bottom already: stays.
    QTest::mouseClick(ui.down, Qt::LeftButton);
    QCOMPARE(TableAddresses(), QStringList({b, c, a}));
    QCOMPARE(ui.table->selectedItems().first()->row(), 2);

    QTest::mouseClick(ui.up, Qt::LeftButton);
    QTest::mouseClick(ui.up, Qt::LeftButton);
    QCOMPARE(TableAddresses(), QStringList({a, b, c}));
    QTest::mouseClick(ui.up, Qt::LeftButton);
    QCOMPARE(TableAddresses(), QStringList({a, b, c}));
    QCOMPARE(w->Session->Watched()->Addresses(), TableAddresses());
    QCOMPARE(w->Session->Watched()->Stored(), QStringLiteral("http://a.test/\r\nhttp://b.test/\r\n"
                                                             "http://c.test/\r\n"));

    ui.table->clearSelection();
    QTest::mouseClick(ui.down, Qt::LeftButton);
    QCOMPARE(TableAddresses(), QStringList({a, b, c}));
}

void TestWatchPanel::editingTheAddressReplacesIt() {
    QVERIFY(Build());
    QVERIFY(ShowActive());
    ui.actWatched->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(ui.dock->isVisible(), Patience);
    w->Session->Watched()->Load(
        QStringLiteral("http://a.test/\r\nhttp://b.test/\r\nhttp://c.test/\r\n"));
    // The view never pulls a cell from under its open editor.
    QTest::failOnWarning(QRegularExpression(QStringLiteral("closeEditor|commitData")));

    // Types into the cell's editor and presses Enter, as a user would.
    const auto edit = [&](int row, const QString &text) {
        QTableWidgetItem *item = ui.table->item(row, ColAddress);
        ui.table->setCurrentItem(item);
        ui.table->editItem(item);
        QLineEdit *editor = nullptr;
        (void)QTest::qWaitFor(
            [&] {
                editor = qobject_cast<QLineEdit *>(QApplication::focusWidget());
                return editor && ui.table->isAncestorOf(editor);
            },
            Patience);
        QVERIFY(editor);
        editor->selectAll();
        QTest::keyClicks(editor, text);
        const QPointer<QLineEdit> open(editor);
        QTest::keyClick(editor, Qt::Key_Return);
        // The delegate commits and closes on its next turn of the loop.
        QTRY_VERIFY_WITH_TIMEOUT(!open || !open->isVisible(), Patience);
        Settle();
    };

    edit(1, QStringLiteral("x.test/path"));
    QCOMPARE(w->Session->Watched()->Addresses(),
             QStringList({QStringLiteral("http://a.test/"), QStringLiteral("http://x.test/path"),
                          QStringLiteral("http://c.test/")}));
    QCOMPARE(TableAddresses(), w->Session->Watched()->Addresses());
    QVERIFY(m_env->messages.isEmpty());

    // The last row too (its cell is replaced while its own edit is committed).
    edit(2, QStringLiteral("https://y.test"));
    QCOMPARE(TableAddresses(),
             QStringList({QStringLiteral("http://a.test/"), QStringLiteral("http://x.test/path"),
                          QStringLiteral("https://y.test/")}));

    // Refused: the warning, and the old address back in the cell and the list.
    const QStringList before = TableAddresses();
    edit(1, QStringLiteral("ftp://x.test/"));
    QCOMPARE(m_env->messages.size(), 1);
    QCOMPARE(m_env->messages[0].caption, QStringLiteral("Warning"));
    QCOMPARE(m_env->messages[0].icon, MessageIcon::Warning);
    QCOMPARE(m_env->messages[0].text,
             QStringLiteral("Only HTTP and HTTPS protocols are supported."));
    QCOMPARE(TableAddresses(), before);
    QCOMPARE(w->Session->Watched()->Addresses(), before);

    edit(0, QStringLiteral("HTTPS://Y.TEST/"));
    QCOMPARE(m_env->messages.size(), 2);
    QCOMPARE(m_env->messages[1].text, QStringLiteral("Already watched: https://y.test/"));
    QCOMPARE(TableAddresses(), before);

    // Only the address column can be edited.
    for (int column = 0; column < ui.table->columnCount(); ++column)
        QCOMPARE(bool(ui.table->item(0, column)->flags() & Qt::ItemIsEditable),
                 column == ColAddress);
}

void TestWatchPanel::contextMenuCopiesAddressAndResult() {
    TestTcpServer server;
    QVERIFY(server.listen());
    server.setScript(TestTcpServer::Script::answer({"HTTP/1.0 204 No Content\r\n\r\n"}));
    QVERIFY(Build());
    QVERIFY(ShowActive());
    ui.actWatched->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(ui.dock->isVisible(), Patience);
    const QString address = Local(server.port(), QStringLiteral("/menu"));
    w->Session->Watched()->Load(QStringLiteral("http://a.test/\r\n") + address +
                                QStringLiteral("\r\n"));

    // "Ping now" from the menu pings that row at once.
    const QStringList offered = ChooseFromMenu(1, QStringLiteral("Ping now"));
    for (const QString &caption : {QStringLiteral("Ping now"), QStringLiteral("Copy address"),
                                   QStringLiteral("Copy last result")})
        QVERIFY2(offered.contains(caption), qPrintable(offered.join(QLatin1Char('|'))));
    QTRY_COMPARE_WITH_TIMEOUT(w->Session->Watched()->RowAt(1).state, WatchList::Completed,
                              Patience);
    const QString result = w->Session->Watched()->RowAt(1).lastResult;
    QVERIFY2(QRegularExpression(QStringLiteral("\\Acompleted in \\d+\\.\\d{3} s\\z"))
                 .match(result)
                 .hasMatch(),
             qPrintable(result));
    QTRY_COMPARE_WITH_TIMEOUT(ui.table->item(1, ColResult)->text(), result, Patience);
    QCOMPARE(server.connectionCount(), 1);

    QApplication::clipboard()->setText(QStringLiteral("before"));
    ChooseFromMenu(1, QStringLiteral("Copy address"));
    QCOMPARE(QApplication::clipboard()->text(), address);
    ChooseFromMenu(1, QStringLiteral("Copy last result"));
    QCOMPARE(QApplication::clipboard()->text(), result);
    // The menu's row is the row clicked, and it becomes the selected one.
    ChooseFromMenu(0, QStringLiteral("Copy address"));
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("http://a.test/"));
    QCOMPARE(ui.table->selectedItems().first()->row(), 0);

    // A row's snooze: its state says until when, and its menu's "Resume alerts" ends it.
    QVERIFY(offered.contains(QStringLiteral("Snooze alerts")));
    QVERIFY(offered.contains(QStringLiteral("Resume alerts")));
    w->Session->Snooze(address, QDateTime::currentDateTime().addSecs(3600));
    QVERIFY(
        ui.table->item(1, ColState)->toolTip().startsWith(QStringLiteral("Alerts snoozed until ")));
    QCOMPARE(ui.table->item(0, ColState)->toolTip(), QString());
    ChooseFromMenu(1, QStringLiteral("Resume alerts"));
    QVERIFY(!w->Session->SnoozedUntil(address).isValid());
    QCOMPARE(ui.table->item(1, ColState)->toolTip(), QString());
}

void TestWatchPanel::listSurvivesARestart() {
    QVERIFY(m_env->WriteStore("\"Watch interval\"=dword:0000012c\r\n"));
    QVERIFY(Build());
    QCOMPARE(Options.WatchInterval, 300u);
    ui.edit->setText(QStringLiteral("127.0.0.1:8001/first"));
    QTest::mouseClick(ui.add, Qt::LeftButton);
    ui.edit->setText(QStringLiteral("https://127.0.0.1:8443/second?q=\"x\""));
    QTest::mouseClick(ui.add, Qt::LeftButton);
    ui.edit->setText(QStringLiteral("http://127.0.0.1:8002/third"));
    QTest::mouseClick(ui.add, Qt::LeftButton);
    ui.table->selectRow(2);
    QTest::mouseClick(ui.up, Qt::LeftButton);
    const QStringList want = {QStringLiteral("http://127.0.0.1:8001/first"),
                              QStringLiteral("http://127.0.0.1:8002/third"),
                              QStringLiteral("https://127.0.0.1:8443/second?q=\"x\"")};
    QCOMPARE(TableAddresses(), want);

    w.reset(); // saves on the way out
    QVERIFY(m_env->messages.isEmpty());
    const RegKey key =
        LoadRegStore(m_env->StorePath()).keys.value(QString::fromLatin1(SettingsKey).toLower());
    const RegValue stored = key.values.value(QStringLiteral("watched addresses")).second;
    QCOMPARE(key.values.value(QStringLiteral("watched addresses")).first,
             QStringLiteral("Watched addresses"));
    QCOMPARE(stored.kind, RegValue::Sz);
    QCOMPARE(stored.text, want.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n"));
    const RegValue interval = key.values.value(QStringLiteral("watch interval")).second;
    QCOMPARE(interval, (RegValue{RegValue::Dword, 300, QString()}));
    // As the file has it: one line, the breaks escaped.
    const QByteArray file = ReadBytes(m_env->StorePath());
    QByteArray line;
    for (const QByteArray &l : file.split('\n')) {
        if (l.startsWith("\"Watched addresses\"="))
            line = l.endsWith('\r') ? l.chopped(1) : l;
    }
    QCOMPARE(line, QByteArray("\"Watched addresses\"=\"http://127.0.0.1:8001/first\\r\\n"
                              "http://127.0.0.1:8002/third\\r\\n"
                              "https://127.0.0.1:8443/second?q=\\\"x\\\"\\r\\n\""));

    Options = TOptions();
    QVERIFY(Build());
    QCOMPARE(w->Session->Watched()->Addresses(), want);
    QCOMPARE(TableAddresses(), want);
    QVERIFY(m_env->messages.isEmpty());
    // Not pinged yet: the first round is spread over the five minutes.
    for (int row = 0; row < 3; ++row) {
        const WatchList::Row r = w->Session->Watched()->RowAt(row);
        QCOMPARE(r.state, WatchList::Idle);
        QVERIFY2(r.msToNext > 0 && r.msToNext <= 300000, QByteArray::number(r.msToNext));
    }
}

void TestWatchPanel::trayToolTipNamesTheAddressesDown() {
    TestTcpServer up;
    QVERIFY(up.listen());
    up.setScript(TestTcpServer::Script::answer({"HTTP/1.0 200 OK\r\n\r\n"}));
    const quint16 closed = TestTcpServer::closedPort();
    QVERIFY(Build());
    Options.PingAttempts = 1; // a refused ping ends at once; the row then shows its failure
    w->ApplySettings();
    w->Session->Watched()->SetIntervalMs(2000);
    w->Session->Watched()->Load(Local(up.port(), QStringLiteral("/up")) + QStringLiteral("\r\n") +
                                Local(closed, QStringLiteral("/down")) + QStringLiteral("\r\n"));
    const QString down = Local(closed, QStringLiteral("/down"));
    QTRY_COMPARE_WITH_TIMEOUT(LastToolTip(),
                              QStringLiteral("Vennatro\r1 of 2 addresses down: ") + down, Patience);
    QCOMPARE(w->NotifyIcon->ShownToolTip(), LastToolTip());
    QVERIFY(up.connectionCount() >= 1);

    // Five, four of them down: three named, in the list's order, the rest left to the dock.
    w->Session->Watched()->Load(Local(closed, QStringLiteral("/1")) + QStringLiteral("\r\n") +
                                Local(up.port(), QStringLiteral("/ok")) + QStringLiteral("\r\n") +
                                Local(closed, QStringLiteral("/2")) + QStringLiteral("\r\n") +
                                Local(closed, QStringLiteral("/3")) + QStringLiteral("\r\n") +
                                Local(closed, QStringLiteral("/4")) + QStringLiteral("\r\n"));
    const QString named =
        QStringLiteral("%1, %2, %3, ...")
            .arg(Local(closed, QStringLiteral("/1")), Local(closed, QStringLiteral("/2")),
                 Local(closed, QStringLiteral("/3")));
    QTRY_COMPARE_WITH_TIMEOUT(
        LastToolTip(), QStringLiteral("Vennatro\r4 of 5 addresses down: ") + named, Patience);

    // All up: the tool-tip says so.
    w->Session->Watched()->Load(Local(up.port(), QStringLiteral("/ok")) + QStringLiteral("\r\n"));
    QTRY_VERIFY_WITH_TIMEOUT(w->Session->Watched()->RowAt(0).state == WatchList::Completed,
                             Patience);
    // A watched ping is history like any other.
    const QList<HistoryRow> rows = w->Session->History()->Rows(
        Local(up.port(), QStringLiteral("/ok")), QDateTime::currentDateTimeUtc().addSecs(-60),
        QDateTime::currentDateTimeUtc().addSecs(60));
    QVERIFY(!rows.isEmpty());
    QCOMPARE(rows.last().outcome, PingOutcomeKind::Completed);
    QTRY_VERIFY_WITH_TIMEOUT(!LastToolTip().contains(QLatin1String("down")), Patience);
    QVERIFY2(LastToolTip().startsWith(QLatin1String("Vennatro\r1 watched address up")),
             qPrintable(LastToolTip()));
    // An empty list adds nothing to the tool-tip.
    w->Session->Watched()->Load(QString());
    QTRY_COMPARE_WITH_TIMEOUT(LastToolTip(), QStringLiteral("Vennatro"), Patience);
}

void TestWatchPanel::downAddressStaysNamedWhileItIsPingedAgain() {
    // Down at first (the server hangs up without a word), then a ping that takes its time, as
    // one to a host that no longer answers does.
    TestTcpServer flaky;
    QVERIFY(flaky.listen());
    flaky.setScriptFor(0, TestTcpServer::Script::closeOnAccept());
    flaky.setScript(TestTcpServer::Script::neverAnswer());
    QVERIFY(Build());
    Options.PingAttempts = 1;
    w->ApplySettings();
    const QString address = Local(flaky.port(), QStringLiteral("/slow"));
    const QString downTip = QStringLiteral("Vennatro\r1 of 1 addresses down: ") + address;
    w->Session->Watched()->SetIntervalMs(1000);
    w->Session->Watched()->Load(address + QStringLiteral("\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(LastToolTip(), downTip, Patience);
    QTRY_VERIFY_WITH_TIMEOUT(flaky.requestComplete(1), Patience);
    QCOMPARE(w->Session->Watched()->RowAt(0).state, WatchList::UnderWay);
    Settle();
    // Nothing has answered since the failure: the address is still down.
    QCOMPARE(LastToolTip(), downTip);
    QCOMPARE(w->Session->Watched()->Down(), 1);
}

void TestWatchPanel::rowsPingedWhileHiddenAreCurrentWhenShown() {
    TestTcpServer server;
    QVERIFY(server.listen());
    server.setScript(TestTcpServer::Script::answer({"HTTP/1.0 204 No Content\r\n\r\n"}));
    QVERIFY(Build());
    QVERIFY(ShowActive());
    w->Session->Watched()->Load(
        Local(server.port(), QStringLiteral("/first")) + QStringLiteral("\r\n") +
        Local(server.port(), QStringLiteral("/second")) + QStringLiteral("\r\n"));
    const auto pingAndWait = [&](int row) {
        const QDateTime before = w->Session->Watched()->RowAt(row).lastPing;
        w->Session->Watched()->PingNow(row);
        return QTest::qWaitFor(
            [&] {
                const WatchList::Row data = w->Session->Watched()->RowAt(row);
                return data.state == WatchList::Completed && data.lastPing != before;
            },
            Patience);
    };

    // Pinged while the dock is hidden: the row is current as the dock is shown.
    QVERIFY(pingAndWait(0));
    ui.actWatched->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(ui.dock->isVisible(), Patience);
    QCOMPARE(ui.table->item(0, ColResult)->text(), w->Session->Watched()->RowAt(0).lastResult);
    QVERIFY(!ui.table->item(0, ColResult)->text().isEmpty());
    QCOMPARE(ui.table->item(1, ColResult)->text(), QString());

    // Pinged while the window is in the tray with the dock open: current as it comes back.
    w->hide();
    QTRY_VERIFY_WITH_TIMEOUT(!ui.dock->isVisible(), Patience);
    QVERIFY(pingAndWait(1));
    QVERIFY(ShowActive());
    QVERIFY(ui.dock->isVisible());
    QCOMPARE(ui.table->item(1, ColResult)->text(), w->Session->Watched()->RowAt(1).lastResult);
    QVERIFY(!ui.table->item(1, ColResult)->text().isEmpty());
}

// Cut in the middle: the path first, the host only when even it does not fit; the port stays.
void TestWatchPanel::addressesAreElidedInTheMiddle_data() {
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("chars"); // the width, in average characters
    QTest::addColumn<QString>("kept");
    QTest::newRow("long path") << "http://127.0.0.1:8080/a/very/long/path/to/some/index.html" << 36
                               << "http://127.0.0.1:8080/";
    QTest::newRow("long host") << "https://a-very-long-host-name.of.some.example.org:8443/x" << 24
                               << ":8443/";
    QTest::newRow("IPv6 literal") << "http://[2001:db8::1234:5678:9abc]:9090/x/y/z" << 16
                                  << "]:9090/";
}

void TestWatchPanel::addressesAreElidedInTheMiddle() {
    QFETCH(QString, address);
    QFETCH(int, chars);
    QFETCH(QString, kept);
    const QFontMetrics metrics(QApplication::font());
    const int width = chars * metrics.averageCharWidth();
    const QString shown = ElideAddress(address, metrics, width);
    QVERIFY2(metrics.horizontalAdvance(shown) <= width && shown.contains(kept) &&
                 shown.contains(QChar(0x2026)),
             qPrintable(shown));
    QCOMPARE(ElideAddress(address, metrics, metrics.horizontalAdvance(address)), address);
}

bool TestWatchPanel::ShowDock() {
    if (!Build() || !ShowActive())
        return false;
    ui.actWatched->trigger();
    Options.PingAttempts = 1;
    w->ApplySettings();
    return QTest::qWaitFor([this] { return ui.dock->isVisible(); }, Patience);
}

// A failing row says so in words and in a colour mixed from the palette; a row not pinged in
// this run shows no uptime figure; the address takes the free width.
void TestWatchPanel::rowsSayTheirStateInWordsAndColour() {
    TestTcpServer up;
    QVERIFY(up.listen());
    up.setScript(TestTcpServer::Script::answer({"HTTP/1.0 200 OK\r\n\r\n"}));
    QVERIFY(ShowDock());
    const QString bad = Local(TestTcpServer::closedPort(), QStringLiteral("/down"));
    w->Session->Watched()->Load(Local(up.port(), QStringLiteral("/ok")) + "\r\n" + bad +
                                "\r\nhttp://127.0.0.1:9/never\r\n");
    w->Session->Watched()->PingNow(0);
    w->Session->Watched()->PingNow(1);
    QTRY_COMPARE_WITH_TIMEOUT(ui.table->item(1, ColState)->text(), QStringLiteral("Down"),
                              Patience);
    QTRY_COMPARE_WITH_TIMEOUT(ui.table->item(0, ColState)->text(), QStringLiteral("Up"), Patience);
    QCOMPARE(ui.table->item(2, ColState)->text(), QStringLiteral("\u2013"));
    // A screen reader hears the state in words under its column's header, never the dash.
    QAccessibleInterface *table = QAccessible::queryAccessibleInterface(ui.table);
    QVERIFY(table && table->tableInterface());
    QCOMPARE(table->text(QAccessible::Name), QStringLiteral("Watched addresses"));
    const QStringList heard = {QStringLiteral("Up"), QStringLiteral("Down"),
                               QStringLiteral("Not pinged yet")};
    for (int row = 0; row < 3; ++row) {
        QAccessibleInterface *cell = table->tableInterface()->cellAt(row, ColState);
        QVERIFY(cell);
        QCOMPARE(cell->text(QAccessible::Name), heard[row]);
        const QList<QAccessibleInterface *> headers =
            cell->tableCellInterface()->columnHeaderCells();
        QVERIFY(!headers.isEmpty());
        QCOMPARE(headers.first()->text(QAccessible::Name), QStringLiteral("State"));
    }
    QCOMPARE(UnnamedFocusable(ui.dock), QStringList());
    QCOMPARE(AccessibleName(ui.edit), QStringLiteral("Address to watch"));
    QCOMPARE(ui.table->item(0, ColUptime)->text(), QStringLiteral("100.0%"));
    QCOMPARE(ui.table->item(2, ColUptime)->text(), QStringLiteral("\u2013"));
    QCOMPARE(ui.table->item(1, ColAddress)->toolTip(), bad);
    // The status bar's permanent panel counts them.
    QCOMPARE(Find<QLabel>(w.get(), "StatusLastPanel")->text(), QStringLiteral("1 of 3 down"));
    const QBrush failing = ui.table->item(1, ColResult)->background();
    QVERIFY(failing.style() != Qt::NoBrush &&
            failing.color() != ui.table->palette().base().color());
    QCOMPARE(ui.table->item(0, ColResult)->background().style(), Qt::NoBrush);
    const QHeaderView *header = ui.table->horizontalHeader();
    for (int column = 0; column < ui.table->columnCount(); ++column)
        QVERIFY(column == ColAddress ||
                header->sectionSize(ColAddress) > header->sectionSize(column));
}

// A header click sorts (ascending, descending, the list's order again), the selection follows
// its address, Up and Down wait for the list's order; failing rows first, also as they change.
void TestWatchPanel::sortsByAnyColumnAndFailingFirst() {
    QVERIFY(ShowDock());
    const QString down = Local(TestTcpServer::closedPort(), QStringLiteral("/m-down"));
    w->Session->Watched()->Load("http://c.test/\r\nhttp://a.test/\r\n" + down +
                                "\r\nhttp://b.test/\r\n");
    const QStringList listOrder = TableAddresses();
    QHeaderView *header = ui.table->horizontalHeader();
    const auto clickHeader = [&] {
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                          QPoint(header->sectionViewportPosition(ColAddress) + 4, 4));
    };
    ui.table->selectRow(0); // c.test
    clickHeader();
    QCOMPARE(TableAddresses(),
             (QStringList{down, "http://a.test/", "http://b.test/", "http://c.test/"}));
    QCOMPARE(ui.table->selectedItems().first()->row(), 3);
    QVERIFY(!ui.up->isEnabled());
    clickHeader();
    QCOMPARE(TableAddresses().constFirst(), QStringLiteral("http://c.test/"));
    clickHeader();
    QCOMPARE(TableAddresses(), listOrder);
    QVERIFY(ui.up->isEnabled());

    auto *failingFirst = Find<QToolButton>(w.get(), "btnWatchFailingFirst");
    QVERIFY(failingFirst);
    failingFirst->click();
    w->Session->Watched()->PingNow(2);
    QTRY_COMPARE_WITH_TIMEOUT(
        TableAddresses(), (QStringList{down, "http://c.test/", "http://a.test/", "http://b.test/"}),
        Patience);
    qobject_cast<TWatchPanel *>(ui.dock)->SortBy(ColAddress, Qt::DescendingOrder);
    QCOMPARE(TableAddresses(),
             (QStringList{down, "http://c.test/", "http://b.test/", "http://a.test/"}));
}

void TestWatchPanel::pasteAddsOneRowPerLine() {
    QVERIFY(ShowDock());
    QVERIFY(w->Session->Watched()->Add(QStringLiteral("http://a.test/")));
    QApplication::clipboard()->setText("b.test\nftp://x.test/\n\n \r\nhttp://A.test/\r\nc.test\n");
    QTest::keySequence(ui.table, QKeySequence::Paste);
    QCOMPARE(TableAddresses(), (QStringList{"http://a.test/", "http://b.test/", "http://c.test/"}));
    QCOMPARE(m_env->messages.size(), 1);
    QCOMPARE(m_env->messages[0].text,
             QStringLiteral("2 of 4 addresses added. Not added:\n"
                            "ftp://x.test/: Only HTTP and HTTPS protocols are supported.\n"
                            "http://A.test/: Already watched: http://a.test/"));
    // Into the field as well; a single line stays there to be edited.
    QApplication::clipboard()->setText(QStringLiteral("d.test\ne.test\n"));
    QTest::keySequence(ui.edit, QKeySequence::Paste);
    QCOMPARE(w->Session->Watched()->Count(), 5);
    QApplication::clipboard()->setText(QStringLiteral("f.test\n"));
    QTest::keySequence(ui.edit, QKeySequence::Paste);
    QCOMPARE(w->Session->Watched()->Count(), 5);
    QCOMPARE(ui.edit->text(), QStringLiteral("f.test"));
}

// Delete asks nothing; Ctrl+Z and the link bring rows back in their places, newest first.
void TestWatchPanel::deleteAsksNothingAndUndoBringsTheRowBack() {
    QVERIFY(ShowDock());
    const QStringList all = {"http://a.test/", "http://b.test/", "http://c.test/"};
    w->Session->Watched()->Load(all.join(QStringLiteral("\r\n")));
    auto *undo = Find<QLabel>(w.get(), "lblWatchUndo");
    QVERIFY(undo && undo->isHidden());
    for (int row : {0, 1}) {
        ui.table->selectRow(row);
        QTest::keyClick(ui.table, Qt::Key_Delete);
    }
    QCOMPARE(TableAddresses(), QStringList{"http://b.test/"});
    QVERIFY(undo->isVisible() && undo->text().contains(QLatin1String("Removed http://c.test/.")));
    emit undo->linkActivated(QStringLiteral("undo"));
    QCOMPARE(TableAddresses(), (QStringList{"http://b.test/", "http://c.test/"}));
    QTest::keyClick(ui.table, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(TableAddresses(), all);
    QVERIFY(undo->isHidden());
    QTest::keyClick(ui.table, Qt::Key_Z, Qt::ControlModifier); // nothing left to undo
    QCOMPARE(TableAddresses(), all);
    QVERIFY(m_env->messages.isEmpty());
}

void TestWatchPanel::rowMenuOpensTheHistory() {
    QVERIFY(ShowDock());
    w->Session->Watched()->Load(QStringLiteral("http://a.test/\r\nhttp://b.test/\r\n"));
    ChooseFromMenu(1, QStringLiteral("History"));
    auto *history = w->findChild<THistoryWindow *>();
    QVERIFY(history && history->isVisible());
    QCOMPARE(history->Address(), QStringLiteral("http://b.test/"));
}

// Shown or not, and its height, as the user left them; the tool-bar button shows and hides it.
void TestWatchPanel::dockAndItsHeightSurviveARestart() {
    for (const bool shown : {true, false}) {
        QVERIFY(Build());
        QVERIFY(ShowActive());
        QCOMPARE(ui.dock->isVisible(), !shown);
        auto *button = qobject_cast<QToolButton *>(
            Find<QToolBar>(w.get(), "ToolBar")->widgetForAction(ui.actWatched));
        QVERIFY(button && button->text() == QStringLiteral("Watched"));
        button->click();
        QTRY_COMPARE_WITH_TIMEOUT(ui.dock->isVisible(), shown, Patience);
        if (shown) {
            w->resize(w->width(), 640);
            w->resizeDocks({ui.dock}, {300}, Qt::Vertical);
            QTRY_COMPARE_WITH_TIMEOUT(ui.dock->height(), 300, Patience);
        }
        w.reset();
        QCOMPARE(StoredDword("Watch panel shown"), shown ? 1u : 0u);
        QCOMPARE(StoredDword("Watch panel height"), 300u);
        Options = TOptions();
    }
    QVERIFY(Build());
    QVERIFY(ShowActive());
    QVERIFY(ui.dock->isHidden() && !ui.actWatched->isChecked());
}

QTEST_MAIN(TestWatchPanel)
#include "test_watchpanel.moc"
