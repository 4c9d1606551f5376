#pragma once

#include <QDockWidget>
#include <QIcon>
#include <QList>
#include <functional>

class QLineEdit;
class QTableWidget;
class QTimer;
class QToolButton;
class PingSession;
class WatchList;

// The "Watched addresses" dock: a row per address with its state, last ping, last result,
// uptime and the time to its next ping. It only views and edits the list; the list pings.
class TWatchPanel : public QDockWidget {
    Q_OBJECT
public:
    TWatchPanel(WatchList *list, const QList<QIcon> &statusImages, QWidget *parent = nullptr);

    // The address "Add" takes when its own field is empty: the main window's address box.
    void SetCurrentAddress(std::function<QString()> current) { m_current = std::move(current); }
    // Whether a history exists to show ("History" in a row's menu).
    void SetHistoryAvailable(bool available) { m_historyAvailable = available; }
    // Where a row's snooze goes ("Snooze alerts" in its menu) and what marks a snoozed row;
    // none: rows have no snooze.
    void SetSnoozes(PingSession *session);

    void AddAddress();
    void RemoveSelected();
    void MoveSelected(int by);
    void PingSelected();
    int SelectedRow() const;

signals:
    void historyRequested(const QString &address);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void Rebuild();
    void UpdateRow(int row);
    void UpdateCountdowns();
    void ShowContextMenu(const QPoint &pos);
    void CommitEdit(int row, int column);

    WatchList *m_list;
    QList<QIcon> m_images;
    QList<QIcon> m_mutedImages; // the same with the muted mark, made once
    PingSession *m_session = nullptr;
    QTableWidget *m_table = nullptr;
    QLineEdit *m_edit = nullptr;
    QTimer *m_countdown = nullptr;
    std::function<QString()> m_current;
    bool m_historyAvailable = false;
    bool m_rebuilding = false;
};
