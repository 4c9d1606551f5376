#include "app/HistoryWindow.h"

#include "platform/gui/MessageBox.h"
#include "platform/gui/Translation.h"

#ifdef VENNATRO_HAVE_CHARTS
#include <QChart>
#include <QChartView>
#include <QDateTimeAxis>
#include <QLineSeries>
#include <QScatterSeries>
#include <QValueAxis>
#endif
#include <QComboBox>
#include <QCoreApplication>
#include <QCursor>
#include <QDialogButtonBox>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QSaveFile>
#include <QScreen>
#include <QStandardPaths>
#include <QToolTip>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr qint64 HourMs = 3600LL * 1000;
constexpr qint64 DayMs = 24 * HourMs;
constexpr int RefreshSpacingMs = 1000;
// Red reads as "failed" on light and dark backgrounds alike.
const QColor FailureColor(220, 50, 47);

QString MsText(double ms) {
    return std::isnan(ms)
               ? QCoreApplication::translate("THistoryWindow", "n/a")
               : QCoreApplication::translate("THistoryWindow", "%1 ms").arg(LocalNumber(ms, 1));
}

QString UptimeText(double ratio) {
    return std::isnan(ratio) ? QCoreApplication::translate("THistoryWindow", "n/a")
                             : QCoreApplication::translate("THistoryWindow", "%1 %")
                                   .arg(LocalNumber(ratio * 100.0, 2));
}

