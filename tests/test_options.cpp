// The options dialog: its controls, the enabled rules, copying a record in and out, every
// check of OK with its message and focus, the log path check and ShowOptionsDialog itself.
#include "settings/NumberEdit.h"
#include "settings/OptionsForm.h"
#include "support/TestHttpReceiver.h"
#include "support/TestSmtpServer.h"
#include "support/gui/Accessibility.h"
#include "support/gui/TestEnvironment.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <limits>
#include <memory>

namespace {

const QString Note = QStringLiteral(
    "\n(you can include also the display name using the format:  Display Name <ann@example.org>)");

// A record that passes every check with every alert on.
TOptions CompleteOptions() {
    TOptions o = DefaultOptions();
    o.AutoPingAtStart = true;
    o.AutoPingAddress = QStringLiteral("http://auto.example/");
    o.PingOnError = true;
    o.ErrorPingAddress = QStringLiteral("http://error.example/");
    o.SendEmailOnError = true;
    o.ErrorEmailAddress = QStringLiteral("Ops <ops@example.org>");
    o.FromAddress = QStringLiteral("vennatro@example.org");
    o.SMTPServer = QStringLiteral("mail.example.org");
    o.SMTPPort = 587;
    o.SMTPUser = QStringLiteral("ann");
    o.SMTPPassword = QStringLiteral("s3cret");
    return o;
}

} // namespace

class TestOptions : public QObject {
    Q_OBJECT
private:
    TestEnvironment env;
    QList<MessageBoxRequest> &boxes = env.messages;

    // Opens a dialog on the record, shows it and waits until it has the focus.
    std::unique_ptr<TfOptions> Open(const TOptions &o) {
        auto dialog = std::make_unique<TfOptions>(nullptr);
        dialog->LoadFrom(o);
        dialog->show();
        dialog->activateWindow();
        if (!QTest::qWaitForWindowActive(dialog.get()))
            return nullptr;
        return dialog;
    }

    // Presses OK; true when the dialog accepted.
    static bool PressOK(TfOptions &dialog) {
        QSignalSpy accepted(&dialog, &QDialog::accepted);
        dialog.btnOK->click();
        return accepted.size() == 1;
    }

private slots:
    void init();

    void windowAndGroups();
    void nothingIsCutOff();
    void smallScreenScrollsTheGroupsNotTheButtons();
    void captionsAndHints();
    void fieldsNamedAfterTheirOwnCaptions();
    void limitsAndMasks();
    void tabOrder();
    void enabledStatesAtOpen_data();
    void enabledStatesAtOpen();
    void clicksSwitchDependentControls();
    void checkBoxesCopyInAndOutOneByOne_data();
    void checkBoxesCopyInAndOutOneByOne();
    void valuesCopyInAndOut();
    void numbersStoredAsTheProgramNeedsThem();
    void okCheck_data();
    void okCheck();
    void rangesAreTheSettingsTables_data();
    void rangesAreTheSettingsTables();
    void testMailReportsTheServersAnswer();
    void lastFailingCheckWins();
    void trimming();
    void bareSchemeClearing();
    void untouchedPasswordsMatch();
    void longPasswordRefused();
    void invalidPathComesFirst();
    void logPathRules_data();
    void logPathRules();
    void missingFoldersAreCreated();
    void saveLogOffStoresPathUnchecked();
    void browsingForTheLogFile();
    void showDialogOk();
    void showDialogCancelAfterRejectedOk();
};

void TestOptions::init() { boxes.clear(); }

// A screen reader names each field after its own caption, never after its group box, and
// every captioned field is reached by its caption's Alt+letter.
void TestOptions::fieldsNamedAfterTheirOwnCaptions() {
    TfOptions d(nullptr);
    d.show();
    d.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&d));
    QCOMPARE(UnnamedFocusable(&d), QStringList());
    for (const auto &[field, name] : QList<QPair<QWidget *, const char *>>{
             {d.edPingAttemps, "Ping attempts"},
             {d.edInterval, "Auto-ping interval"},
             {d.edAutoPingAddress, "Auto-ping address"},
             {d.edLogFile, "Log file"},
             {d.btnLogFile, "Select log file"},
             {d.edErrorPingAddress, "Address to ping when a ping fails"},
             {d.edConfirmPassword, "Confirm password"},
             {d.cmbSMTPSecurity, "Security"}})
        QCOMPARE(AccessibleName(field), QString::fromUtf8(name));
    // The security box by its caption whatever its value, never by the value.
    d.cmbSMTPSecurity->setCurrentIndex(2);
    QCOMPARE(AccessibleName(d.cmbSMTPSecurity), QStringLiteral("Security"));
    // Each captioned field has a mnemonic on its (first) caption; none is named by its group.
    QStringList wrong;
    QSet<QWidget *> captioned;
    for (QLabel *label : d.findChildren<QLabel *>())
        if (label->buddy() && !captioned.contains(label->buddy())) {
            captioned << label->buddy();
            if (!label->text().contains(QRegularExpression(QStringLiteral("&[^&]"))) ||
                QStringList{d.gbPing->title(), d.gbOther->title(), d.gbAlerts->title()}.contains(
                    AccessibleName(label->buddy())))
                wrong << label->objectName();
        }
    QCOMPARE(wrong, QStringList());
    QVERIFY(captioned.size() >= 20);
    d.edPort->setFocus();
    QTest::keyClick(&d, Qt::Key_G, Qt::AltModifier); // "Pin&g attempts:"
    QTRY_COMPARE(QApplication::focusWidget(), d.edPingAttemps);
}

void TestOptions::windowAndGroups() {
    auto shown = Open(DefaultOptions());
    QVERIFY(shown);
    TfOptions &dialog = *shown;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Options"));
    // Fixed size: no resizing, never smaller than the design's client area.
    QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
    QVERIFY(dialog.width() >= 742 && dialog.height() >= 373);
    QVERIFY(!(dialog.windowFlags() & Qt::WindowMinMaxButtonsHint));
    QVERIFY(!(dialog.windowFlags() & Qt::WindowContextHelpButtonHint));

    QCOMPARE(dialog.gbPing->title(), QStringLiteral("Ping options"));
    QCOMPARE(dialog.gbOther->title(), QStringLiteral("Other options"));
    QCOMPARE(dialog.gbAlerts->title(), QStringLiteral("Alerts"));
    const QRect ping = dialog.gbPing->geometry();
    const QRect other = dialog.gbOther->geometry();
    const QRect alerts = dialog.gbAlerts->geometry();
    // The design's places: two groups on the left, "Alerts" on the right, buttons below.
    QCOMPARE(ping.topLeft(), QPoint(10, 5));
    QVERIFY(ping.width() >= 356 && ping.height() >= 166);
    QVERIFY(other.width() >= 356 && other.height() >= 151);
    QVERIFY(alerts.width() >= 356 && alerts.height() >= 326);
    QCOMPARE(other.left(), 10);
    QVERIFY(other.top() > ping.bottom());
    QVERIFY(alerts.left() > ping.right());
    QCOMPARE(alerts.top(), 5);
    QCOMPARE(alerts.bottom(), other.bottom());

    const QRect ok = dialog.btnOK->geometry();
    const QRect cancel = dialog.btnCancel->geometry();
    QVERIFY(ok.width() >= 81 && ok.height() >= 26);
    QCOMPARE(cancel.size(), ok.size());
    QVERIFY(ok.top() > alerts.bottom());
    QCOMPARE(ok.top(), cancel.top());
    QVERIFY(ok.right() < cancel.left());
    QCOMPARE(cancel.right(), alerts.right()); // right-aligned with the "Alerts" group
    QVERIFY(dialog.rect().contains(cancel));
    QCOMPARE(dialog.btnLogFile->size(), QSize(26, 26));
    QCOMPARE(dialog.btnLogFile->iconSize(), QSize(16, 16));
    QVERIFY(!dialog.btnLogFile->icon().isNull());
    QVERIFY(dialog.btnLogFile->text().isEmpty());
    QVERIFY(dialog.btnOK->isDefault());
    QVERIFY(!dialog.btnCancel->isDefault());
}

