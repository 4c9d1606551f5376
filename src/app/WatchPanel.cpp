#include "app/WatchPanel.h"

#include "engine/AlertPolicy.h"
#include "engine/PingSession.h"
#include "engine/SnoozeList.h"
#include "engine/WatchList.h"
#include "platform/gui/MessageBox.h"
#include "platform/gui/Translation.h"
#include "support/UsualFunctions.h"
#include "tray/TrayBadge.h"

#include <QApplication>
#include <QClipboard>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QRegularExpression>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <numeric>

namespace {

const QString Ellipsis = QStringLiteral("\u2026");
const QString NotYet = QStringLiteral("\u2013"); // a row not pinged in this run
constexpr int ResortMs = 250;
constexpr int UndoShownMs = 30000;
constexpr int MaxNamedRefusals = 10;
// Mixed into the palette's base colour: a failing row reads as such on light and dark themes.
const QColor FailureTint(220, 50, 47);
constexpr double FailureTintShare = 0.28;

QString NextText(qint64 ms) {
    if (ms < 0)
        return QCoreApplication::translate("TWatchPanel", "now");
    const qint64 s = (ms + 999) / 1000;
    return QString::asprintf("%.2lld:%.2lld", s / 60, s % 60);
}

QString StateText(const WatchList::Row &row) {
    if (row.outcome == WatchList::Failed)
        return QCoreApplication::translate("TWatchPanel", "Down", "state");
    if (row.outcome == WatchList::Completed)
        return QCoreApplication::translate("TWatchPanel", "Up", "state");
    if (row.outcome == WatchList::NotChecked)
        return QCoreApplication::translate("TWatchPanel", "Not checked");
    if (row.outcome == WatchList::Slow) // in words, not by its picture's colour alone
        return QCoreApplication::translate("TWatchPanel", "Slow");
    return row.state == WatchList::UnderWay ? QCoreApplication::translate("TWatchPanel", "Pinging")
                                            : NotYet;
}

// The state column's words for a screen reader: never a dash.
QString AccessibleStateText(const WatchList::Row &row) {
    if (row.outcome == WatchList::Slow)
        return QCoreApplication::translate("TWatchPanel", "Up, slow");
    if (row.outcome == WatchList::Idle && row.state != WatchList::UnderWay)
        return QCoreApplication::translate("TWatchPanel", "Not pinged yet");
    return StateText(row);
}

// The uptime of this run: a row not pinged yet says so rather than a figure of earlier runs.
// The engine's result text (English, as the log has it) in the window's language; a text of
// another form is shown as it is.
QString ResultText(const QString &result) {
    static const QRegularExpression completed(QStringLiteral(
        "^completed in ([0-9.]+) s( \\(slow\\))?(?:, certificate ([0-9]+) days left)?$"));
    if (const QRegularExpressionMatch m = completed.match(result); m.hasMatch()) {
        QString text = (m.capturedLength(2)
                            ? QCoreApplication::translate("TWatchPanel", "completed in %1 s (slow)")
                            : QCoreApplication::translate("TWatchPanel", "completed in %1 s"))
                           .arg(LocalNumber(m.captured(1).toDouble(), 3));
        if (m.capturedLength(3))
            text += QCoreApplication::translate("TWatchPanel", ", certificate %1 days left")
                        .arg(m.captured(3));
        return text;
    }
    if (result.startsWith(QLatin1String("failed: ")))
        return QCoreApplication::translate("TWatchPanel", "failed: %1").arg(result.mid(8));
    return result == QLatin1String("cancelled")
               ? QCoreApplication::translate("TWatchPanel", "cancelled")
               : result;
}

QString UptimeText(const WatchList::Row &row) {
    if (!row.lastPing.isValid() || std::isnan(row.uptime24h))
        return NotYet;
    return LocalNumber(row.uptime24h * 100.0, 1) + QLatin1Char('%');
}

// Today's pings by their time, older ones by their day; the tool-tip has both.
QString LastPingText(const QDateTime &utc) {
    if (!utc.isValid())
        return QString();
    const QDateTime local = utc.toLocalTime();
    return local.date() == QDate::currentDate() ? local.toString(QStringLiteral("HH:mm:ss"))
                                                : local.toString(QStringLiteral("yyyy-MM-dd"));
}

QColor Blend(const QColor &a, const QColor &b, double share) {
    return QColor::fromRgbF(float(a.redF() * (1 - share) + b.redF() * share),
                            float(a.greenF() * (1 - share) + b.greenF() * share),
                            float(a.blueF() * (1 - share) + b.blueF() * share));
}

int StateRank(const WatchList::Row &row) {
    switch (row.outcome) {
    case WatchList::Failed:
        return 0;
    case WatchList::Completed:
        return 1;
    default:
        return 2;
    }
}

// Negative, zero or positive as a sorts before, with or after b in a column, ascending.
int Compare(const WatchList::Row &a, const WatchList::Row &b, int column) {
    const auto cmp = [](auto x, auto y) { return x < y ? -1 : y < x ? 1 : 0; };
    switch (column) {
    case TWatchPanel::ColState:
        return cmp(StateRank(a), StateRank(b));
    case TWatchPanel::ColAddress:
        return a.address.compare(b.address, Qt::CaseInsensitive);
    case TWatchPanel::ColLastPing:
        return cmp(a.lastPing.isValid() ? a.lastPing.toMSecsSinceEpoch() : -1,
                   b.lastPing.isValid() ? b.lastPing.toMSecsSinceEpoch() : -1);
    case TWatchPanel::ColResult:
        return a.lastResult.compare(b.lastResult, Qt::CaseInsensitive);
    case TWatchPanel::ColUptime: {
        const auto value = [](const WatchList::Row &r) {
            return !r.lastPing.isValid() || std::isnan(r.uptime24h) ? -1.0 : r.uptime24h;
        };
        return cmp(value(a), value(b));
    }
    case TWatchPanel::ColNext:
        return cmp(a.msToNext, b.msToNext);
    }
    return 0;
}

QToolButton *Button(const QString &text, const QString &tip, const char *name, QWidget *parent) {
    auto *button = new QToolButton(parent);
    button->setText(text);
    button->setToolTip(tip);
    button->setObjectName(QLatin1String(name));
    return button;
}

// The address column draws its text cut in the middle, port in sight; the editor still gets
// the whole address.
class AddressDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        if (option->rect.width() <= 0)
            return; // a size hint: the whole text
        const QWidget *widget = option->widget;
        const QStyle *style = widget ? widget->style() : QApplication::style();
        const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
        option->text =
            ElideAddress(option->text, option->fontMetrics, option->rect.width() - 2 * margin);
        option->textElideMode = Qt::ElideNone;
    }
};

} // namespace