QLabel *ValueLabel(const char *name, QWidget *parent) {
    auto *label = new QLabel(QCoreApplication::translate("THistoryWindow", "n/a"), parent);
    label->setObjectName(QLatin1String(name));
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

// The completed pings cut into runs of the program: a line joins two pings only when one
// recorded run covers both. A run's last-seen time may lag by one renewal interval. Pings
// outside every run (the command line's, or older than the runs kept) stand alone, as do runs
// with a single ping.
struct ChartPoints {
    QList<QList<QPointF>> lines;
    QList<QPointF> single;
    QList<QPointF> failures;
};

// A series with more points than a screen can tell apart is thinned to what it can show: for
// each of Slices equal slices of the range, the first, the lowest, the highest and the last
// point (all of them, when fewer). The drawing stays the same and costs a fraction; the
// figures below the chart always come from every row.
constexpr int Slices = 1000;
constexpr qsizetype MaxPoints = 4 * Slices;

QList<QPointF> Thinned(const QList<QPointF> &points, double from, double to) {
    if (points.size() <= MaxPoints || to <= from)
        return points;
    QList<QPointF> kept;
    kept.reserve(MaxPoints);
    qsizetype first = 0;
    while (first < points.size()) {
        const int slice =
            qBound(0, int((points.at(first).x() - from) / (to - from) * Slices), Slices - 1);
        qsizetype last = first;
        qsizetype low = first;
        qsizetype high = first;
        while (last + 1 < points.size() &&
               qBound(0, int((points.at(last + 1).x() - from) / (to - from) * Slices),
                      Slices - 1) == slice) {
            ++last;
            if (points.at(last).y() < points.at(low).y())
                low = last;
            if (points.at(last).y() > points.at(high).y())
                high = last;
        }
        qsizetype chosen[] = {first, low, high, last};
        std::sort(std::begin(chosen), std::end(chosen));
        for (qsizetype i = 0; i < 4; ++i) {
            if (i == 0 || chosen[i] != chosen[i - 1])
                kept.append(points.at(chosen[i]));
        }
        first = last + 1;
    }
    return kept;
}

// The spacing past which two completed pings are not joined: three times the usual one (the
// median of the range), and at least a minute. Pinged every minute and then not for an hour
// (automatic ping switched off, the computer asleep), the chart shows a gap there, not a line
// across it.
double GapMs(const QList<HistoryRow> &rows) {
    QList<double> spacings;
    double last = -1;
    for (const HistoryRow &row : rows) {
        if (row.outcome != PingOutcomeKind::Completed || row.ms < 0)
            continue;
        if (last >= 0)
            spacings.append(double(row.atMs) - last);
        last = double(row.atMs);
    }
    if (spacings.isEmpty())
        return std::numeric_limits<double>::infinity();
    const auto middle = spacings.begin() + spacings.size() / 2;
    std::nth_element(spacings.begin(), middle, spacings.end());
    return qMax(3 * *middle, double(HistoryStore::SessionTouchMs));
}

// A line of one point is no line: it stands alone, among the single points in time order.
void MoveLoneLinesToSingles(ChartPoints &points) {
    for (qsizetype i = points.lines.size() - 1; i >= 0; --i) {
        if (points.lines.at(i).size() < 2) {
            points.single.append(points.lines.at(i));
            points.lines.removeAt(i);
        }
    }
    std::sort(points.single.begin(), points.single.end(),
              [](const QPointF &a, const QPointF &b) { return a.x() < b.x(); });
}

ChartPoints PointsOf(const QList<HistoryRow> &rows, const QList<HistorySession> &sessions,
                     double from, double to) {
    ChartPoints points;
    const double gap = GapMs(rows);
    qsizetype session = 0;
    qsizetype lineSession = -1;
    bool broken = true; // the next point starts a line of its own
    for (const HistoryRow &row : rows) {
        const double x = double(row.atMs);
        if (row.outcome == PingOutcomeKind::Failed) {
            // A failure has no time to draw: the line stops at it and starts again after it.
            points.failures.append(QPointF(x, 0));
            broken = true;
            continue;
        }
        if (row.outcome == PingOutcomeKind::NotChecked) {
            lineSession = -1; // a gap: nothing is known of the address in between
            continue;
        }
        if (row.outcome != PingOutcomeKind::Completed || row.ms < 0)
            continue;
        while (session < sessions.size() &&
               sessions.at(session).lastSeenMs + HistoryStore::SessionTouchMs < row.atMs)
            ++session;
        if (session >= sessions.size() || sessions.at(session).startMs > row.atMs) {
            points.single.append(QPointF(x, row.ms));
            broken = true;
            continue;
        }
        if (broken || session != lineSession || x - points.lines.last().last().x() > gap) {
            points.lines.append(QList<QPointF>());
            lineSession = session;
        }
        broken = false;
        points.lines.last().append(QPointF(x, row.ms));
    }
    MoveLoneLinesToSingles(points);
    for (QList<QPointF> &line : points.lines)
        line = Thinned(line, from, to);
    points.single = Thinned(points.single, from, to);
    points.failures = Thinned(points.failures, from, to);
    return points;
}

// A week or a month is drawn from hourly rows: a point an hour at its middle (the average of
// its completed pings), joined to the next hour's; an hour with failures gets one red mark.
ChartPoints PointsOf(const QList<HistoryHour> &hours) {
    ChartPoints points;
    qint64 lineHour = std::numeric_limits<qint64>::min();
    for (const HistoryHour &h : hours) {
        const double x = double(h.StartMs() + HourMs / 2);
        if (h.failed > 0)
            points.failures.append(QPointF(x, 0));
        if (std::isnan(h.averageMs))
            continue;
        if (lineHour == std::numeric_limits<qint64>::min() || h.hour != lineHour + 1)
            points.lines.append(QList<QPointF>());
        points.lines.last().append(QPointF(x, h.averageMs));
        lineHour = h.hour;
    }
    MoveLoneLinesToSingles(points);
    return points;
}

#ifdef VENNATRO_HAVE_CHARTS
// The time axis from 0: a step of 1, 2 or 5 times a power of ten, at most five of them, and as
// many decimals as the step needs, so no two labels read the same ("0, 0, 1, 1" for an
// address with only failures).
void SetTimeScale(QValueAxis *axis, double maxMs) {
    const double top = qMax(maxMs * 1.1, 1.0);
    const double rough = top / 5;
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    double step = 10 * power;
    for (double m : {1.0, 2.0, 5.0}) {
        if (m * power >= rough) {
            step = m * power;
            break;
        }
    }
    const int steps = qMax(1, int(std::ceil(top / step - 1e-9)));
    axis->setRange(0, steps * step);
    axis->setTickCount(steps + 1);
    const int decimals = qMax(0, -int(std::floor(std::log10(step) + 1e-9)));
    axis->setLabelFormat(QStringLiteral("%.") + QString::number(decimals) + QLatin1Char('f'));
}

// Lines show their points while a screen can tell them apart.
constexpr int MarkedPoints = 60;
#endif

// A file name from an address: its host, port and path, what a file system may hold.
QString ExportName(const QString &address) {
    QString name = address;
    name.remove(QRegularExpression(QStringLiteral("^[a-zA-Z]+://")));
    name.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9._-]+")), QStringLiteral("_"));
    name = name.left(80);
    while (name.startsWith(QLatin1Char('_')) || name.startsWith(QLatin1Char('.')))
        name.remove(0, 1);
    while (name.endsWith(QLatin1Char('_')))
        name.chop(1);
    return name.isEmpty()
               ? QCoreApplication::translate("THistoryWindow", "Vennatro history.csv")
               : QCoreApplication::translate("THistoryWindow", "Vennatro history %1.csv").arg(name);
}

} // namespace