void TestOptions::smallScreenScrollsTheGroupsNotTheButtons() {
    auto dialog = Open(DefaultOptions());
    QVERIFY(dialog);
    const QSize natural = dialog->size();
    // 1280 x 800 at a scale of 2, a panel and a title bar off.
    const QSize area(640, 340);
    dialog->FitToArea(area);
    QTRY_VERIFY(dialog->width() <= area.width() && dialog->height() <= area.height());
    for (QPushButton *button : {dialog->btnOK, dialog->btnCancel}) {
        QVERIFY(button->isVisible());
        QVERIFY2(dialog->rect().contains(button->geometry()), qPrintable(button->objectName()));
    }
    // Every field can be scrolled to: the first at the start, the last of the alerts and of
    // the other options at the end.
    QScrollArea *scroll = dialog->scrOptions;
    QTRY_VERIFY(scroll->verticalScrollBar()->maximum() > 0);
    QTRY_VERIFY(scroll->horizontalScrollBar()->maximum() > 0);
    const auto shown = [&](QWidget *field) {
        const QRect at(field->mapTo(scroll->viewport(), QPoint()), field->size());
        return scroll->viewport()->rect().contains(at);
    };
    QVERIFY(shown(dialog->edPingAttemps));
    scroll->horizontalScrollBar()->setValue(scroll->horizontalScrollBar()->maximum());
    scroll->verticalScrollBar()->setValue(scroll->verticalScrollBar()->maximum());
    QVERIFY(shown(dialog->edAlertAfter));
    for (QWidget *field : {static_cast<QWidget *>(dialog->edConfirmPassword),
                           static_cast<QWidget *>(dialog->edRepeatAlerts)}) {
        const QPoint at = field->mapTo(scroll->widget(), QPoint());
        scroll->horizontalScrollBar()->setValue(at.x());
        scroll->verticalScrollBar()->setValue(at.y());
        QVERIFY2(shown(field), qPrintable(field->objectName()));
    }
    scroll->horizontalScrollBar()->setValue(0);
    QVERIFY(shown(dialog->edHistoryDays));
    // Where the screen is large enough, the design's size, with nothing to scroll.
    dialog->FitToArea(QSize(4000, 3000));
    QTRY_COMPARE(dialog->size(), natural);
    QTRY_COMPARE(scroll->verticalScrollBar()->maximum(), 0);
    QCOMPARE(scroll->horizontalScrollBar()->maximum(), 0);
}

void TestOptions::nothingIsCutOff() {
    auto dialog = Open(DefaultOptions());
    QVERIFY(dialog);
    for (QWidget *w : dialog->findChildren<QWidget *>()) {
        if (!w->isVisible() || w->inherits("QFileDialog"))
            continue;
        // Inside its parent, and as large as its contents ask for.
        QVERIFY2(w->parentWidget()->rect().contains(w->geometry()), qPrintable(w->objectName()));
        auto *button = qobject_cast<QPushButton *>(w);
        if (button && button->text().isEmpty()) {
            // A picture button: the picture fits with room for the frame.
            QVERIFY(button->width() >= button->iconSize().width() + 6);
            QVERIFY(button->height() >= button->iconSize().height() + 6);
        } else if (qobject_cast<QLabel *>(w) || qobject_cast<QCheckBox *>(w) || button) {
            QVERIFY2(w->width() >= w->sizeHint().width(),
                     qPrintable(QStringLiteral("%1: %2 < %3")
                                    .arg(w->objectName())
                                    .arg(w->width())
                                    .arg(w->sizeHint().width())));
            QVERIFY2(w->height() >= w->minimumSizeHint().height(), qPrintable(w->objectName()));
        }
        if (auto *edit = qobject_cast<QLineEdit *>(w))
            QVERIFY2(edit->height() >= edit->minimumSizeHint().height(),
                     qPrintable(w->objectName()));
    }
    // Number fields show five digits whole.
    for (TNumberEdit *edit : dialog->findChildren<TNumberEdit *>()) {
        edit->setText(QStringLiteral("88888"));
        QVERIFY(edit->width() > edit->fontMetrics().horizontalAdvance(edit->text()));
    }
}

void TestOptions::captionsAndHints() {
    TfOptions d(nullptr);
    struct Expect {
        QWidget *field;
        QLabel *label;
        const char *caption; // of the label or of the check box
        const char *hint;
    };
    const QList<Expect> expected = {
        {d.edPingAttemps, d.lblPingAttemps,
         "Ping attempts:", "Number of consecutive ping attemps (if the first attempt fails)"},
        {d.edInterval, d.lblInterval,
         "Auto-ping interval:", "Number of minutes between each automatic ping"},
        {d.edInterval, d.lblMinutes, "minute(s)", "Number of minutes between each automatic ping"},
        {d.edPort, d.lblPort, "HTTP port:", "Port por HTTP connections"},
        {d.edSecurePort, d.lblSecurePort, "HTTPS port:", "Port por HTTPS connections"},
        {d.cbComputerNameInUserAgent, nullptr, "Include computer name in user agent string",
         "Include computer name in the user agent string (for server-side logging)"},
        {d.cbAutoPingAtStart, nullptr, "Enable automatic ping at program start:",
         "Enable automatic ping at program start using the following URL"},
        {d.cbAlwaysOnTop, nullptr, "Always on top", "Show window on top of other windows"},
        {d.cbShowNotifications, nullptr, "Show taskbar icon status messages",
         "Show status messages (ping OK, ping error...) from the taskbar icon"},
        {d.cbShowOnlyErrors, nullptr, "Notify errors only",
         "Show taskbar icon status messages only for ping errors"},
        {d.cbLogHeaders, nullptr, "Log HTTP headers",
         "Add HTTP headers to the log (secure connections headers aren't logged)"},
        {d.cbSaveLog, nullptr, "Save log to file:", "Log ping results to file"},
        {d.btnLogFile, nullptr, "", "Select file"},
        {d.cbPingOnError, nullptr, "Ping the following address when a ping fails",
         "Ping the following address if a ping fails"},
        {d.cbSendEmailOnError, nullptr, "Send a notification email when a ping fails",
         "Send an email to the following address if a ping fails"},
        {d.edSMTPServer, d.lblSMTPServer, "Server:", "SMTP Server"},
        {d.edSMTPPort, d.lblSMTPPort, "Port:", "SMTP port"},
        {d.edSMTPUser, d.lblSMTPUser, "Username:", "SMTP server username"},
        {d.edSMTPPassword, d.lblSMTPPassword, "Password:", "SMTP server password"},
        {d.edConfirmPassword, d.lblConfirmPassword, "Confirm password:", "Confirm SMTP password"},
    };
    for (const Expect &e : expected) {
        const QString caption = QString::fromUtf8(e.caption);
        const QString hint = QString::fromUtf8(e.hint);
        QCOMPARE(e.field->toolTip(), hint);
        if (e.label) {
            // The caption as shown; the "&" before its mnemonic letter is not.
            QCOMPARE(QString(e.label->text()).remove(QLatin1Char('&')), caption);
            QCOMPARE(e.label->toolTip(), hint);
        } else if (auto *button = qobject_cast<QAbstractButton *>(e.field)) {
            QCOMPARE(button->text(), caption);
        }
    }
    // The display-name note follows the two address hints, on their labels too.
    const QString to =
        QStringLiteral("Email address that will receive the ping failure notification");
    const QString from =
        QStringLiteral("Email address that will be used as the sender of the notification");
    QCOMPARE(d.edErrorEmailAddress->toolTip(), to + Note);
    QCOMPARE(d.lblErrorEmailAddress->toolTip(), to + Note);
    QCOMPARE(d.edEmailFromAddress->toolTip(), from + Note);
    QCOMPARE(d.lblEmailFromAddress->toolTip(), from + Note);
    QCOMPARE(d.lblErrorEmailAddress->text().remove(QLatin1Char('&')),
             QStringLiteral("To address:"));
    QCOMPARE(d.lblEmailFromAddress->text().remove(QLatin1Char('&')),
             QStringLiteral("From address:"));
    QCOMPARE(d.lblSMTPSettings->text(), QStringLiteral("Email account (SMTP) settings"));
    QVERIFY(d.lblSMTPSettings->font().bold());

    // Away from Windows the box names what really happens; its hint stays.
#ifdef Q_OS_WIN
    QCOMPARE(d.cbStartWithWindows->text(), QStringLiteral("Start with Windows"));
#else
    QCOMPARE(d.cbStartWithWindows->text(), QStringLiteral("Start at log-on"));
#endif
    QCOMPARE(d.cbStartWithWindows->toolTip(),
             QStringLiteral("Run the program at session start (as taskbar icon)"));

    QCOMPARE(d.btnOK->text(), QStringLiteral("&OK"));
    QCOMPARE(d.btnCancel->text(), QStringLiteral("&Cancel"));
    // Design-time contents before any record is loaded.
    QCOMPARE(d.edAutoPingAddress->text(), QStringLiteral("http://"));
    QCOMPARE(d.edErrorPingAddress->text(), QStringLiteral("http://"));
    QCOMPARE(d.edSMTPPort->text(), QStringLiteral("25"));
}

