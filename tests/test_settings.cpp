// The main window's settings: what reaches the store file, what comes back from it, and what
// the user is told when it goes wrong.
#include "app/Main.h"
#include "engine/PingTarget.h"
#include "engine/WatchList.h"
#include "platform/Autostart.h"
#include "platform/gui/MessageBox.h"
#include "settings/NumberEdit.h"
#include "settings/OptionsForm.h"
#include "store/RegStore.h"
#include "store/SettingsTable.h"
#include "support/EngineProbe.h"
#include "support/TestHelpers.h"
#include "support/UsualFunctions.h"
#include "support/gui/MainWindowParts.h"
#include "support/gui/TestEnvironment.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <memory>

namespace {

const QString Key = QString::fromLatin1(SettingsKey);
const QString WriteFailure = QStringLiteral(
    "Error while writing in the settings file.\rCheck that you have the proper rights.");

// A store file holding the program's key with the given value lines, with bare line feeds.
QByteArray StoreText(const QByteArray &lines) { return TestEnvironment::StoreText(lines, "\n"); }

RegValue Dw(quint32 n) { return RegValue{RegValue::Dword, n, QString(), 0, {}}; }

RegValue Sz(const QString &text) { return RegValue{RegValue::Sz, 0, text, 0, {}}; }

// Every setting away from its default.
TOptions Changed(const QString &logFile) {
    TOptions o;
    o.AlwaysOnTop = true;
    o.StartWithWindows = true;
    o.AutoPingAtStart = true;
    o.ShowNotifications = false;
    o.ShowOnlyErrorNotifications = true;
    o.ShowLog = false;
    o.SaveLog = true;
    o.LogHTTPHeaders = true;
    o.ComputerNameInUserAgent = true;
    o.SendEmailOnError = true;
    o.PingOnError = true;
    o.PingAttempts = 99;
    o.AutoPingInterval = 7;
    o.HTTPPort = 8080;
    o.HTTPSPort = 8443;
    o.SMTPPort = 2525;
    o.LogFile = logFile;
    o.AutoPingAddress = QStringLiteral("http://127.0.0.1:8080/a b");
    o.ErrorPingAddress = QStringLiteral("https://localhost/\"quoted\"\\");
    o.ErrorEmailAddress = QStringLiteral("ops@example.org");
    o.FromAddress = QStringLiteral("Vennatro Wächter <v@example.org>");
    o.SMTPServer = QStringLiteral("localhost");
    o.SMTPUser = QStringLiteral("ann");
    o.SMTPPassword = QStringLiteral("Sécret pass%0 \"日本\"");
    o.PingTimeout = 45;
    o.MetricsPort = 9105;
    o.MetricsFile = QStringLiteral("/var/lib/textfile/vennatro.prom");
    o.RepeatAlertsEvery = 60;
    o.SMTPSecurity = 1;
    o.WatchInterval = 300;
    o.WatchedAddresses = QStringLiteral("http://a.test/\r\nhttps://b.test:8443/\r\n");
    o.HistoryDays = 365;
    o.LogTimingDetails = true;
    o.NotifyUrls = QStringLiteral("ntfy://127.0.0.1:8/t\r\nhttp://127.0.0.1:9/hook\r\n");
    o.AlertText = QStringLiteral("%address% is %event%\r\n100% sure");
    o.AlertAfter = 3;
    o.SnoozedUntil = QStringLiteral("*\t2099-01-01T08:00:00Z\r\n");
    return o;
}

} // namespace

class TestSettings : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void firstStartWithoutFile();
    void everySettingRoundTrips();
    void recentListRoundTrips_data();
    void recentListRoundTrips();
    void recentListSplitsAtEveryLineBreak();
    void pingAttemptsStoredAsTextLoadsAsThree();
    void pingTimeoutOutOfRangeLoadsAsThirty_data();
    void pingTimeoutOutOfRangeLoadsAsThirty();
    void logFileStoredAsNumberStopsTheLoad();
    void valuesAfterAWrongKindSurviveTheExit();
    void heightWithLogKeptWhileLogHidden();
    void emptyAddressesLoadAsHttp();
    void malformedFileIsReportedAndKept();
    void unwritableFolderIsReportedAndProgramGoesOn();
    void storeThatCannotBeOpenedAbortsTheSave();
    void passwordNeverInPlainText();
    void autostartEntryFollowsTheSetting();
    void maximisedWindowSavesItsRestoredBounds();
    void positionPulledIntoWorkArea();
    void optionsCommandAppliesThenSaves();

