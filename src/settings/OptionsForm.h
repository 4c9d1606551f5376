#pragma once

#include "engine/MailSender.h"
#include "store/Options.h"

#include <QDialog>
#include <functional>

class QComboBox;

class QCheckBox;
class QFileDialog;
class QGridLayout;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class TNumberEdit;
class AlertChannels;

// Shows the options dialog modally over mainWindow; on OK copies the fields into settings
// and returns true, otherwise leaves settings untouched.
// mailAgent: the X-Mailer of the test e-mail (the failure e-mail's).
bool ShowOptionsDialog(TOptions &settings, QWidget *mainWindow,
                       const QString &mailAgent = QString());

// The options dialog: copies a settings record into its controls (LoadFrom), checks the
// input when OK is pressed and, once it has closed with OK, copies the controls back
// (StoreTo). It never touches a record by itself.
class QScrollArea;

class TfOptions : public QDialog {
    Q_OBJECT
public:
    // Runs the save-file dialog; true when the user chose a file. Tests answer it themselves.
    using SaveDialogRunner = std::function<bool(QFileDialog &)>;

    explicit TfOptions(QWidget *mainWindow);
    ~TfOptions() override;

    void LoadFrom(const TOptions &settings);
    void StoreTo(TOptions &settings) const;

    void SetSaveDialogRunner(SaveDialogRunner runner);
    // The X-Mailer of the test e-mail; none by default.
    void SetMailAgent(const QString &agent) { m_mailAgent = agent; }

    // Longest SMTP password the store can keep, in UTF-8 bytes.
    static constexpr int MaxPasswordBytes = 255;

    // "Ping options"
    QGroupBox *gbPing = nullptr;
    QLabel *lblPingAttemps = nullptr;
    TNumberEdit *edPingAttemps = nullptr;
    QLabel *lblInterval = nullptr;
    TNumberEdit *edInterval = nullptr;
    QLabel *lblMinutes = nullptr;
    QLabel *lblPingTimeout = nullptr;
    TNumberEdit *edPingTimeout = nullptr;
    QLabel *lblSeconds = nullptr;
    QLabel *lblWatchInterval = nullptr;
    TNumberEdit *edWatchInterval = nullptr;
    QLabel *lblWatchSeconds = nullptr;
    QLabel *lblMetricsPort = nullptr;
    TNumberEdit *edMetricsPort = nullptr;
    QLabel *lblMetricsFile = nullptr;
    QLineEdit *edMetricsFile = nullptr;
    QCheckBox *cbLogTimingDetails = nullptr;
    QLabel *lblHistoryDays = nullptr;
    TNumberEdit *edHistoryDays = nullptr;
    QLabel *lblHistoryRawDays = nullptr;
    TNumberEdit *edHistoryRawDays = nullptr;
    QLabel *lblRawDays = nullptr;
    QLabel *lblDays = nullptr;
    QLabel *lblRepeatAlerts = nullptr;
    TNumberEdit *edRepeatAlerts = nullptr;
    QLabel *lblRepeatMinutes = nullptr;
    QCheckBox *cbTellNetworkOutages = nullptr;
    QLabel *lblReferenceAddresses = nullptr;
    QLineEdit *edReferenceAddresses = nullptr;
    QLabel *lblSMTPSecurity = nullptr;
    QComboBox *cmbSMTPSecurity = nullptr;
    QLabel *lblPort = nullptr;
    TNumberEdit *edPort = nullptr;
    QLabel *lblSecurePort = nullptr;
    TNumberEdit *edSecurePort = nullptr;
    QCheckBox *cbComputerNameInUserAgent = nullptr;
    QCheckBox *cbAutoPingAtStart = nullptr;
    QLineEdit *edAutoPingAddress = nullptr;
    // The checks of a site: TLS, its certificate's expiry, the accepted answers, slow.
    QCheckBox *cbCheckTLS = nullptr;
    QLabel *lblCertExpiry = nullptr;
    TNumberEdit *edCertExpiry = nullptr;
    QLabel *lblCertExpiryDays = nullptr;
    QLabel *lblAcceptedStatus = nullptr;
    QLineEdit *edAcceptedStatus = nullptr;
    QLabel *lblSlowAbove = nullptr;
    TNumberEdit *edSlowAbove = nullptr;
    QLabel *lblSlowMs = nullptr;

