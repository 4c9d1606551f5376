// The options dialog's "Notifications" group: the notify URLs with their test, the alert text
// and "Alert after".

#include "engine/AlertChannels.h"
#include "engine/AlertMessage.h"
#include "platform/SystemInfo.h"
#include "settings/NumberEdit.h"
#include "settings/OptionsForm.h"
#include "store/SettingsTable.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

namespace {

template <typename W> W *Named(W *widget, const char *name) {
    widget->setObjectName(QLatin1String(name));
    return widget;
}

// A text field of a few lines, as tall as lines of its font.
QPlainTextEdit *TextField(const char *name, int lines) {
    auto *field = Named(new QPlainTextEdit, name);
    field->setTabChangesFocus(true);
    field->setLineWrapMode(QPlainTextEdit::NoWrap);
    field->setFixedHeight(field->fontMetrics().lineSpacing() * lines + 12);
    return field;
}

} // namespace

void TfOptions::CreateNotifyGroup() {
    gbNotify = Named(new QGroupBox(tr("Notifications")), "gbNotify");

    edNotifyUrls = TextField("edNotifyUrls", 3);
    edNotifyUrls->setPlaceholderText(
        tr("ntfys://ntfy.example.org/topic\nhttps://example.org/hook"));
    lblNotifyUrls = Named(new QLabel(tr("Notify &URLs (one a line):")), "lblNotifyUrls");
    lblNotifyUrls->setBuddy(edNotifyUrls);
    edNotifyUrls->setAccessibleName(tr("Notify URLs"));
    const QString urlsHint = tr(
        "Every alert also goes to each URL: http:// and https:// receive the program's JSON by "
        "POST; any other scheme (ntfy://, gotify://, tgram://, slack://, matrix://, json://, ...) "
        "is sent by Apprise (the Debian package \"apprise\")");
    for (QWidget *w : {static_cast<QWidget *>(edNotifyUrls), static_cast<QWidget *>(lblNotifyUrls)})
        w->setToolTip(urlsHint);

    btnSendTest = Named(new QPushButton(tr("Send &test")), "btnSendTest");
    btnSendTest->setToolTip(tr("Send a test notification to the URLs above now"));
    connect(btnSendTest, &QPushButton::clicked, this, &TfOptions::btnSendTestClick);
    lblSendTest = Named(new QLabel, "lblSendTest");
    lblSendTest->setWordWrap(true);
    lblSendTest->setTextFormat(Qt::PlainText);
    lblSendTest->setTextInteractionFlags(Qt::TextSelectableByMouse);

    edAlertText = TextField("edAlertText", 2);
    edAlertText->setPlaceholderText(tr("Empty: the program's own texts"));
    lblAlertText = Named(new QLabel(tr("Alert te&xt:")), "lblAlertText");
    lblAlertText->setBuddy(edAlertText);
    edAlertText->setAccessibleName(tr("Alert text"));
    const QString textHint =
        tr("The message the notify URLs receive. Placeholders: %address%, %event% (down, up), "
           "%result%, %time%, %duration% (of the ping), %downtime%");
    for (QWidget *w : {static_cast<QWidget *>(edAlertText), static_cast<QWidget *>(lblAlertText)})
        w->setToolTip(textHint);

    edAlertAfter = Named(new TNumberEdit, "edAlertAfter");
    edAlertAfter->SetMaxLength(4);
    edAlertAfter->setFixedWidth(
        edAlertAfter->fontMetrics().horizontalAdvance(QStringLiteral("00000")) + 12);
    lblAlertAfter = Named(new QLabel(tr("Alert a&fter:")), "lblAlertAfter");
    lblAlertAfter->setBuddy(edAlertAfter);
    edAlertAfter->setAccessibleName(tr("Alert after"));
    lblAlertAfterPings = Named(new QLabel(tr("failed ping(s) in a row")), "lblAlertAfterPings");
    const QString afterHint =
        tr("An address is down, and alerts, only after this many pings in a row failed");
    for (QWidget *w : {static_cast<QWidget *>(edAlertAfter), static_cast<QWidget *>(lblAlertAfter),
                       static_cast<QWidget *>(lblAlertAfterPings)})
        w->setToolTip(afterHint);

    auto *grid = new QGridLayout(gbNotify);
    grid->addWidget(lblNotifyUrls, 0, 0, 1, 2);
    grid->addWidget(edNotifyUrls, 1, 0, 1, 2);
    auto *testRow = new QHBoxLayout;
    testRow->addWidget(btnSendTest, 0, Qt::AlignTop);
    testRow->addWidget(lblSendTest, 1);
    grid->addLayout(testRow, 2, 0, 1, 2);
    grid->addWidget(lblAlertText, 0, 2, 1, 2);
    grid->addWidget(edAlertText, 1, 2, 1, 2);
    auto *afterRow = new QHBoxLayout;
    afterRow->addWidget(lblAlertAfter);
    afterRow->addWidget(edAlertAfter);
    afterRow->addWidget(lblAlertAfterPings);
    afterRow->addStretch(1);
    grid->addLayout(afterRow, 2, 2, 1, 2, Qt::AlignTop);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 1);
}

void TfOptions::LoadNotifyFrom(const TOptions &settings) {
    edNotifyUrls->setPlainText(settings.NotifyUrls);
    edAlertText->setPlainText(settings.AlertText);
    edAlertAfter->SetNumber(int(qMax<quint32>(1, settings.AlertAfter)));
    lblSendTest->clear();
}

void TfOptions::StoreNotifyTo(TOptions &settings) const {
    // Stored as the store keeps line breaks: CR LF after each line of a list.
    QStringList urls;
    for (const QString &line : edNotifyUrls->toPlainText().split(QLatin1Char('\n'))) {
        if (!line.trimmed().isEmpty())
            urls << line.trimmed();
    }
    settings.NotifyUrls =
        urls.isEmpty() ? QString() : urls.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n");
    settings.AlertText = edAlertText->toPlainText();
    // Empty or 0: one failed ping, as before there was a choice.
    const int after = edAlertAfter->Number();
    settings.AlertAfter =
        after <= 0 ? 1 : quint32(qMin<qint64>(after, RangeOf(OptionNames::AlertAfter).max));
}

void TfOptions::btnSendTestClick() {
    if (!m_testChannels) {
        m_testChannels = new AlertChannels(this);
        connect(m_testChannels, &AlertChannels::delivered, this,
                [this](const QString &url, bool sent, const QString &reason) {
                    lblSendTest->setText(lblSendTest->text() + QLatin1Char('\n') + url + ": " +
                                         (sent ? tr("sent") : tr("not sent (%1)").arg(reason)));
                });
        connect(m_testChannels, &AlertChannels::logText, this, [this](const QString &entry) {
            lblSendTest->setText(lblSendTest->text() + QLatin1Char('\n') + entry.trimmed());
        });
    }
    lblSendTest->clear();
    m_testChannels->SetTemplate(edAlertText->toPlainText());
    m_testChannels->SetUrls(edNotifyUrls->toPlainText());
    // The lines skipped as no URLs were said meanwhile: they stay below the first line.
    const QString skipped = lblSendTest->text();
    const int count = int(m_testChannels->Urls().size());
    lblSendTest->setText(
        (count == 0 ? tr("No notify URL to test.") : tr("Sending to %1 URL(s)...").arg(count)) +
        skipped);
    m_testChannels->Send(TestAlert(ComputerNetworkName(), QDateTime::currentDateTimeUtc()));
}