private:
    QString StorePath() const { return m_env->StorePath(); }
    RegKey StoredKey() const { return LoadRegStore(StorePath()).keys.value(Key.toLower()); }
    RegValue Stored(const QString &name) const {
        return StoredKey().values.value(name.toLower()).second;
    }
    void Build();

    std::unique_ptr<TestEnvironment> m_env; // its onMessage runs before a box is recorded
    std::unique_ptr<TfMain_Vennatro> w;
    MainWindowParts ui;
};

void TestSettings::init() {
    m_env = std::make_unique<TestEnvironment>();
    QVERIFY(m_env->IsValid());
    Options = TOptions(); // zero-filled, as before the first load
}

void TestSettings::cleanup() {
    w.reset(); // saves once more; the folder still exists
    m_env.reset();
}

void TestSettings::Build() {
    w = std::make_unique<TfMain_Vennatro>(new PingSession);
    ui.Resolve(w.get()); // a missing part fails the test
}

void TestSettings::firstStartWithoutFile() {
    Build();
    QVERIFY2(m_env->messages.isEmpty(), qPrintable(m_env->messages.value(0).text));
    QCOMPARE(Options, DefaultOptions());
    QVERIFY(!QFile::exists(StorePath())); // loading writes nothing

    // Design size, centred on the full screen, no offset, inside the work area.
    const QScreen *screen = w->screen();
    QCOMPARE(w->width(), 692);
    QCOMPARE(w->pos(), QPoint((screen->geometry().width() - w->width()) / 2,
                              (screen->geometry().height() - w->height()) / 2));
    QVERIFY(screen->availableGeometry().contains(QRect(w->pos(), w->size())));
    QVERIFY(!(w->windowState() & Qt::WindowMaximized));
    QCOMPARE(ui.cmbAddress->count(), 0);
    QVERIFY(ui.actShowLog->isChecked());
    QVERIFY(!ui.actAlwaysOnTop->isChecked());
    QCOMPARE(EngineProbe(w->Session->Engine()).IdSMTP().Port, 25);
    QCOMPARE(EngineProbe(w->Session->Engine()).IdMessage().Recipients, QStringList{QString()});
    QVERIFY(!w->UserAgent.contains(QLatin1Char('[')));

    // Leaving writes every value, and "Start with Windows" off leaves no autostart entry.
    const QSize size = w->size();
    const QPoint pos = w->pos();
    w.reset();
    QVERIFY(m_env->messages.isEmpty());
    const RegKey key = StoredKey();
    // Every row of the settings table, and the window's own eight: the recent list, bounds and
    // the watched panel.
    QCOMPARE(key.values.size(), SettingsTable().size() + 8);
    QCOMPARE(Stored(QStringLiteral("Watch panel shown")).dword, 0u);
    QCOMPARE(Stored(QStringLiteral("Watch panel height")).dword, 0u);
    QCOMPARE(Stored(QStringLiteral("Ping timeout")).dword, 30u);
    // The checks of a site keep what the program did before them: a connect for https, any
    // answer, never slow; a certificate is only ever read with the check on.
    QCOMPARE(Stored(QStringLiteral("Check TLS on https")).dword, 0u);
    QCOMPARE(Stored(QStringLiteral("Warn before certificate expiry")).dword, 14u);
    QCOMPARE(Stored(QStringLiteral("Accepted HTTP status")), Sz(QString()));
    QCOMPARE(Stored(QStringLiteral("Slow above")).dword, 0u);
    QCOMPARE(Stored(QStringLiteral("Metrics port")).dword, 0u);
    QCOMPARE(Stored(QStringLiteral("Ping attempts")).dword, 3u);
    QCOMPARE(Stored(QStringLiteral("Auto-ping address")).text, QStringLiteral("http://"));
    QCOMPARE(Stored(QStringLiteral("Recent URLs")), Sz(QString()));
    QCOMPARE(Stored(QStringLiteral("SMTP password")), Sz(QString()));
    QCOMPARE(Stored(QStringLiteral("Maximized")).dword, 0u);
    QCOMPARE(Stored(QStringLiteral("Window width")).dword, quint32(size.width()));
    QCOMPARE(Stored(QStringLiteral("Window height")).dword, quint32(size.height()));
    QCOMPARE(Stored(QStringLiteral("Window left")).dword, quint32(pos.x()));
    QCOMPARE(Stored(QStringLiteral("Window top")).dword, quint32(pos.y()));
    QVERIFY(!QFile::exists(AutostartPath()));
}