QString ElideAddress(const QString &address, const QFontMetrics &metrics, int width) {
    if (width <= 0 || metrics.horizontalAdvance(address) <= width)
        return address;
    const qsizetype scheme = address.indexOf(QLatin1String("://"));
    const qsizetype hostStart = scheme < 0 ? 0 : scheme + 3;
    const qsizetype pathStart = address.indexOf(QLatin1Char('/'), hostStart);
    const QString head = pathStart < 0 ? address : address.left(pathStart);
    const QString path = pathStart < 0 ? QString() : address.mid(pathStart);
    // The path cut in its middle behind the whole scheme, host and port.
    const int headWidth = metrics.horizontalAdvance(head);
    if (!path.isEmpty() && headWidth + metrics.horizontalAdvance(Ellipsis) <= width)
        return head + metrics.elidedText(path, Qt::ElideMiddle, width - headWidth);
    // The host cut in its middle; the port (after an IPv6 literal's bracket) and a sign of the
    // path stay.
    qsizetype portStart = head.lastIndexOf(QLatin1Char(':'));
    if (portStart < hostStart || head.indexOf(QLatin1Char(']'), portStart) >= 0)
        portStart = head.size();
    const QString tail =
        head.mid(portStart) + (path.size() <= 1 ? path : QLatin1Char('/') + Ellipsis);
    const int hostWidth = width - metrics.horizontalAdvance(tail);
    const QString host = metrics.elidedText(head.left(portStart), Qt::ElideMiddle, hostWidth);
    if (hostWidth <= metrics.horizontalAdvance(Ellipsis) || host.isEmpty())
        return metrics.elidedText(address, Qt::ElideMiddle, width);
    return host + tail;
}

