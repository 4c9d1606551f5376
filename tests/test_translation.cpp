// The window in the user's language: every text a person reads is translatable (under a
// pseudo-translation every one reads "[...]", and nothing unmarked may show), the German
// translation is used, and a missing or damaged one leaves the window English.

#include "app/AboutFree.h"
#include "app/Main.h"
#include "app/WatchPanel.h"
#include "engine/WatchList.h"
#include "platform/gui/Translation.h"
#include "settings/NumberEdit.h"
#include "settings/OptionsForm.h"
#include "support/TestTcpServer.h"
#include "support/gui/RecordingTrayShell.h"
#include "support/gui/TestEnvironment.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QMenu>
#include <QRegularExpression>
#include <QTableWidget>
#include <QTest>
#include <QTextDocumentFragment>
#include <QTranslator>

namespace {

// Not translated on purpose: names, the contact addresses, user data (addresses), figures.
bool Marked(const QString &text) {
    static const QRegularExpression free(
        QStringLiteral("^(\\[.*|[^A-Za-z]*|Vennatro|\u00a9 \\d+ Lumo Dev|https?://\\S*|"
                       "vennatro@lumodev\\.example|www\\.lumodev\\.example)$"),
        QRegularExpression::DotMatchesEverythingOption);
    const QString t = text.trimmed();
    return free.match(t).hasMatch() || t == QCoreApplication::applicationName();
}

// Every text of root's shown widgets, menus and commands that a person reads or hears and that
// is not marked; Qt's own parts (standard buttons, a dock's title buttons) are Qt's to translate.
QStringList Unmarked(QWidget *root) {
    QStringList found;
    QList<QWidget *> widgets = root->findChildren<QWidget *>();
    widgets.prepend(root);
    for (QWidget *w : std::as_const(widgets)) {
        if ((!qobject_cast<QMenu *>(w) && !w->isVisibleTo(root) && w != root) ||
            w->objectName().startsWith(QLatin1String("qt_")) ||
            qobject_cast<QDialogButtonBox *>(w->parentWidget()))
            continue;
        QStringList texts = {w->toolTip(), w->accessibleName(), w->accessibleDescription(),
                             w->isWindow() ? w->windowTitle() : QString()};
        if (auto *label = qobject_cast<QLabel *>(w))
            texts << QTextDocumentFragment::fromHtml(label->text()).toPlainText();
        if (auto *button = qobject_cast<QAbstractButton *>(w))
            texts << button->text();
        if (auto *group = qobject_cast<QGroupBox *>(w))
            texts << group->title();
        if (auto *edit = qobject_cast<QLineEdit *>(w))
            texts << edit->placeholderText();
        if (auto *box = qobject_cast<QComboBox *>(w); box && !box->isEditable())
            for (int i = 0; i < box->count(); ++i)
                texts << box->itemText(i);
        if (auto *header = qobject_cast<QHeaderView *>(w); header && header->model())
            for (int i = 0; i < header->count(); ++i)
                texts << header->model()->headerData(i, header->orientation()).toString();
        for (QAction *action : w->actions())
            texts << action->text() << action->toolTip() << action->statusTip();
        for (const QString &text : std::as_const(texts))
            if (!Marked(text))
                found << w->objectName() + QStringLiteral(": ") + text;
    }
    found.removeDuplicates();
    return found;
}

template <typename T> T *Named(const QObject *root, const char *name) {
    return root->findChild<T *>(QLatin1String(name));
}

} // namespace

class TestTranslation : public QObject {
    Q_OBJECT
private slots:
    void init() {
        m_env = std::make_unique<TestEnvironment>();
        Options = TOptions();
    }
    void cleanup() {
        for (QTranslator *t : qApp->findChildren<QTranslator *>()) {
            QCoreApplication::removeTranslator(t);
            delete t;
        }
        m_env.reset();
    }
    void everyTextOfTheWindowIsTranslatable();
    void windowInGerman();
    void missingOrDamagedTranslationLeavesEnglish();

private:
    std::unique_ptr<TestEnvironment> m_env;
};