void TestSettings::everySettingRoundTrips() {
    Build();
    const TOptions changed = Changed(m_env->Path(QStringLiteral("logs/my log é.txt")));
    Options = changed;
    // The stored list is the watch list's own: it reaches the store through the list.
    w->Session->Watched()->Load(changed.WatchedAddresses);
    w->SaveSettings();
    QVERIFY2(m_env->messages.isEmpty(), qPrintable(m_env->messages.value(0).text));

    // Kinds in the file: flags and numbers 32-bit values, texts strings.
    QCOMPARE(Stored(QStringLiteral("Always on top")), Dw(1));
    QCOMPARE(Stored(QStringLiteral("Show notifications")), Dw(0));
    QCOMPARE(Stored(QStringLiteral("Ping attempts")), Dw(99));
    QCOMPARE(Stored(QStringLiteral("HTTPS port")), Dw(8443));
    QCOMPARE(Stored(QStringLiteral("Log file")), Sz(changed.LogFile));
    QCOMPARE(Stored(QStringLiteral("From address")), Sz(changed.FromAddress));
    QCOMPARE(Stored(QStringLiteral("Include computer name in user agent")).dword, 1u);

    Options = TOptions();
    w->LoadSettings();
    QVERIFY2(m_env->messages.isEmpty(), qPrintable(m_env->messages.value(0).text));
    QCOMPARE(Options, changed);

    // ...and applied.
    QVERIFY(ui.actAlwaysOnTop->isChecked());
    QVERIFY(!ui.actShowLog->isChecked());
    QCOMPARE(w->maximumHeight(), 150);
    QCOMPARE(EngineProbe(w->Session->Engine()).IdSMTP().Host, changed.SMTPServer);
    QCOMPARE(EngineProbe(w->Session->Engine()).IdSMTP().Port, 2525);
    QCOMPARE(EngineProbe(w->Session->Engine()).IdSMTP().Username, changed.SMTPUser);
    QCOMPARE(EngineProbe(w->Session->Engine()).IdSMTP().Password, changed.SMTPPassword);
    QCOMPARE(EngineProbe(w->Session->Engine()).IdMessage().From, changed.FromAddress);
    QCOMPARE(EngineProbe(w->Session->Engine()).IdMessage().Recipients,
             QStringList{changed.ErrorEmailAddress});
    QCOMPARE(w->UserAgent, BuildUserAgent(w->ProgramVersion, w->VersionInfo.Suffix,
                                          CurrentOsVersion(), true, w->ComputerName));
    QVERIFY(w->UserAgent.endsWith(QStringLiteral(" [%1]").arg(w->ComputerName)));

    // The next start reads the same (without an automatic ping at start, which would go out
    // to the network).
    Options.AutoPingAtStart = false;
    w.reset(); // saves on the way out
    Options = TOptions();
    Build();
    QVERIFY2(m_env->messages.isEmpty(), qPrintable(m_env->messages.value(0).text));
    TOptions expected = changed;
    expected.AutoPingAtStart = false;
    QCOMPARE(Options, expected);
    QVERIFY(QFileInfo(changed.LogFile).dir().exists()); // the log folder made at start
}

void TestSettings::recentListRoundTrips_data() {
    QTest::addColumn<QStringList>("items");
    QTest::addColumn<QString>("stored");
    QTest::newRow("none") << QStringList() << QString();
    QTest::newRow("one") << QStringList{QStringLiteral("http://a/")}
                         << QStringLiteral("http://a/\r\n");
    QTest::newRow("two") << QStringList{QStringLiteral("A"), QStringLiteral("B")}
                         << QStringLiteral("A\r\nB\r\n");
    QStringList many;
    QString text;
    for (int i = 0; i < 500; ++i) {
        many << QStringLiteral("https://host%1.example/päth?q=\"%1\"").arg(i);
        text += many.last() + QStringLiteral("\r\n");
    }
    QTest::newRow("many") << many << text;
}