TWatchPanel::TWatchPanel(WatchList *list, const QList<QIcon> &statusImages, QWidget *parent)
    : QDockWidget(tr("Watched addresses"), parent), m_list(list), m_images(statusImages) {
    setObjectName(QStringLiteral("dockWatched"));
    auto *body = new QWidget(this);
    auto *column = new QVBoxLayout(body);
    column->setContentsMargins(4, 4, 4, 4);

    auto *row = new QHBoxLayout;
    m_edit = new QLineEdit(body);
    m_edit->setObjectName(QStringLiteral("edWatchAddress"));
    m_edit->setPlaceholderText(tr("Address to watch (empty: the address box's)"));
    m_edit->setAccessibleName(tr("Address to watch"));
    m_edit->setAccessibleDescription(tr("Enter adds it; empty adds the address box's address"));
    auto *add = Button(tr("Add"), tr("Watch this address"), "btnWatchAdd", body);
    auto *remove = Button(tr("Remove"), tr("Stop watching (Delete)"), "btnWatchRemove", body);
    m_up = Button(tr("Up", "move the row"), tr("Move up"), "btnWatchUp", body);
    m_down = Button(tr("Down", "move the row"), tr("Move down"), "btnWatchDown", body);
    m_failingFirstButton =
        Button(tr("Failing first"), tr("Show the addresses that are down at the top"),
               "btnWatchFailingFirst", body);
    m_failingFirstButton->setCheckable(true);
    row->addWidget(m_edit, 1);
    for (QToolButton *b : {add, remove, m_up, m_down, m_failingFirstButton})
        row->addWidget(b);
    column->addLayout(row);

    m_table = new QTableWidget(0, ColumnCount, body);
    m_table->setObjectName(QStringLiteral("tblWatched"));
    m_table->setAccessibleName(tr("Watched addresses"));
    m_table->setHorizontalHeaderLabels({tr("State"), tr("Address"), tr("Last ping"),
                                        tr("Last result"), tr("Uptime 24 h"), tr("Next ping")});
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed);
    m_table->setSortingEnabled(false); // the panel keeps its own order (see ComputeOrder)
    m_table->setWordWrap(false);       // one line a row: a long result is cut, its tool-tip whole
    m_table->setItemDelegateForColumn(ColAddress, new AddressDelegate(m_table));
    m_table->verticalHeader()->hide();
    // Widths from the font, not from the contents: sizing to contents measures every row again
    // on every change, which a list of hundreds pays for every second. The address takes what
    // the others leave.
    QHeaderView *header = m_table->horizontalHeader();
    const QFontMetrics metrics(m_table->font());
    const int pad = 2 * metrics.averageCharWidth() + 8;
    const auto widest = [&metrics](std::initializer_list<QString> texts) {
        int width = 0;
        for (const QString &text : texts)
            width = qMax(width, metrics.horizontalAdvance(text));
        return width;
    };
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setSectionResizeMode(ColAddress, QHeaderView::Stretch);
    header->setSectionResizeMode(ColState, QHeaderView::Fixed);
    header->resizeSection(ColState, m_table->iconSize().width() + 4 +
                                        widest({tr("Pinging"), tr("Down", "state"), tr("State")}) +
                                        pad);
    header->resizeSection(
        ColLastPing,
        widest({QStringLiteral("88:88:88"), QStringLiteral("8888-88-88"), tr("Last ping")}) + pad);
    header->resizeSection(
        ColResult, widest({QStringLiteral("completed in 0.000 s"), tr("Last result")}) + pad);
    header->resizeSection(ColUptime, widest({QStringLiteral("100.0%"), tr("Uptime 24 h")}) + pad);
    header->resizeSection(ColNext,
                          widest({QStringLiteral("88:88"), tr("pinging"), tr("Next ping")}) + pad);
    header->setMinimumSectionSize(metrics.horizontalAdvance(QStringLiteral("8888")));
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(true);
    header->setSortIndicatorClearable(true); // a third click: the list's own order again
    header->setSortIndicator(-1, Qt::AscendingOrder);
    header->setToolTip(tr("Click a column to sort by it"));
    m_table->setContextMenuPolicy(Qt::CustomContextMenu);
    m_table->installEventFilter(this);
    m_edit->installEventFilter(this);
    column->addWidget(m_table, 1);

    m_undoLabel = new QLabel(body);
    m_undoLabel->setObjectName(QStringLiteral("lblWatchUndo"));
    m_undoLabel->setTextFormat(Qt::RichText);
    m_undoLabel->setTextInteractionFlags(Qt::LinksAccessibleByMouse |
                                         Qt::LinksAccessibleByKeyboard);
    m_undoLabel->hide();
    column->addWidget(m_undoLabel);
    setWidget(body);

    m_countdown = new QTimer(this);
    m_countdown->setInterval(1000);
    connect(m_countdown, &QTimer::timeout, this, &TWatchPanel::UpdateCountdowns);
    m_resort = new QTimer(this);
    m_resort->setSingleShot(true);
    m_resort->setInterval(ResortMs);
    connect(m_resort, &QTimer::timeout, this, &TWatchPanel::Rebuild);
    m_undoShown = new QTimer(this);
    m_undoShown->setSingleShot(true);
    m_undoShown->setInterval(UndoShownMs);
    connect(m_undoShown, &QTimer::timeout, m_undoLabel, &QLabel::hide);

    connect(add, &QToolButton::clicked, this, &TWatchPanel::AddAddress);
    connect(m_edit, &QLineEdit::returnPressed, this, &TWatchPanel::AddAddress);
    connect(remove, &QToolButton::clicked, this, &TWatchPanel::RemoveSelected);
    connect(m_up, &QToolButton::clicked, this, [this] { MoveSelected(-1); });
    connect(m_down, &QToolButton::clicked, this, [this] { MoveSelected(1); });
    connect(m_failingFirstButton, &QToolButton::toggled, this, &TWatchPanel::SetFailingFirst);
    connect(header, &QHeaderView::sortIndicatorChanged, this, &TWatchPanel::SortBy);
    connect(m_undoLabel, &QLabel::linkActivated, this, [this] { UndoRemove(); });
    connect(m_table, &QTableWidget::customContextMenuRequested, this,
            &TWatchPanel::ShowContextMenu);
    connect(m_table, &QTableWidget::cellChanged, this, &TWatchPanel::CommitEdit);
    connect(m_list, &WatchList::rowsChanged, this, &TWatchPanel::Rebuild);
    connect(m_list, &WatchList::rowChanged, this, [this](int row) {
        // Hidden, nobody sees the row: showing the dock brings every row up to date.
        if (!isVisible())
            return;
        UpdateRow(row);
        if (Sorted() && !m_resort->isActive())
            m_resort->start();
    });
    Rebuild();
}