THistoryWindow::THistoryWindow(HistoryStore *store, QWidget *parent)
    : QDialog(parent), m_store(store) {
    setObjectName(QStringLiteral("THistoryWindow"));
    setWindowTitle(tr("History"));
    setModal(false);
    setSizeGripEnabled(true);
    setWindowFlag(Qt::WindowMaximizeButtonHint, true);

    auto *column = new QVBoxLayout(this);

    auto *choices = new QHBoxLayout;
    auto *addressCaption = new QLabel(tr("&Address:"), this);
    cmbHistoryAddress = new QComboBox(this);
    cmbHistoryAddress->setObjectName(QStringLiteral("cmbHistoryAddress"));
    cmbHistoryAddress->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    cmbHistoryAddress->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    cmbHistoryAddress->setMinimumContentsLength(30);
    addressCaption->setBuddy(cmbHistoryAddress);
    auto *rangeCaption = new QLabel(tr("&Range:"), this);
    cmbHistoryRange = new QComboBox(this);
    cmbHistoryRange->setObjectName(QStringLiteral("cmbHistoryRange"));
    cmbHistoryRange->addItems(
        {tr("Last hour"), tr("Last day"), tr("Last week"), tr("Last 30 days")});
    cmbHistoryRange->setCurrentIndex(LastDay);
    rangeCaption->setBuddy(cmbHistoryRange);
    btnExportCsv = new QPushButton(tr("&Export CSV..."), this);
    btnExportCsv->setObjectName(QStringLiteral("btnExportCsv"));
    btnExportCsv->setAutoDefault(false);
    choices->addWidget(addressCaption);
    choices->addWidget(cmbHistoryAddress, 1);
    choices->addWidget(rangeCaption);
    choices->addWidget(cmbHistoryRange);
    choices->addWidget(btnExportCsv);
    column->addLayout(choices);

    lblHistoryHint = new QLabel(this);
    lblHistoryHint->setObjectName(QStringLiteral("lblHistoryHint"));
    lblHistoryHint->setWordWrap(true);
    lblHistoryHint->hide();
    column->addWidget(lblHistoryHint);

    BuildChart();
#ifdef VENNATRO_HAVE_CHARTS
    column->addWidget(chartHistory, 1);
#else
    column->addStretch(1);
#endif

    auto *figures = new QGridLayout;
    figures->setHorizontalSpacing(12);
    lblCount = ValueLabel("lblCount", this);
    lblMin = ValueLabel("lblMin", this);
    lblAverage = ValueLabel("lblAverage", this);
    lblP95 = ValueLabel("lblP95", this);
    lblMax = ValueLabel("lblMax", this);
    lblUptime24h = ValueLabel("lblUptime24h", this);
    lblUptime7d = ValueLabel("lblUptime7d", this);
    lblUptime30d = ValueLabel("lblUptime30d", this);
    const struct {
        const char *caption;
        QLabel *value;
        int row;
        int column;
    } cells[] = {
        {QT_TR_NOOP("Pings completed:"), lblCount, 0, 0},
        {QT_TR_NOOP("Min:"), lblMin, 0, 1},
        {QT_TR_NOOP("Average:"), lblAverage, 0, 2},
        {QT_TR_NOOP("95th percentile:"), lblP95, 0, 3},
        {QT_TR_NOOP("Max:"), lblMax, 0, 4},
        {QT_TR_NOOP("Uptime 24 h:"), lblUptime24h, 1, 0},
        {QT_TR_NOOP("Uptime 7 days:"), lblUptime7d, 1, 1},
        {QT_TR_NOOP("Uptime 30 days:"), lblUptime30d, 1, 2},
    };
    for (const auto &cell : cells) {
        auto *caption = new QLabel(tr(cell.caption), this);
        figures->addWidget(caption, cell.row, cell.column * 2, Qt::AlignRight);
        figures->addWidget(cell.value, cell.row, cell.column * 2 + 1, Qt::AlignLeft);
    }
    figures->setColumnStretch(10, 1);
    column->addLayout(figures);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);
    column->addWidget(buttons);

    m_refreshTimer.setSingleShot(true);
    connect(&m_refreshTimer, &QTimer::timeout, this, &THistoryWindow::Refresh);
    connect(m_store, &HistoryStore::recorded, this, &THistoryWindow::Recorded);
    connect(cmbHistoryAddress, &QComboBox::currentIndexChanged, this, &THistoryWindow::Refresh);
    connect(cmbHistoryRange, &QComboBox::currentIndexChanged, this, &THistoryWindow::Refresh);
    connect(btnExportCsv, &QPushButton::clicked, this, &THistoryWindow::ExportCsv);

    dlgExportExecute = [this]() {
        QFileDialog dialog(this, tr("Export history as"));
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setDefaultSuffix(QStringLiteral("csv"));
        dialog.setNameFilters({tr("CSV files (*.csv)"), tr("All files (*.*)")});
        const QFileInfo suggested(SuggestedExportPath());
        dialog.setDirectory(suggested.absolutePath());
        dialog.selectFile(suggested.fileName());
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return QString();
        return dialog.selectedFiles().constFirst();
    };

    ApplyPalette();
    resize(820, 560);
}