void TestSettings::recentListRoundTrips() {
    QFETCH(QStringList, items);
    QFETCH(QString, stored);
    Build();
    ui.cmbAddress->addItems(items);
    w->SaveSettings();
    QCOMPARE(Stored(QStringLiteral("Recent URLs")), Sz(stored));

    // Loading replaces the list and leaves the text being typed alone.
    ui.cmbAddress->clear();
    ui.cmbAddress->addItem(QStringLiteral("stale"));
    ui.cmbAddress->setEditText(QStringLiteral("typing"));
    w->LoadSettings();
    QCOMPARE(Items(ui.cmbAddress), items);
    QCOMPARE(ui.cmbAddress->currentText(), QStringLiteral("typing"));
    QVERIFY(m_env->messages.isEmpty());
}

void TestSettings::recentListSplitsAtEveryLineBreak() {
    WriteBytes(StorePath(), StoreText("\"Recent URLs\"=\"a\\rb\\nc\\r\\n\\r\\nd\"\n"));
    Build();
    QCOMPARE(Items(ui.cmbAddress),
             QStringList({QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c"), QString(),
                          QStringLiteral("d")}));
    WriteBytes(StorePath(), StoreText("\"Recent URLs\"=\"x\\n\"\n"));
    w->LoadSettings();
    QCOMPARE(Items(ui.cmbAddress), QStringList{QStringLiteral("x")});
}

void TestSettings::pingAttemptsStoredAsTextLoadsAsThree() {
    WriteBytes(StorePath(), StoreText("\"Ping attempts\"=\"5\"\n"
                                      "\"Auto-ping interval\"=\"9\"\n"
                                      "\"Save log\"=\"1\"\n"
                                      "\"HTTP port\"=dword:00000051\n"));
    Build();
    QVERIFY(m_env->messages.isEmpty());
    QCOMPARE(Options.PingAttempts, 3u);
    QCOMPARE(Options.AutoPingInterval, 15u);
    QCOMPARE(Options.SaveLog, false);
    QCOMPARE(Options.HTTPPort, 81);
}

void TestSettings::pingTimeoutOutOfRangeLoadsAsThirty_data() {
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<quint32>("loaded");
    QTest::newRow("zero") << QByteArray("dword:00000000") << 30u;
    QTest::newRow("above an hour") << QByteArray("dword:00000e11") << 30u;
    QTest::newRow("an hour") << QByteArray("dword:00000e10") << 3600u;
    QTest::newRow("one second") << QByteArray("dword:00000001") << 1u;
    QTest::newRow("absent") << QByteArray() << 30u;
}

void TestSettings::pingTimeoutOutOfRangeLoadsAsThirty() {
    QFETCH(QByteArray, stored);
    QFETCH(quint32, loaded);
    WriteBytes(StorePath(),
               StoreText(stored.isEmpty() ? QByteArray() : "\"Ping timeout\"=" + stored + "\n"));
    Build();
    QVERIFY(m_env->messages.isEmpty());
    QCOMPARE(Options.PingTimeout, loaded);
    QCOMPARE(w->Session->Engine()->Settings().PingTimeout, loaded);
}

void TestSettings::logFileStoredAsNumberStopsTheLoad() {
    Build();
    const QPoint pos = w->pos();
    ui.cmbAddress->addItem(QStringLiteral("http://kept/"));
    TOptions before = DefaultOptions();
    before.PingOnError = false;
    before.SMTPPort = 77;
    before.SMTPServer = QStringLiteral("previous");
    Options = before;
    WriteBytes(StorePath(), StoreText("\"Save log\"=dword:00000001\n"
                                      "\"HTTP port\"=dword:00000051\n"
                                      "\"Log file\"=dword:00000001\n"
                                      "\"Ping on error\"=dword:00000001\n"
                                      "\"SMTP port\"=dword:000009dd\n"
                                      "\"SMTP server\"=\"later\"\n"
                                      "\"Recent URLs\"=\"http://later/\\r\\n\"\n"
                                      "\"Window left\"=dword:00000000\n"
                                      "\"Window top\"=dword:00000000\n"));
    int portWhenShown = -1;
    m_env->onMessage = [&](const MessageBoxRequest &) {
        portWhenShown = EngineProbe(w->Session->Engine()).IdSMTP().Port;
    };
    w->LoadSettings();

    QCOMPARE(m_env->messages.size(), 1);
    QCOMPARE(m_env->messages[0].text, QStringLiteral("Invalid data type for 'Log file'"));
    QCOMPARE(m_env->messages[0].caption, QStringLiteral("Error"));
    QCOMPARE(m_env->messages[0].icon, MessageIcon::Error);
    QCOMPARE(m_env->messages[0].owner, w.get());
    QCOMPARE(portWhenShown, 77); // the settings were applied before the message

    // Read before the failure: new values. After it: the previous ones.
    QCOMPARE(Options.SaveLog, true);
    QCOMPARE(Options.HTTPPort, 81);
    QCOMPARE(Options.LogFile, QString());
    QCOMPARE(Options.PingOnError, false);
    QCOMPARE(Options.SMTPPort, 77);
    QCOMPARE(Options.SMTPServer, QStringLiteral("previous"));
    QCOMPARE(Items(ui.cmbAddress), QStringList{QStringLiteral("http://kept/")});
    QCOMPARE(w->pos(), pos);
}