int TWatchPanel::ListIndexAt(int tableRow) const { return m_order.value(tableRow, -1); }

int TWatchPanel::TableRowOf(int listIndex) const { return m_rowOf.value(listIndex, -1); }

int TWatchPanel::SelectedRow() const {
    const QList<QTableWidgetItem *> items = m_table->selectedItems();
    return items.isEmpty() ? -1 : ListIndexAt(items.first()->row());
}

void TWatchPanel::SelectListRow(int listIndex) {
    const int row = TableRowOf(listIndex);
    if (row >= 0)
        m_table->selectRow(row);
}

int TWatchPanel::ShownHeight() const { return isVisible() ? height() : m_shownHeight; }

void TWatchPanel::AddAddress() {
    QString text = m_edit->text();
    if (text.trimmed().isEmpty() && m_current)
        text = m_current();
    QString why;
    if (!m_list->Add(text, &why)) {
        ShowMessageBox(this, why, tr("Warning"), MessageIcon::Warning);
        return;
    }
    m_edit->clear();
    SelectListRow(m_list->Count() - 1);
}

void TWatchPanel::AddLines(const QStringList &lines) {
    QStringList refused;
    int added = 0;
    for (const QString &line : lines) {
        const QString text = TrimControl(line);
        if (text.isEmpty())
            continue;
        QString why;
        if (m_list->Add(text, &why))
            ++added;
        else
            refused << QStringLiteral("%1: %2").arg(text.left(200), why);
    }
    if (added > 0)
        SelectListRow(m_list->Count() - 1);
    if (refused.isEmpty())
        return;
    const qsizetype total = added + refused.size();
    // A long paste of junk names the first few, not hundreds of lines in one box.
    if (refused.size() > MaxNamedRefusals) {
        const qsizetype more = refused.size() - MaxNamedRefusals;
        refused = refused.mid(0, MaxNamedRefusals);
        refused << tr("... and %1 more.").arg(more);
    }
    ShowMessageBox(this,
                   tr("%1 of %2 addresses added. Not added:\n").arg(added).arg(total) +
                       refused.join(QLatin1Char('\n')),
                   tr("Warning"), MessageIcon::Warning);
}