void TestTranslation::everyTextOfTheWindowIsTranslatable() {
    auto *pseudo = new QTranslator(qApp);
    QVERIFY2(pseudo->load(QStringLiteral(PSEUDO_QM)), PSEUDO_QM);
    QCoreApplication::installTranslator(pseudo);

    TfMain_Vennatro w(new PingSession);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    Named<QAction>(&w, "actWatched")->trigger(); // the watched panel with its columns
    // A failure as the session tells it: status bar, status image, balloon, tray tool-tip.
    emit w.Session->pingFailed(QStringLiteral("http://127.0.0.1:9/"), QStringLiteral("refused"));
    // Two boxes: a ping without an address, an address the program refuses.
    Named<QAction>(&w, "actPing")->trigger();
    Named<QComboBox>(&w, "cmbAddress")->setEditText(QStringLiteral("ftp://127.0.0.1/"));
    Named<QAction>(&w, "actPing")->trigger();
    Named<QAction>(&w, "actHistory")->trigger();
    TfOptions options(&w);
    options.show();
    TfAbout about(&w, ProgramVersionRecord(), false);
    about.show();
    QStringList unmarked = Unmarked(&w) + Unmarked(Named<QWidget>(&w, "HistoryWindow")) +
                           Unmarked(&options) + Unmarked(&about);

    QCOMPARE(m_env->messages.size(), 2);
    for (const MessageBoxRequest &box : std::as_const(m_env->messages))
        for (const QString &text : {box.text, box.caption})
            if (!Marked(text))
                unmarked << QStringLiteral("message box: ") + text;
    const auto balloons = RecordingTrayShell::Of(w.NotifyIcon->Shell())->Balloons();
    QVERIFY(!balloons.isEmpty());
    for (const auto &balloon : balloons)
        for (const QString &text : {balloon.text, balloon.title})
            if (!Marked(text))
                unmarked << QStringLiteral("balloon: ") + text;
    // The scan sees what it is meant to: the marked texts are there.
    QCOMPARE(Named<QLabel>(&w, "StatusPanel")->text(),
             QStringLiteral("[Connection to [http://127.0.0.1:9/] failed.]"));
    QVERIFY(!Marked(QStringLiteral("Ping now")));
    QVERIFY2(unmarked.isEmpty(), qPrintable(unmarked.join(QLatin1Char('\n'))));
}