void TestSettings::valuesAfterAWrongKindSurviveTheExit() {
    // A store of a previous run, every setting away from its default...
    Build();
    TOptions changed = Changed(m_env->Path(QStringLiteral("logs/log.txt")));
    changed.AutoPingAtStart = false; // a start must not ping out
    changed.PingAttempts = 5;        // one the dialog's two digits give back unchanged
    Options = changed;
    w->Session->Watched()->Load(changed.WatchedAddresses);
    ui.cmbAddress->addItems({QStringLiteral("http://a.test/"), QStringLiteral("http://b.test/")});
    w->SaveSettings();
    w.reset();
    // ...then "Log file" made a number by hand: the load stops there.
    RegDocument doc = LoadRegStore(StorePath());
    RegKey &key = doc.keys[Key.toLower()];
    key.values[QStringLiteral("log file")].second = Dw(7);
    SaveRegStore(StorePath(), doc);
    const QByteArray before = ReadBytes(StorePath());
    const RegKey storedBefore = StoredKey();
    QVERIFY(storedBefore.values.size() > 30);

    Options = TOptions();
    Build();
    QCOMPARE(m_env->messages.size(), 1);
    QCOMPARE(m_env->messages[0].text, QStringLiteral("Invalid data type for 'Log file'"));
    QCOMPARE(m_env->messages[0].caption, QStringLiteral("Error"));
    QCOMPARE(Options.SaveLog, true);         // read before it
    QCOMPARE(Options.SMTPServer, QString()); // never read
    QCOMPARE(ui.cmbAddress->count(), 0);

    // The exit writes the file back as it was: nothing read, nothing changed, nothing lost.
    w.reset();
    QCOMPARE(m_env->messages.size(), 1);
    QCOMPARE(ReadBytes(StorePath()), before);

    // The next start meets the same value and says so again; the options dialog then writes
    // what the user changes (the log file, the server, the fields it refuses empty or 0), and
    // only that.
    Options = TOptions();
    Build();
    QCOMPARE(m_env->messages.size(), 2);
    QCOMPARE(m_env->messages[1].text, QStringLiteral("Invalid data type for 'Log file'"));
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    const QString logFile = m_env->Path(QStringLiteral("logs/new log.txt"));
    bool shown = false;
    QTimer::singleShot(0, w.get(), [&] {
        auto *dialog = qobject_cast<TfOptions *>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        shown = true;
        dialog->edLogFile->setText(logFile);
        dialog->edSMTPServer->setText(QStringLiteral("smtp.changed.test"));
        dialog->edPingTimeout->setText(QStringLiteral("45"));
        dialog->edWatchInterval->setText(QStringLiteral("300"));
        dialog->edSMTPPort->setText(QStringLiteral("2525"));
        dialog->btnOK->click();
    });
    ui.actOptions->trigger();
    QVERIFY(shown);
    QCOMPARE(m_env->messages.size(), 2);
    const RegKey storedAfter = StoredKey();
    QCOMPARE(storedAfter.values.keys(), storedBefore.values.keys());
    for (auto it = storedBefore.values.cbegin(); it != storedBefore.values.cend(); ++it) {
        RegValue expected = it->second;
        if (it.key() == QLatin1String("log file"))
            expected = Sz(logFile);
        else if (it.key() == QLatin1String("smtp server"))
            expected = Sz(QStringLiteral("smtp.changed.test"));
        QVERIFY2(storedAfter.values.value(it.key()).second == expected, qPrintable(it->first));
    }

    // Now the whole store loads, and the exit writes what it read.
    w.reset();
    Options = TOptions();
    Build();
    QCOMPARE(m_env->messages.size(), 2);
    TOptions expected = changed;
    expected.LogFile = logFile;
    expected.SMTPServer = QStringLiteral("smtp.changed.test");
    QCOMPARE(Options, expected);
    QCOMPARE(Items(ui.cmbAddress),
             (QStringList{QStringLiteral("http://a.test/"), QStringLiteral("http://b.test/")}));
}