bool TWatchPanel::PasteLines(bool intoField) {
    const QString text = QApplication::clipboard()->text();
    QStringList lines = text.split(QRegularExpression(QStringLiteral("[\r\n]+")));
    lines.removeIf([](const QString &line) { return TrimControl(line).isEmpty(); });
    if (lines.isEmpty())
        return false;
    // A single line pasted into the field stays there to be edited, without its line break.
    if (intoField && lines.size() == 1) {
        m_edit->insert(TrimControl(lines.constFirst()));
        return true;
    }
    AddLines(lines);
    return true;
}

void TWatchPanel::RemoveSelected() {
    const int index = SelectedRow();
    if (index < 0)
        return;
    const int tableRow = TableRowOf(index);
    m_removed << Removed{m_list->RowAt(index).address, index};
    m_list->Remove(index);
    if (m_list->Count() > 0)
        m_table->selectRow(qMin(tableRow, m_list->Count() - 1));
    ShowUndo();
}

void TWatchPanel::ShowUndo() {
    if (m_removed.isEmpty()) {
        m_undoLabel->hide();
        m_undoShown->stop();
        return;
    }
    m_undoLabel->setText(tr("Removed %1. <a href=\"undo\">Undo</a> (Ctrl+Z)")
                             .arg(m_removed.constLast().address.toHtmlEscaped()));
    m_undoLabel->show();
    m_undoShown->start();
}

bool TWatchPanel::UndoRemove() {
    while (!m_removed.isEmpty()) {
        const Removed removed = m_removed.takeLast();
        // Added again by hand meanwhile: nothing to bring back for this one.
        if (!m_list->Add(removed.address))
            continue;
        const int to = qMin(removed.index, m_list->Count() - 1);
        m_list->Move(m_list->Count() - 1, to);
        SelectListRow(to);
        ShowUndo();
        return true;
    }
    ShowUndo();
    return false;
}

void TWatchPanel::MoveSelected(int by) {
    // Up and Down move rows within the list's own order, which a sorted table does not show.
    if (Sorted())
        return;
    const int row = SelectedRow();
    const int to = row + by;
    if (row < 0 || to < 0 || to >= m_list->Count())
        return;
    m_list->Move(row, to);
    SelectListRow(to);
}

void TWatchPanel::PingSelected() { m_list->PingNow(SelectedRow()); }

void TWatchPanel::SortBy(int column, Qt::SortOrder order) {
    m_sortColumn = column >= 0 && column < ColumnCount ? column : -1;
    m_sortOrder = order;
    QHeaderView *header = m_table->horizontalHeader();
    if (header->sortIndicatorSection() != m_sortColumn || header->sortIndicatorOrder() != order) {
        const QSignalBlocker quiet(header);
        header->setSortIndicator(m_sortColumn, order);
    }
    Rebuild();
}

void TWatchPanel::SetFailingFirst(bool on) {
    m_failingFirst = on;
    if (m_failingFirstButton->isChecked() != on) {
        const QSignalBlocker quiet(m_failingFirstButton);
        m_failingFirstButton->setChecked(on);
    }
    Rebuild();
}

void TWatchPanel::ComputeOrder() {
    const int count = m_list->Count();
    m_order.resize(count);
    std::iota(m_order.begin(), m_order.end(), 0);
    if (Sorted()) {
        QList<WatchList::Row> rows;
        rows.reserve(count);
        for (int i = 0; i < count; ++i)
            rows << m_list->RowAt(i);
        // Stable: rows that compare equal keep the list's order.
        std::stable_sort(m_order.begin(), m_order.end(), [&](int a, int b) {
            const WatchList::Row &ra = rows.at(a);
            const WatchList::Row &rb = rows.at(b);
            if (m_failingFirst) {
                const bool fa = ra.outcome == WatchList::Failed;
                const bool fb = rb.outcome == WatchList::Failed;
                if (fa != fb)
                    return fa;
            }
            if (m_sortColumn < 0)
                return false;
            const int c = Compare(ra, rb, m_sortColumn);
            return m_sortOrder == Qt::AscendingOrder ? c < 0 : c > 0;
        });
    }
    m_rowOf.resize(count);
    for (int row = 0; row < count; ++row)
        m_rowOf[m_order.at(row)] = row;
    m_up->setEnabled(!Sorted());
    m_down->setEnabled(!Sorted());
}