// A build without Qt Charts (the Windows one made here) shows the figures and the export
// without the chart.
void THistoryWindow::BuildChart() {
#ifdef VENNATRO_HAVE_CHARTS
    m_chart = new QChart;
    m_chart->legend()->hide();
    m_chart->setMargins(QMargins(4, 4, 4, 4));
    // The axes' numbers and month names in the user's locale.
    m_chart->setLocale(QLocale());
    m_chart->setLocalizeNumbers(true);
    m_timeAxis = new QDateTimeAxis(m_chart);
    m_msAxis = new QValueAxis(m_chart);
    m_msAxis->setTitleText(QStringLiteral("ms"));
    m_msAxis->setLabelFormat(QStringLiteral("%.0f"));
    m_chart->addAxis(m_timeAxis, Qt::AlignBottom);
    m_chart->addAxis(m_msAxis, Qt::AlignLeft);
    chartHistory = new QChartView(m_chart, this); // takes the chart
    chartHistory->setObjectName(QStringLiteral("chartHistory"));
    chartHistory->setRenderHint(QPainter::Antialiasing);
    chartHistory->setMinimumSize(400, 220);
#endif
}

void THistoryWindow::ApplyPalette() {
    // The chart's theme sets every colour it draws; the window's palette then decides the
    // background and the text, so the chart reads like the rest of the window on dark desktops.
#ifdef VENNATRO_HAVE_CHARTS
    const QPalette pal = palette();
    const bool dark = pal.color(QPalette::Window).lightness() < 128;
    m_chart->setTheme(dark ? QChart::ChartThemeDark : QChart::ChartThemeLight);
    m_chart->setBackgroundBrush(pal.brush(QPalette::Base));
    m_chart->setBackgroundPen(QPen(pal.color(QPalette::Mid)));
    m_chart->setBackgroundRoundness(0);
    const QPen gridPen(pal.color(QPalette::Mid), 1, Qt::DotLine);
    for (QAbstractAxis *axis :
         {static_cast<QAbstractAxis *>(m_timeAxis), static_cast<QAbstractAxis *>(m_msAxis)}) {
        axis->setLabelsBrush(pal.brush(QPalette::Text));
        axis->setTitleBrush(pal.brush(QPalette::Text));
        axis->setLinePen(QPen(pal.color(QPalette::Text)));
        axis->setGridLinePen(gridPen);
    }
    chartHistory->setBackgroundBrush(pal.brush(QPalette::Window));
#endif
}

