#include "platform/QuitOnSignal.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <csignal>

class TestQuitOnSignal : public QObject {
    Q_OBJECT
private slots:
    void signalEndsTheEventLoopInOrder_data();
    void signalEndsTheEventLoopInOrder();
    void signalDuringStartUpIsNotLost();
    void signalIsRememberedOnce();
};

void TestQuitOnSignal::signalEndsTheEventLoopInOrder_data() {
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGHUP") << int(SIGHUP);
}

void TestQuitOnSignal::signalEndsTheEventLoopInOrder() {
    QFETCH(int, signal);
    QuitOnSignal quit;
    QTimer::singleShot(0, [signal] { ::raise(signal); });
    QTimer::singleShot(20000, [] { QCoreApplication::exit(7); }); // the signal never arrived
    QCOMPARE(QCoreApplication::exec(), 0);
}

void TestQuitOnSignal::signalDuringStartUpIsNotLost() {
    QuitOnSignal quit;
    ::raise(SIGTERM);
    // Start-up runs a pass of pending events before the loop: the signal is handled there.
    QCoreApplication::processEvents();
    QTimer::singleShot(20000, [] { QCoreApplication::exit(7); });
    QCOMPARE(QCoreApplication::exec(), 0);
}

void TestQuitOnSignal::signalIsRememberedOnce() {
    QuitOnSignal quit;
    QSignalSpy requested(&quit, &QuitOnSignal::endRequested);
    QVERIFY(!quit.Requested());
    QVERIFY(requested.isValid());

    // Handled in a nested loop (a message box's during start-up): the end outlives that loop.
    QEventLoop nested;
    QTimer::singleShot(0, [] { ::raise(SIGTERM); });
    QTimer::singleShot(20000, &nested, [&nested] { nested.exit(7); });
    QCOMPARE(nested.exec(), 0);
    QVERIFY(quit.Requested());
    QCOMPARE(requested.size(), 1);

    // A second signal ends the loop again, and is not announced again.
    QTimer::singleShot(0, [] { ::raise(SIGINT); });
    QTimer::singleShot(20000, [] { QCoreApplication::exit(7); });
    QCOMPARE(QCoreApplication::exec(), 0);
    QVERIFY(quit.Requested());
    QCOMPARE(requested.size(), 1);
}

QTEST_GUILESS_MAIN(TestQuitOnSignal)
#include "test_quitonsignal.moc"