void TestOptions::limitsAndMasks() {
    TfOptions d(nullptr);
    QCOMPARE(d.edPingAttemps->MaxLength(), 2);
    for (TNumberEdit *e : {d.edInterval, d.edPort, d.edSecurePort, d.edSMTPPort})
        QCOMPARE(e->MaxLength(), 5);
    for (TNumberEdit *e : {d.edPingAttemps, d.edInterval, d.edPort, d.edSecurePort, d.edSMTPPort})
        QVERIFY(!e->PadNumber());
    for (QLineEdit *e : {d.edAutoPingAddress, d.edLogFile, d.edErrorPingAddress,
                         d.edErrorEmailAddress, d.edEmailFromAddress, d.edSMTPServer, d.edSMTPUser,
                         d.edSMTPPassword, d.edConfirmPassword})
        QCOMPARE(e->maxLength(), std::numeric_limits<int>::max());
    QCOMPARE(d.edSMTPPassword->echoMode(), QLineEdit::Password);
    QCOMPARE(d.edConfirmPassword->echoMode(), QLineEdit::Password);
    QCOMPARE(d.edSMTPUser->echoMode(), QLineEdit::Normal);

    // A long stored text arrives whole.
    TOptions o = DefaultOptions();
    o.LogFile = QStringLiteral("/") + QString(40000, QLatin1Char('a'));
    d.LoadFrom(o);
    QCOMPARE(d.edLogFile->text(), o.LogFile);
}

