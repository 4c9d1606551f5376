#include "platform/QuitOnSignal.h"

#include <QCoreApplication>
#include <QTest>
#include <QTimer>

#include <csignal>

class TestQuitOnSignal : public QObject {
    Q_OBJECT
private slots:
    void signalEndsTheEventLoopInOrder_data();
    void signalEndsTheEventLoopInOrder();
    void signalDuringStartUpIsNotLost();
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

QTEST_GUILESS_MAIN(TestQuitOnSignal)
#include "test_quitonsignal.moc"