void THistoryWindow::changeEvent(QEvent *event) {
    QDialog::changeEvent(event);
    if (event->type() == QEvent::PaletteChange) {
        ApplyPalette();
        ShowRows(); // the series take the theme's colours anew
    }
}

qint64 THistoryWindow::RangeMs() const {
    switch (CurrentRange()) {
    case LastHour:
        return HourMs;
    case LastDay:
        return DayMs;
    case LastWeek:
        return 7 * DayMs;
    case Last30Days:
        return 30 * DayMs;
    }
    return DayMs;
}

THistoryWindow::Range THistoryWindow::CurrentRange() const {
    return Range(qBound(0, cmbHistoryRange->currentIndex(), int(Last30Days)));
}

QString THistoryWindow::Address() const { return cmbHistoryAddress->currentText(); }

void THistoryWindow::FillAddresses(const QString &select) {
    QStringList addresses = m_store->Addresses();
    if (!select.isEmpty() && !addresses.contains(select)) {
        addresses.append(select);
        addresses.sort();
    }
    const QSignalBlocker quiet(cmbHistoryAddress);
    cmbHistoryAddress->clear();
    cmbHistoryAddress->addItems(addresses);
    // None chosen for no address: the list's first would be a guess.
    cmbHistoryAddress->setCurrentIndex(addresses.indexOf(select));
}

void THistoryWindow::ShowFor(const QString &address) {
    const QString shown = address.isEmpty() ? Address() : address;
    FillAddresses(shown);
    // Opened on another address: the range that holds its pings. Shown again on the same one,
    // the range the user chose stays.
    if (shown != m_rangeChosenFor) {
        m_rangeChosenFor = shown;
        if (const std::optional<Range> range = RangeHolding(shown)) {
            const QSignalBlocker quiet(cmbHistoryRange);
            cmbHistoryRange->setCurrentIndex(*range);
        }
    }
    Refresh();
    FitToScreen();
    show();
    raise();
    activateWindow();
}

std::optional<THistoryWindow::Range> THistoryWindow::RangeHolding(const QString &address) {
    if (address.isEmpty())
        return std::nullopt;
    // The hours first (a few rows however many pings), then the first ping of the earliest.
    const QDateTime to = m_store->Now();
    const QDateTime from = to.addDays(-30);
    qint64 first = -1;
    for (const HistoryHour &hour : m_store->Hours(address, from, to)) {
        if (hour.completed + hour.failed > 0 && (first < 0 || hour.hour < first))
            first = hour.hour;
    }
    if (first < 0)
        return std::nullopt;
    const QDateTime hourStart = QDateTime::fromMSecsSinceEpoch(first * HourMs, Qt::UTC);
    qint64 earliest = hourStart.toMSecsSinceEpoch();
    for (const HistoryRow &row :
         m_store->Rows(address, qMax(from, hourStart), qMin(to, hourStart.addMSecs(HourMs)))) {
        if (row.outcome == PingOutcomeKind::Completed || row.outcome == PingOutcomeKind::Failed) {
            earliest = row.atMs;
            break;
        }
    }
    const qint64 age = to.toMSecsSinceEpoch() - earliest;
    if (age <= HourMs)
        return LastHour;
    if (age <= DayMs)
        return LastDay;
    if (age <= 7 * DayMs)
        return LastWeek;
    return Last30Days;
}

void THistoryWindow::FitToArea(const QSize &area) {
    setMinimumSize(minimumSizeHint().boundedTo(area));
    resize(size().boundedTo(area));
}

void THistoryWindow::FitToScreen() {
    if (m_fitted)
        return;
    m_fitted = true;
    QScreen *shown = parentWidget() ? parentWidget()->screen() : screen();
    if (!shown)
        return;
    // The frame is not known before the window is shown: the main window's, or a title bar's
    // height, as the options dialog reckons it.
    QMargins frame(0, 30, 0, 0);
    if (parentWidget() && parentWidget()->window()->windowHandle() &&
        !parentWidget()->window()->windowHandle()->frameMargins().isNull())
        frame = parentWidget()->window()->windowHandle()->frameMargins();
    const QRect work = shown->availableGeometry();
    FitToArea(QSize(work.width() - frame.left() - frame.right(),
                    work.height() - frame.top() - frame.bottom()));
    move(work.center() - rect().center());
    move(qMax(x(), work.x() + frame.left()), qMax(y(), work.y() + frame.top()));
}