void TestOptions::tabOrder() {
    TOptions o = CompleteOptions();
    o.SaveLog = true;
    o.ShowNotifications = true;
    auto dialog = Open(o);
    QVERIFY(dialog);
    QTRY_COMPARE(QApplication::focusWidget(), dialog->edPingAttemps);

    const QStringList expected = {"edPingAttemps",
                                  "edInterval",
                                  "edPingTimeout",
                                  "edWatchInterval",
                                  "edPort",
                                  "edSecurePort",
                                  "cbComputerNameInUserAgent",
                                  "cbAutoPingAtStart",
                                  "edAutoPingAddress",
                                  "cbCheckTLS",
                                  "edCertExpiry",
                                  "edAcceptedStatus",
                                  "edSlowAbove",
                                  "cbAlwaysOnTop",
                                  "cbStartWithWindows",
                                  "cbShowNotifications",
                                  "cbShowOnlyErrors",
                                  "cbLogHeaders",
                                  "cbLogTimingDetails",
                                  "cbSaveLog",
                                  "edLogFile",
                                  "btnLogFile",
                                  "edMetricsPort",
                                  "edMetricsFile",
                                  "edHistoryDays",
                                  "edHistoryRawDays",
                                  "cbPingOnError",
                                  "edErrorPingAddress",
                                  "cbSendEmailOnError",
                                  "edErrorEmailAddress",
                                  "edEmailFromAddress",
                                  "edSMTPServer",
                                  "edSMTPPort",
                                  "edSMTPUser",
                                  "edSMTPPassword",
                                  "edConfirmPassword",
                                  "cmbSMTPSecurity",
                                  "btnTestMail",
                                  "edRepeatAlerts",
                                  "cbTellNetworkOutages",
                                  "edReferenceAddresses",
                                  "edNotifyUrls",
                                  "btnSendTest",
                                  "edAlertText",
                                  "edAlertAfter",
                                  "btnOK",
                                  "btnCancel",
                                  "edPingAttemps"};
    QStringList seen = {QApplication::focusWidget()->objectName()};
    for (qsizetype i = 1; i < expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        seen << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(seen, expected);
}

void TestOptions::enabledStatesAtOpen_data() {
    QTest::addColumn<bool>("on");
    QTest::newRow("all off") << false;
    QTest::newRow("all on") << true;
}

void TestOptions::enabledStatesAtOpen() {
    QFETCH(bool, on);
    TOptions o = DefaultOptions();
    o.AutoPingAtStart = on;
    o.SaveLog = on;
    o.PingOnError = on;
    o.ShowNotifications = on;
    o.SendEmailOnError = on;
    o.ShowOnlyErrorNotifications = true;
    TfOptions d(nullptr);
    d.LoadFrom(o);

    QCOMPARE(d.edAutoPingAddress->isEnabled(), on);
    QCOMPARE(d.edLogFile->isEnabled(), on);
    QVERIFY(d.btnLogFile->isEnabled()); // always
    QCOMPARE(d.edErrorPingAddress->isEnabled(), on);
    QCOMPARE(d.cbShowOnlyErrors->isEnabled(), on);
    QVERIFY(d.cbShowOnlyErrors->isChecked()); // shown even while disabled
    const QList<QWidget *> emailBlock = {
        d.edErrorEmailAddress, d.lblErrorEmailAddress, d.lblSMTPSettings,   d.edEmailFromAddress,
        d.lblEmailFromAddress, d.edSMTPServer,         d.lblSMTPServer,     d.edSMTPPort,
        d.lblSMTPPort,         d.edSMTPUser,           d.lblSMTPUser,       d.edSMTPPassword,
        d.lblSMTPPassword,     d.edConfirmPassword,    d.lblConfirmPassword};
    QCOMPARE(emailBlock.size(), 15);
    for (QWidget *w : emailBlock)
        QVERIFY2(w->isEnabled() == on, qPrintable(w->objectName()));
    // Boxes without dependents and the fields that are always editable.
    for (QWidget *w :
         {static_cast<QWidget *>(d.edPingAttemps), static_cast<QWidget *>(d.edPort),
          static_cast<QWidget *>(d.cbAlwaysOnTop), static_cast<QWidget *>(d.cbSendEmailOnError)})
        QVERIFY(w->isEnabled());

    // The stored "Notify errors only" value survives OK while disabled.
    TOptions out;
    d.StoreTo(out);
    QVERIFY(out.ShowOnlyErrorNotifications);
}

void TestOptions::clicksSwitchDependentControls() {
    auto dialog = Open(DefaultOptions());
    QVERIFY(dialog);
    TfOptions &d = *dialog;
    struct Rule {
        QCheckBox *box;
        QList<QWidget *> dependents;
    };
    const QList<Rule> rules = {
        {d.cbAutoPingAtStart, {d.edAutoPingAddress}},
        {d.cbSaveLog, {d.edLogFile}},
        {d.cbPingOnError, {d.edErrorPingAddress}},
        {d.cbShowNotifications, {d.cbShowOnlyErrors}},
        {d.cbSendEmailOnError,
         {d.edErrorEmailAddress, d.lblErrorEmailAddress, d.lblSMTPSettings, d.edEmailFromAddress,
          d.lblEmailFromAddress, d.edSMTPServer, d.lblSMTPServer, d.edSMTPPort, d.lblSMTPPort,
          d.edSMTPUser, d.lblSMTPUser, d.edSMTPPassword, d.lblSMTPPassword, d.edConfirmPassword,
          d.lblConfirmPassword}},
    };
    for (const Rule &r : rules) {
        const bool before = r.box->isChecked();
        for (QWidget *w : r.dependents)
            QCOMPARE(w->isEnabled(), before);
        // A real mouse click on the box's caption.
        QTest::mouseClick(r.box, Qt::LeftButton, {},
                          QPoint(r.box->sizeHint().width() / 2, r.box->height() / 2));
        QCOMPARE(r.box->isChecked(), !before);
        for (QWidget *w : r.dependents)
            QVERIFY2(w->isEnabled() == !before, qPrintable(w->objectName()));
        r.box->click();
        for (QWidget *w : r.dependents)
            QCOMPARE(w->isEnabled(), before);
    }
    QVERIFY(d.btnLogFile->isEnabled());

    // Disabling keeps what the fields hold, and OK stores it.
    d.cbSaveLog->setChecked(true);
    d.edLogFile->setText(QStringLiteral("/tmp/kept.txt"));
    d.cbSaveLog->setChecked(false);
    QCOMPARE(d.edLogFile->text(), QStringLiteral("/tmp/kept.txt"));
    TOptions out;
    d.StoreTo(out);
    QCOMPARE(out.LogFile, QStringLiteral("/tmp/kept.txt"));
}

void TestOptions::checkBoxesCopyInAndOutOneByOne_data() {
    QTest::addColumn<int>("which");
    const char *names[] = {"AlwaysOnTop",       "StartWithWindows",
                           "AutoPingAtStart",   "SaveLog",
                           "ShowNotifications", "ShowOnlyErrorNotifications",
                           "LogHTTPHeaders",    "ComputerNameInUserAgent",
                           "PingOnError",       "SendEmailOnError"};
    for (int i = 0; i < 10; ++i)
        QTest::newRow(names[i]) << i;
}

void TestOptions::checkBoxesCopyInAndOutOneByOne() {
    QFETCH(int, which);
    TfOptions d(nullptr);
    const QList<std::pair<bool TOptions::*, QCheckBox *>> map = {
        {&TOptions::AlwaysOnTop, d.cbAlwaysOnTop},
        {&TOptions::StartWithWindows, d.cbStartWithWindows},
        {&TOptions::AutoPingAtStart, d.cbAutoPingAtStart},
        {&TOptions::SaveLog, d.cbSaveLog},
        {&TOptions::ShowNotifications, d.cbShowNotifications},
        {&TOptions::ShowOnlyErrorNotifications, d.cbShowOnlyErrors},
        {&TOptions::LogHTTPHeaders, d.cbLogHeaders},
        {&TOptions::LogTimingDetails, d.cbLogTimingDetails},
        {&TOptions::ComputerNameInUserAgent, d.cbComputerNameInUserAgent},
        {&TOptions::PingOnError, d.cbPingOnError},
        {&TOptions::SendEmailOnError, d.cbSendEmailOnError},
    };
    TOptions in;
    in.*(map[which].first) = true;
    d.LoadFrom(in);
    for (int i = 0; i < map.size(); ++i)
        QCOMPARE(map[i].second->isChecked(), i == which);

    TOptions out;
    d.StoreTo(out);
    for (int i = 0; i < map.size(); ++i)
        QCOMPARE(out.*(map[i].first), i == which);
    QVERIFY(!out.ShowLog); // not the dialog's setting
}

void TestOptions::valuesCopyInAndOut() {
    TOptions in = CompleteOptions();
    in.ShowLog = true;
    in.PingAttempts = 7;
    in.AutoPingInterval = 42;
    in.HTTPPort = 8080;
    in.HTTPSPort = 8443;
    in.SMTPPort = 2525;
    in.LogFile = QStringLiteral("/var/tmp/ping log.txt");
    in.SMTPPassword = QStringLiteral("p\u00e4ss word");
    in.PingTimeout = 45;
    in.MetricsPort = 9105;
    in.MetricsFile = QStringLiteral("/var/tmp/vennatro.prom");
    in.RepeatAlertsEvery = 120;
    in.SMTPSecurity = 2;
    in.HistoryDays = 30;
    in.HistoryRawDays = 3;
    in.CheckTLS = true;
    in.CertExpiryWarnDays = 30;
    in.AcceptedHTTPStatus = QStringLiteral("200-399,401");
    in.SlowAbove = 2500;
    in.WatchInterval = 300;
    in.TellNetworkOutages = false;
    in.ReferenceAddresses = QStringLiteral("192.0.2.1:443\r\nhttps://[2001:db8::1]/");
    in.NotifyUrls = QStringLiteral("ntfy://127.0.0.1:8/t\r\nhttp://127.0.0.1:9/h\r\n");
    in.AlertText = QStringLiteral("%address% is %event%\n100% sure");
    in.AlertAfter = 3;

    TfOptions d(nullptr);
    d.LoadFrom(in);
    QCOMPARE(d.edAlertAfter->text(), QStringLiteral("3"));
    QCOMPARE(d.edNotifyUrls->toPlainText(),
             QStringLiteral("ntfy://127.0.0.1:8/t\nhttp://127.0.0.1:9/h\n"));
    QVERIFY(d.cbCheckTLS->isChecked());
    QCOMPARE(d.edCertExpiry->text(), QStringLiteral("30"));
    QCOMPARE(d.edAcceptedStatus->text(), in.AcceptedHTTPStatus);
    QCOMPARE(d.edSlowAbove->text(), QStringLiteral("2500"));
    // One line a reference in the store, blanks between them in the field, which is off with
    // its check box.
    QCOMPARE(d.edReferenceAddresses->text(),
             QStringLiteral("192.0.2.1:443 https://[2001:db8::1]/"));
    QVERIFY(!d.cbTellNetworkOutages->isChecked());
    QVERIFY(!d.edReferenceAddresses->isEnabled());
    QCOMPARE(d.edPingAttemps->text(), QStringLiteral("7"));
    QCOMPARE(d.edInterval->text(), QStringLiteral("42"));
    QCOMPARE(d.edPort->text(), QStringLiteral("8080"));
    QCOMPARE(d.edSecurePort->text(), QStringLiteral("8443"));
    QCOMPARE(d.edSMTPPort->text(), QStringLiteral("2525"));
    QCOMPARE(d.edLogFile->text(), in.LogFile);
    QCOMPARE(d.edAutoPingAddress->text(), in.AutoPingAddress);
    QCOMPARE(d.edErrorPingAddress->text(), in.ErrorPingAddress);
    QCOMPARE(d.edErrorEmailAddress->text(), in.ErrorEmailAddress);
    QCOMPARE(d.edEmailFromAddress->text(), in.FromAddress);
    QCOMPARE(d.edSMTPServer->text(), in.SMTPServer);
    QCOMPARE(d.edSMTPUser->text(), in.SMTPUser);
    QCOMPARE(d.edSMTPPassword->text(), in.SMTPPassword);
    QCOMPARE(d.edConfirmPassword->text(), in.SMTPPassword);
    QCOMPARE(d.edPingTimeout->text(), QStringLiteral("45"));
    QCOMPARE(d.edMetricsPort->text(), QStringLiteral("9105"));
    QCOMPARE(d.edMetricsFile->text(), in.MetricsFile);
    QCOMPARE(d.edRepeatAlerts->text(), QStringLiteral("120"));
    QCOMPARE(d.edWatchInterval->text(), QStringLiteral("300"));
    QCOMPARE(d.cmbSMTPSecurity->currentText(), QStringLiteral("SSL/TLS"));

    // Every field back in its own place; "Show log" and the watched addresses are not the
    // dialog's.
    TOptions out;
    out.ShowLog = true;
    out.WatchedAddresses = in.WatchedAddresses;

    d.StoreTo(out);
    QCOMPARE(out, in);

    // "Send test": the URLs as typed, each said in the dialog; a line that is no URL too.
    TestHttpReceiver hook;
    QVERIFY(hook.listen());
    d.edNotifyUrls->setPlainText(hook.Url(QStringLiteral("http"), QStringLiteral("/hook")) +
                                 QStringLiteral("\nnot a url"));
    d.btnSendTest->click();
    QTRY_COMPARE(hook.Requests().size(), 1);
    QCOMPARE(QJsonDocument::fromJson(hook.Requests()[0].body)["event"].toString(),
             QStringLiteral("test"));
    QTRY_VERIFY2(d.lblSendTest->text().endsWith(
                     QStringLiteral("http://127.0.0.1:%1/***: sent").arg(hook.port())),
                 qPrintable(d.lblSendTest->text()));
    QVERIFY2(d.lblSendTest->text().contains(QStringLiteral("1 line(s) skipped")),
             qPrintable(d.lblSendTest->text()));
    d.LoadFrom(in);

    // Edits reach the record; the confirmation field is never stored.
    d.edPingAttemps->setText(QStringLiteral("9"));
    d.edSMTPUser->setText(QStringLiteral("bob"));
    d.edSMTPPassword->setText(QStringLiteral("new"));
    d.edConfirmPassword->setText(QStringLiteral("other"));
    d.StoreTo(out);
    QCOMPARE(out.PingAttempts, 9u);
    QCOMPARE(out.SMTPUser, QStringLiteral("bob"));
    QCOMPARE(out.SMTPPassword, QStringLiteral("new"));

    // A large count makes the round trip unchanged...
    in.AutoPingInterval = 2000000000u;
    d.LoadFrom(in);
    d.StoreTo(out);
    QCOMPARE(out.AutoPingInterval, 2000000000u);
    // ...but one beyond the field's signed range (only a hand-edited store holds one) reads
    // as negative and so comes back as one.
    in.AutoPingInterval = 3000000000u;
    d.LoadFrom(in);
    d.StoreTo(out);
    QCOMPARE(out.AutoPingInterval, 1u);
}

void TestOptions::numbersStoredAsTheProgramNeedsThem() {
    TfOptions d(nullptr);
    d.LoadFrom(DefaultOptions());
    TOptions out;

    // 0 attempts or minutes mean one.
    d.edPingAttemps->setText(QStringLiteral("0"));
    d.edInterval->setText(QStringLiteral("00"));
    // Ports are copied out as typed, even 0 or above 65535 (OK refuses those: okCheck).
    d.edPort->setText(QStringLiteral("0"));
    d.edSecurePort->setText(QStringLiteral("99999"));
    d.edSMTPPort->setText(QStringLiteral("65536"));
    d.StoreTo(out);
    QCOMPARE(out.PingAttempts, 1u);
    QCOMPARE(out.AutoPingInterval, 1u);
    QCOMPARE(out.HTTPPort, 0);
    QCOMPARE(out.HTTPSPort, 99999);
    QCOMPARE(out.SMTPPort, 65536);

    // Empty fields: one attempt, one minute, the usual ports.
    for (TNumberEdit *e : {d.edPingAttemps, d.edInterval, d.edPort, d.edSecurePort, d.edSMTPPort})
        e->clear();
    d.StoreTo(out);
    QCOMPARE(out.PingAttempts, 1u);
    QCOMPARE(out.AutoPingInterval, 1u);
    QCOMPARE(out.HTTPPort, 80);
    QCOMPARE(out.HTTPSPort, 443);
    QCOMPARE(out.SMTPPort, 25);

    // Pasted junk or a negative text reads the same way.
    d.edPingAttemps->setText(QStringLiteral("-4"));
    d.edPort->setText(QStringLiteral("8o"));
    d.StoreTo(out);
    QCOMPARE(out.PingAttempts, 1u);
    QCOMPARE(out.HTTPPort, 80);
}

void TestOptions::okCheck_data() {
    using Edit = std::function<void(TfOptions &)>;
    QTest::addColumn<Edit>("edit");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("focus");

    QTest::newRow("password empty") << Edit([](TfOptions &d) { d.edSMTPPassword->clear(); })
                                    << "Please enter the SMTP server password."
                                    << "edSMTPPassword";
    QTest::newRow("both passwords empty") << Edit([](TfOptions &d) {
        d.edSMTPPassword->clear();
        d.edConfirmPassword->clear();
    }) << "Please enter the SMTP server password."
                                          << "edSMTPPassword";
    QTest::newRow("confirmation empty") << Edit([](TfOptions &d) { d.edConfirmPassword->clear(); })
                                        << "Please confirm the SMTP server password."
                                        << "edSMTPPassword";
    QTest::newRow("mismatch") << Edit([](TfOptions &d) {
        d.edConfirmPassword->setText(QStringLiteral("other"));
    }) << "Password and the password confirmation doesn't match."
                              << "edSMTPPassword";
    QTest::newRow("letter case differs")
        << Edit([](TfOptions &d) { d.edConfirmPassword->setText(QStringLiteral("S3CRET")); })
        << "Password and the password confirmation doesn't match."
        << "edSMTPPassword";
    QTest::newRow("server empty") << Edit([](TfOptions &d) { d.edSMTPServer->clear(); })
                                  << "Please enter the SMTP server."
                                  << "edSMTPServer";
    QTest::newRow("server only blanks")
        << Edit([](TfOptions &d) { d.edSMTPServer->setText(QStringLiteral(" \t ")); })
        << "Please enter the SMTP server."
        << "edSMTPServer";
    QTest::newRow("port empty") << Edit([](TfOptions &d) { d.edSMTPPort->clear(); })
                                << "Please enter the SMTP server port."
                                << "edSMTPPort";
    QTest::newRow("username empty") << Edit([](TfOptions &d) { d.edSMTPUser->clear(); })
                                    << "Please enter the SMTP server username."
                                    << "edSMTPUser";
    QTest::newRow("from empty") << Edit([](TfOptions &d) {
        d.edEmailFromAddress->clear();
    }) << "Please enter the email address that will be used as the sender of the notification."
                                << "edEmailFromAddress";
    QTest::newRow("to empty") << Edit([](TfOptions &d) {
        d.edErrorEmailAddress->clear();
    }) << "Please enter the email address that will receive the ping failure notification."
                              << "edErrorEmailAddress";
    QTest::newRow("error ping address empty")
        << Edit([](TfOptions &d) { d.edErrorPingAddress->clear(); })
        << "Please enter the address that will be accessed on ping failure."
        << "edErrorPingAddress";
    QTest::newRow("auto-ping address empty")
        << Edit([](TfOptions &d) { d.edAutoPingAddress->clear(); })
        << "Please enter an address for auto-ping."
        << "edAutoPingAddress";
    // Five digits reach 99999; 0, and what a paste may leave, is no port either.
    QTest::newRow("HTTP port above 65535")
        << Edit([](TfOptions &d) { d.edPort->setText(QStringLiteral("99999")); })
        << "Please enter an HTTP port from 1 to 65535."
        << "edPort";
    QTest::newRow("HTTP port 0") << Edit([](TfOptions &d) {
        d.edPort->setText(QStringLiteral("0"));
    }) << "Please enter an HTTP port from 1 to 65535."
                                 << "edPort";
    QTest::newRow("HTTP port pasted junk")
        << Edit([](TfOptions &d) { d.edPort->setText(QStringLiteral("8o")); })
        << "Please enter an HTTP port from 1 to 65535."
        << "edPort";
    QTest::newRow("HTTPS port 65536")
        << Edit([](TfOptions &d) { d.edSecurePort->setText(QStringLiteral("65536")); })
        << "Please enter an HTTPS port from 1 to 65535."
        << "edSecurePort";
    QTest::newRow("SMTP port above 65535")
        << Edit([](TfOptions &d) { d.edSMTPPort->setText(QStringLiteral("99999")); })
        << "Please enter an SMTP server port from 1 to 65535."
        << "edSMTPPort";
    QTest::newRow("accepted status not a list")
        << Edit([](TfOptions &d) { d.edAcceptedStatus->setText(QStringLiteral("2xx")); })
        << "Please enter the accepted HTTP status as codes from 100 to 599 and ranges, such as "
           "200-399 or 200,204,301-308, or leave it empty to accept any answer."
        << "edAcceptedStatus";
    QTest::newRow("accepted status reversed")
        << Edit([](TfOptions &d) { d.edAcceptedStatus->setText(QStringLiteral("399-200")); })
        << "Please enter the accepted HTTP status as codes from 100 to 599 and ranges, such as "
           "200-399 or 200,204,301-308, or leave it empty to accept any answer."
        << "edAcceptedStatus";
    QTest::newRow("slow above the range")
        << Edit([](TfOptions &d) { d.edSlowAbove->setText(QStringLiteral("3600001")); })
        << "Please enter the milliseconds above which a ping is slow, from 0 (never) to 3600000."
        << "edSlowAbove";
    QTest::newRow("certificate days above the range")
        << Edit([](TfOptions &d) { d.edCertExpiry->setText(QStringLiteral("3651")); })
        << "Please enter the days before a certificate's expiry that warn, from 0 (never) to "
           "3650."
        << "edCertExpiry";
    QTest::newRow("SMTP port 0") << Edit([](TfOptions &d) {
        d.edSMTPPort->setText(QStringLiteral("00000"));
    }) << "Please enter an SMTP server port from 1 to 65535."
                                 << "edSMTPPort";
}

void TestOptions::okCheck() {
    using Edit = std::function<void(TfOptions &)>;
    QFETCH(Edit, edit);
    QFETCH(QString, message);
    QFETCH(QString, focus);

    auto dialog = Open(CompleteOptions());
    QVERIFY(dialog);
    edit(*dialog);
    QVERIFY(!PressOK(*dialog));
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes[0].text, message);
    QCOMPARE(boxes[0].caption, QStringLiteral("Missing data"));
    QCOMPARE(boxes[0].icon, MessageIcon::Warning);
    QCOMPARE(boxes[0].owner, dialog.get());
    QCOMPARE(QApplication::focusWidget()->objectName(), focus);
    QVERIFY(dialog->isVisible());

    if (message.endsWith(QLatin1String(" from 1 to 65535."))) {
        // A port is stored whatever the boxes say, so no box lets it through: the edge of the
        // range does (and an empty field, the usual port).
        dialog->cbSendEmailOnError->setChecked(false);
        QVERIFY(!PressOK(*dialog));
        QCOMPARE(boxes.size(), 2);
        QCOMPARE(boxes[1].text, message);
        auto *field = dialog->findChild<TNumberEdit *>(focus);
        QVERIFY(field);
        field->setText(QStringLiteral("65535"));
        QVERIFY(PressOK(*dialog));
        QCOMPARE(boxes.size(), 2);
        field->setText(QStringLiteral("1"));
        QVERIFY(PressOK(*dialog));
        field->clear();
        QVERIFY(PressOK(*dialog));
        QCOMPARE(boxes.size(), 2);
        return;
    }

    // The checks of a site belong to no box: an empty field lets OK through (any answer, the
    // usual days and milliseconds).
    if (focus == QLatin1String("edAcceptedStatus") || focus == QLatin1String("edSlowAbove") ||
        focus == QLatin1String("edCertExpiry")) {
        dialog->findChild<QLineEdit *>(focus)->clear();
        QVERIFY(PressOK(*dialog));
        TOptions out;
        dialog->StoreTo(out);
        QVERIFY(out.AcceptedHTTPStatus.isEmpty());
        QCOMPARE(out.SlowAbove, 0u);
        QCOMPARE(out.CertExpiryWarnDays, 14u);
        return;
    }

    // Unchecking the box the check belongs to lets OK through.
    QCheckBox *owner = focus == QLatin1String("edAutoPingAddress")    ? dialog->cbAutoPingAtStart
                       : focus == QLatin1String("edErrorPingAddress") ? dialog->cbPingOnError
                                                                      : dialog->cbSendEmailOnError;
    owner->setChecked(false);
    QVERIFY(PressOK(*dialog));
    QCOMPARE(boxes.size(), 1);
}

