#include "settings/OptionsForm.h"

#include "engine/AcceptedStatus.h"
#include "engine/TestMail.h"
#include "platform/SystemInfo.h"
#include "platform/gui/AccessibleComboBox.h"
#include "platform/gui/MessageBox.h"
#include "settings/NumberEdit.h"
#include "store/SettingsTable.h"
#include "support/Exceptions.h"
#include "support/UsualFunctions.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollArea>
#include <QSysInfo>
#include <QVBoxLayout>
#include <QWindow>

#include <limits>

// Resources of a static library must be registered by hand; outside any namespace.
static void InitDialogResources() { Q_INIT_RESOURCE(dialogs); }

namespace {

// On a line of its own: a tool-tip breaks lines at LF (a CR would run the note into the hint).
const char *const DisplayNameNote = QT_TRANSLATE_NOOP(
    "TfOptions",
    "\n(you can include also the display name using the format:  Display Name <ann@example.org>)");

const char *const MissingDataCaption = QT_TRANSLATE_NOOP("TfOptions", "Missing data");
const char *const InvalidPathCaption = QT_TRANSLATE_NOOP("TfOptions", "Invalid path");

// Room left of a field that sits under its check box, about one check mark wide.
constexpr int IndentWidth = 18;

// The design sizes; the dialog grows past them only when the font needs more room.
constexpr QSize ClientSize(742, 373);
constexpr QSize PingGroupSize(356, 166);
constexpr QSize OtherGroupSize(356, 151);
constexpr QSize AlertsGroupSize(356, 326);
constexpr QSize ButtonSize(81, 26);
constexpr int BrowseButtonSide = 26;

void TrimField(QLineEdit *field) {
    const QString trimmed = TrimControl(field->text());
    if (trimmed != field->text())
        field->setText(trimmed);
}

// A bare scheme prefix is no address.
void ClearBareScheme(QLineEdit *field) {
    if (field->text() == QLatin1String("http://") || field->text() == QLatin1String("https://"))
        field->clear();
}

template <typename W> W *Named(W *widget, const char *name) {
    widget->setObjectName(QLatin1String(name));
    return widget;
}

// A caption as a name: without its mnemonic marker and colon.
QString PlainCaption(QString caption) {
    caption.replace(QLatin1String("&&"), QLatin1String("\x1f"));
    caption.remove(QLatin1Char('&'));
    caption.replace(QLatin1Char('\x1f'), QLatin1Char('&'));
    caption = caption.trimmed();
    if (caption.endsWith(QLatin1Char(':')))
        caption.chop(1);
    return caption.trimmed();
}

QLabel *CaptionLabel(const QString &caption, QWidget *field, const char *name) {
    auto *label = Named(new QLabel(caption), name);
    label->setBuddy(field);
    // A field is named after its own caption (the first one it gets, not its unit), never
    // after its group box, which is what a screen reader would say otherwise.
    if (field->accessibleName().isEmpty())
        field->setAccessibleName(PlainCaption(caption));
    return label;
}

void SetHint(const QString &hint, std::initializer_list<QWidget *> widgets) {
    for (QWidget *w : widgets)
        w->setToolTip(hint);
}

// Wide enough for the given number of digits and the field's frame.
int NumberFieldWidth(const QWidget *field, int digits) {
    return field->fontMetrics().horizontalAdvance(QString(digits + 1, QLatin1Char('0'))) + 12;
}

QHBoxLayout *Indented(QWidget *widget) {
    auto *row = new QHBoxLayout;
    row->setContentsMargins(IndentWidth, 0, 0, 0);
    row->addWidget(widget);
    return row;
}

} // namespace