void TWatchPanel::Rebuild() {
    m_resort->stop();
    m_rebuilding = true;
    // The selection follows its address, wherever the new order puts it.
    const int selectedIndex = SelectedRow();
    const QString selectedAddress =
        selectedIndex >= 0 ? m_list->RowAt(selectedIndex).address : QString();
    const int selectedTableRow = selectedIndex >= 0 ? TableRowOf(selectedIndex) : -1;
    ComputeOrder();
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
        UpdateTableRow(row);
    }
    int target = -1;
    if (selectedIndex >= 0) {
        const int index = m_list->Addresses().indexOf(selectedAddress);
        target = index >= 0 ? TableRowOf(index) : selectedTableRow;
    }
    // Selected again only when lost: selecting moves the current cell, which would close an
    // editor whose commit is what rebuilt the table.
    if (target >= 0 && target < m_list->Count()) {
        const QList<QTableWidgetItem *> items = m_table->selectedItems();
        if (items.isEmpty() || items.first()->row() != target)
            m_table->selectRow(target);
    }
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

void TWatchPanel::UpdateRow(int listIndex) { UpdateTableRow(TableRowOf(listIndex)); }

void TWatchPanel::UpdateTableRow(int tableRow) {
    const int index = ListIndexAt(tableRow);
    if (index < 0 || tableRow >= m_table->rowCount() || !m_table->item(tableRow, ColNext))
        return;
    const bool wasRebuilding = m_rebuilding;
    m_rebuilding = true;
    const WatchList::Row data = m_list->RowAt(index);
    const int image = int(data.state);
    const auto item = [this, tableRow](int column) { return m_table->item(tableRow, column); };
    // A snoozed row: the muted mark on its state, and until when in its tool-tips.
    const QDateTime snoozed = m_session ? m_session->SnoozedUntil(data.address) : QDateTime();
    const QList<QIcon> &images = snoozed.isValid() ? m_mutedImages : m_images;
    const QString snoozeTip = snoozed.isValid()
                                  ? tr("Alerts snoozed until %1")
                                        .arg(SnoozeEndText(snoozed, QDateTime::currentDateTime()))
                                  : QString();
    item(ColState)->setIcon(image < images.size() ? images.at(image) : QIcon());
    item(ColState)->setText(StateText(data));
    // Read out instead of the picture and its short text: the state in words.
    item(ColState)->setData(Qt::AccessibleTextRole, AccessibleStateText(data));
    item(ColState)->setToolTip(snoozeTip);
    item(ColAddress)->setText(data.address);
    item(ColAddress)
        ->setToolTip(snoozed.isValid() ? data.address + QLatin1Char('\n') + snoozeTip
                                       : data.address);
    item(ColLastPing)->setText(LastPingText(data.lastPing));
    item(ColLastPing)
        ->setToolTip(data.lastPing.isValid() ? data.lastPing.toLocalTime().toString(
                                                   QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                                             : QString());
    item(ColResult)->setText(ResultText(data.lastResult));
    item(ColResult)->setToolTip(ResultText(data.lastResult));
    item(ColUptime)->setText(UptimeText(data));
    item(ColNext)->setText(data.state == WatchList::UnderWay ? tr("pinging")
                                                             : NextText(data.msToNext));
    // A failing row is marked by its colour and, for whoever cannot tell colours, its state.
    const QBrush background =
        data.outcome == WatchList::Failed
            ? QBrush(Blend(palette().color(QPalette::Base), FailureTint, FailureTintShare))
            : QBrush();
    // A row not checked says nothing of its address: grey, like a disabled one.
    const QBrush text = data.state == WatchList::NotChecked
                            ? palette().brush(QPalette::Disabled, QPalette::Text)
                            : QBrush();
    for (int column = 0; column < ColumnCount; ++column) {
        if (item(column)->background() != background)
            item(column)->setBackground(background);
        if (item(column)->foreground() != text)
            item(column)->setForeground(text);
    }
    m_rebuilding = wasRebuilding;
}

void TWatchPanel::UpdateCountdowns() {
    for (int row = 0; row < m_table->rowCount(); ++row)
        UpdateTableRow(row);
}

void TWatchPanel::CommitEdit(int row, int column) {
    if (m_rebuilding || column != ColAddress)
        return;
    const int index = ListIndexAt(row);
    const QString text = m_table->item(row, column)->text();
    if (index < 0 || text == m_list->RowAt(index).address)
        return;
    QString why;
    if (m_list->Replace(index, text, &why))
        return;
    // The old address back in the cell at once; the warning once the editor has closed, so
    // that a modal box does not hold the view in the middle of its commit.
    m_rebuilding = true;
    m_table->item(row, column)->setText(m_list->RowAt(index).address);
    m_rebuilding = false;
    QMetaObject::invokeMethod(
        this, [this, why] { ShowMessageBox(this, why, tr("Warning"), MessageIcon::Warning); },
        Qt::QueuedConnection);
}

void TWatchPanel::ShowContextMenu(const QPoint &pos) {
    const int index = ListIndexAt(m_table->rowAt(pos.y()));
    if (index < 0)
        return;
    SelectListRow(index);
    const WatchList::Row data = m_list->RowAt(index);
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("mnWatched"));
    // By address, not by index: the list may change while the menu is open.
    const QString address = data.address;
    menu.addAction(tr("Ping now"), this,
                   [this, address] { m_list->PingNow(m_list->Addresses().indexOf(address)); });
    menu.addAction(tr("Copy address"), this,
                   [data] { QApplication::clipboard()->setText(data.address); });
    menu.addAction(tr("Copy last result"), this,
                   [data] { QApplication::clipboard()->setText(data.lastResult); });
    if (m_historyAvailable)
        menu.addAction(tr("History"), this, [this, address] { emit historyRequested(address); });
    if (m_session) {
        menu.addSeparator();
        QMenu *snooze = menu.addMenu(tr("Snooze alerts"));
        snooze->setObjectName(QStringLiteral("mnWatchedSnooze"));
        const QList<std::pair<QString, SnoozeList::Choice>> choices = {
            {tr("1 hour"), SnoozeList::Choice::OneHour},
            {tr("4 hours"), SnoozeList::Choice::FourHours},
            {tr("Until tomorrow 08:00"), SnoozeList::Choice::TomorrowMorning}};
        for (const auto &[caption, choice] : choices)
            snooze->addAction(caption, this, [this, address, choice = choice] {
                m_session->Snooze(address, SnoozeList::EndOf(choice, QDateTime::currentDateTime()));
            });
        // Its own snooze only: a snooze of every address ends from the tray menu.
        QAction *resume = menu.addAction(tr("Resume alerts"), this,
                                         [this, address] { m_session->Resume(address); });
        resume->setEnabled(m_session->Alerts()
                               ->Snoozes()
                               .OwnUntil(data.address, QDateTime::currentDateTimeUtc())
                               .isValid());
    }
    menu.exec(m_table->viewport()->mapToGlobal(pos));
}

bool TWatchPanel::eventFilter(QObject *watched, QEvent *event) {
    if ((watched == m_table || watched == m_edit) && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->matches(QKeySequence::Paste) && PasteLines(watched == m_edit))
            return true;
        // An address being edited gets these keys from its editor, not from the table.
        if (watched == m_table && key->key() == Qt::Key_Delete) {
            RemoveSelected();
            return true;
        }
        if (watched == m_table && key->matches(QKeySequence::Undo)) {
            UndoRemove();
            return true;
        }
    }
    return QDockWidget::eventFilter(watched, event);
}

void TWatchPanel::showEvent(QShowEvent *event) {
    QDockWidget::showEvent(event);
    // The countdown column only ticks while someone can see it.
    Rebuild();
    m_countdown->start();
}

void TWatchPanel::hideEvent(QHideEvent *event) {
    m_shownHeight = height();
    QDockWidget::hideEvent(event);
    m_countdown->stop();
}

void TWatchPanel::changeEvent(QEvent *event) {
    QDockWidget::changeEvent(event);
    // The failing rows' colour comes from the palette.
    if (event->type() == QEvent::PaletteChange)
        UpdateCountdowns();
}