// Every number is refused outside the settings table's range, the field focused; its edge
// passes. A full path only for the metrics file, like the log file.
void TestOptions::rangesAreTheSettingsTables_data() {
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("bad");
    QTest::addColumn<QString>("edge");
    QTest::addColumn<QString>("message");
    QTest::newRow("attempts") << "edPingAttemps"
                              << "101"
                              << "100"
                              << "Please enter from 1 to 100 ping attempts.";
    QTest::newRow("auto-ping") << "edInterval"
                               << "35791395"
                               << "35791394"
                               << "Please enter an auto-ping interval from 1 to 35791394 minutes.";
    QTest::newRow("watch short") << "edWatchInterval"
                                 << "9"
                                 << "10"
                                 << "Please enter a watch interval from 10 to 86400 seconds.";
    QTest::newRow("watch long") << "edWatchInterval"
                                << "86401"
                                << "86400"
                                << "Please enter a watch interval from 10 to 86400 seconds.";
    QTest::newRow("repeat alerts") << "edRepeatAlerts"
                                   << "999999"
                                   << "525600"
                                   << "Please enter the minutes after which an alert is "
                                      "repeated, from 0 (never) to 525600.";
    QTest::newRow("single pings")
        << "edHistoryRawDays"
        << "36501"
        << "36500"
        << "Please enter the days single pings are kept, from 0 to 36500.";
    QTest::newRow("metrics file") << "edMetricsFile"
                                  << "metrics/v.prom"
                                  << "/var/tmp/v.prom"
                                  << "Please enter a full path for the metrics file";
}

