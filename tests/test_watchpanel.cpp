#include <QTest>
class TestWatchPanel : public QObject {
    Q_OBJECT
};
QTEST_MAIN(TestWatchPanel)
#include "test_watchpanel.moc"