TfOptions::TfOptions(QWidget *mainWindow)
    : QDialog(mainWindow),
      m_runSaveDialog([](QFileDialog &dialog) { return dialog.exec() == QDialog::Accepted; }) {
    InitDialogResources();
    InstallAccessibleComboBoxes(); // the security box by its caption, not its value
    setObjectName(QStringLiteral("fOptions"));
    setWindowTitle(tr("Options"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    if (QFontDatabase::families().contains(QStringLiteral("Tahoma")))
        setFont(QFont(QStringLiteral("Tahoma"), 8));

    CreateControls();
    ArrangeDialog();
    SetTabOrder();
    FormCreate();
    UpdateEnabledStates();
    edPingAttemps->setFocus();
}

TfOptions::~TfOptions() = default;

void TfOptions::CreateControls() {
    CreatePingGroup();
    CreateOtherGroup();
    CreateAlertsGroup();
    CreateNotifyGroup();

    btnOK = Named(new QPushButton(tr("&OK")), "btnOK");
    btnOK->setDefault(true);
    btnCancel = Named(new QPushButton(tr("&Cancel")), "btnCancel");
    connect(btnOK, &QPushButton::clicked, this, &TfOptions::btnOKClick);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TfOptions::CreatePingGroup() {
    gbPing = Named(new QGroupBox(tr("Ping options")), "gbPing");

    edPingAttemps = Named(new TNumberEdit, "edPingAttemps");
    edPingAttemps->SetMaxLength(2);
    lblPingAttemps = CaptionLabel(tr("Pin&g attempts:"), edPingAttemps, "lblPingAttemps");
    SetHint(tr("Number of consecutive ping attemps (if the first attempt fails)"),
            {edPingAttemps, lblPingAttemps});

    edInterval = Named(new TNumberEdit, "edInterval");
    edInterval->SetMaxLength(5);
    lblInterval = CaptionLabel(tr("A&uto-ping interval:"), edInterval, "lblInterval");
    lblMinutes = CaptionLabel(tr("minute(s)"), edInterval, "lblMinutes");
    SetHint(tr("Number of minutes between each automatic ping"),
            {edInterval, lblInterval, lblMinutes});

    edPingTimeout = Named(new TNumberEdit, "edPingTimeout");
    edPingTimeout->SetMaxLength(4);
    lblPingTimeout = CaptionLabel(tr("Ping ti&meout:"), edPingTimeout, "lblPingTimeout");
    lblSeconds = CaptionLabel(tr("second(s)"), edPingTimeout, "lblSeconds");
    SetHint(tr("Seconds an attempt may wait for the server (1 to 3600)"),
            {edPingTimeout, lblPingTimeout, lblSeconds});

    edWatchInterval = Named(new TNumberEdit, "edWatchInterval");
    edWatchInterval->SetMaxLength(5);
    lblWatchInterval = CaptionLabel(tr("&Watch interval:"), edWatchInterval, "lblWatchInterval");
    lblWatchSeconds = CaptionLabel(tr("second(s)"), edWatchInterval, "lblWatchSeconds");
    {
        const SettingRange r = RangeOf(OptionNames::WatchInterval);
        SetHint(
            tr("Seconds between two pings of a watched address (%1 to %2)").arg(r.min).arg(r.max),
            {edWatchInterval, lblWatchInterval, lblWatchSeconds});
    }

    edPort = Named(new TNumberEdit, "edPort");
    edPort->SetMaxLength(5);
    lblPort = CaptionLabel(tr("&HTTP port:"), edPort, "lblPort");
    SetHint(tr("Port por HTTP connections"), {edPort, lblPort});

    edSecurePort = Named(new TNumberEdit, "edSecurePort");
    edSecurePort->SetMaxLength(5);
    lblSecurePort = CaptionLabel(tr("HTTP&S port:"), edSecurePort, "lblSecurePort");
    SetHint(tr("Port por HTTPS connections"), {edSecurePort, lblSecurePort});

    cbComputerNameInUserAgent =
        Named(new QCheckBox(tr("Include computer name in user agent string")),
              "cbComputerNameInUserAgent");
    cbComputerNameInUserAgent->setToolTip(
        tr("Include computer name in the user agent string (for server-side logging)"));

    cbAutoPingAtStart =
        Named(new QCheckBox(tr("Enable automatic ping at program start:")), "cbAutoPingAtStart");
    cbAutoPingAtStart->setToolTip(
        tr("Enable automatic ping at program start using the following URL"));
    connect(cbAutoPingAtStart, &QCheckBox::toggled, this, &TfOptions::cbAutoPingAtStartClick);

    edAutoPingAddress = Named(new QLineEdit(QStringLiteral("http://")), "edAutoPingAddress");
    edAutoPingAddress->setAccessibleName(tr("Auto-ping address"));

    auto *grid = new QGridLayout(gbPing);
    grid->addWidget(lblPingAttemps, 0, 0);
    grid->addWidget(edPingAttemps, 0, 1);
    grid->addWidget(lblInterval, 1, 0);
    grid->addWidget(edInterval, 1, 1);
    grid->addWidget(lblMinutes, 1, 2);
    grid->addWidget(lblPort, 0, 4);
    grid->addWidget(edPort, 0, 5);
    grid->addWidget(lblSecurePort, 1, 4);
    grid->addWidget(edSecurePort, 1, 5);
    grid->addWidget(lblPingTimeout, 2, 0);
    grid->addWidget(edPingTimeout, 2, 1);
    grid->addWidget(lblSeconds, 2, 2);
    grid->addWidget(lblWatchInterval, 3, 0);
    grid->addWidget(edWatchInterval, 3, 1);
    grid->addWidget(lblWatchSeconds, 3, 2);
    grid->setColumnStretch(3, 1);
    grid->addWidget(cbComputerNameInUserAgent, 4, 0, 1, 6);
    grid->addWidget(cbAutoPingAtStart, 5, 0, 1, 6);
    grid->addLayout(Indented(edAutoPingAddress), 6, 0, 1, 6);
    CreateCheckRows(grid, 7);
    grid->setRowStretch(9, 1);
}

void TfOptions::CreateCheckRows(QGridLayout *grid, int row) {
    cbCheckTLS = Named(new QCheckBox(tr("Check TLS on https")), "cbCheckTLS");
    cbCheckTLS->setToolTip(
        tr("https: complete a TLS handshake, verify the certificate and its name, then send the "
           "request (off: a connect only)"));
    edCertExpiry = Named(new TNumberEdit, "edCertExpiry");
    edCertExpiry->SetMaxLength(4);
    lblCertExpiry = CaptionLabel(tr("Warn before e&xpiry:"), edCertExpiry, "lblCertExpiry");
    lblCertExpiryDays = CaptionLabel(tr("days"), edCertExpiry, "lblCertExpiryDays");
    SetHint(tr("With TLS checked: warn once a day while the certificate expires "
               "within these days (0: never)"),
            {edCertExpiry, lblCertExpiry, lblCertExpiryDays});
    edAcceptedStatus = Named(new QLineEdit, "edAcceptedStatus");
    lblAcceptedStatus =
        CaptionLabel(tr("&Accepted HTTP status:"), edAcceptedStatus, "lblAcceptedStatus");
    SetHint(tr("Status codes that complete a ping, such as 200-399 or "
               "200,204,301-308; others fail it (empty: any answer)"),
            {edAcceptedStatus, lblAcceptedStatus});
    edSlowAbove = Named(new TNumberEdit, "edSlowAbove");
    edSlowAbove->SetMaxLength(7);
    lblSlowAbove = CaptionLabel(tr("S&low above:"), edSlowAbove, "lblSlowAbove");
    lblSlowMs = CaptionLabel(tr("ms"), edSlowAbove, "lblSlowMs");
    SetHint(tr("A completed ping slower than this is slow (0: never)"),
            {edSlowAbove, lblSlowAbove, lblSlowMs});

    auto *tlsRow = new QHBoxLayout;
    tlsRow->addWidget(cbCheckTLS);
    tlsRow->addStretch(1);
    tlsRow->addWidget(lblCertExpiry);
    tlsRow->addWidget(edCertExpiry);
    tlsRow->addWidget(lblCertExpiryDays);
    grid->addLayout(tlsRow, row, 0, 1, 6);
    auto *answerRow = new QHBoxLayout;
    answerRow->addWidget(lblAcceptedStatus);
    answerRow->addWidget(edAcceptedStatus, 1);
    answerRow->addWidget(lblSlowAbove);
    answerRow->addWidget(edSlowAbove);
    answerRow->addWidget(lblSlowMs);
    grid->addLayout(answerRow, row + 1, 0, 1, 6);
}

void TfOptions::CreateOtherGroup() {
    gbOther = Named(new QGroupBox(tr("Other options")), "gbOther");

    cbAlwaysOnTop = Named(new QCheckBox(tr("Always on top")), "cbAlwaysOnTop");
    cbAlwaysOnTop->setToolTip(tr("Show window on top of other windows"));

    // The entry is a log-on autostart file away from Windows, so the caption says so.
    const bool onWindows = QSysInfo::kernelType() == QLatin1String("winnt");
    cbStartWithWindows =
        Named(new QCheckBox(onWindows ? tr("Start with Windows") : tr("Start at log-on")),
              "cbStartWithWindows");
    cbStartWithWindows->setToolTip(tr("Run the program at session start (as taskbar icon)"));

    cbShowNotifications =
        Named(new QCheckBox(tr("Show taskbar icon status messages")), "cbShowNotifications");
    cbShowNotifications->setToolTip(
        tr("Show status messages (ping OK, ping error...) from the taskbar icon"));
    connect(cbShowNotifications, &QCheckBox::toggled, this, &TfOptions::cbShowNotificationsClick);

    cbShowOnlyErrors = Named(new QCheckBox(tr("Notify errors only")), "cbShowOnlyErrors");
    cbShowOnlyErrors->setToolTip(tr("Show taskbar icon status messages only for ping errors"));

    cbLogHeaders = Named(new QCheckBox(tr("Log HTTP headers")), "cbLogHeaders");
    cbLogHeaders->setToolTip(
        tr("Add HTTP headers to the log (secure connections headers aren't logged)"));

    cbLogTimingDetails = Named(new QCheckBox(tr("Log timing details")), "cbLogTimingDetails");
    cbLogTimingDetails->setToolTip(
        tr("Add the lookup, connect and answer times to every completed ping"));

    cbSaveLog = Named(new QCheckBox(tr("Save log to file:")), "cbSaveLog");
    cbSaveLog->setToolTip(tr("Log ping results to file"));
    connect(cbSaveLog, &QCheckBox::toggled, this, &TfOptions::cbSaveLogClick);

    edLogFile = Named(new QLineEdit, "edLogFile");
    edLogFile->setAccessibleName(tr("Log file"));

    btnLogFile = Named(new QPushButton, "btnLogFile");
    btnLogFile->setToolTip(tr("Select file"));
    btnLogFile->setAccessibleName(tr("Select log file")); // a picture only
    btnLogFile->setIcon(QIcon::fromTheme(QStringLiteral("document-save"),
                                         QIcon(QStringLiteral(":/dialogs/save.svg"))));
    btnLogFile->setIconSize(QSize(16, 16));
    btnLogFile->setFixedSize(BrowseButtonSide, BrowseButtonSide);
    connect(btnLogFile, &QPushButton::clicked, this, &TfOptions::btnLogFileClick);

    edHistoryDays = Named(new TNumberEdit, "edHistoryDays");
    edHistoryDays->SetMaxLength(5);
    lblHistoryDays = CaptionLabel(tr("&Keep history:"), edHistoryDays, "lblHistoryDays");
    lblDays = CaptionLabel(tr("days (0: all)"), edHistoryDays, "lblDays");
    SetHint(tr("Days of ping history kept for the History window (0: keep all)"),
            {edHistoryDays, lblHistoryDays, lblDays});
    edHistoryRawDays = Named(new TNumberEdit, "edHistoryRawDays");
    edHistoryRawDays->SetMaxLength(5);
    lblHistoryRawDays =
        CaptionLabel(tr("Si&ngle pings for:"), edHistoryRawDays, "lblHistoryRawDays");
    lblRawDays = CaptionLabel(tr("days"), edHistoryRawDays, "lblRawDays");
    SetHint(tr("Days each ping is kept on its own; older pings are folded into one "
               "row an hour per address"),
            {edHistoryRawDays, lblHistoryRawDays, lblRawDays});

    edMetricsPort = Named(new TNumberEdit, "edMetricsPort");
    edMetricsPort->SetMaxLength(5);
    lblMetricsPort = CaptionLabel(tr("Met&rics port:"), edMetricsPort, "lblMetricsPort");
    SetHint(tr("Serve Prometheus metrics on 127.0.0.1 at this port (0: off)"),
            {edMetricsPort, lblMetricsPort});
    edMetricsFile = Named(new QLineEdit, "edMetricsFile");
    lblMetricsFile = CaptionLabel(tr("Metrics f&ile:"), edMetricsFile, "lblMetricsFile");
    SetHint(tr("Write Prometheus metrics to this file after each ping (empty: off)"),
            {edMetricsFile, lblMetricsFile});

    auto *grid = new QGridLayout(gbOther);
    grid->addWidget(cbAlwaysOnTop, 0, 0);
    grid->addWidget(cbStartWithWindows, 1, 0);
    grid->addWidget(cbShowNotifications, 0, 1);
    grid->addLayout(Indented(cbShowOnlyErrors), 1, 1);
    grid->addWidget(cbLogHeaders, 2, 0);
    grid->addWidget(cbLogTimingDetails, 2, 1);
    grid->addWidget(cbSaveLog, 3, 0, 1, 2);
    auto *logRow = Indented(edLogFile);
    logRow->addWidget(btnLogFile);
    grid->addLayout(logRow, 4, 0, 1, 2);
    auto *metricsRow = new QHBoxLayout;
    metricsRow->addWidget(lblMetricsPort);
    metricsRow->addWidget(edMetricsPort);
    metricsRow->addWidget(lblMetricsFile);
    metricsRow->addWidget(edMetricsFile, 1);
    grid->addLayout(metricsRow, 5, 0, 1, 2);
    auto *historyRow = new QHBoxLayout;
    historyRow->addWidget(lblHistoryDays);
    historyRow->addWidget(edHistoryDays);
    historyRow->addWidget(lblDays);
    historyRow->addStretch(1);
    grid->addLayout(historyRow, 6, 0, 1, 2);
    auto *rawRow = new QHBoxLayout;
    rawRow->addWidget(lblHistoryRawDays);
    rawRow->addWidget(edHistoryRawDays);
    rawRow->addWidget(lblRawDays);
    rawRow->addStretch(1);
    grid->addLayout(rawRow, 7, 0, 1, 2);
    grid->setRowStretch(8, 1);
}

void TfOptions::CreateAlertsGroup() {
    gbAlerts = Named(new QGroupBox(tr("Alerts")), "gbAlerts");

    cbPingOnError =
        Named(new QCheckBox(tr("Ping the following address when a ping fails")), "cbPingOnError");
    cbPingOnError->setToolTip(tr("Ping the following address if a ping fails"));
    connect(cbPingOnError, &QCheckBox::toggled, this, &TfOptions::cbPingOnErrorClick);

    edErrorPingAddress = Named(new QLineEdit(QStringLiteral("http://")), "edErrorPingAddress");
    edErrorPingAddress->setAccessibleName(tr("Address to ping when a ping fails"));

    cbSendEmailOnError = Named(new QCheckBox(tr("Send a notification email when a ping fails")),
                               "cbSendEmailOnError");
    cbSendEmailOnError->setToolTip(tr("Send an email to the following address if a ping fails"));
    connect(cbSendEmailOnError, &QCheckBox::toggled, this, &TfOptions::cbSendEmailOnErrorClick);

    edErrorEmailAddress = Named(new QLineEdit, "edErrorEmailAddress");
    lblErrorEmailAddress =
        CaptionLabel(tr("To a&ddress:"), edErrorEmailAddress, "lblErrorEmailAddress");
    SetHint(tr("Email address that will receive the ping failure notification"),
            {edErrorEmailAddress, lblErrorEmailAddress});

    lblSMTPSettings = Named(new QLabel(tr("Email account (SMTP) settings")), "lblSMTPSettings");

    edEmailFromAddress = Named(new QLineEdit, "edEmailFromAddress");
    lblEmailFromAddress =
        CaptionLabel(tr("&From address:"), edEmailFromAddress, "lblEmailFromAddress");
    SetHint(tr("Email address that will be used as the sender of the notification"),
            {edEmailFromAddress, lblEmailFromAddress});

    edSMTPServer = Named(new QLineEdit, "edSMTPServer");
    lblSMTPServer = CaptionLabel(tr("Ser&ver:"), edSMTPServer, "lblSMTPServer");
    SetHint(tr("SMTP Server"), {edSMTPServer, lblSMTPServer});

    edSMTPPort = Named(new TNumberEdit, "edSMTPPort");
    edSMTPPort->SetMaxLength(5);
    edSMTPPort->setText(QStringLiteral("25"));
    lblSMTPPort = CaptionLabel(tr("&Port:"), edSMTPPort, "lblSMTPPort");
    SetHint(tr("SMTP port"), {edSMTPPort, lblSMTPPort});

    edSMTPUser = Named(new QLineEdit, "edSMTPUser");
    lblSMTPUser = CaptionLabel(tr("Us&ername:"), edSMTPUser, "lblSMTPUser");
    SetHint(tr("SMTP server username"), {edSMTPUser, lblSMTPUser});

    edSMTPPassword = Named(new QLineEdit, "edSMTPPassword");
    lblSMTPPassword = CaptionLabel(tr("Pass&word:"), edSMTPPassword, "lblSMTPPassword");
    SetHint(tr("SMTP server password"), {edSMTPPassword, lblSMTPPassword});

    edConfirmPassword = Named(new QLineEdit, "edConfirmPassword");
    lblConfirmPassword =
        CaptionLabel(tr("Confirm passwor&d:"), edConfirmPassword, "lblConfirmPassword");
    SetHint(tr("Confirm SMTP password"), {edConfirmPassword, lblConfirmPassword});

    for (QLineEdit *e : {edSMTPPassword, edConfirmPassword})
        e->setEchoMode(QLineEdit::Password);

    cmbSMTPSecurity = Named(new QComboBox, "cmbSMTPSecurity");
    // In the order of the stored values.
    cmbSMTPSecurity->addItems(
        {tr("STARTTLS when offered"), tr("STARTTLS required"), tr("SSL/TLS"), tr("None")});
    lblSMTPSecurity = CaptionLabel(tr("Securit&y:"), cmbSMTPSecurity, "lblSMTPSecurity");
    SetHint(tr("How the connection to the SMTP server is protected (port 587: "
               "STARTTLS; port 465: SSL/TLS)"),
            {cmbSMTPSecurity, lblSMTPSecurity});

    btnTestMail = Named(new QPushButton(tr("Send &test e-mail")), "btnTestMail");
    btnTestMail->setAutoDefault(false);
    btnTestMail->setToolTip(
        tr("Send one e-mail with these settings now and show the server's answer"));
    connect(btnTestMail, &QPushButton::clicked, this, &TfOptions::btnTestMailClick);

    edRepeatAlerts = Named(new TNumberEdit, "edRepeatAlerts");
    edRepeatAlerts->SetMaxLength(6);
    lblRepeatAlerts = CaptionLabel(tr("&Repeat alerts every:"), edRepeatAlerts, "lblRepeatAlerts");
    lblRepeatMinutes = CaptionLabel(tr("minute(s) (0: never)"), edRepeatAlerts, "lblRepeatMinutes");
    SetHint(tr("While an address stays down, send its alerts again after this many "
               "minutes"),
            {edRepeatAlerts, lblRepeatAlerts, lblRepeatMinutes});

    cbTellNetworkOutages =
        Named(new QCheckBox(tr("Tell network outages from site outages")), "cbTellNetworkOutages");
    cbTellNetworkOutages->setToolTip(
        tr("A ping that fails because this computer has no network, or slept, is "
           "\"not checked\" and alerts nothing"));
    connect(cbTellNetworkOutages, &QCheckBox::toggled, this,
            [this](bool on) { edReferenceAddresses->setEnabled(on); });
    edReferenceAddresses = Named(new QLineEdit, "edReferenceAddresses");
    edReferenceAddresses->setPlaceholderText(tr("host:port or http(s) addresses"));
    lblReferenceAddresses =
        CaptionLabel(tr("Refere&nce addresses:"), edReferenceAddresses, "lblReferenceAddresses");
    SetHint(tr("Asked after a failure (a connect, at most every 10 s): when none of "
               "them answers either, this computer's network is down. Separate them "
               "with blanks"),
            {edReferenceAddresses, lblReferenceAddresses});

    // Text fields take any length, as the settings record does.
    for (QLineEdit *e :
         {edAutoPingAddress, edLogFile, edErrorPingAddress, edErrorEmailAddress, edEmailFromAddress,
          edSMTPServer, edSMTPUser, edSMTPPassword, edConfirmPassword, edReferenceAddresses})
        e->setMaxLength(std::numeric_limits<int>::max());

    auto *grid = new QGridLayout(gbAlerts);
    grid->setColumnMinimumWidth(0, IndentWidth - grid->horizontalSpacing());
    grid->addWidget(cbPingOnError, 0, 0, 1, 5);
    grid->addWidget(edErrorPingAddress, 1, 1, 1, 4);
    grid->addItem(new QSpacerItem(0, 8, QSizePolicy::Minimum, QSizePolicy::Fixed), 2, 0);
    grid->addWidget(cbSendEmailOnError, 3, 0, 1, 5);
    grid->addWidget(lblErrorEmailAddress, 4, 1);
    grid->addWidget(edErrorEmailAddress, 4, 2, 1, 3);
    grid->addItem(new QSpacerItem(0, 8, QSizePolicy::Minimum, QSizePolicy::Fixed), 5, 0);
    grid->addWidget(lblSMTPSettings, 6, 1, 1, 4);
    grid->addWidget(lblEmailFromAddress, 7, 1);
    grid->addWidget(edEmailFromAddress, 7, 2, 1, 3);
    grid->addWidget(lblSMTPServer, 8, 1);
    grid->addWidget(edSMTPServer, 8, 2);
    grid->addWidget(lblSMTPPort, 8, 3);
    grid->addWidget(edSMTPPort, 8, 4);
    grid->addWidget(lblSMTPUser, 9, 1);
    grid->addWidget(edSMTPUser, 9, 2, 1, 3);
    grid->addWidget(lblSMTPPassword, 10, 1);
    grid->addWidget(edSMTPPassword, 10, 2, 1, 3);
    grid->addWidget(lblConfirmPassword, 11, 1);
    grid->addWidget(edConfirmPassword, 11, 2, 1, 3);
    grid->addWidget(lblSMTPSecurity, 12, 1);
    grid->addWidget(cmbSMTPSecurity, 12, 2, 1, 3);
    grid->addWidget(btnTestMail, 13, 2, 1, 3, Qt::AlignRight);
    grid->addItem(new QSpacerItem(0, 8, QSizePolicy::Minimum, QSizePolicy::Fixed), 14, 0);
    auto *repeatRow = new QHBoxLayout;
    repeatRow->addWidget(lblRepeatAlerts);
    repeatRow->addWidget(edRepeatAlerts);
    repeatRow->addWidget(lblRepeatMinutes);
    repeatRow->addStretch(1);
    grid->addLayout(repeatRow, 15, 0, 1, 5);
    grid->addWidget(cbTellNetworkOutages, 16, 0, 1, 5);
    auto *referenceRow = new QHBoxLayout;
    referenceRow->addWidget(lblReferenceAddresses);
    referenceRow->addWidget(edReferenceAddresses, 1);
    grid->addLayout(referenceRow, 17, 1, 1, 4);
    grid->setColumnStretch(2, 1);
    grid->setRowStretch(18, 1);
}

void TfOptions::ArrangeDialog() {
    // Margins and gaps put the groups and buttons where the design has them. The groups sit in
    // a scroll area that shows no bar while they fit: on a small screen or with large scaling
    // they scroll, and OK and Cancel below them stay within reach.
    auto *body = new QWidget;
    body->setObjectName(QStringLiteral("wgOptionsBody"));
    auto *grid = new QGridLayout(body);
    grid->setContentsMargins(10, 5, 11, 0);
    grid->setHorizontalSpacing(9);
    grid->setVerticalSpacing(9);
    grid->addWidget(gbPing, 0, 0);
    grid->addWidget(gbOther, 1, 0);
    grid->addWidget(gbAlerts, 0, 1, 2, 1);
    grid->addWidget(gbNotify, 2, 0, 1, 2);
    scrOptions = new QScrollArea(this);
    scrOptions->setObjectName(QStringLiteral("scrOptions"));
    scrOptions->setFrameShape(QFrame::NoFrame);
    scrOptions->setWidgetResizable(true);
    scrOptions->setFocusPolicy(Qt::NoFocus); // Tab goes through the fields alone
    scrOptions->setWidget(body);

    auto *buttons = new QHBoxLayout;
    buttons->setContentsMargins(10, 0, 11, 0);
    buttons->setSpacing(14);
    buttons->addStretch(1);
    buttons->addWidget(btnOK);
    buttons->addWidget(btnCancel);
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 7);
    column->setSpacing(9);
    column->addWidget(scrOptions, 1);
    column->addLayout(buttons);

    // Sizes that depend on the font, now that every control has the dialog's.
    QFont bold = font();
    bold.setBold(true);
    lblSMTPSettings->setFont(bold);
    for (TNumberEdit *e : {edPingAttemps, edInterval, edPingTimeout, edWatchInterval, edPort,
                           edSecurePort, edSMTPPort, edMetricsPort, edCertExpiry})
        e->setFixedWidth(NumberFieldWidth(e, 5));
    edSlowAbove->setFixedWidth(NumberFieldWidth(edSlowAbove, 7));
    for (QPushButton *b : {btnOK, btnCancel})
        b->setMinimumSize(b->sizeHint().expandedTo(ButtonSize));
    // The design sizes are a floor: a wider font makes a group larger, never cuts its text.
    gbPing->setMinimumSize(gbPing->minimumSizeHint().expandedTo(PingGroupSize));
    gbOther->setMinimumSize(gbOther->minimumSizeHint().expandedTo(OtherGroupSize));
    gbAlerts->setMinimumSize(gbAlerts->minimumSizeHint().expandedTo(AlertsGroupSize));

    grid->activate();
    m_naturalSize =
        QSize(grid->totalMinimumSize().width(),
              grid->totalMinimumSize().height() + column->spacing() +
                  buttons->totalMinimumSize().height() + column->contentsMargins().bottom())
            .expandedTo(ClientSize);

    // Centred on the screen, not on the main window.
    QScreen *screen = parentWidget() ? parentWidget()->screen() : QGuiApplication::primaryScreen();
    if (!screen) {
        setFixedSize(m_naturalSize);
        return;
    }
    // The frame is not known before the dialog is shown: the main window's, or a title bar's
    // height (a border of a pixel or two may go past the edge; the buttons stay inside).
    QMargins frame(0, 30, 0, 0);
    if (parentWidget() && parentWidget()->window()->windowHandle() &&
        !parentWidget()->window()->windowHandle()->frameMargins().isNull())
        frame = parentWidget()->window()->windowHandle()->frameMargins();
    const QRect work = screen->availableGeometry();
    FitToArea(QSize(work.width() - frame.left() - frame.right(),
                    work.height() - frame.top() - frame.bottom()));
    move(work.center() - rect().center());
    move(qMax(x(), work.x() + frame.left()), qMax(y(), work.y() + frame.top()));
}

void TfOptions::FitToArea(const QSize &area) { setFixedSize(m_naturalSize.boundedTo(area)); }

void TfOptions::SetTabOrder() {
    const QList<QWidget *> order = {edPingAttemps,
                                    edInterval,
                                    edPingTimeout,
                                    edWatchInterval,
                                    edPort,
                                    edSecurePort,
                                    cbComputerNameInUserAgent,
                                    cbAutoPingAtStart,
                                    edAutoPingAddress,
                                    cbCheckTLS,
                                    edCertExpiry,
                                    edAcceptedStatus,
                                    edSlowAbove,
                                    cbAlwaysOnTop,
                                    cbStartWithWindows,
                                    cbShowNotifications,
                                    cbShowOnlyErrors,
                                    cbLogHeaders,
                                    cbLogTimingDetails,
                                    cbSaveLog,
                                    edLogFile,
                                    btnLogFile,
                                    edMetricsPort,
                                    edMetricsFile,
                                    edHistoryDays,
                                    edHistoryRawDays,
                                    cbPingOnError,
                                    edErrorPingAddress,
                                    cbSendEmailOnError,
                                    edErrorEmailAddress,
                                    edEmailFromAddress,
                                    edSMTPServer,
                                    edSMTPPort,
                                    edSMTPUser,
                                    edSMTPPassword,
                                    edConfirmPassword,
                                    cmbSMTPSecurity,
                                    btnTestMail,
                                    edRepeatAlerts,
                                    cbTellNetworkOutages,
                                    edReferenceAddresses,
                                    edNotifyUrls,
                                    btnSendTest,
                                    edAlertText,
                                    edAlertAfter,
                                    btnOK,
                                    btnCancel};
    for (qsizetype i = 1; i < order.size(); ++i)
        setTabOrder(order[i - 1], order[i]);
}

void TfOptions::FormCreate() {
    for (QWidget *w :
         {static_cast<QWidget *>(edErrorEmailAddress), static_cast<QWidget *>(edEmailFromAddress),
          static_cast<QWidget *>(lblErrorEmailAddress),
          static_cast<QWidget *>(lblEmailFromAddress)})
        w->setToolTip(w->toolTip() + tr(DisplayNameNote));
}

void TfOptions::SetSaveDialogRunner(SaveDialogRunner runner) {
    m_runSaveDialog = std::move(runner);
}

void TfOptions::LoadFrom(const TOptions &settings) {
    cbAlwaysOnTop->setChecked(settings.AlwaysOnTop);
    cbStartWithWindows->setChecked(settings.StartWithWindows);
    cbAutoPingAtStart->setChecked(settings.AutoPingAtStart);
    cbSaveLog->setChecked(settings.SaveLog);
    cbShowNotifications->setChecked(settings.ShowNotifications);
    cbShowOnlyErrors->setChecked(settings.ShowOnlyErrorNotifications);
    cbLogHeaders->setChecked(settings.LogHTTPHeaders);
    cbLogTimingDetails->setChecked(settings.LogTimingDetails);
    cbComputerNameInUserAgent->setChecked(settings.ComputerNameInUserAgent);
    cbPingOnError->setChecked(settings.PingOnError);
    cbSendEmailOnError->setChecked(settings.SendEmailOnError);
    cbTellNetworkOutages->setChecked(settings.TellNetworkOutages);
    // A box that was already in its state sent no toggle; make every dependent match.
    UpdateEnabledStates();

    // The unsigned counts travel through the signed Number, as they do on the way back.
    edInterval->SetNumber(int(settings.AutoPingInterval));
    edPingAttemps->SetNumber(int(settings.PingAttempts));
    edPort->SetNumber(settings.HTTPPort);
    edSecurePort->SetNumber(settings.HTTPSPort);
    edSMTPPort->SetNumber(settings.SMTPPort);
    edPingTimeout->SetNumber(int(settings.PingTimeout));
    edWatchInterval->SetNumber(int(settings.WatchInterval));
    edMetricsPort->SetNumber(int(settings.MetricsPort));
    edMetricsFile->setText(settings.MetricsFile);
    edRepeatAlerts->SetNumber(int(settings.RepeatAlertsEvery));
    edHistoryDays->SetNumber(int(settings.HistoryDays));
    edHistoryRawDays->SetNumber(int(settings.HistoryRawDays));
    cmbSMTPSecurity->setCurrentIndex(int(qMin<quint32>(settings.SMTPSecurity, 3)));
    cbCheckTLS->setChecked(settings.CheckTLS);
    edCertExpiry->SetNumber(int(settings.CertExpiryWarnDays));
    edAcceptedStatus->setText(settings.AcceptedHTTPStatus);
    edSlowAbove->SetNumber(int(settings.SlowAbove));

    edLogFile->setText(settings.LogFile);
    edAutoPingAddress->setText(settings.AutoPingAddress);
    edErrorPingAddress->setText(settings.ErrorPingAddress);
    // One line a reference in the store, blanks between them in the field.
    edReferenceAddresses->setText(
        settings.ReferenceAddresses
            .split(QRegularExpression(QStringLiteral("[\r\n]+")), Qt::SkipEmptyParts)
            .join(QLatin1Char(' ')));
    edErrorEmailAddress->setText(settings.ErrorEmailAddress);
    edEmailFromAddress->setText(settings.FromAddress);
    edSMTPServer->setText(settings.SMTPServer);
    edSMTPUser->setText(settings.SMTPUser);
    edSMTPPassword->setText(settings.SMTPPassword);
    edConfirmPassword->setText(settings.SMTPPassword);
    // Show each text from its start, as a field does that the user has not touched yet.
    for (QLineEdit *e :
         {edLogFile, edAutoPingAddress, edErrorPingAddress, edErrorEmailAddress, edEmailFromAddress,
          edSMTPServer, edSMTPUser, edSMTPPassword, edConfirmPassword})
        e->setCursorPosition(0);
    LoadNotifyFrom(settings);
}

void TfOptions::StoreTo(TOptions &settings) const {
    settings.AlwaysOnTop = cbAlwaysOnTop->isChecked();
    settings.StartWithWindows = cbStartWithWindows->isChecked();
    settings.AutoPingAtStart = cbAutoPingAtStart->isChecked();
    settings.SaveLog = cbSaveLog->isChecked();
    settings.ShowNotifications = cbShowNotifications->isChecked();
    settings.ShowOnlyErrorNotifications = cbShowOnlyErrors->isChecked();
    settings.LogHTTPHeaders = cbLogHeaders->isChecked();
    settings.LogTimingDetails = cbLogTimingDetails->isChecked();
    settings.ComputerNameInUserAgent = cbComputerNameInUserAgent->isChecked();
    settings.PingOnError = cbPingOnError->isChecked();
    settings.SendEmailOnError = cbSendEmailOnError->isChecked();

    // Counts below 1 (0, an empty or unreadable field) mean one; a port that is empty or
    // unreadable keeps its usual number (btnOKClick refused any other port outside 1-65535).
    namespace N = OptionNames;
    const auto count = [](int n) { return n <= 0 ? quint32(1) : quint32(n); };
    const auto port = [](int n, const char *setting) {
        return n < 0 ? qint32(FindSetting(setting)->def) : n;
    };
    settings.AutoPingInterval = count(edInterval->Number());
    settings.PingAttempts = count(edPingAttemps->Number());
    settings.HTTPPort = port(edPort->Number(), N::HTTPPort);
    settings.HTTPSPort = port(edSecurePort->Number(), N::HTTPSPort);
    settings.SMTPPort = port(edSMTPPort->Number(), N::SMTPPort);
    // btnOKClick refused anything outside the settings table's ranges.
    const auto bounded = [](int n, const char *setting) {
        const SettingRange r = RangeOf(setting);
        return quint32(qBound<qint64>(r.min, n, r.max));
    };
    settings.PingTimeout = bounded(edPingTimeout->Number(), N::PingTimeout);
    settings.MetricsPort = bounded(edMetricsPort->Number(), N::MetricsPort);
    settings.MetricsFile = edMetricsFile->text();
    settings.RepeatAlertsEvery = bounded(edRepeatAlerts->Number(), N::RepeatAlertsEvery);
    // An empty field keeps the usual seconds, and days.
    settings.WatchInterval = edWatchInterval->text().isEmpty()
                                 ? quint32(FindSetting(N::WatchInterval)->def)
                                 : bounded(edWatchInterval->Number(), N::WatchInterval);
    settings.HistoryDays = edHistoryDays->text().isEmpty()
                               ? quint32(FindSetting(N::HistoryDays)->def)
                               : bounded(edHistoryDays->Number(), N::HistoryDays);
    settings.HistoryRawDays = edHistoryRawDays->text().isEmpty()
                                  ? quint32(FindSetting(N::HistoryRawDays)->def)
                                  : bounded(edHistoryRawDays->Number(), N::HistoryRawDays);
    settings.SMTPSecurity = quint32(qMax(0, cmbSMTPSecurity->currentIndex()));
    settings.CheckTLS = cbCheckTLS->isChecked();
    // An empty field keeps the usual value.
    const auto orDefault = [&](const TNumberEdit *field, const char *setting) {
        return field->text().isEmpty() ? quint32(FindSetting(setting)->def)
                                       : bounded(field->Number(), setting);
    };
    settings.CertExpiryWarnDays = orDefault(edCertExpiry, N::CertExpiryWarnDays);
    settings.AcceptedHTTPStatus = edAcceptedStatus->text();
    settings.SlowAbove = orDefault(edSlowAbove, N::SlowAbove);

    settings.LogFile = edLogFile->text();
    settings.AutoPingAddress = edAutoPingAddress->text();
    settings.ErrorPingAddress = edErrorPingAddress->text();
    settings.ErrorEmailAddress = edErrorEmailAddress->text();
    settings.FromAddress = edEmailFromAddress->text();
    settings.SMTPServer = edSMTPServer->text();
    settings.SMTPUser = edSMTPUser->text();
    settings.SMTPPassword = edSMTPPassword->text();
    settings.TellNetworkOutages = cbTellNetworkOutages->isChecked();
    const QStringList references = edReferenceAddresses->text().split(
        QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    settings.ReferenceAddresses = references.join(QStringLiteral("\r\n"));
    StoreNotifyTo(settings);
}

void TfOptions::UpdateEnabledStates() {
    cbAutoPingAtStartClick();
    cbSaveLogClick();
    cbPingOnErrorClick();
    cbShowNotificationsClick();
    cbSendEmailOnErrorClick();
    edReferenceAddresses->setEnabled(cbTellNetworkOutages->isChecked());
}

void TfOptions::cbAutoPingAtStartClick() {
    edAutoPingAddress->setEnabled(cbAutoPingAtStart->isChecked());
}

void TfOptions::cbSaveLogClick() {
    // The browse button stays usable: choosing a file is a fine way to start.
    edLogFile->setEnabled(cbSaveLog->isChecked());
}

void TfOptions::cbPingOnErrorClick() { edErrorPingAddress->setEnabled(cbPingOnError->isChecked()); }

void TfOptions::cbShowNotificationsClick() {
    cbShowOnlyErrors->setEnabled(cbShowNotifications->isChecked());
}

void TfOptions::cbSendEmailOnErrorClick() {
    const bool on = cbSendEmailOnError->isChecked();
    for (QWidget *w : std::initializer_list<QWidget *>{
             edErrorEmailAddress, lblErrorEmailAddress, lblSMTPSettings, edEmailFromAddress,
             lblEmailFromAddress, edSMTPServer, lblSMTPServer, edSMTPPort, lblSMTPPort, edSMTPUser,
             lblSMTPUser, edSMTPPassword, lblSMTPPassword, edConfirmPassword, lblConfirmPassword,
             cmbSMTPSecurity, lblSMTPSecurity, btnTestMail})
        w->setEnabled(on);
}

void TfOptions::btnLogFileClick() {
    if (!dlgSave) {
        dlgSave = new QFileDialog(this);
        dlgSave->setObjectName(QStringLiteral("dlgSave"));
        dlgSave->setWindowTitle(tr("Save log as"));
        dlgSave->setAcceptMode(QFileDialog::AcceptSave);
        dlgSave->setFileMode(QFileDialog::AnyFile);
        dlgSave->setNameFilters({tr("Text files (*.txt)"), tr("All files (*.*)")});
        dlgSave->setDefaultSuffix(QStringLiteral("txt"));
        dlgSave->setOption(QFileDialog::DontConfirmOverwrite, false);
        dlgSave->selectFile(tr("Vennatro Log"));
    }
    if (!m_runSaveDialog(*dlgSave))
        return;
    const QStringList chosen = dlgSave->selectedFiles();
    if (chosen.isEmpty() || chosen.first().isEmpty())
        return;
    const QString path = QDir::toNativeSeparators(QFileInfo(chosen.first()).absoluteFilePath());
    edLogFile->setText(path);
    // The next browse in this dialog offers the file just chosen.
    dlgSave->selectFile(chosen.first());
}

bool TfOptions::PrepareLogPath() {
    const QString path = QDir::fromNativeSeparators(edLogFile->text());
    if (path.isEmpty())
        return false;
    // A relative path would depend on whatever folder the program was started from (an
    // autostart entry starts it elsewhere than a terminal does), so only full paths are taken.
    // This also turns away a bare file name, which has no folder to create.
    if (QDir::isRelativePath(path))
        return false;
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    const QString folder = path.left(slash);
    const QString fileName = path.mid(slash + 1);
    if (fileName.isEmpty())
        return false;
    const QString folderPath = folder.isEmpty() ? QStringLiteral("/") : folder;
    if (!QDir().mkpath(folderPath) || !QFileInfo(folderPath).isDir())
        return false;
    // A folder where the file should be can never be written as a log.
    return !QFileInfo(path).isDir();
}

void TfOptions::btnOKClick() {
    for (QLineEdit *field :
         {edLogFile, edAutoPingAddress, edErrorPingAddress, edErrorEmailAddress, edEmailFromAddress,
          edSMTPServer, edSMTPUser, edMetricsFile, edAcceptedStatus})
        TrimField(field);
    ClearBareScheme(edAutoPingAddress);
    ClearBareScheme(edErrorPingAddress);

    // Every failing check replaces the pending message: the last one in this order is shown.
    QString message;
    QWidget *focusTarget = nullptr;
    const auto fail = [&](const QString &text, QWidget *target) {
        message = text;
        focusTarget = target;
    };
    // Every range is the settings table's: what the dialog takes, a load keeps.
    namespace N = OptionNames;
    const auto outside = [](const TNumberEdit *field, const char *setting) {
        return !RangeOf(setting).Holds(field->Number());
    };
    // An empty port field keeps its usual port; anything else must be a port (the field takes
    // digits only, but five of them reach 99999).
    const auto badPort = [&](const TNumberEdit *field, const char *setting) {
        return !field->text().isEmpty() && outside(field, setting);
    };

    const bool email = cbSendEmailOnError->isChecked();
    if (email) {
        if (edSMTPPassword->text().isEmpty())
            fail(tr("Please enter the SMTP server password."), edSMTPPassword);
        else if (edConfirmPassword->text().isEmpty())
            fail(tr("Please confirm the SMTP server password."), edSMTPPassword);
        else if (edSMTPPassword->text() != edConfirmPassword->text())
            fail(tr("Password and the password confirmation doesn't match."), edSMTPPassword);
    }
    // The password is stored even with e-mail off, and the store holds at most 255 bytes.
    if (message.isEmpty() && edSMTPPassword->text().toUtf8().size() > MaxPasswordBytes)
        fail(tr("The SMTP server password can't be longer than 255 bytes."), edSMTPPassword);
    // Like the password, the SMTP port is stored even with e-mail off.
    const auto range = [](const char *setting, const QString &text) {
        const SettingRange r = RangeOf(setting);
        return text.arg(r.min).arg(r.max);
    };
    if (badPort(edSMTPPort, N::SMTPPort))
        fail(range(N::SMTPPort, tr("Please enter an SMTP server port from %1 to %2.")), edSMTPPort);
    if (email) {
        if (edSMTPServer->text().isEmpty())
            fail(tr("Please enter the SMTP server."), edSMTPServer);
        if (edSMTPPort->text().isEmpty())
            fail(tr("Please enter the SMTP server port."), edSMTPPort);
        if (edSMTPUser->text().isEmpty())
            fail(tr("Please enter the SMTP server username."), edSMTPUser);
        if (edEmailFromAddress->text().isEmpty())
            fail(tr("Please enter the email address that will be used as the sender of the "
                    "notification."),
                 edEmailFromAddress);
        if (edErrorEmailAddress->text().isEmpty())
            fail(tr("Please enter the email address that will receive the ping failure "
                    "notification."),
                 edErrorEmailAddress);
    }
    if (cbPingOnError->isChecked() && edErrorPingAddress->text().isEmpty())
        fail(tr("Please enter the address that will be accessed on ping failure."),
             edErrorPingAddress);
    if (cbAutoPingAtStart->isChecked() && edAutoPingAddress->text().isEmpty())
        fail(tr("Please enter an address for auto-ping."), edAutoPingAddress);
    // Zero or nothing means one (attempt, minute); only the top of the range is refused.
    const auto aboveMax = [](const TNumberEdit *field, const char *setting) {
        return field->Number() > RangeOf(setting).max;
    };
    if (aboveMax(edPingAttemps, N::PingAttempts))
        fail(range(N::PingAttempts, tr("Please enter from %1 to %2 ping attempts.")),
             edPingAttemps);
    if (aboveMax(edInterval, N::AutoPingInterval))
        fail(range(N::AutoPingInterval,
                   tr("Please enter an auto-ping interval from %1 to %2 minutes.")),
             edInterval);
    if (badPort(edPort, N::HTTPPort))
        fail(range(N::HTTPPort, tr("Please enter an HTTP port from %1 to %2.")), edPort);
    if (badPort(edSecurePort, N::HTTPSPort))
        fail(range(N::HTTPSPort, tr("Please enter an HTTPS port from %1 to %2.")), edSecurePort);
    if (outside(edPingTimeout, N::PingTimeout))
        fail(range(N::PingTimeout, tr("Please enter a ping timeout from %1 to %2 seconds.")),
             edPingTimeout);
    if (!edWatchInterval->text().isEmpty() && outside(edWatchInterval, N::WatchInterval))
        fail(range(N::WatchInterval, tr("Please enter a watch interval from %1 to %2 seconds.")),
             edWatchInterval);
    if (!edHistoryDays->text().isEmpty() && outside(edHistoryDays, N::HistoryDays))
        fail(range(N::HistoryDays,
                   tr("Please enter the days of history to keep, from %1 (all) to %2.")),
             edHistoryDays);
    if (!edHistoryRawDays->text().isEmpty() && outside(edHistoryRawDays, N::HistoryRawDays))
        fail(range(N::HistoryRawDays,
                   tr("Please enter the days single pings are kept, from %1 to %2.")),
             edHistoryRawDays);
    if (!edMetricsPort->text().isEmpty() && outside(edMetricsPort, N::MetricsPort))
        fail(tr("Please enter a metrics port from 1 to %1, or 0 for none.")
                 .arg(RangeOf(N::MetricsPort).max),
             edMetricsPort);
    if (!edRepeatAlerts->text().isEmpty() && outside(edRepeatAlerts, N::RepeatAlertsEvery))
        fail(range(N::RepeatAlertsEvery,
                   tr("Please enter the minutes after which an alert is repeated, from %1 (never) "
                      "to %2.")),
             edRepeatAlerts);
    if (!edAlertAfter->text().isEmpty() && outside(edAlertAfter, N::AlertAfter))
        fail(range(N::AlertAfter, tr("Please enter the failed pings in a row that make an address "
                                     "down, from %1 to %2.")),
             edAlertAfter);

    if (!edCertExpiry->text().isEmpty() && outside(edCertExpiry, N::CertExpiryWarnDays))
        fail(range(N::CertExpiryWarnDays,
                   tr("Please enter the days before a certificate's expiry that warn, from %1 "
                      "(never) to %2.")),
             edCertExpiry);
    if (!edSlowAbove->text().isEmpty() && outside(edSlowAbove, N::SlowAbove))
        fail(range(N::SlowAbove,
                   tr("Please enter the milliseconds above which a ping is slow, from %1 (never) "
                      "to %2.")),
             edSlowAbove);
    if (!AcceptedStatus::Parse(edAcceptedStatus->text()))
        fail(tr("Please enter the accepted HTTP status as codes from 100 to 599 and ranges, such "
                "as 200-399 or 200,204,301-308, or leave it empty to accept any answer."),
             edAcceptedStatus);

    if (cbSaveLog->isChecked() && !PrepareLogPath()) {
        ShowMessageBox(this, tr("Please enter a valid path for the log file"),
                       tr(InvalidPathCaption), MessageIcon::Warning);
        edLogFile->setFocus();
        return;
    }
    // Like the log file, and for the same reason: the folder the program starts from varies.
    if (!edMetricsFile->text().isEmpty() &&
        QDir::isRelativePath(QDir::fromNativeSeparators(edMetricsFile->text()))) {
        ShowMessageBox(this, tr("Please enter a full path for the metrics file"),
                       tr(InvalidPathCaption), MessageIcon::Warning);
        edMetricsFile->setFocus();
        return;
    }
    if (!message.isEmpty()) {
        ShowMessageBox(this, message, tr(MissingDataCaption), MessageIcon::Warning);
        focusTarget->setFocus();
        return;
    }
    accept();
}

void TfOptions::btnTestMailClick() {
    for (QLineEdit *field : {edErrorEmailAddress, edEmailFromAddress, edSMTPServer, edSMTPUser})
        TrimField(field);
    QLineEdit *missing = edSMTPServer->text().isEmpty()          ? edSMTPServer
                         : edEmailFromAddress->text().isEmpty()  ? edEmailFromAddress
                         : edErrorEmailAddress->text().isEmpty() ? edErrorEmailAddress
                                                                 : nullptr;
    if (missing) {
        ShowMessageBox(this,
                       tr("Please enter the SMTP server, the sender and the "
                          "recipient before sending a test e-mail."),
                       tr(MissingDataCaption), MessageIcon::Warning);
        missing->setFocus();
        return;
    }
    TOptions trial = DefaultOptions();
    StoreTo(trial);
    const QString caption = tr("Test e-mail");
    const QString idle = btnTestMail->text();
    btnTestMail->setEnabled(false);
    btnTestMail->setText(tr("Sending..."));
    QString text;
    MessageIcon icon = MessageIcon::Information;
    try {
        const QString reply = SendTestMail(m_testMail, trial, m_mailAgent, ComputerNetworkName());
        text = tr("The test e-mail to %1 was sent.\n\nThe server answered: %2")
                   .arg(trial.ErrorEmailAddress, reply.isEmpty() ? tr("(nothing)") : reply);
    } catch (const Exception &e) {
        // The mail library's message, then the server's reply on a line of its own.
        text = tr("The test e-mail was not sent.\n\n%1")
                   .arg(QString(e.Message()).replace(QLatin1String("\r\n"), QLatin1String("\n")));
        icon = MessageIcon::Warning;
    }
    btnTestMail->setText(idle);
    cbSendEmailOnErrorClick();
    if (!m_closing)
        ShowMessageBox(this, text, caption, icon);
}

void TfOptions::done(int result) {
    // A test e-mail under way ends within a second; its answer is no longer shown.
    m_closing = true;
    m_testMail.Abort();
    QDialog::done(result);
}

bool ShowOptionsDialog(TOptions &settings, QWidget *mainWindow, const QString &mailAgent) {
    TfOptions dialog(mainWindow);
    dialog.SetMailAgent(mailAgent);
    dialog.LoadFrom(settings);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    dialog.StoreTo(settings);
    return true;
}