void TestOptions::rangesAreTheSettingsTables() {
    QFETCH(QString, field);
    QFETCH(QString, bad);
    QFETCH(QString, edge);
    QFETCH(QString, message);
    auto dialog = Open(DefaultOptions());
    QVERIFY(dialog);
    auto *edit = dialog->findChild<QLineEdit *>(field);
    QVERIFY(edit);
    edit->setText(bad);
    QVERIFY(!PressOK(*dialog));
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes[0].text, message);
    QCOMPARE(QApplication::focusWidget(), edit);
    edit->setText(edge);
    QVERIFY(PressOK(*dialog));
    TOptions out;
    dialog->StoreTo(out);
    if (field == QLatin1String("edWatchInterval"))
        QCOMPARE(out.WatchInterval, edge.toUInt());
}

// One e-mail with the fields as they stand, the server's answer shown; a refusal shows the
// server's reason; the button goes with the SMTP fields.
void TestOptions::testMailReportsTheServersAnswer() {
    TestSmtpServer smtp;
    QVERIFY(smtp.isListening());
    smtp.setCredentials(QStringLiteral("bob"), QStringLiteral("s3cret"));
    TOptions o = CompleteOptions();
    o.SMTPServer = QStringLiteral("127.0.0.1");
    o.SMTPPort = smtp.port();
    auto dialog = Open(o);
    QVERIFY(dialog);
    dialog->SetMailAgent(QStringLiteral("Vennatro 1.0.1"));
    dialog->edSMTPUser->setText(QStringLiteral("bob"));
    dialog->btnTestMail->click();
    QVERIFY2(smtp.mailCount() == 1, qPrintable(boxes.value(0).text));
    QVERIFY(smtp.mails().constFirst().data.contains("Subject: Vennatro - Test notification\r\n"));
    QVERIFY(smtp.mails().constFirst().data.contains("X-Mailer: Vennatro 1.0.1\r\n"));
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes[0].text, QStringLiteral("The test e-mail to Ops <ops@example.org> was sent."
                                           "\n\nThe server answered: 250 2.0.0 Ok: queued"));
    QCOMPARE(boxes[0].icon, MessageIcon::Information);

    smtp.setMode(TestSmtpServer::Mode::RefuseLogOn);
    dialog->btnTestMail->click();
    QCOMPARE(boxes.size(), 2);
    QCOMPARE(boxes[1].icon, MessageIcon::Warning);
    QVERIFY2(boxes[1].text.startsWith(QLatin1String("The test e-mail was not sent.\n\n")) &&
                 boxes[1].text.endsWith(QLatin1String("\n535 5.7.8 Try again later")),
             qPrintable(boxes[1].text));
    QCOMPARE(smtp.mailCount(), 1);
    dialog->cbSendEmailOnError->setChecked(false);
    QVERIFY(!dialog->btnTestMail->isEnabled());
}

void TestOptions::lastFailingCheckWins() {
    // Every e-mail field empty but the port: only the last e-mail message is shown.
    TOptions o = DefaultOptions();
    o.SendEmailOnError = true;
    auto dialog = Open(o);
    QVERIFY(dialog);
    QVERIFY(!PressOK(*dialog));
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(
        boxes[0].text,
        QStringLiteral(
            "Please enter the email address that will receive the ping failure notification."));
    QCOMPARE(QApplication::focusWidget(), dialog->edErrorEmailAddress);

    // With "Ping on error" on and its address empty too, that message takes over.
    dialog->cbPingOnError->setChecked(true);
    dialog->edErrorPingAddress->clear();
    QVERIFY(!PressOK(*dialog));
    QCOMPARE(boxes.size(), 2);
    QCOMPARE(boxes[1].text,
             QStringLiteral("Please enter the address that will be accessed on ping failure."));
    QCOMPARE(QApplication::focusWidget(), dialog->edErrorPingAddress);

    // The SMTP server and the auto-ping address both missing: the auto-ping message.
    boxes.clear();
    TOptions p = CompleteOptions();
    p.SMTPServer.clear();
    p.AutoPingAddress.clear();
    auto second = Open(p);
    QVERIFY(second);
    QVERIFY(!PressOK(*second));
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes[0].text, QStringLiteral("Please enter an address for auto-ping."));
    QCOMPARE(QApplication::focusWidget(), second->edAutoPingAddress);
    // Fixing the later one uncovers the earlier one.
    second->edAutoPingAddress->setText(QStringLiteral("http://x/"));
    QVERIFY(!PressOK(*second));
    QCOMPARE(boxes[1].text, QStringLiteral("Please enter the SMTP server."));
    QCOMPARE(QApplication::focusWidget(), second->edSMTPServer);
}