    // "Other options"
    QGroupBox *gbOther = nullptr;
    QCheckBox *cbAlwaysOnTop = nullptr;
    QCheckBox *cbStartWithWindows = nullptr;
    QCheckBox *cbShowNotifications = nullptr;
    QCheckBox *cbShowOnlyErrors = nullptr;
    QCheckBox *cbLogHeaders = nullptr;
    QCheckBox *cbSaveLog = nullptr;
    QLineEdit *edLogFile = nullptr;
    QPushButton *btnLogFile = nullptr;

    // "Alerts"
    QGroupBox *gbAlerts = nullptr;
    QCheckBox *cbPingOnError = nullptr;
    QLineEdit *edErrorPingAddress = nullptr;
    QCheckBox *cbSendEmailOnError = nullptr;
    QLabel *lblErrorEmailAddress = nullptr;
    QLineEdit *edErrorEmailAddress = nullptr;
    QLabel *lblSMTPSettings = nullptr;
    QLabel *lblEmailFromAddress = nullptr;
    QLineEdit *edEmailFromAddress = nullptr;
    QLabel *lblSMTPServer = nullptr;
    QLineEdit *edSMTPServer = nullptr;
    QLabel *lblSMTPPort = nullptr;
    TNumberEdit *edSMTPPort = nullptr;
    QLabel *lblSMTPUser = nullptr;
    QLineEdit *edSMTPUser = nullptr;
    QLabel *lblSMTPPassword = nullptr;
    QLineEdit *edSMTPPassword = nullptr;
    QLabel *lblConfirmPassword = nullptr;
    QLineEdit *edConfirmPassword = nullptr;
    QPushButton *btnTestMail = nullptr; // one e-mail with the fields as they are

    // "Notifications" (OptionsNotify.cpp)
    QGroupBox *gbNotify = nullptr;
    QLabel *lblNotifyUrls = nullptr;
    QPlainTextEdit *edNotifyUrls = nullptr;
    QPushButton *btnSendTest = nullptr;
    QLabel *lblSendTest = nullptr; // what the test sent, URL by URL
    QLabel *lblAlertText = nullptr;
    QPlainTextEdit *edAlertText = nullptr;
    QLabel *lblAlertAfter = nullptr;
    TNumberEdit *edAlertAfter = nullptr;
    QLabel *lblAlertAfterPings = nullptr;

    QPushButton *btnOK = nullptr;
    QPushButton *btnCancel = nullptr;
    QScrollArea *scrOptions = nullptr; // the groups; scrolls where they do not fit

    // The dialog's size for an area of that size (the screen's work area, frame excluded):
    // the design's size where it fits, else the area, the groups scrolling.
    void FitToArea(const QSize &area);

    // Created on the first browse and kept, so a later browse offers the file chosen last.
    QFileDialog *dlgSave = nullptr;

public slots:
    void btnOKClick();
    void btnLogFileClick();
    void cbAutoPingAtStartClick();
    void cbSaveLogClick();
    void cbPingOnErrorClick();
    void cbShowNotificationsClick();
    void cbSendEmailOnErrorClick();
    // Sends a test notification to the URLs in the field, as they stand, and shows how each went.
    void btnSendTestClick();
    // Sends one e-mail with the SMTP fields as they are, off this thread, and shows the
    // server's answer; the dialog stays usable meanwhile, and closing it ends the exchange.
    void btnTestMailClick();

protected:
    void done(int result) override;

private:
    void CreateControls();
    void CreatePingGroup();
    void CreateCheckRows(QGridLayout *grid, int row);
    void CreateOtherGroup();
    void CreateAlertsGroup();
    void CreateNotifyGroup();
    void LoadNotifyFrom(const TOptions &settings);
    void StoreNotifyTo(TOptions &settings) const;
    AlertChannels *m_testChannels = nullptr; // made on the first test
    void ArrangeDialog();
    QSize m_naturalSize;
    void SetTabOrder();
    void FormCreate();
    void UpdateEnabledStates();
    // The log path check of OK; creates the folder. False: show "Invalid path".
    bool PrepareLogPath();

    SaveDialogRunner m_runSaveDialog;
    MailSender m_testMail;
    QString m_mailAgent;
    bool m_closing = false; // done() was called: nobody is left to read a result
};