void TestTranslation::windowInGerman() {
    const TranslationResult result = InstallTranslations(*qApp, QLocale(QStringLiteral("de_DE")));
    QCOMPARE(result.language, QStringLiteral("de"));
    const bool qtHasGerman =
        QFile::exists(QLibraryInfo::path(QLibraryInfo::TranslationsPath) + "/qtbase_de.qm");
    QCOMPARE(result.qtToo, qtHasGerman);
    if (qtHasGerman) // Qt's own texts as well
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Close"),
                 QStringLiteral("Schließen"));

    TfMain_Vennatro w(new PingSession);
    QCOMPARE(Named<QAction>(&w, "actPing")->text(), QStringLiteral("&Jetzt pingen"));
    QCOMPARE(Named<QLabel>(&w, "lblAddress")->text(), QStringLiteral("&Adresse:"));
    QCOMPARE(Named<QMenu>(&w, "mnFile")->title(), QStringLiteral("&Datei"));
    QCOMPARE(Named<QLabel>(&w, "imgStatus")->toolTip(), QStringLiteral("Untätig"));
    QCOMPARE(Named<QLabel>(&w, "imgStatus")->accessibleName(), QStringLiteral("Status: untätig"));
    emit w.Session->pingFailed(QStringLiteral("http://127.0.0.1:9/"), QStringLiteral("refused"));
    QCOMPARE(Named<QLabel>(&w, "StatusPanel")->text(),
             QStringLiteral("Verbindung zu [http://127.0.0.1:9/] fehlgeschlagen."));
    // A watched address's row: its state and the engine's result in German.
    w.show();
    Named<QAction>(&w, "actWatched")->trigger();
    w.Session->Watched()->Load(
        QStringLiteral("http://127.0.0.1:%1/\r\n").arg(TestTcpServer::closedPort()));
    w.Session->Watched()->PingNow(0);
    auto *table = Named<QTableWidget>(&w, "tblWatched");
    QTRY_VERIFY(table->rowCount() == 1 && table->item(0, TWatchPanel::ColResult)
                                              ->text()
                                              .startsWith(QLatin1String("fehlgeschlagen: ")));
    QCOMPARE(table->item(0, TWatchPanel::ColState)->text(), QStringLiteral("Ausgefallen"));
    TfOptions options(&w);
    QCOMPARE(options.gbPing->title(), QStringLiteral("Ping-Optionen"));
    QCOMPARE(options.lblSMTPSecurity->text(), QStringLiteral("&Sicherheit:"));
    QCOMPARE(options.cmbSMTPSecurity->accessibleName(), QStringLiteral("Sicherheit"));
    QCOMPARE(options.edPingAttemps->accessibleName(), QStringLiteral("Ping-Versuche"));

    // Numbers and times in the locale's form; the C locale's are the ones scripts read.
    QLocale::setDefault(QLocale(QStringLiteral("de_DE")));
    QCOMPARE(LocalNumber(1234.5, 3), QStringLiteral("1234,500"));
    QLocale::setDefault(QLocale::c());
    QCOMPARE(LocalNumber(1234.5, 3), QStringLiteral("1234.500"));
    QCOMPARE(LocalShortTime(QTime(14, 3)), QStringLiteral("14:03"));
}

void TestTranslation::missingOrDamagedTranslationLeavesEnglish() {
    QTemporaryDir dir;
    QFile damaged(dir.filePath(QStringLiteral("vennatro_de.qm")));
    QVERIFY(damaged.open(QIODevice::WriteOnly) && damaged.write("not a translation") > 0);
    damaged.close();
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("vennatro_de\\.qm cannot be read"));
    QVERIFY(InstallTranslations(*qApp, QLocale(QStringLiteral("de_DE")), dir.path())
                .language.isEmpty());
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression("^Vennatro: no translation for fr"));
    QVERIFY(InstallTranslations(*qApp, QLocale(QStringLiteral("fr_FR"))).language.isEmpty());
    QVERIFY(InstallTranslations(*qApp, QLocale(QStringLiteral("en_GB"))).language.isEmpty());
    QVERIFY(qApp->findChildren<QTranslator *>().isEmpty());
    TfMain_Vennatro w(new PingSession);
    QCOMPARE(Named<QAction>(&w, "actPing")->text(), QStringLiteral("&Ping now"));
    QVERIFY(m_env->messages.isEmpty());

    // A translated format of the engine with other conversions is not used.
    class Careless : public QTranslator {
    public:
        bool isEmpty() const override { return false; }
        QString translate(const char *, const char *source, const char *, int) const override {
            return QByteArray(source) == "Pinging %s (%d of %d attempts)"
                       ? QStringLiteral("Ping %d von %d an %s")
                       : QStringLiteral("Zu [%s] keine Verbindung.");
        }
    } careless;
    QCoreApplication::installTranslator(&careless);
    QCOMPARE(TranslatedFormat("Fmt", "Pinging %s (%d of %d attempts)"),
             QByteArray("Pinging %s (%d of %d attempts)"));
    QCOMPARE(TranslatedFormat("Fmt", "Connection to [%s] failed."),
             QByteArray("Zu [%s] keine Verbindung."));
    QCoreApplication::removeTranslator(&careless);
}

QTEST_MAIN(TestTranslation)
#include "test_translation.moc"