void TestOptions::trimming() {
    auto dialog = Open(CompleteOptions());
    QVERIFY(dialog);
    TfOptions &d = *dialog;
    const QString padding = QStringLiteral(" \t\r\n\x01");
    d.edAutoPingAddress->setText(padding + QStringLiteral("http://a/") + padding);
    d.edErrorPingAddress->setText(padding + QStringLiteral("http://b/ x") + padding);
    d.edErrorEmailAddress->setText(QStringLiteral("  to@example.org\n"));
    d.edEmailFromAddress->setText(QStringLiteral("\tfrom@example.org "));
    d.edSMTPServer->setText(QStringLiteral(" smtp "));
    d.edSMTPUser->setText(QStringLiteral(" user "));
    // Only characters up to 32 go: a no-break space stays.
    d.edLogFile->setText(QStringLiteral("\u00a0/tmp/x.txt "));
    // Passwords keep their blanks.
    d.edSMTPPassword->setText(QStringLiteral(" pw "));
    d.edConfirmPassword->setText(QStringLiteral(" pw "));

    QVERIFY(PressOK(d));
    QCOMPARE(d.edAutoPingAddress->text(), QStringLiteral("http://a/"));
    QCOMPARE(d.edErrorPingAddress->text(), QStringLiteral("http://b/ x"));
    QCOMPARE(d.edErrorEmailAddress->text(), QStringLiteral("to@example.org"));
    QCOMPARE(d.edEmailFromAddress->text(), QStringLiteral("from@example.org"));
    QCOMPARE(d.edSMTPServer->text(), QStringLiteral("smtp"));
    QCOMPARE(d.edSMTPUser->text(), QStringLiteral("user"));
    QCOMPARE(d.edLogFile->text(), QStringLiteral("\u00a0/tmp/x.txt"));
    QCOMPARE(d.edSMTPPassword->text(), QStringLiteral(" pw "));
    TOptions out;
    d.StoreTo(out);
    QCOMPARE(out.SMTPPassword, QStringLiteral(" pw "));
    QCOMPARE(out.SMTPServer, QStringLiteral("smtp"));
}

void TestOptions::bareSchemeClearing() {
    // The scheme alone with blanks around it is trimmed, cleared, then missed.
    TOptions o = DefaultOptions();
    o.AutoPingAtStart = true;
    o.AutoPingAddress = QStringLiteral("  http://  ");
    auto dialog = Open(o);
    QVERIFY(dialog);
    QVERIFY(!PressOK(*dialog));
    QCOMPARE(dialog->edAutoPingAddress->text(), QString());
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes[0].text, QStringLiteral("Please enter an address for auto-ping."));
    // Between rejected presses the field keeps what the checks made of it.
    QCOMPARE(dialog->edAutoPingAddress->text(), QString());

    // Upper case is not the bare scheme.
    dialog->edAutoPingAddress->setText(QStringLiteral("HTTP://"));
    dialog->cbPingOnError->setChecked(true);
    dialog->edErrorPingAddress->setText(QStringLiteral("https://"));
    QVERIFY(!PressOK(*dialog));
    QCOMPARE(dialog->edAutoPingAddress->text(), QStringLiteral("HTTP://"));
    QCOMPARE(dialog->edErrorPingAddress->text(), QString());
    QCOMPARE(boxes[1].text,
             QStringLiteral("Please enter the address that will be accessed on ping failure."));

    // With the boxes off the bare schemes are cleared and stored empty, and OK succeeds.
    dialog->cbAutoPingAtStart->setChecked(false);
    dialog->cbPingOnError->setChecked(false);
    dialog->edAutoPingAddress->setText(QStringLiteral("http://"));
    dialog->edErrorPingAddress->setText(QStringLiteral("https://"));
    QVERIFY(PressOK(*dialog));
    TOptions out;
    dialog->StoreTo(out);
    QCOMPARE(out.AutoPingAddress, QString());
    QCOMPARE(out.ErrorPingAddress, QString());

    // Anything after the scheme stays.
    TfOptions d(nullptr);
    d.LoadFrom(DefaultOptions());
    d.edAutoPingAddress->setText(QStringLiteral("http://x"));
    d.edErrorPingAddress->setText(QStringLiteral("http:///"));
    QVERIFY(PressOK(d));
    QCOMPARE(d.edAutoPingAddress->text(), QStringLiteral("http://x"));
    QCOMPARE(d.edErrorPingAddress->text(), QStringLiteral("http:///"));
}

void TestOptions::untouchedPasswordsMatch() {
    auto dialog = Open(CompleteOptions());
    QVERIFY(dialog);
    QVERIFY(PressOK(*dialog));
    QVERIFY(boxes.isEmpty());
}

void TestOptions::longPasswordRefused() {
    const QString limit = QString(85, QChar(0x20ac)); // 85 euro signs: 255 bytes in UTF-8
    QCOMPARE(limit.toUtf8().size(), 255);
    const QString tooLong = limit + QLatin1Char('x');
    const QString refusal =
        QStringLiteral("The SMTP server password can't be longer than 255 bytes.");

    // E-mail on: refused with the password field focused.
    auto dialog = Open(CompleteOptions());
    QVERIFY(dialog);
    dialog->edSMTPPassword->setText(tooLong);
    dialog->edConfirmPassword->setText(tooLong);
    QVERIFY(!PressOK(*dialog));
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes[0].text, refusal);
    QCOMPARE(boxes[0].caption, QStringLiteral("Missing data"));
    QCOMPARE(boxes[0].icon, MessageIcon::Warning);
    QCOMPARE(QApplication::focusWidget(), dialog->edSMTPPassword);

    // A later failing check still wins the message, as every check does.
    dialog->edSMTPServer->clear();
    QVERIFY(!PressOK(*dialog));
    QCOMPARE(boxes[1].text, QStringLiteral("Please enter the SMTP server."));
    dialog->edSMTPServer->setText(QStringLiteral("smtp"));

    // A mismatch is the more useful message for a long password.
    dialog->edConfirmPassword->setText(limit);
    QVERIFY(!PressOK(*dialog));
    QCOMPARE(boxes[2].text,
             QStringLiteral("Password and the password confirmation doesn't match."));

    // E-mail off: the password is still stored, so it is still refused.
    dialog->cbSendEmailOnError->setChecked(false);
    dialog->edConfirmPassword->clear();
    QVERIFY(!PressOK(*dialog));
    QCOMPARE(boxes[3].text, refusal);

    // 255 bytes fit.
    dialog->cbSendEmailOnError->setChecked(true);
    dialog->edSMTPPassword->setText(limit);
    dialog->edConfirmPassword->setText(limit);
    QVERIFY(PressOK(*dialog));
    QCOMPARE(boxes.size(), 4);
    TOptions out;
    dialog->StoreTo(out);
    QCOMPARE(out.SMTPPassword, limit);
}

void TestOptions::invalidPathComesFirst() {
    // "Save log" on with an empty path beats every missing-data message.
    TOptions o = DefaultOptions();
    o.SendEmailOnError = true;
    o.AutoPingAtStart = true;
    o.AutoPingAddress.clear();
    o.SaveLog = true;
    auto dialog = Open(o);
    QVERIFY(dialog);
    QVERIFY(!PressOK(*dialog));
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes[0].text, QStringLiteral("Please enter a valid path for the log file"));
    QCOMPARE(boxes[0].caption, QStringLiteral("Invalid path"));
    QCOMPARE(boxes[0].icon, MessageIcon::Warning);
    QCOMPARE(boxes[0].owner, dialog.get());
    QCOMPARE(QApplication::focusWidget(), dialog->edLogFile);

    // Blanks alone are trimmed away: still no path.
    dialog->edLogFile->setText(QStringLiteral("   "));
    QVERIFY(!PressOK(*dialog));
    QCOMPARE(boxes[1].caption, QStringLiteral("Invalid path"));
    QCOMPARE(dialog->edLogFile->text(), QString());

    // With a good path the pending message shows again.
    QTemporaryDir dir;
    dialog->edLogFile->setText(dir.filePath(QStringLiteral("log.txt")));
    QVERIFY(!PressOK(*dialog));
    QCOMPARE(boxes[2].caption, QStringLiteral("Missing data"));
    QCOMPARE(boxes[2].text, QStringLiteral("Please enter an address for auto-ping."));
}