QString THistoryWindow::SuggestedExportPath() const {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        folder = QDir::homePath();
    return QDir(folder).filePath(ExportName(Address()));
}

void THistoryWindow::Refresh() {
    m_refreshTimer.stop();
    m_sinceRefresh.start();
    m_to = m_store->Now();
    m_from = m_to.addMSecs(-RangeMs());
    const QString address = Address();
    m_rows.clear();
    m_hours.clear();
    m_stats = HistoryStats();
    if (!address.isEmpty() && Hourly()) {
        m_hours = m_store->Hours(address, m_from, m_to);
        m_stats = m_store->Statistics(address, m_from, m_to);
    } else if (!address.isEmpty()) {
        m_rows = m_store->Rows(address, m_from, m_to);
    }
    lblHistoryHint->setVisible(address.isEmpty());
    lblHistoryHint->setText(
        cmbHistoryAddress->count() == 0
            ? tr("No pings recorded yet. Ping an address, or watch one, and its "
                 "history shows here.")
            : tr("Choose an address above to see its pings."));
    ShowRows();
    ShowStats();
}

bool THistoryWindow::Hourly() const { return CurrentRange() >= LastWeek; }

void THistoryWindow::ShowRows() {
#ifdef VENNATRO_HAVE_CHARTS
    m_chart->removeAllSeries();
    if (!m_to.isValid())
        return; // nothing asked for yet
    const ChartPoints points =
        Hourly() ? PointsOf(m_hours)
                 : PointsOf(m_rows, m_store->Sessions(m_from, m_to),
                            double(m_from.toMSecsSinceEpoch()), double(m_to.toMSecsSinceEpoch()));
    double maxMs = 0;
    for (const QList<QPointF> &line : points.lines)
        for (const QPointF &p : line)
            maxMs = qMax(maxMs, p.y());
    for (const QPointF &p : points.single)
        maxMs = qMax(maxMs, p.y());
    // The axes first: each change of a range redraws every series already there.
    // Ticks 10 minutes, 4 hours, 1 day and 5 days apart.
    constexpr int Ticks[] = {7, 7, 8, 7};
    m_timeAxis->setTickCount(Ticks[CurrentRange()]);
    m_timeAxis->setFormat(CurrentRange() <= LastDay ? QStringLiteral("HH:mm")
                                                    : QStringLiteral("dd MMM"));
    m_timeAxis->setRange(m_from.toLocalTime(), m_to.toLocalTime());
    SetTimeScale(m_msAxis, maxMs);

    const QColor lineColor = palette().color(QPalette::Highlight);
    auto add = [this](QXYSeries *series, const QList<QPointF> &data, bool failures) {
        series->replace(data); // before the chart knows it: no drawing yet
        m_chart->addSeries(series);
        series->attachAxis(m_timeAxis);
        series->attachAxis(m_msAxis);
        connect(series, &QXYSeries::hovered, this,
                [this, series, failures](const QPointF &point, bool state) {
                    // The nearest ping of the series: a line reports a point between two.
                    const QList<QPointF> data = series->points();
                    QPointF nearest = point;
                    double best = std::numeric_limits<double>::infinity();
                    for (const QPointF &p : data) {
                        if (std::abs(p.x() - point.x()) < best) {
                            best = std::abs(p.x() - point.x());
                            nearest = p;
                        }
                    }
                    ShowPointText(nearest, state, failures);
                });
    };
    qsizetype linePoints = 0;
    for (const QList<QPointF> &line : points.lines)
        linePoints += line.size();
    for (const QList<QPointF> &line : points.lines) {
        auto *series = new QLineSeries;
        series->setName(tr("Time"));
        series->setPen(QPen(lineColor, 1.5));
        series->setPointsVisible(linePoints <= MarkedPoints);
        add(series, line, false);
    }
    if (!points.single.isEmpty()) {
        auto *series = new QScatterSeries;
        series->setName(tr("Time, single pings"));
        series->setMarkerShape(QScatterSeries::MarkerShapeCircle);
        series->setMarkerSize(5);
        series->setColor(lineColor);
        series->setBorderColor(lineColor);
        add(series, points.single, false);
    }
    if (!points.failures.isEmpty()) {
        auto *series = new QScatterSeries;
        series->setName(tr("Failures"));
        series->setMarkerShape(QScatterSeries::MarkerShapeRectangle);
        series->setMarkerSize(8);
        series->setColor(FailureColor);
        series->setBorderColor(FailureColor);
        add(series, points.failures, true);
    }
#endif
}

