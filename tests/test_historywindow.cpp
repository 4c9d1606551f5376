// The history window: what it shows for an address, how it follows the range and the store,
// the CSV it writes, and how the main window opens it and feeds the store.
#include "app/HistoryWindow.h"
#include "app/Main.h"
#include "engine/HistoryStore.h"
#include "engine/WatchList.h"
#include "platform/gui/MessageBox.h"
#include "support/PingResults.h"
#include "support/TestHelpers.h"
#include "support/gui/MainWindowParts.h"
#include "support/gui/TestEnvironment.h"

#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineSeries>
#include <QPushButton>
#include <QRegularExpression>
#include <QScatterSeries>
#include <QSet>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QValueAxis>

#include <algorithm>
#include <memory>

namespace {

const QDateTime T0 = QDateTime(QDate(2024, 3, 10), QTime(12, 0), Qt::UTC);
const QString A = QStringLiteral("http://a/?x=1,2");

QDateTime Before(int minutes) { return T0.addSecs(-60LL * minutes); }

// A run of the program from one time to another, as the store records it.
void Run(HistoryStore &store, const QDateTime &from, const QDateTime &to) {
    store.SetClock([from] { return from; });
    store.BeginSession();
    store.SetClock([to] { return to; });
    store.EndSession();
    store.SetClock([] { return T0; });
}

// The chart's series, by kind.
struct Series {
    QList<QList<QPointF>> lines;
    QList<QPointF> single;
    QList<QPointF> failures;
    QColor failureColor;
};

Series SeriesOf(THistoryWindow &window) {
    Series found;
    auto *view = Find<QChartView>(&window, "chartHistory");
    if (!view)
        return found;
    for (QAbstractSeries *s : view->chart()->series()) {
        if (auto *line = qobject_cast<QLineSeries *>(s)) {
            found.lines << line->points();
        } else if (auto *scatter = qobject_cast<QScatterSeries *>(s)) {
            if (scatter->name() == QLatin1String("Failures")) {
                found.failures = scatter->points();
                found.failureColor = scatter->color();
            } else {
                found.single = scatter->points();
            }
        }
    }
    return found;
}

QList<QPointF> Points(const QList<std::pair<QDateTime, double>> &points) {
    QList<QPointF> list;
    for (const auto &[at, y] : points)
        list << QPointF(double(at.toMSecsSinceEpoch()), y);
    return list;
}

QStringList Figures(THistoryWindow &window) {
    QStringList texts;
    for (const char *name : {"lblCount", "lblMin", "lblAverage", "lblP95", "lblMax", "lblUptime24h",
                             "lblUptime7d", "lblUptime30d"}) {
        auto *label = Find<QLabel>(&window, name);
        texts << (label ? label->text() : QStringLiteral("<missing>"));
    }
    return texts;
}

} // namespace