void TestOptions::logPathRules_data() {
    QTest::addColumn<QString>("relative"); // under the temporary folder; "" = as given
    QTest::addColumn<QString>("given");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("file in an existing folder") << "log.txt"
                                                << "" << true;
    QTest::newRow("file in new folders") << "a/b/c/log.txt"
                                         << "" << true;
    QTest::newRow("doubled slashes") << "d//log.txt"
                                     << "" << true;
    QTest::newRow("folder under a file") << "plain.txt/sub/log.txt"
                                         << "" << false;
    QTest::newRow("names a folder") << "existing"
                                    << "" << false;
    QTest::newRow("ends in a slash") << "e/"
                                     << "" << false;
    QTest::newRow("bare file name") << ""
                                    << "vennatro-log.txt" << false;
    QTest::newRow("relative folder") << ""
                                     << "vennatro-logs/log.txt" << false;
    QTest::newRow("home shorthand") << ""
                                    << "~/vennatro-log.txt" << false;
}

void TestOptions::logPathRules() {
    QFETCH(QString, relative);
    QFETCH(QString, given);
    QFETCH(bool, accepted);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("existing")));
    QFile plain(dir.filePath(QStringLiteral("plain.txt")));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();

    TOptions o = DefaultOptions();
    o.SaveLog = true;
    o.LogFile = given.isEmpty() ? dir.path() + QLatin1Char('/') + relative : given;
    TfOptions d(nullptr);
    d.LoadFrom(o);
    QCOMPARE(PressOK(d), accepted);
    QCOMPARE(boxes.size(), accepted ? 0 : 1);
    if (!accepted) {
        QCOMPARE(boxes[0].caption, QStringLiteral("Invalid path"));
        // Nothing was created relative to the current folder.
        QVERIFY(!QFileInfo::exists(QStringLiteral("vennatro-logs")));
        QVERIFY(!QFileInfo::exists(QStringLiteral("~")));
    }
}

void TestOptions::missingFoldersAreCreated() {
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("one/two/three"));
    TOptions o = DefaultOptions();
    o.SaveLog = true;
    o.LogFile = folder + QStringLiteral("/log.txt");
    o.AutoPingAtStart = true;
    o.AutoPingAddress.clear();

    // The folders stay even though another check rejects this press.
    TfOptions d(nullptr);
    d.LoadFrom(o);
    QVERIFY(!PressOK(d));
    QVERIFY(QFileInfo(folder).isDir());
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes[0].caption, QStringLiteral("Missing data"));
    QVERIFY(!QFileInfo::exists(o.LogFile)); // the log file itself is the log's business

    d.cbAutoPingAtStart->setChecked(false);
    QVERIFY(PressOK(d));
    TOptions out;
    d.StoreTo(out);
    QCOMPARE(out.LogFile, o.LogFile);
    QVERIFY(out.SaveLog);
}

void TestOptions::saveLogOffStoresPathUnchecked() {
    TOptions o = DefaultOptions();
    o.SaveLog = false;
    o.LogFile = QStringLiteral("not a path");
    TfOptions d(nullptr);
    d.LoadFrom(o);
    QVERIFY(PressOK(d));
    QVERIFY(boxes.isEmpty());
    TOptions out;
    d.StoreTo(out);
    QCOMPARE(out.LogFile, QStringLiteral("not a path"));
}

void TestOptions::browsingForTheLogFile() {
    QTemporaryDir dir;
    TfOptions d(nullptr);
    d.LoadFrom(DefaultOptions());
    d.edLogFile->setText(QStringLiteral("/somewhere/else.txt"));

    QString answer;
    QStringList offered;
    int runs = 0;
    QString title, suffix;
    QStringList filters;
    bool savesAndAsks = false;
    QWidget *parent = nullptr;
    d.SetSaveDialogRunner([&](QFileDialog &dialog) -> bool {
        ++runs;
        offered << QFileInfo(dialog.selectedFiles().value(0)).fileName();
        title = dialog.windowTitle();
        suffix = dialog.defaultSuffix();
        filters = dialog.nameFilters();
        savesAndAsks = dialog.acceptMode() == QFileDialog::AcceptSave &&
                       !dialog.testOption(QFileDialog::DontConfirmOverwrite);
        parent = dialog.parentWidget();
        if (answer.isEmpty())
            return false;
        dialog.selectFile(answer);
        return true;
    });

    // Cancelled: the field keeps its text.
    d.btnLogFileClick();
    QCOMPARE(d.edLogFile->text(), QStringLiteral("/somewhere/else.txt"));
    // The dialog is not primed with the field: it offers its own name first.
    QCOMPARE(offered.value(0), QStringLiteral("Vennatro Log.txt"));
    QCOMPARE(title, QStringLiteral("Save log as"));
    QCOMPARE(suffix, QStringLiteral("txt"));
    QCOMPARE(filters, QStringList({"Text files (*.txt)", "All files (*.*)"}));
    QVERIFY(savesAndAsks);
    QCOMPARE(parent, &d);

    answer = dir.filePath(QStringLiteral("chosen.txt"));
    QTest::mouseClick(d.btnLogFile, Qt::LeftButton);
    QCOMPARE(runs, 2);
    QCOMPARE(d.edLogFile->text(), QDir::toNativeSeparators(answer));

    // A later browse offers the file chosen last.
    answer.clear();
    d.btnLogFileClick();
    QCOMPARE(offered.value(2), QStringLiteral("chosen.txt"));
    QCOMPARE(d.edLogFile->text(), QDir::toNativeSeparators(dir.filePath("chosen.txt")));
}

void TestOptions::showDialogOk() {
    QWidget mainWindow;
    mainWindow.show();
    QVERIFY(QTest::qWaitForWindowExposed(&mainWindow));

    TOptions settings = DefaultOptions();
    settings.ShowLog = false;
    bool checked = false;
    QTimer::singleShot(0, [&] {
        auto *dialog = qobject_cast<TfOptions *>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        checked = true;
        QCOMPARE(dialog->parentWidget(), &mainWindow);
        QVERIFY(dialog->isModal());
        QCOMPARE(dialog->edPingAttemps->text(), QStringLiteral("3"));
        dialog->edPingAttemps->setText(QStringLiteral("0"));
        dialog->edPort->clear();
        dialog->cbAlwaysOnTop->setChecked(true);
        dialog->edSMTPServer->setText(QStringLiteral("  smtp.example.org "));
        QTest::keyClick(dialog, Qt::Key_Return); // the default button
    });
    QVERIFY(ShowOptionsDialog(settings, &mainWindow));
    QVERIFY(checked);
    QCOMPARE(settings.PingAttempts, 1u);
    QCOMPARE(settings.HTTPPort, 80);
    QVERIFY(settings.AlwaysOnTop);
    QCOMPARE(settings.SMTPServer, QStringLiteral("smtp.example.org"));
    QVERIFY(!settings.ShowLog);
    // The dialog is gone once the call returns.
    QVERIFY(mainWindow.findChildren<TfOptions *>().isEmpty());
}

void TestOptions::showDialogCancelAfterRejectedOk() {
    QWidget mainWindow;
    mainWindow.show();
    QVERIFY(QTest::qWaitForWindowExposed(&mainWindow));

    TOptions settings = CompleteOptions();
    const TOptions before = settings;
    QTemporaryDir dir;
    bool checked = false;
    QTimer::singleShot(0, [&] {
        auto *dialog = qobject_cast<TfOptions *>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        checked = true;
        dialog->cbAlwaysOnTop->setChecked(true);
        dialog->edPingAttemps->setText(QStringLiteral("9"));
        dialog->edAutoPingAddress->setText(QStringLiteral(" http:// "));
        dialog->edSMTPUser->setText(QStringLiteral(" someone "));
        dialog->cbSaveLog->setChecked(true);
        dialog->edLogFile->setText(dir.filePath(QStringLiteral("new/log.txt")));
        dialog->btnOK->click();
        QCOMPARE(boxes.size(), 1);
        QVERIFY(dialog->isVisible());
        // Esc is Cancel.
        QTest::keyClick(dialog, Qt::Key_Escape);
    });
    QVERIFY(!ShowOptionsDialog(settings, &mainWindow));
    QVERIFY(checked);
    QCOMPARE(boxes.value(0).text, QStringLiteral("Please enter an address for auto-ping."));
    QCOMPARE(settings, before);

    // The Cancel button does the same.
    QTimer::singleShot(0, [&] {
        auto *dialog = qobject_cast<TfOptions *>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        dialog->edSMTPServer->clear();
        dialog->btnOK->click();
        dialog->btnCancel->click();
    });
    QVERIFY(!ShowOptionsDialog(settings, &mainWindow));
    QCOMPARE(boxes.size(), 2);
    QCOMPARE(settings, before);
}

QTEST_MAIN(TestOptions)
#include "test_options.moc"
