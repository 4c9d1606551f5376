// The window in the user's language: every text a person reads is translatable (a pseudo-
// translation marks each one "[...]", and nothing unmarked may show), the German translation
// is used, and a missing or damaged one leaves the window English.

#include "app/AboutFree.h"
#include "app/Main.h"
#include "engine/PingTarget.h"
#include "platform/gui/Translation.h"
#include "settings/NumberEdit.h"
#include "settings/OptionsForm.h"
#include "support/TestHelpers.h"
#include "support/gui/RecordingTrayShell.h"
#include "support/gui/TestEnvironment.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDockWidget>
#include <QFile>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QMenu>
#include <QRegularExpression>
#include <QTabBar>
#include <QTest>
#include <QTextDocumentFragment>
#include <QTranslator>

namespace {

// Texts that are not translated on purpose: the program's and its author's names, the
// contact addresses, and user data (addresses).
bool Exempt(const QString &text) {
    static const QRegularExpression free(QStringLiteral(
        "^(Vennatro|\u00a9 \\d+ Lumo Dev|vennatro@lumodev\\.example|www\\.lumodev\\.example|"
        "https?://\\S*)$"));
    return !text.contains(QRegularExpression(QStringLiteral("[A-Za-z]"))) ||
           free.match(text).hasMatch() || text == QCoreApplication::applicationName();
}

// Qt's own parts (title bar buttons of a dock, a tool bar's extension, the standard buttons)
// speak Qt's translation, not ours.
bool QtOwn(const QWidget *w) {
    for (const QWidget *p = w; p; p = p->parentWidget())
        if (p->objectName().startsWith(QLatin1String("qt_")) ||
            qobject_cast<const QDialogButtonBox *>(p))
            return true;
    return false;
}

// Every text of root and its visible widgets, menus and commands that a person reads or
// hears, as "object: kind: text" where the text is not marked as translated.
QStringList Unmarked(QWidget *root) {
    QStringList found;
    const auto check = [&found](const QObject *o, const char *kind, QString text) {
        text = text.trimmed();
        if (text.isEmpty() || text.startsWith(QLatin1Char('[')) || Exempt(text))
            return;
        found << QStringLiteral("%1 (%2): %3: %4")
                     .arg(o->objectName(), QLatin1String(o->metaObject()->className()),
                          QLatin1String(kind), text);
    };
    QList<QWidget *> widgets = root->findChildren<QWidget *>();
    widgets.prepend(root);
    for (QWidget *w : std::as_const(widgets)) {
        const bool menu = qobject_cast<QMenu *>(w) != nullptr;
        if ((!menu && w != root && !w->isVisibleTo(root)) || QtOwn(w))
            continue;
        check(w, "tool-tip", w->toolTip());
        check(w, "accessible name", w->accessibleName());
        check(w, "accessible description", w->accessibleDescription());
        if (w->isWindow() || qobject_cast<QDockWidget *>(w))
            check(w, "title", w->windowTitle());
        if (auto *label = qobject_cast<QLabel *>(w))
            check(w, "text", QTextDocumentFragment::fromHtml(label->text()).toPlainText());
        if (auto *button = qobject_cast<QAbstractButton *>(w))
            check(w, "text", button->text());
        if (auto *group = qobject_cast<QGroupBox *>(w))
            check(w, "title", group->title());
        if (auto *edit = qobject_cast<QLineEdit *>(w))
            check(w, "placeholder", edit->placeholderText());
        if (auto *box = qobject_cast<QComboBox *>(w); box && !box->isEditable())
            for (int i = 0; i < box->count(); ++i)
                check(w, "item", box->itemText(i));
        if (auto *tabs = qobject_cast<QTabBar *>(w))
            for (int i = 0; i < tabs->count(); ++i)
                check(w, "tab", tabs->tabText(i));
        if (auto *header = qobject_cast<QHeaderView *>(w); header && header->model())
            for (int i = 0; i < header->count(); ++i)
                check(w, "column",
                      header->model()->headerData(i, header->orientation()).toString());
        for (QAction *action : w->actions()) {
            if (action->isSeparator())
                continue;
            check(action, "command", action->text());
            check(action, "command tip", action->toolTip());
            check(action, "command status tip", action->statusTip());
        }
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
    void init();
    void cleanup();
    void everyTextOfTheWindowIsTranslatable();
    void windowInGerman();
    void missingOrDamagedTranslationLeavesEnglish();
    void engineFormatsKeepTheirArguments();

private:
    std::unique_ptr<TestEnvironment> m_env;
    QList<QTranslator *> m_installed;
};

void TestTranslation::init() {
    m_env = std::make_unique<TestEnvironment>();
    Options = TOptions();
}

void TestTranslation::cleanup() {
    for (QTranslator *t : std::as_const(m_installed))
        QCoreApplication::removeTranslator(t);
    qDeleteAll(m_installed);
    m_installed.clear();
    for (QTranslator *t : qApp->findChildren<QTranslator *>()) {
        QCoreApplication::removeTranslator(t);
        delete t;
    }
    m_env.reset();
}

void TestTranslation::everyTextOfTheWindowIsTranslatable() {
    auto *pseudo = new QTranslator;
    m_installed << pseudo;
    QVERIFY2(pseudo->load(QStringLiteral(PSEUDO_QM)), PSEUDO_QM);
    QVERIFY(QCoreApplication::installTranslator(pseudo));

    TfMain_Vennatro w(new PingSession);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    Named<QAction>(&w, "actWatched")->trigger(); // the watched panel with its columns
    // A failure as the session reports it: status bar, status image, balloon, tray tool-tip.
    emit w.Session->pingFailed(QStringLiteral("http://127.0.0.1:9/"),
                               QStringLiteral("Connection refused"));
    // Boxes: a ping without an address, an address the program refuses.
    Named<QAction>(&w, "actPing")->trigger();
    Named<QComboBox>(&w, "cmbAddress")->setEditText(QStringLiteral("ftp://127.0.0.1/"));
    Named<QAction>(&w, "actPing")->trigger();
    QStringList unmarked = Unmarked(&w);

    Named<QAction>(&w, "actHistory")->trigger();
    auto *history = Named<QWidget>(&w, "HistoryWindow");
    QVERIFY(history && history->isVisible());
    unmarked << Unmarked(history);

    TfOptions options(&w);
    options.show();
    unmarked << Unmarked(&options);
    TfAbout about(&w, ProgramVersionRecord(), false);
    about.show();
    unmarked << Unmarked(&about);

    // Every box and balloon on the way.
    QCOMPARE(m_env->messages.size(), 2);
    for (const MessageBoxRequest &box : std::as_const(m_env->messages))
        for (const QString &text : {box.text, box.caption})
            if (!text.startsWith(QLatin1Char('[')) && !Exempt(text))
                unmarked << QStringLiteral("message box: ") + text;
    const auto balloons = RecordingTrayShell::Of(w.NotifyIcon->Shell())->Balloons();
    QVERIFY(!balloons.isEmpty());
    for (const auto &balloon : balloons)
        for (const QString &text : {balloon.text, balloon.title})
            if (!text.isEmpty() && !text.startsWith(QLatin1Char('[')))
                unmarked << QStringLiteral("balloon: ") + text;
    // The check itself sees what it is meant to: the marked texts are there.
    QCOMPARE(Named<QLabel>(&w, "StatusPanel")->text(),
             QStringLiteral("[Connection to [http://127.0.0.1:9/] failed.]"));
    QCOMPARE(Named<QAction>(&w, "actPing")->text(), QStringLiteral("[&Ping now]"));
    QVERIFY2(unmarked.isEmpty(), qPrintable(unmarked.join(QLatin1Char('\n'))));
}

void TestTranslation::windowInGerman() {
    const TranslationResult result = InstallTranslations(*qApp, QLocale(QStringLiteral("de_DE")));
    QCOMPARE(result.language, QStringLiteral("de"));
    const bool qtHasGerman =
        QFile::exists(QLibraryInfo::path(QLibraryInfo::TranslationsPath) + "/qtbase_de.qm");
    QCOMPARE(result.qtToo, qtHasGerman);

    TfMain_Vennatro w(new PingSession);
    QCOMPARE(Named<QAction>(&w, "actPing")->text(), QStringLiteral("&Jetzt pingen"));
    QCOMPARE(Named<QLabel>(&w, "lblAddress")->text(), QStringLiteral("&Adresse:"));
    QCOMPARE(Named<QLabel>(&w, "imgStatus")->toolTip(), QStringLiteral("Untätig"));
    QCOMPARE(Named<QLabel>(&w, "imgStatus")->accessibleName(), QStringLiteral("Status: untätig"));
    QCOMPARE(Named<QMenu>(&w, "mnFile")->title(), QStringLiteral("&Datei"));
    emit w.Session->pingFailed(QStringLiteral("http://127.0.0.1:9/"), QStringLiteral("refused"));
    QCOMPARE(Named<QLabel>(&w, "StatusPanel")->text(),
             QStringLiteral("Verbindung zu [http://127.0.0.1:9/] fehlgeschlagen."));

    TfOptions options(&w);
    QCOMPARE(options.gbPing->title(), QStringLiteral("Ping-Optionen"));
    QCOMPARE(options.lblSMTPSecurity->text(), QStringLiteral("&Sicherheit:"));
    QCOMPARE(options.cmbSMTPSecurity->accessibleName(), QStringLiteral("Sicherheit"));
    QCOMPARE(options.edPingAttemps->accessibleName(), QStringLiteral("Ping-Versuche"));
    // Numbers in the user's locale.
    QLocale::setDefault(QLocale(QStringLiteral("de_DE")));
    QCOMPARE(LocalNumber(1234.5, 3), QStringLiteral("1234,500"));
    QLocale::setDefault(QLocale::c());
    QCOMPARE(LocalNumber(1234.5, 3), QStringLiteral("1234.500"));
    QCOMPARE(LocalShortTime(QTime(14, 3)), QStringLiteral("14:03"));
    if (qtHasGerman) // Qt's own texts too
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Close"),
                 QStringLiteral("Schließen"));
}

void TestTranslation::missingOrDamagedTranslationLeavesEnglish() {
    QTemporaryDir dir;
    QFile damaged(dir.filePath(QStringLiteral("vennatro_de.qm")));
    QVERIFY(damaged.open(QIODevice::WriteOnly));
    damaged.write("not a translation at all");
    damaged.close();
    // A damaged file: one warning, English.
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("^Vennatro: the translation .*"
                                                           "vennatro_de\\.qm cannot be read")));
    QVERIFY(InstallTranslations(*qApp, QLocale(QStringLiteral("de_DE")), dir.path())
                .language.isEmpty());
    // A language without a translation: one line, English, no box.
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("^Vennatro: no translation "
                                                                      "for fr")));
    QVERIFY(InstallTranslations(*qApp, QLocale(QStringLiteral("fr_FR"))).language.isEmpty());
    // English needs none, and says nothing.
    QVERIFY(InstallTranslations(*qApp, QLocale(QStringLiteral("en_GB"))).language.isEmpty());
    QVERIFY(qApp->findChildren<QTranslator *>().isEmpty());
    TfMain_Vennatro w(new PingSession);
    QCOMPARE(Named<QAction>(&w, "actPing")->text(), QStringLiteral("&Ping now"));
    QVERIFY(m_env->messages.isEmpty());
}

void TestTranslation::engineFormatsKeepTheirArguments() {
    // A translation whose conversions differ from the format's is not used.
    class Careless : public QTranslator {
    public:
        bool isEmpty() const override { return false; }
        QString translate(const char *, const char *source, const char *, int) const override {
            const QByteArray s(source);
            if (s == "Pinging %s (%d of %d attempts)")
                return QStringLiteral("Ping %d von %d an %s"); // reordered: refused
            if (s == "Connection to [%s] failed.")
                return QStringLiteral("Keine Verbindung zu [%s].");
            return QString();
        }
    } careless;
    QVERIFY(QCoreApplication::installTranslator(&careless));
    QCOMPARE(TranslatedFormat("Fmt", "Pinging %s (%d of %d attempts)"),
             QByteArray("Pinging %s (%d of %d attempts)"));
    QCOMPARE(TranslatedFormat("Fmt", "Connection to [%s] failed."),
             QByteArray("Keine Verbindung zu [%s]."));
    QCoreApplication::removeTranslator(&careless);
}

QTEST_MAIN(TestTranslation)
#include "test_translation.moc"
