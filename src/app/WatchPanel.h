#pragma once

#include <QDockWidget>
#include <QIcon>
#include <QList>
#include <functional>

class QFontMetrics;
class QLabel;
class QLineEdit;
class QTableWidget;
class QTimer;
class QToolButton;
class PingSession;
class WatchList;

// An address in at most `width` pixels: whole when it fits; else its path is cut in the middle
// behind the whole scheme, host and port; only when those do not fit either is the host cut in
// its middle, so the port stays in sight as long as anything does. A width of 0 or less gives
// the address whole.
QString ElideAddress(const QString &address, const QFontMetrics &metrics, int width);

// The "Watched addresses" dock: a row per address with its state, last ping, last result,
// uptime and the time to its next ping. It only views and edits the list; the list pings.
// The table shows the list's own order, or sorts by any column (a click on its header:
// ascending, descending, the list's order again), failing rows first on request. Removing
// asks nothing: Ctrl+Z or the "Undo" link that shows brings the row back in its place.
class TWatchPanel : public QDockWidget {
    Q_OBJECT
public:
    enum Column { ColState, ColAddress, ColLastPing, ColResult, ColUptime, ColNext, ColumnCount };

    TWatchPanel(WatchList *list, const QList<QIcon> &statusImages, QWidget *parent = nullptr);

    // The address "Add" takes when its own field is empty: the main window's address box.
    void SetCurrentAddress(std::function<QString()> current) { m_current = std::move(current); }
    // Whether a history exists to show ("History" in a row's menu).
    void SetHistoryAvailable(bool available) { m_historyAvailable = available; }
    // Where a row's snooze goes ("Snooze alerts" in its menu) and what marks a snoozed row;
    // none: rows have no snooze.
    void SetSnoozes(PingSession *session);

    void AddAddress();
    // One row a line (blank lines skipped); the lines refused are named in one warning.
    void AddLines(const QStringList &lines);
    void RemoveSelected();
    // The row removed last back in its place; false when there is none to bring back.
    bool UndoRemove();
    void MoveSelected(int by);
    void PingSelected();
    // The list's index of the selected row; -1 when none.
    int SelectedRow() const;

    // Sorted by a column (-1: the list's own order); failing rows first, on request.
    void SortBy(int column, Qt::SortOrder order);
    void SetFailingFirst(bool on);
    // The list's index a table row shows, and the table row of a list index.
    int ListIndexAt(int tableRow) const;
    int TableRowOf(int listIndex) const;
    // The dock's height while shown, else the height it had when last shown.
    int ShownHeight() const;

signals:
    void historyRequested(const QString &address);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void Rebuild();
    void ComputeOrder();
    void UpdateRow(int listIndex);
    void UpdateTableRow(int tableRow);
    void UpdateCountdowns();
    void ShowContextMenu(const QPoint &pos);
    void CommitEdit(int row, int column);
    void SelectListRow(int listIndex);
    bool Sorted() const { return m_sortColumn >= 0 || m_failingFirst; }
    bool PasteLines(bool intoField);
    void ShowUndo();

    WatchList *m_list;
    QList<QIcon> m_images;
    QList<QIcon> m_mutedImages; // the same with the muted mark, made once
    PingSession *m_session = nullptr;
    QTableWidget *m_table = nullptr;
    QLineEdit *m_edit = nullptr;
    QToolButton *m_up = nullptr;
    QToolButton *m_down = nullptr;
    QToolButton *m_failingFirstButton = nullptr;
    QLabel *m_undoLabel = nullptr;
    QTimer *m_countdown = nullptr;
    QTimer *m_resort = nullptr;    // a sorted table follows its rows' changes, a few a second
    QTimer *m_undoShown = nullptr; // the Undo link goes after a while
    std::function<QString()> m_current;
    bool m_historyAvailable = false;
    bool m_rebuilding = false;
    QList<int> m_order; // table row -> list index
    QList<int> m_rowOf; // list index -> table row
    int m_sortColumn = -1;
    Qt::SortOrder m_sortOrder = Qt::AscendingOrder;
    bool m_failingFirst = false;
    struct Removed {
        QString address;
        int index = 0;
    };
    QList<Removed> m_removed; // newest last
    int m_shownHeight = 0;
};