void TestSettings::heightWithLogKeptWhileLogHidden() {
    Build();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    w->resize(700, 600);
    QTRY_COMPARE(w->height(), 600);
    ui.actShowLog->trigger();
    QTRY_COMPARE(w->height(), 150);
    w.reset();
    // The height stored is the one with the log, not the strip the window is without it.
    QCOMPARE(Stored(QStringLiteral("Show log")), Dw(0));
    QCOMPARE(Stored(QStringLiteral("Window height")), Dw(600));

    // The next start hides the log; showing it brings the height back.
    Build();
    QVERIFY(!ui.actShowLog->isChecked());
    QCOMPARE(w->height(), 150);
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    ui.actShowLog->trigger();
    QTRY_COMPARE(w->height(), 600);
    // Hidden again and saved without being shown in between: still the same height.
    ui.actShowLog->trigger();
    QTRY_COMPARE(w->height(), 150);
    w.reset();
    QCOMPARE(Stored(QStringLiteral("Window height")), Dw(600));

    // A start with the log shown (the store says so) has that height at once.
    RegDocument doc = LoadRegStore(StorePath());
    doc.keys[Key.toLower()].values[QStringLiteral("show log")].second = Dw(1);
    SaveRegStore(StorePath(), doc);
    Build();
    QVERIFY(ui.actShowLog->isChecked());
    QCOMPARE(w->height(), 600);
    QVERIFY(m_env->messages.isEmpty());
}

void TestSettings::emptyAddressesLoadAsHttp() {
    WriteBytes(StorePath(), StoreText("\"Auto-ping address\"=\"\"\n"
                                      "\"Error ping address\"=expand:\"\"\n"
                                      "\"SMTP server\"=\"\"\n"
                                      "\"From address\"=\"\\x00hidden\"\n"));
    Build();
    QVERIFY(m_env->messages.isEmpty());
    QCOMPARE(Options.AutoPingAddress, QStringLiteral("http://"));
    QCOMPARE(Options.ErrorPingAddress, QStringLiteral("http://"));
    QCOMPARE(Options.SMTPServer, QString());
    QCOMPARE(Options.FromAddress, QString());
}

void TestSettings::malformedFileIsReportedAndKept() {
    const QByteArray bad = StoreText("\"Ping attempts\"=dword:00000009\n"
                                     "\"Log file\"=\"/tmp/unterminated\n");
    WriteBytes(StorePath(), bad);
    Build();
    QCOMPARE(m_env->messages.size(), 1);
    QCOMPARE(m_env->messages[0].caption, QStringLiteral("Error"));
    QCOMPARE(m_env->messages[0].icon, MessageIcon::Error);
    QVERIFY2(m_env->messages[0].text.contains(QStringLiteral("\"%1\", line 5").arg(StorePath())),
             qPrintable(m_env->messages[0].text));
    QVERIFY2(m_env->messages[0].text.contains(StorePath() + QStringLiteral(".bad")),
             qPrintable(m_env->messages[0].text));
    QCOMPARE(ReadBytes(StorePath() + QStringLiteral(".bad")), bad);
    // Nothing of an unreadable file is trusted: the program runs on its defaults.
    QCOMPARE(Options, DefaultOptions());

    // Saving replaces the file; the copy stays as it was.
    w->SaveSettings();
    QCOMPARE(m_env->messages.size(), 1);
    QCOMPARE(Stored(QStringLiteral("Ping attempts")).dword, 3u);
    QCOMPARE(ReadBytes(StorePath() + QStringLiteral(".bad")), bad);
}

