#include "app/WatchPanel.h"

#include "engine/AlertPolicy.h"
#include "engine/PingSession.h"
#include "engine/SnoozeList.h"
#include "engine/WatchList.h"
#include "platform/gui/MessageBox.h"
#include "tray/TrayBadge.h"

#include <QApplication>
#include <QClipboard>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QTableWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <cmath>

namespace {

enum Column { ColState, ColAddress, ColLastPing, ColResult, ColUptime, ColNext, ColumnCount };

QString NextText(qint64 ms) {
    if (ms < 0)
        return QStringLiteral("now");
    const qint64 s = (ms + 999) / 1000;
    return QString::asprintf("%.2lld:%.2lld", s / 60, s % 60);
}

QString UptimeText(double uptime) {
    return std::isnan(uptime) ? QStringLiteral("-")
                              : QString::number(uptime * 100.0, 'f', 1) + QLatin1Char('%');
}

QToolButton *Button(const QString &text, const QString &tip, const char *name, QWidget *parent) {
    auto *button = new QToolButton(parent);
    button->setText(text);
    button->setToolTip(tip);
    button->setObjectName(QLatin1String(name));
    return button;
}

} // namespace

TWatchPanel::TWatchPanel(WatchList *list, const QList<QIcon> &statusImages, QWidget *parent)
    : QDockWidget(QStringLiteral("Watched addresses"), parent), m_list(list),
      m_images(statusImages) {
    setObjectName(QStringLiteral("dockWatched"));
    auto *body = new QWidget(this);
    auto *column = new QVBoxLayout(body);
    column->setContentsMargins(4, 4, 4, 4);

    auto *row = new QHBoxLayout;
    m_edit = new QLineEdit(body);
    m_edit->setObjectName(QStringLiteral("edWatchAddress"));
    m_edit->setPlaceholderText(QStringLiteral("Address to watch (empty: the address box's)"));
    auto *add =
        Button(QStringLiteral("Add"), QStringLiteral("Watch this address"), "btnWatchAdd", body);
    auto *remove = Button(QStringLiteral("Remove"), QStringLiteral("Stop watching (Delete)"),
                          "btnWatchRemove", body);
    auto *up = Button(QStringLiteral("Up"), QStringLiteral("Move up"), "btnWatchUp", body);
    auto *down = Button(QStringLiteral("Down"), QStringLiteral("Move down"), "btnWatchDown", body);
    row->addWidget(m_edit, 1);
    for (QToolButton *b : {add, remove, up, down})
        row->addWidget(b);
    column->addLayout(row);

    m_table = new QTableWidget(0, ColumnCount, body);
    m_table->setObjectName(QStringLiteral("tblWatched"));
    m_table->setHorizontalHeaderLabels({QString(), QStringLiteral("Address"),
                                        QStringLiteral("Last ping"), QStringLiteral("Last result"),
                                        QStringLiteral("Uptime 24 h"),
                                        QStringLiteral("Next ping")});
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed);
    m_table->verticalHeader()->hide();
    // Widths from the font, not from the contents: sizing to contents measures every row again
    // on every change, which a list of hundreds pays for every second.
    QHeaderView *header = m_table->horizontalHeader();
    const QFontMetrics metrics(m_table->font());
    const int pad = 2 * metrics.averageCharWidth() + 8;
    header->setSectionResizeMode(ColAddress, QHeaderView::Stretch);
    header->setSectionResizeMode(ColState, QHeaderView::Fixed);
    header->resizeSection(ColState, m_table->iconSize().width() + 12);
    header->resizeSection(ColLastPing,
                          metrics.horizontalAdvance(QStringLiteral("8888-88-88 88:88:88")) + pad);
    header->resizeSection(
        ColResult,
        metrics.horizontalAdvance(QStringLiteral("failed: Connection refused (10061)")) + pad);
    header->resizeSection(ColUptime,
                          qMax(metrics.horizontalAdvance(QStringLiteral("100.0%")),
                               metrics.horizontalAdvance(QStringLiteral("Uptime 24 h"))) +
                              pad);
    m_table->setContextMenuPolicy(Qt::CustomContextMenu);
    m_table->installEventFilter(this);
    column->addWidget(m_table, 1);
    setWidget(body);

    m_countdown = new QTimer(this);
    m_countdown->setInterval(1000);
    connect(m_countdown, &QTimer::timeout, this, &TWatchPanel::UpdateCountdowns);

    connect(add, &QToolButton::clicked, this, &TWatchPanel::AddAddress);
    connect(m_edit, &QLineEdit::returnPressed, this, &TWatchPanel::AddAddress);
    connect(remove, &QToolButton::clicked, this, &TWatchPanel::RemoveSelected);
    connect(up, &QToolButton::clicked, this, [this] { MoveSelected(-1); });
    connect(down, &QToolButton::clicked, this, [this] { MoveSelected(1); });
    connect(m_table, &QTableWidget::customContextMenuRequested, this,
            &TWatchPanel::ShowContextMenu);
    connect(m_table, &QTableWidget::cellChanged, this, &TWatchPanel::CommitEdit);
    connect(m_list, &WatchList::rowsChanged, this, &TWatchPanel::Rebuild);
    connect(m_list, &WatchList::rowChanged, this, [this](int row) {
        // Hidden, nobody sees the row: showing the dock brings every row up to date.
        if (isVisible())
            UpdateRow(row);
    });
    Rebuild();
}

