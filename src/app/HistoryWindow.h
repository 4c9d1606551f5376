#pragma once

#include "engine/HistoryStore.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QTimer>
#include <functional>
#include <optional>

class QChart;
class QChartView;
class QComboBox;
class QDateTimeAxis;
class QLabel;
class QPushButton;
class QValueAxis;

// The ping history of one address: its times as a line over the range chosen (broken where the
// program was not running), failures as red marks on the time axis, the statistics of the
// range and the uptime over 24 hours, 7 and 30 days. An hour and a day show every ping; a week
// and 30 days show hourly rows (an hour's average, a mark for an hour with failures), as many
// points as a chart can show. Non-modal; the main window keeps one and
// shows it again. It follows the store while it is open: a ping of the address shown brings a
// new query, at most once a second.
class THistoryWindow : public QDialog {
    Q_OBJECT
public:
    // The ranges of the range box, in its order.
    enum Range { LastHour, LastDay, LastWeek, Last30Days };

    explicit THistoryWindow(HistoryStore *store, QWidget *parent = nullptr);

    // Shows the window for an address (the one shown before when empty; with none, an empty
    // chart and a hint). The range becomes the smallest that holds the address's pings, up to
    // 30 days.
    void ShowFor(const QString &address);
    QString Address() const;
    Range CurrentRange() const;
    // Queries the store again for the address and the range shown.
    void Refresh();
    // Writes the rows of the range shown to a file chosen in the save dialog.
    void ExportCsv();
    // Where the save dialog starts: the documents folder, a name from the address.
    QString SuggestedExportPath() const;
    // The smallest range that holds the address's pings of the last 30 days; nothing when it
    // has none.
    std::optional<Range> RangeHolding(const QString &address);
    // The size for a screen area of that size (the work area, frame excluded): the usual size
    // where it fits, else the area.
    void FitToArea(const QSize &area);

    // ---- seams for tests ----
    // The save dialog: returns the chosen path, or empty when cancelled.
    std::function<QString()> dlgExportExecute;

protected:
    void changeEvent(QEvent *event) override;

private:
    void BuildChart();
    void ApplyPalette();
    void ShowRows();
    void ShowStats();
    void FillAddresses(const QString &select);
    void Recorded(const PingResult &result);
    void ShowPointText(const QPointF &point, bool hovered, bool failure);
    void FitToScreen();
    qint64 RangeMs() const;
    bool Hourly() const;

    HistoryStore *m_store;
    QComboBox *cmbHistoryAddress = nullptr;
    QComboBox *cmbHistoryRange = nullptr;
    QChartView *chartHistory = nullptr;
    QChart *m_chart = nullptr;
    QDateTimeAxis *m_timeAxis = nullptr;
    QValueAxis *m_msAxis = nullptr;
    QLabel *lblCount = nullptr;
    QLabel *lblMin = nullptr;
    QLabel *lblAverage = nullptr;
    QLabel *lblP95 = nullptr;
    QLabel *lblMax = nullptr;
    QLabel *lblUptime24h = nullptr;
    QLabel *lblUptime7d = nullptr;
    QLabel *lblUptime30d = nullptr;
    QPushButton *btnExportCsv = nullptr;
    QLabel *lblHistoryHint = nullptr; // what to do when no address is shown
    bool m_fitted = false;            // sized to its screen on the first showing
    QString m_rangeChosenFor;         // the address the range was last chosen for on opening

    QList<HistoryRow> m_rows;   // the range shown, an hour or a day
    QList<HistoryHour> m_hours; // the range shown, a week or 30 days
    HistoryStats m_stats;       // of the hours shown
    QDateTime m_from;
    QDateTime m_to;
    QTimer m_refreshTimer; // a ping of the address shown: one query a second at most
    QElapsedTimer m_sinceRefresh;
    bool m_applyingPalette = false;
};
