// The application object: its title and quit rule, and errors thrown by any event handler
// reaching the error display while the program goes on.
#include "app/Application.h"
#include "platform/AppErrors.h"
#include "support/Exceptions.h"

#include <QFile>
#include <QTest>
#include <QTimer>
#include <stdexcept>

namespace {
class Thrower : public QObject {
public:
    int handled = 0;

protected:
    bool event(QEvent *e) override {
        if (e->type() != QEvent::User)
            return QObject::event(e);
        ++handled;
        throw std::runtime_error("thrown by a handler");
    }
};
} // namespace

class TestApplication : public QObject {
    Q_OBJECT
private slots:
    void titleAndQuitRule();
    void errorsFromHandlersReachTheDisplay();
};

void TestApplication::titleAndQuitRule() {
    QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Vennatro"));
    // The name of the installed desktop entry (resources/dev.lumo.Vennatro.desktop).
    QCOMPARE(QGuiApplication::desktopFileName(), QStringLiteral("dev.lumo.Vennatro"));
    QVERIFY(QFile::exists(QStringLiteral(VENNATRO_SOURCE_DIR "/resources/") +
                          QGuiApplication::desktopFileName() + QStringLiteral(".desktop")));
    QVERIFY(!QApplication::quitOnLastWindowClosed()); // closing the window never ends it
}

void TestApplication::errorsFromHandlersReachTheDisplay() {
    QStringList shown;
    SetApplicationErrorHandler([&](const QString &message) { shown << message; });

    Thrower thrower;
    QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
    QTRY_COMPARE(shown, QStringList{QStringLiteral("thrown by a handler")});

    // A slot called by a timer, with the program's own error type; events keep flowing after.
    QTimer::singleShot(0, &thrower, [] { throw Exception(QStringLiteral("Second error")); });
    QTRY_COMPARE(shown.size(), 2);
    QCOMPARE(shown.at(1), QStringLiteral("Second error"));
    QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
    QTRY_COMPARE(thrower.handled, 2);
    QCOMPARE(shown.size(), 3);

    SetApplicationErrorHandler(nullptr);
}

int main(int argc, char *argv[]) {
    VennatroApplication app(argc, argv);
    TestApplication test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_application.moc"