void TestSettings::unwritableFolderIsReportedAndProgramGoesOn() {
    Build();
    const QString folder = m_env->Path(QStringLiteral("config/Lumo Dev"));
    WriteBytes(folder, "a file where the folder should be");
    Options.StartWithWindows = true;
    w->SaveSettings();
    QCOMPARE(m_env->messages.size(), 1);
    QCOMPARE(m_env->messages[0].text, WriteFailure);
    QCOMPARE(m_env->messages[0].caption, QStringLiteral("Error"));
    QCOMPARE(m_env->messages[0].icon, MessageIcon::Error);
    QCOMPARE(m_env->messages[0].owner, w.get());
    QVERIFY(!QFile::exists(AutostartPath())); // the rest of the save is skipped

    // The window goes on, and the next save works once the folder can be made.
    w->AddToLog(QStringLiteral("still running"));
    QVERIFY(QFile::remove(folder));
    w->SaveSettings();
    QCOMPARE(m_env->messages.size(), 1);
    QCOMPARE(Stored(QStringLiteral("Start with Windows")).dword, 1u);
    QVERIFY(QFile::exists(AutostartPath()));
}

void TestSettings::storeThatCannotBeOpenedAbortsTheSave() {
    // A malformed file of which no copy can be kept (a folder is in the way of the copy).
    const QByteArray bad = StoreText("\"Ping attempts\"=oops\n");
    WriteBytes(StorePath(), bad);
    QVERIFY(QDir().mkpath(StorePath() + QStringLiteral(".bad/inside")));
    Build();
    QCOMPARE(m_env->messages.size(), 1); // the load reports the file
    m_env->messages.clear();

    Options.StartWithWindows = true;
    w->SaveSettings();
    QCOMPARE(m_env->messages.size(), 1);
    QCOMPARE(m_env->messages[0].text, QStringLiteral("Operation aborted"));
    QCOMPARE(m_env->messages[0].caption, QStringLiteral("Error"));
    QCOMPARE(m_env->messages[0].icon, MessageIcon::Error);
    QCOMPARE(m_env->messages[0].owner, w.get());
    QCOMPARE(ReadBytes(StorePath()), bad);    // never written over
    QVERIFY(!QFile::exists(AutostartPath())); // the rest of the save is skipped
}

void TestSettings::passwordNeverInPlainText() {
    Build();
    const QString password = QStringLiteral("Plain Sécret 12345");
    Options.SMTPPassword = password;
    w->SaveSettings();
    const QByteArray file = ReadBytes(StorePath());
    QVERIFY(!file.contains(password.toUtf8()));
    QVERIFY(!file.contains("Plain"));
    QVERIFY(!file.contains("12345"));
    const QString stored = Stored(QStringLiteral("SMTP password")).text;
    QCOMPARE(stored.size(), 256);
    QCOMPARE(stored.toLatin1(), ScramblePassword(password.toUtf8()));

    Options.SMTPPassword.clear();
    w->LoadSettings();
    QCOMPARE(Options.SMTPPassword, password);
}

void TestSettings::autostartEntryFollowsTheSetting() {
    Build();
    Options.StartWithWindows = false;
    w->SaveSettings(); // no entry to remove: no message
    QVERIFY(m_env->messages.isEmpty());
    QVERIFY(!QFile::exists(AutostartPath()));

    Options.StartWithWindows = true;
    w->SaveSettings();
    QVERIFY(m_env->messages.isEmpty());
    const QString entry = QString::fromUtf8(ReadBytes(AutostartPath()));
    QVERIFY2(entry.contains(QStringLiteral("\nExec=") + QCoreApplication::applicationFilePath() +
                            QStringLiteral(" -quiet\n")),
             qPrintable(entry));

    Options.StartWithWindows = false;
    w->SaveSettings();
    QVERIFY(m_env->messages.isEmpty());
    QVERIFY(!QFile::exists(AutostartPath()));
}

void TestSettings::maximisedWindowSavesItsRestoredBounds() {
    Build();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    w->resize(640, 420);
    w->move(30, 40);
    const QRect normal(w->pos(), w->size());
    w->MaximizeCommand();
    QTRY_VERIFY(w->windowState() & Qt::WindowMaximized);
    w->SaveSettings();
    QCOMPARE(Stored(QStringLiteral("Maximized")).dword, 1u);
    QCOMPARE(Stored(QStringLiteral("Window width")).dword, quint32(normal.width()));
    QCOMPARE(Stored(QStringLiteral("Window height")).dword, quint32(normal.height()));
    QCOMPARE(Stored(QStringLiteral("Window left")).dword, quint32(normal.left()));
    QCOMPARE(Stored(QStringLiteral("Window top")).dword, quint32(normal.top()));

    // The next start places the window there, then maximises it without showing it.
    w.reset();
    Build();
    QVERIFY(!w->isVisible());
    QVERIFY(w->windowState() & Qt::WindowMaximized);
    QCOMPARE(QRect(w->RestoreLeft, w->RestoreTop, w->RestoreWidth, w->RestoreHeight), normal);
    w->SaveSettings();
    QCOMPARE(Stored(QStringLiteral("Window width")).dword, quint32(normal.width()));
    QCOMPARE(Stored(QStringLiteral("Window left")).dword, quint32(normal.left()));

    // A visible window is maximised through the maximise command.
    w->setWindowState(Qt::WindowNoState);
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    w->LoadSettings();
    QTRY_VERIFY(w->windowState() & Qt::WindowMaximized);
    QCOMPARE(QRect(w->RestoreLeft, w->RestoreTop, w->RestoreWidth, w->RestoreHeight), normal);
}