int TWatchPanel::SelectedRow() const {
    const QList<QTableWidgetItem *> items = m_table->selectedItems();
    return items.isEmpty() ? -1 : items.first()->row();
}

void TWatchPanel::AddAddress() {
    QString text = m_edit->text();
    if (text.trimmed().isEmpty() && m_current)
        text = m_current();
    QString why;
    if (!m_list->Add(text, &why)) {
        ShowMessageBox(this, why, QStringLiteral("Warning"), MessageIcon::Warning);
        return;
    }
    m_edit->clear();
    m_table->selectRow(m_list->Count() - 1);
}

void TWatchPanel::RemoveSelected() {
    const int row = SelectedRow();
    if (row < 0)
        return;
    m_list->Remove(row);
    if (m_list->Count() > 0)
        m_table->selectRow(qMin(row, m_list->Count() - 1));
}

void TWatchPanel::MoveSelected(int by) {
    const int row = SelectedRow();
    const int to = row + by;
    if (row < 0 || to < 0 || to >= m_list->Count())
        return;
    m_list->Move(row, to);
    m_table->selectRow(to);
}

void TWatchPanel::PingSelected() { m_list->PingNow(SelectedRow()); }

void TWatchPanel::Rebuild() {
    m_rebuilding = true;
    const int selected = SelectedRow();
    m_table->setRowCount(m_list->Count());
    for (int row = 0; row < m_list->Count(); ++row) {
        for (int column = 0; column < ColumnCount; ++column) {
            if (!m_table->item(row, column)) {
                auto *item = new QTableWidgetItem;
                if (column != ColAddress)
                    item->setFlags(item->flags() & ~Qt::ItemIsEditable);
                m_table->setItem(row, column, item);
            }
        }
        UpdateRow(row);
    }
    // Selected again only when lost: selecting moves the current cell, which would close an
    // editor whose commit is what rebuilt the table.
    if (selected >= 0 && selected < m_list->Count() && SelectedRow() != selected)
        m_table->selectRow(selected);
    m_rebuilding = false;
}

void TWatchPanel::SetSnoozes(PingSession *session) {
    m_session = session;
    m_mutedImages.clear();
    for (const QIcon &icon : std::as_const(m_images))
        m_mutedImages << MutedIcon(icon);
    connect(session, &PingSession::snoozeChanged, this, &TWatchPanel::UpdateCountdowns);
    UpdateCountdowns();
}

void TWatchPanel::UpdateRow(int row) {
    if (row < 0 || row >= m_table->rowCount() || !m_table->item(row, ColNext))
        return;
    const bool wasRebuilding = m_rebuilding;
    m_rebuilding = true;
    const WatchList::Row data = m_list->RowAt(row);
    const int image = int(data.state);
    const QDateTime snoozed = m_session ? m_session->SnoozedUntil(data.address) : QDateTime();
    const QList<QIcon> &images = snoozed.isValid() ? m_mutedImages : m_images;
    m_table->item(row, ColState)->setIcon(image < images.size() ? images.at(image) : QIcon());
    const QString tip = snoozed.isValid()
                            ? QStringLiteral("Alerts snoozed until %1")
                                  .arg(SnoozeEndText(snoozed, QDateTime::currentDateTime()))
                            : QString();
    for (const Column column : {ColState, ColAddress})
        m_table->item(row, column)->setToolTip(tip);
    m_table->item(row, ColAddress)->setText(data.address);
    m_table->item(row, ColLastPing)
        ->setText(data.lastPing.isValid() ? data.lastPing.toLocalTime()
                                                .toString(Qt::ISODate)
                                                .replace(QLatin1Char('T'), QLatin1Char(' '))
                                          : QString());
    m_table->item(row, ColResult)->setText(data.lastResult);
    m_table->item(row, ColUptime)->setText(UptimeText(data.uptime24h));
    m_table->item(row, ColNext)
        ->setText(data.state == WatchList::UnderWay ? QStringLiteral("pinging")
                                                    : NextText(data.msToNext));
    m_rebuilding = wasRebuilding;
}