class TestHistoryWindow : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<HistoryStore> m_store;

    // Runs from T0 - 2 h to T0 and from T0 - 6 h to T0 - 4 h. In the last hour: 10, 20, 30
    // and 40 ms, two failures, a cancel; in the last day also 60 ms and the two of the earlier
    // run (70, 80 ms); 3 days back, outside every run, 101 ms; 20 days back a failure. Another
    // address beside it.
    void Fill() {
        HistoryStore &s = *m_store;
        Run(s, Before(120), T0);
        Run(s, Before(360), Before(240));
        auto ok = [&s](const QString &address, const QDateTime &at, double ms) {
            QVERIFY(s.Record(TestPing(address, at, PingOutcomeKind::Completed, ms / 1000)));
        };
        ok(A, Before(300), 70);
        ok(A, Before(290), 80);
        ok(A, Before(90), 60);
        ok(A, Before(50), 10);
        ok(A, Before(40), 20);
        ok(A, Before(20), 30);
        ok(A, Before(5), 40);
        QVERIFY(s.Record(TestPing(A, Before(30), PingOutcomeKind::Failed, -1)));
        QVERIFY(s.Record(TestPing(A, Before(15), PingOutcomeKind::Failed, -1)));
        QVERIFY(s.Record(TestPing(A, Before(10), PingOutcomeKind::Cancelled, -1)));
        ok(A, T0.addDays(-3), 101);
        QVERIFY(s.Record(TestPing(A, T0.addDays(-20), PingOutcomeKind::Failed, -1)));
        ok("http://b/", Before(1), 5);
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void init() {
        QFile::remove(m_dir.filePath("history.sqlite"));
        m_store = std::make_unique<HistoryStore>(m_dir.filePath("history.sqlite"));
        m_store->SetClock([] { return T0; });
        Fill();
    }

    void cleanup() { m_store.reset(); }

    void opensOnTheAddressWithItsFigures() {
        THistoryWindow window(m_store.get());
        window.ShowFor(A);
        QVERIFY(window.isVisible());
        auto *address = Find<QComboBox>(&window, "cmbHistoryAddress");
        auto *range = Find<QComboBox>(&window, "cmbHistoryRange");
        QVERIFY(address && range);
        QCOMPARE(Items(address), (QStringList{"http://a/?x=1,2", "http://b/"}));
        QCOMPARE(address->currentText(), A);
        QCOMPARE(Items(range), (QStringList{"Last hour", "Last day", "Last week", "Last 30 days"}));
        // The smallest range that holds its pings: one failed 20 days ago.
        QCOMPARE(range->currentIndex(), int(THistoryWindow::Last30Days));
        range->setCurrentIndex(THistoryWindow::LastDay);

        // Count, min, average, 95th percentile, max of the day; uptime over 24 h, 7 and 30 days.
        QCOMPARE(Figures(window), (QStringList{"7", "10.0 ms", "44.3 ms", "80.0 ms", "80.0 ms",
                                               "77.78 %", "80.00 %", "72.73 %"}));

        // One point a completed ping, one line a run, broken at each failure (a red mark on the
        // time axis): a ping alone between two failures is a point of its own.
        const Series series = SeriesOf(window);
        QCOMPARE(series.lines.size(), 2);
        QCOMPARE(series.lines.at(0), Points({{Before(300), 70}, {Before(290), 80}}));
        QCOMPARE(series.lines.at(1),
                 Points({{Before(90), 60}, {Before(50), 10}, {Before(40), 20}}));
        QCOMPARE(series.single, Points({{Before(20), 30}, {Before(5), 40}}));
        QCOMPARE(series.failures, Points({{Before(30), 0}, {Before(15), 0}}));
        QCOMPARE(series.failureColor, QColor(220, 50, 47)); // red on light and dark alike
    }

    void rangeSelectorChangesTheRows() {
        THistoryWindow window(m_store.get());
        window.ShowFor(A);
        auto *range = Find<QComboBox>(&window, "cmbHistoryRange");
        QVERIFY(range);

        range->setCurrentIndex(THistoryWindow::LastHour);
        QCOMPARE(Figures(window).mid(0, 5),
                 (QStringList{"4", "10.0 ms", "25.0 ms", "40.0 ms", "40.0 ms"}));
        Series series = SeriesOf(window);
        QCOMPARE(series.lines.size(), 1);
        QCOMPARE(series.lines.at(0).size(), 2);
        QCOMPARE(series.single.size(), 2);
        QCOMPARE(series.failures.size(), 2);

        // A week: an hour a point, at its middle, the average of its pings; hours side by side
        // are joined, an hour alone stands alone; one mark for an hour with failures. The
        // figures still come from every ping.
        range->setCurrentIndex(THistoryWindow::LastWeek);
        QCOMPARE(Figures(window).mid(0, 5),
                 (QStringList{"8", "10.0 ms", "51.4 ms", "101.0 ms", "101.0 ms"}));
        series = SeriesOf(window);
        const auto middle = [](const QDateTime &hour) { return hour.addSecs(1800); };
        QCOMPARE(series.lines, QList<QList<QPointF>>{
                                   Points({{middle(Before(120)), 60}, {middle(Before(60)), 25}})});
        QCOMPARE(series.single, Points({{middle(T0.addDays(-3)), 101}, {middle(Before(300)), 75}}));
        QCOMPARE(series.failures, Points({{middle(Before(60)), 0}}));

        // 30 days, the oldest pings folded into their hours: the same points and figures.
        QSignalSpy trimmed(m_store.get(), &HistoryStore::trimmed);
        m_store->Trim(90);
        QVERIFY(trimmed.wait(Patience));
        QVERIFY(m_store->Rows(A, T0.addDays(-21), T0.addDays(-19)).isEmpty());
        range->setCurrentIndex(THistoryWindow::Last30Days);
        series = SeriesOf(window);
        QCOMPARE(series.failures, Points({{middle(T0.addDays(-20)), 0}, {middle(Before(60)), 0}}));
        QCOMPARE(series.lines.size(), 1);
        QCOMPARE(Figures(window).mid(0, 5),
                 (QStringList{"8", "10.0 ms", "51.4 ms", "101.0 ms", "101.0 ms"}));
        // Its export: the single pings, and the folded hour in its place before them.
        const QString path = m_dir.filePath("month.csv");
        window.dlgExportExecute = [&path] { return path; };
        window.ExportCsv();
        const QList<QByteArray> lines = ReadBytes(path).split('\n');
        QVERIFY2(
            lines.at(0).endsWith(",completed,failed,cancelled,not_checked,min_ms,p95_ms,max_ms\r"),
            lines.at(0).constData());
        QCOMPARE(lines.at(1), QByteArray("2024-02-19T12:00:00.000Z,\"http://a/?x=1,2\",hour,,,,,,"
                                         ",,,,,0,1,0,0,,,\r"));
        QCOMPARE(lines.size(), 1 + 1 + 11 + 1); // the header, the hour, 11 pings, the end
        // The uptimes do not depend on the range shown.
        QCOMPARE(Figures(window).mid(5), (QStringList{"77.78 %", "80.00 %", "72.73 %"}));

        // Another address; one without any row.
        auto *address = Find<QComboBox>(&window, "cmbHistoryAddress");
        address->setCurrentIndex(address->findText("http://b/"));
        QCOMPARE(Figures(window), (QStringList{"1", "5.0 ms", "5.0 ms", "5.0 ms", "5.0 ms",
                                               "100.00 %", "100.00 %", "100.00 %"}));
        window.ShowFor("http://never/");
        QCOMPARE(address->currentText(), QStringLiteral("http://never/"));
        QCOMPARE(Figures(window),
                 (QStringList{"0", "n/a", "n/a", "n/a", "n/a", "n/a", "n/a", "n/a"}));
        QVERIFY(SeriesOf(window).lines.isEmpty());
        // Shown again without an address: the one shown before.
        window.ShowFor(QString());
        QCOMPARE(address->currentText(), QStringLiteral("http://never/"));
    }

    void exportWritesTheRangeShownAsCsv() {
        // Rows of every kind in the last hour of an address of their own.
        const QString c = "http://c/\"q\"";
        PingResult ok = TestPing(c, Before(50).addMSecs(7), PingOutcomeKind::Completed, 0.010);
        ok.lookupSeconds = 0.0015;
        ok.connectSeconds = 0.00425;
        ok.firstByteSeconds = 0.010;
        ok.httpStatus = 200;
        PingResult failed = TestPing(c, Before(30), PingOutcomeKind::Failed, -1);
        failed.lookupSeconds = 0.002;
        failed.errorCode = 10061;
        failed.errorText = QString::fromUtf8("Refused, \"really\"\nnext line \xc3\xa9");
        failed.attempts = 3;
        failed.errorPing = true;
        QVERIFY(m_store->Record(ok));
        QVERIFY(m_store->Record(failed));
        QVERIFY(m_store->Record(TestPing(c, Before(10), PingOutcomeKind::Cancelled, -1)));
        QVERIFY(m_store->Record(TestPing(c, Before(70), PingOutcomeKind::Completed, 0.5)));

        THistoryWindow window(m_store.get());
        window.ShowFor(c);
        Find<QComboBox>(&window, "cmbHistoryRange")->setCurrentIndex(THistoryWindow::LastHour);
        const QString path = m_dir.filePath("export.csv");
        int asked = 0;
        window.dlgExportExecute = [&asked, &path] {
            ++asked;
            return path;
        };
        auto *button = Find<QPushButton>(&window, "btnExportCsv");
        QVERIFY(button);
        QCOMPARE(button->text(), QStringLiteral("&Export CSV..."));
        button->click();
        QCOMPARE(asked, 1);
        QCOMPARE(
            ReadBytes(path),
            QByteArray("time_utc,address,outcome,ms,lookup_ms,connect_ms,tls_ms,"
                       "first_byte_ms,http_status,error_code,error_text,attempts,error_ping\r\n"
                       "2024-03-10T11:10:00.007Z,\"http://c/\"\"q\"\"\",completed,10.000,"
                       "1.500,4.250,,10.000,200,0,,1,0\r\n"
                       "2024-03-10T11:30:00.000Z,\"http://c/\"\"q\"\"\",failed,,2.000,,,,0,"
                       "10061,\"Refused, \"\"really\"\"\nnext line \xc3\xa9\",3,1\r\n"
                       "2024-03-10T11:50:00.000Z,\"http://c/\"\"q\"\"\",cancelled,,,,,,0,0,,"
                       "1,0\r\n"));

        // Cancelled in the dialog: nothing written.
        QFile::remove(path);
        window.dlgExportExecute = [] { return QString(); };
        button->click();
        QVERIFY(!QFile::exists(path));

        // A file that cannot be written: said in a message box.
        QList<MessageBoxRequest> boxes;
        SetMessageBoxHook([&boxes](const MessageBoxRequest &r) { boxes << r; });
        const QString nowhere = m_dir.filePath("missing/folder/export.csv");
        window.dlgExportExecute = [&nowhere] { return nowhere; };
        button->click();
        SetMessageBoxHook(nullptr);
        QCOMPARE(boxes.size(), 1);
        QVERIFY2(boxes.at(0).text.startsWith(QStringLiteral("Cannot write \"%1\": ").arg(nowhere)),
                 qPrintable(boxes.at(0).text));
        QCOMPARE(boxes.at(0).caption, QStringLiteral("History"));
        QCOMPARE(boxes.at(0).icon, MessageIcon::Error);
        QVERIFY(!QFile::exists(nowhere));
    }

    void manyPingsAreThinnedForTheChartOnly() {
        // 6000 pings in one run within the hour: one a half second, the slowest and the
        // fastest in the middle.
        Run(*m_store, Before(59), T0);
        const QString d = "http://d/";
        for (int i = 0; i < 6000; ++i) {
            const double ms = i == 3001 ? 900 : i == 3002 ? 0.5 : 20 + i % 7;
            QVERIFY(m_store->Record(TestPing(d, Before(55).addMSecs(500LL * i),
                                             PingOutcomeKind::Completed, ms / 1000)));
        }
        THistoryWindow window(m_store.get());
        Find<QComboBox>(&window, "cmbHistoryRange")->setCurrentIndex(THistoryWindow::LastHour);
        window.ShowFor(d);
        // The figures come from every ping.
        QCOMPARE(Figures(window).mid(0, 5),
                 (QStringList{"6000", "0.5 ms", "23.1 ms", "26.0 ms", "900.0 ms"}));
        // The line keeps what a screen can show: the first, last, lowest and highest points.
        const Series series = SeriesOf(window);
        QCOMPARE(series.lines.size(), 1);
        const QList<QPointF> &line = series.lines.at(0);
        QVERIFY2(line.size() <= 4000 && line.size() >= 1000,
                 qPrintable(QString::number(line.size())));
        QCOMPARE(line.first().x(), double(Before(55).toMSecsSinceEpoch()));
        QCOMPARE(line.last().x(), double(Before(55).addMSecs(500LL * 5999).toMSecsSinceEpoch()));
        QVERIFY(line.contains(
            QPointF(double(Before(55).addMSecs(500LL * 3001).toMSecsSinceEpoch()), 900)));
        QVERIFY(line.contains(
            QPointF(double(Before(55).addMSecs(500LL * 3002).toMSecsSinceEpoch()), 0.5)));
        QVERIFY(std::is_sorted(line.begin(), line.end(),
                               [](const QPointF &a, const QPointF &b) { return a.x() < b.x(); }));
    }

    void emptyWindowTakesTheFirstAddressRecorded() {
        m_store = std::make_unique<HistoryStore>(m_dir.filePath("empty.sqlite"));
        m_store->SetClock([] { return T0; });
        THistoryWindow window(m_store.get());
        window.ShowFor(QString());
        auto *address = Find<QComboBox>(&window, "cmbHistoryAddress");
        QCOMPARE(address->count(), 0);
        QCOMPARE(Figures(window),
                 (QStringList{"0", "n/a", "n/a", "n/a", "n/a", "n/a", "n/a", "n/a"}));
        QVERIFY(m_store->Record(
            TestPing("http://first/", Before(1), PingOutcomeKind::Completed, 0.002)));
        QCOMPARE(Items(address), QStringList{"http://first/"});
        QTRY_COMPARE_WITH_TIMEOUT(Find<QLabel>(&window, "lblCount")->text(), QStringLiteral("1"),
                                  Patience);
        QCOMPARE(Find<QLabel>(&window, "lblMax")->text(), QStringLiteral("2.0 ms"));
    }

    void followsTheStoreWhileOpen() {
        THistoryWindow window(m_store.get());
        QElapsedTimer sinceShown;
        sinceShown.start();
        window.ShowFor(A);
        Find<QComboBox>(&window, "cmbHistoryRange")->setCurrentIndex(THistoryWindow::LastDay);
        auto *count = Find<QLabel>(&window, "lblCount");
        auto *address = Find<QComboBox>(&window, "cmbHistoryAddress");
        QCOMPARE(count->text(), QStringLiteral("7"));

        QVERIFY(m_store->Record(TestPing(A, Before(2), PingOutcomeKind::Completed, 0.045)));
        // At most one query a second: right after the opening query, it waits.
        Settle();
        if (sinceShown.elapsed() < 900)
            QCOMPARE(count->text(), QStringLiteral("7"));
        QTRY_COMPARE_WITH_TIMEOUT(count->text(), QStringLiteral("8"), Patience);
        // It joins the ping before it: no failure between them.
        QCOMPARE(SeriesOf(window).lines.size(), 3);
        QCOMPARE(SeriesOf(window).lines.at(2), Points({{Before(5), 40}, {Before(2), 45}}));
        QCOMPARE(Find<QLabel>(&window, "lblUptime24h")->text(), QStringLiteral("80.00 %"));

        // A ping of another address only adds it to the list.
        QVERIFY(m_store->Record(TestPing("http://c/", Before(1), PingOutcomeKind::Failed, -1)));
        QCOMPARE(Items(address), (QStringList{"http://a/?x=1,2", "http://b/", "http://c/"}));
        QCOMPARE(address->currentText(), A);
        QVERIFY(m_store->Record(TestPing(A, Before(1), PingOutcomeKind::Failed, -1)));
        QTRY_COMPARE_WITH_TIMEOUT(SeriesOf(window).failures.size(), 3, Patience);
        QCOMPARE(count->text(), QStringLiteral("8"));

        // Closed, it stays as it was until shown again.
        window.close();
        QVERIFY(m_store->Record(TestPing(A, Before(1), PingOutcomeKind::Completed, 0.001)));
        Settle();
        QCOMPARE(count->text(), QStringLiteral("8"));
        window.ShowFor(QString());
        QCOMPARE(count->text(), QStringLiteral("9"));
    }

    void chartFollowsThePalette() {
        THistoryWindow window(m_store.get());
        window.ShowFor(A);
        auto *view = Find<QChartView>(&window, "chartHistory");
        QVERIFY(view);
        const qsizetype lines = SeriesOf(window).lines.size();
        QVERIFY(lines > 0);

        QPalette dark = window.palette();
        dark.setColor(QPalette::Window, QColor(0x20, 0x22, 0x25));
        dark.setColor(QPalette::Base, QColor(0x18, 0x19, 0x1b));
        dark.setColor(QPalette::Text, QColor(0xe8, 0xe8, 0xe8));
        dark.setColor(QPalette::WindowText, QColor(0xe8, 0xe8, 0xe8));
        window.setPalette(dark);
        QCOMPARE(view->chart()->theme(), QChart::ChartThemeDark);
        QCOMPARE(view->chart()->backgroundBrush().color(), QColor(0x18, 0x19, 0x1b));
        for (QAbstractAxis *axis : view->chart()->axes())
            QCOMPARE(axis->labelsBrush().color(), QColor(0xe8, 0xe8, 0xe8));
        // The series come back after the theme change, failures still red.
        QCOMPARE(SeriesOf(window).lines.size(), lines);
        QCOMPARE(SeriesOf(window).failureColor, QColor(220, 50, 47));

        QPalette light = window.palette();
        light.setColor(QPalette::Window, QColor(0xef, 0xef, 0xef));
        light.setColor(QPalette::Base, Qt::white);
        light.setColor(QPalette::Text, Qt::black);
        window.setPalette(light);
        QCOMPARE(view->chart()->theme(), QChart::ChartThemeLight);
        QCOMPARE(view->chart()->backgroundBrush().color(), QColor(Qt::white));
    }

    void mainWindowOpensItAndRecordsEveryPing() {
        m_store.reset();
        TestEnvironment env;
        QVERIFY(env.IsValid());
        Options = TOptions();
        // A previous run's history: one row past the two days kept, one within.
        const QString address = "http://127.0.0.1:9/x";
        const QDateTime now = QDateTime::currentDateTimeUtc();
        {
            HistoryStore before(HistoryStore::DefaultPath());
            QVERIFY(
                before.Record(TestPing(address, now.addDays(-3), PingOutcomeKind::Completed, 0.1)));
            QVERIFY(
                before.Record(TestPing(address, now.addSecs(-600), PingOutcomeKind::Failed, -1)));
        }
        QVERIFY(env.WriteStore("\"History days\"=dword:00000002\r\n"));

        TfMain_Vennatro w(new PingSession);
        QCOMPARE(Options.HistoryDays, 2u);
        QVERIFY(w.Session->History());
        // Trimmed at start, on the history's own thread.
        QTRY_COMPARE_WITH_TIMEOUT(w.Session->History()->Rows(address, now.addDays(-9), now).size(),
                                  1, Patience);
        QCOMPARE(w.Session->History()->Sessions(now.addSecs(-60), now.addSecs(60)).size(), 1);

        auto *act = Find<QAction>(&w, "actHistory");
        auto *mnPing = Find<QMenu>(&w, "mnPing");
        auto *bar = Find<QToolBar>(&w, "ToolBar");
        QVERIFY(act && mnPing && bar);
        QCOMPARE(act->text(), QStringLiteral("&History..."));
        QCOMPARE(act->statusTip(), QStringLiteral("History"));
        QCOMPARE(act->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_H));
        QVERIFY(!act->icon().isNull());
        QVERIFY(mnPing->actions().contains(act));
        QVERIFY(bar->actions().contains(act));
        QCOMPARE(qobject_cast<QToolButton *>(bar->widgetForAction(act))->text(),
                 QStringLiteral("History"));

        // Opens on the address box's text, normalised; one window, shown again.
        Find<QComboBox>(&w, "cmbAddress")->setEditText("  http://127.0.0.1:9/x\t");
        act->trigger();
        const QList<THistoryWindow *> windows = w.findChildren<THistoryWindow *>();
        QCOMPARE(windows.size(), 1);
        THistoryWindow *history = windows.constFirst();
        QVERIFY(history->isVisible());
        QVERIFY(!history->isModal());
        QCOMPARE(history->Address(), address);
        QCOMPARE(Find<QLabel>(history, "lblUptime24h")->text(), QStringLiteral("0.00 %"));
        history->close();
        act->trigger();
        QCOMPARE(w.findChildren<THistoryWindow *>().size(), 1);
        QVERIFY(history->isVisible());

        // Every finished ping of the engine goes into the store, and from there to the window.
        PingResult done =
            TestPing(address, QDateTime::currentDateTimeUtc(), PingOutcomeKind::Completed, 0.012);
        emit w.Session->Engine()->finished(done);
        QCOMPARE(w.Session->History()->Rows(address, now.addDays(-9), now.addDays(1)).size(), 2);
        QTRY_COMPARE_WITH_TIMEOUT(Find<QLabel>(history, "lblUptime24h")->text(),
                                  QStringLiteral("50.00 %"), Patience);
        QCOMPARE(Find<QLabel>(history, "lblCount")->text(), QStringLiteral("1"));
    }

    // On opening, the smallest range that holds the address's pings of the last 30 days; the
    // user's choice stays while the window shows that address again.
    void opensOnTheRangeThatHoldsThePings_data() {
        QTest::addColumn<int>("minutesAgo");
        QTest::addColumn<int>("range");
        QTest::newRow("an hour") << 60 << int(THistoryWindow::LastHour);
        QTest::newRow("five hours") << 300 << int(THistoryWindow::LastDay);
        QTest::newRow("twenty days") << 20 * 1440 << int(THistoryWindow::Last30Days);
        QTest::newRow("forty days: the recent one") << 40 * 1440 << int(THistoryWindow::LastHour);
    }

    void opensOnTheRangeThatHoldsThePings() {
        QFETCH(int, minutesAgo);
        QFETCH(int, range);
        const QString e = QStringLiteral("http://e/");
        QVERIFY(m_store->Record(TestPing(e, Before(minutesAgo), PingOutcomeKind::Failed, -1)));
        QVERIFY(m_store->Record(TestPing(e, Before(1), PingOutcomeKind::Completed, 0.003)));
        THistoryWindow window(m_store.get());
        auto *box = Find<QComboBox>(&window, "cmbHistoryRange");
        window.ShowFor(e);
        QCOMPARE(box->currentIndex(), range);
        box->setCurrentIndex(THistoryWindow::LastWeek);
        window.ShowFor(e);
        window.ShowFor(QStringLiteral("http://none/")); // no pings: the range as it is
        QCOMPARE(box->currentIndex(), int(THistoryWindow::LastWeek));
    }

    // A step of 1, 2 or 5 times a power of ten: no two labels of the time axis alike.
    void timeAxisLabelsNeverRepeat_data() {
        QTest::addColumn<double>("ms");
        QTest::newRow("only failures") << -1.0;
        QTest::newRow("loopback") << 0.4;
        QTest::newRow("seconds") << 2500.0;
    }

    void timeAxisLabelsNeverRepeat() {
        QFETCH(double, ms);
        const QString f = QStringLiteral("http://f/");
        QVERIFY(m_store->Record(TestPing(f, Before(3), PingOutcomeKind::Failed, -1)));
        if (ms > 0)
            QVERIFY(m_store->Record(TestPing(f, Before(2), PingOutcomeKind::Completed, ms / 1000)));
        THistoryWindow window(m_store.get());
        window.ShowFor(f);
        QValueAxis *axis = nullptr;
        for (QAbstractAxis *a : Find<QChartView>(&window, "chartHistory")->chart()->axes())
            axis = axis ? axis : qobject_cast<QValueAxis *>(a);
        QVERIFY(axis && axis->min() == 0 && axis->max() >= ms);
        QSet<QString> labels;
        for (int i = 0; i < axis->tickCount(); ++i)
            labels << QString::asprintf(axis->labelFormat().toLatin1().constData(),
                                        axis->max() * i / (axis->tickCount() - 1));
        QCOMPARE(labels.size(), axis->tickCount());
    }

    // A long pause in one run's pings is a gap, not a line; few points are marked; hovering
    // one tells its time and value.
    void gapsMarksAndHover() {
        const QString g = QStringLiteral("http://g/");
        Run(*m_store, Before(58), T0);
        for (int i = 0; i < 10; ++i)
            QVERIFY(m_store->Record(TestPing(g, Before(i < 5 ? 55 - i : 15 - i),
                                             PingOutcomeKind::Completed, (10 + i) / 1000.0)));
        QVERIFY(m_store->Record(TestPing(g, Before(4), PingOutcomeKind::Failed, -1)));
        THistoryWindow window(m_store.get());
        window.ShowFor(g);
        auto *view = Find<QChartView>(&window, "chartHistory");
        QList<QLineSeries *> lines;
        QScatterSeries *failures = nullptr;
        for (QAbstractSeries *s : view->chart()->series()) {
            if (auto *line = qobject_cast<QLineSeries *>(s))
                lines << line;
            else if (s->name() == QLatin1String("Failures"))
                failures = qobject_cast<QScatterSeries *>(s);
        }
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines.at(0)->count(), 5);
        QVERIFY(lines.at(0)->pointsVisible() && failures);
        // Somewhere on the line past the second ping: that ping is told.
        const QPointF second = lines.at(0)->at(1);
        emit lines.at(0)->hovered(QPointF(second.x() + 1000, second.y() + 0.3), true);
        const auto at = [](int minutes) {
            return Before(minutes).toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        };
        QCOMPARE(view->toolTip(), at(54) + QStringLiteral(" \u2013 11.0 ms"));
        emit failures->hovered(failures->at(0), true);
        QCOMPARE(view->toolTip(), at(4) + QStringLiteral(" \u2013 failed"));
        emit failures->hovered(failures->at(0), false);
        QCOMPARE(view->toolTip(), QString());
    }

    // At scale 2 on 1920 x 1080 (960 x 540, a title bar and a panel off) it fits, Close in
    // reach; the export offers the documents folder and a name from the address.
    void fitsASmallScreenAndNamesTheExport() {
        THistoryWindow window(m_store.get());
        window.ShowFor(A);
        const QSize area(960, 540 - 30 - 32);
        window.FitToArea(area);
        QTRY_VERIFY(window.width() <= area.width() && window.height() <= area.height());
        QPushButton *close =
            window.findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Close);
        QVERIFY(window.rect().contains(QRect(close->mapTo(&window, QPoint()), close->size())));
        const QString documents =
            QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        const QString folder = QFileInfo(documents).isDir() ? documents : QDir::homePath();
        QCOMPARE(window.SuggestedExportPath(),
                 QDir(folder).filePath(QStringLiteral("Vennatro history a_x_1_2.csv")));
    }

    // Ctrl+H with an empty address box: the address pinged last, else the first watched one,
    // else an empty chart and a hint; never a made-up address.
    void mainWindowFallsBackFromAnEmptyBox() {
        m_store.reset();
        TestEnvironment env;
        QVERIFY(env.IsValid());
        Options = TOptions();
        TfMain_Vennatro w(new PingSession);
        auto *act = Find<QAction>(&w, "actHistory");
        act->trigger();
        auto *history = w.findChild<THistoryWindow *>();
        QVERIFY(history && history->Address().isEmpty());
        QVERIFY(Find<QLabel>(history, "lblHistoryHint")->isVisible());
        QVERIFY(w.Session->Watched()->Add(QStringLiteral("http://127.0.0.1:9/watched")));
        act->trigger();
        QCOMPARE(history->Address(), QStringLiteral("http://127.0.0.1:9/watched"));
        emit w.Session->Engine()->finished(TestPing(QStringLiteral("http://127.0.0.1:9/pinged"),
                                                    QDateTime::currentDateTimeUtc(),
                                                    PingOutcomeKind::Completed, 0.001));
        Find<QComboBox>(&w, "cmbAddress")->setEditText(QStringLiteral("  "));
        act->trigger();
        QCOMPARE(history->Address(), QStringLiteral("http://127.0.0.1:9/pinged"));
        QVERIFY(Find<QLabel>(history, "lblHistoryHint")->isHidden());
    }

    void mainWindowLogsAHistoryProblemOnce() {
        m_store.reset();
        TestEnvironment env;
        QVERIFY(env.IsValid());
        Options = TOptions();
        // The history's folder cannot be made: a file stands in its place.
        const QString folder = QFileInfo(HistoryStore::DefaultPath()).absolutePath();
        WriteBytes(folder, "in the way");

        TfMain_Vennatro w(new PingSession);
        auto *log = Find<QPlainTextEdit>(&w, "mmLog");
        QVERIFY(log);
        for (int i = 0; i < 3; ++i)
            emit w.Session->Engine()->finished(TestPing(
                "http://x/", QDateTime::currentDateTimeUtc(), PingOutcomeKind::Failed, -1));
        const QString expected =
            QStringLiteral("History: Cannot open the history file \"%1\": cannot create the "
                           "folder \"%2\"")
                .arg(HistoryStore::DefaultPath(), folder);
        QCOMPARE(log->toPlainText().count(expected), 1);
        QCOMPARE(log->toPlainText().count("History:"), 1);
        // Stamped like every other line of the log.
        QVERIFY(QRegularExpression(QStringLiteral("(^|\n)\\[[^]\n]+\\] History: Cannot open"))
                    .match(log->toPlainText())
                    .hasMatch());
    }
};

QTEST_MAIN(TestHistoryWindow)
#include "test_historywindow.moc"