void TestSettings::positionPulledIntoWorkArea() {
    Build();
    const QRect work = w->screen()->availableGeometry();
    WriteBytes(StorePath(), StoreText("\"Window left\"=dword:ffffec78\n" // -5000
                                      "\"Window top\"=dword:0001869f\n"  // 99999
                                      "\"Window width\"=dword:00000280\n"
                                      "\"Window height\"=dword:000001a4\n"));
    w->LoadSettings();
    QCOMPARE(w->size(), QSize(640, 420));
    QCOMPARE(w->pos(), QPoint(work.left(), work.top() + work.height() - 420));

    // Larger than the work area: reduced to it, at its top-left corner.
    WriteBytes(StorePath(),
               StoreText("\"Window left\"=dword:00000064\n"
                         "\"Window top\"=dword:00000064\n"
                         "\"Window width\"=dword:" +
                         QByteArray::number(work.width() + 300, 16).rightJustified(8, '0') +
                         "\n\"Window height\"=dword:" +
                         QByteArray::number(work.height() + 300, 16).rightJustified(8, '0') +
                         "\n"));
    w->LoadSettings();
    QCOMPARE(w->size(), work.size());
    QCOMPARE(w->pos(), work.topLeft());
    QVERIFY(m_env->messages.isEmpty());
}

void TestSettings::optionsCommandAppliesThenSaves() {
    Build();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    Options.AlwaysOnTop = true;
    w->ApplySettings();
    // Switched off from the menu for this run only.
    ui.actAlwaysOnTop->trigger();
    QVERIFY(!(w->windowFlags() & Qt::WindowStaysOnTopHint));
    QVERIFY(!QFile::exists(StorePath()));

    bool onTopDuring = true;
    bool shown = false;
    QTimer::singleShot(0, w.get(), [&] {
        auto *dialog = qobject_cast<TfOptions *>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        shown = true;
        onTopDuring = w->windowFlags() & Qt::WindowStaysOnTopHint;
        dialog->cbComputerNameInUserAgent->setChecked(true);
        dialog->btnOK->click();
    });
    ui.actOptions->trigger();
    QVERIFY(shown);
    QVERIFY(!onTopDuring); // the dialog is never hidden behind the window
    // Applied: the window and the mark follow the stored setting again, the user agent changes.
    QVERIFY(w->windowFlags() & Qt::WindowStaysOnTopHint);
    QVERIFY(ui.actAlwaysOnTop->isChecked());
    QVERIFY(w->UserAgent.endsWith(QStringLiteral(" [%1]").arg(w->ComputerName)));
    // Saved.
    QCOMPARE(Stored(QStringLiteral("Include computer name in user agent")), Dw(1));
    QCOMPARE(Stored(QStringLiteral("Always on top")), Dw(1));

    // Cancelled: nothing changes, nothing is written, the window is back on top.
    QVERIFY(QFile::remove(StorePath()));
    shown = false;
    onTopDuring = true;
    QTimer::singleShot(0, w.get(), [&] {
        auto *dialog = qobject_cast<TfOptions *>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        shown = true;
        onTopDuring = w->windowFlags() & Qt::WindowStaysOnTopHint;
        dialog->cbComputerNameInUserAgent->setChecked(false);
        dialog->btnCancel->click();
    });
    ui.actOptions->trigger();
    QVERIFY(shown);
    QVERIFY(!onTopDuring);
    QVERIFY(Options.ComputerNameInUserAgent);
    QVERIFY(!QFile::exists(StorePath()));
    QVERIFY(w->windowFlags() & Qt::WindowStaysOnTopHint);
    QVERIFY(m_env->messages.isEmpty());
}

QTEST_MAIN(TestSettings)
#include "test_settings.moc"