#ifdef VENNATRO_HAVE_CHARTS
void THistoryWindow::ShowPointText(const QPointF &point, bool hovered, bool failure) {
    if (!hovered) {
        chartHistory->setToolTip(QString());
        QToolTip::hideText();
        return;
    }
    const QString when = QDateTime::fromMSecsSinceEpoch(qint64(point.x()), Qt::UTC)
                             .toLocalTime()
                             .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    const QString text = failure ? tr("%1 \u2013 failed").arg(when)
                                 : QStringLiteral("%1 \u2013 %2").arg(when, MsText(point.y()));
    chartHistory->setToolTip(text);
    QToolTip::showText(QCursor::pos(), text, chartHistory);
}
#endif

void THistoryWindow::ShowStats() {
    HistoryStats stats = m_stats;
    if (!Hourly()) {
        QList<double> times;
        times.reserve(m_rows.size());
        for (const HistoryRow &row : std::as_const(m_rows)) {
            if (row.outcome == PingOutcomeKind::Completed && row.ms >= 0)
                times.append(row.ms);
        }
        // The same figures HistoryStore::Statistics gives, from the rows already at hand.
        stats = ComputeStats(std::move(times));
    }
    lblCount->setText(QString::number(stats.count));
    lblMin->setText(MsText(stats.minMs));
    lblAverage->setText(MsText(stats.averageMs));
    lblP95->setText(MsText(stats.p95Ms));
    lblMax->setText(MsText(stats.maxMs));

    // An uptime within the range shown comes from its rows; a longer one from the store.
    const QString address = Address();
    auto uptime = [this, &address](int days) {
        const QDateTime from = m_to.addDays(-days);
        if (address.isEmpty())
            return qQNaN();
        if (from < m_from || Hourly())
            return m_store->Uptime(address, from, m_to);
        const qint64 fromMs = from.toMSecsSinceEpoch();
        qint64 completed = 0;
        qint64 failed = 0;
        for (const HistoryRow &row : std::as_const(m_rows)) {
            if (row.atMs < fromMs)
                continue;
            completed += row.outcome == PingOutcomeKind::Completed;
            failed += row.outcome == PingOutcomeKind::Failed;
        }
        return UptimeRatio(completed, failed);
    };
    lblUptime24h->setText(UptimeText(uptime(1)));
    lblUptime7d->setText(UptimeText(uptime(7)));
    lblUptime30d->setText(UptimeText(uptime(30)));
}

void THistoryWindow::Recorded(const PingResult &result) {
    // A new address joins the list; with none shown yet, it is the one shown.
    if (cmbHistoryAddress->findText(result.address) < 0)
        FillAddresses(Address().isEmpty() ? result.address : Address());
    if (!isVisible() || result.address != Address() || m_refreshTimer.isActive())
        return;
    m_refreshTimer.start(int(qMax<qint64>(0, RefreshSpacingMs - m_sinceRefresh.elapsed())));
}

void THistoryWindow::ExportCsv() {
    const QString path = dlgExportExecute ? dlgExportExecute() : QString();
    if (path.isEmpty())
        return;
    QSaveFile file(path);
    // Every column of the rows shown: the same query over the same range, not newer rows;
    // where single pings are no longer kept, their hourly rows.
    const QString address = Address();
    const QByteArray csv =
        address.isEmpty()
            ? HistoryCsv(address, {})
            : HistoryCsv(address,
                         m_store->Rows(address, m_from, m_to, HistoryStore::RowDetail::All),
                         m_store->FoldedHours(address, m_from, m_to));
    if (!file.open(QIODevice::WriteOnly) || file.write(csv) != csv.size() || !file.commit()) {
        ShowMessageBox(this, tr("Cannot write \"%1\": %2").arg(path, file.errorString()),
                       tr("History"), MessageIcon::Error);
    }
}