void TWatchPanel::UpdateCountdowns() {
    for (int row = 0; row < m_table->rowCount(); ++row)
        UpdateRow(row);
}

void TWatchPanel::CommitEdit(int row, int column) {
    if (m_rebuilding || column != ColAddress)
        return;
    const QString text = m_table->item(row, column)->text();
    if (text == m_list->RowAt(row).address)
        return;
    QString why;
    if (m_list->Replace(row, text, &why))
        return;
    // The old address back in the cell at once; the warning once the editor has closed, so
    // that a modal box does not hold the view in the middle of its commit.
    m_rebuilding = true;
    m_table->item(row, column)->setText(m_list->RowAt(row).address);
    m_rebuilding = false;
    QMetaObject::invokeMethod(
        this,
        [this, why] { ShowMessageBox(this, why, QStringLiteral("Warning"), MessageIcon::Warning); },
        Qt::QueuedConnection);
}

void TWatchPanel::ShowContextMenu(const QPoint &pos) {
    const int row = m_table->rowAt(pos.y());
    if (row < 0)
        return;
    m_table->selectRow(row);
    const WatchList::Row data = m_list->RowAt(row);
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("mnWatched"));
    menu.addAction(QStringLiteral("Ping now"), this, [this, row] { m_list->PingNow(row); });
    menu.addAction(QStringLiteral("Copy address"), this,
                   [data] { QApplication::clipboard()->setText(data.address); });
    menu.addAction(QStringLiteral("Copy last result"), this,
                   [data] { QApplication::clipboard()->setText(data.lastResult); });
    if (m_historyAvailable)
        menu.addAction(QStringLiteral("History"), this,
                       [this, data] { emit historyRequested(data.address); });
    if (m_session) {
        menu.addSeparator();
        QMenu *snooze = menu.addMenu(QStringLiteral("Snooze alerts"));
        snooze->setObjectName(QStringLiteral("mnWatchedSnooze"));
        const QList<std::pair<QString, SnoozeList::Choice>> choices = {
            {QStringLiteral("1 hour"), SnoozeList::Choice::OneHour},
            {QStringLiteral("4 hours"), SnoozeList::Choice::FourHours},
            {QStringLiteral("Until tomorrow 08:00"), SnoozeList::Choice::TomorrowMorning}};
        for (const auto &[caption, choice] : choices)
            snooze->addAction(caption, this, [this, data, choice = choice] {
                m_session->Snooze(data.address,
                                  SnoozeList::EndOf(choice, QDateTime::currentDateTime()));
            });
        // Its own snooze only: a snooze of every address ends from the tray menu.
        QAction *resume = menu.addAction(QStringLiteral("Resume alerts"), this,
                                         [this, data] { m_session->Resume(data.address); });
        resume->setEnabled(m_session->Alerts()
                               ->Snoozes()
                               .OwnUntil(data.address, QDateTime::currentDateTimeUtc())
                               .isValid());
    }
    menu.exec(m_table->viewport()->mapToGlobal(pos));
}

bool TWatchPanel::eventFilter(QObject *watched, QEvent *event) {
    if (watched == m_table && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent *>(event)->key() == Qt::Key_Delete) {
        // An address being edited gets the key from its editor, not from the table.
        RemoveSelected();
        return true;
    }
    return QDockWidget::eventFilter(watched, event);
}

void TWatchPanel::showEvent(QShowEvent *event) {
    QDockWidget::showEvent(event);
    // The countdown column only ticks while someone can see it.
    UpdateCountdowns();
    m_countdown->start();
}

void TWatchPanel::hideEvent(QHideEvent *event) {
    QDockWidget::hideEvent(event);
    m_countdown->stop();
}
