#include "app/Main.h"
#include "app/WatchPanel.h"

#include "platform/AppErrors.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>

namespace {
const QString UriListFormat = QStringLiteral("text/uri-list");
const QString MozUrlFormat = QStringLiteral("text/x-moz-url");

// The address of a dropped link, exactly as dropped: the first link of text/uri-list (read
// from its bytes: a parsed URL would give %20 back as a blank), then text/x-moz-url (UTF-16:
// the address, a line break, the title). Plain text is no link.
QString DroppedLink(const QMimeData *data) {
    if (!data)
        return QString();
    if (data->hasFormat(UriListFormat)) {
        // One link a line; lines starting with '#' are comments.
        for (const QByteArray &line : data->data(UriListFormat).split('\n')) {
            const QByteArray link = line.trimmed();
            if (!link.isEmpty() && !link.startsWith('#'))
                return QString::fromUtf8(link);
        }
    }
    if (data->hasFormat(MozUrlFormat)) {
        const QByteArray raw = data->data(MozUrlFormat);
        QString text =
            QString::fromUtf16(reinterpret_cast<const char16_t *>(raw.constData()), raw.size() / 2);
        return text.section(QLatin1Char('\n'), 0, 0).trimmed();
    }
    return QString();
}
} // namespace

bool TfMain_Vennatro::cmbAddressKeyDown(QKeyEvent *event) {
    const bool listOpen = cmbAddress->view()->isVisible();
    switch (event->key()) {
    case Qt::Key_Tab:
        if (listOpen) {
            cmbAddress->hidePopup();
            return true;
        }
        return false;
    case Qt::Key_Return:
    case Qt::Key_Enter: {
        if (listOpen) {
            // Enter in the open list takes the highlighted entry, as a list does.
            const QModelIndex current = cmbAddress->view()->currentIndex();
            if (current.isValid())
                cmbAddress->setCurrentIndex(current.row());
            cmbAddress->hidePopup();
        }
        const QString text = cmbAddress->currentText();
        const QString lower = text.toLower();
        // Only a bare name is completed: text with a scheme of any kind ("https://...") is
        // left as typed.
        if ((event->modifiers() & Qt::ControlModifier) && !text.isEmpty() &&
            !lower.startsWith(QLatin1String("http://")) &&
            !lower.startsWith(QLatin1String("www.")) && !text.contains(QLatin1String("://")))
            cmbAddress->setEditText(QStringLiteral("http://www.") + text + QStringLiteral(".com/"));
        btnPingToolBar->click();
        return true; // the box must not act on Enter itself
    }
    case Qt::Key_Delete:
        if (listOpen) {
            const QModelIndex current = cmbAddress->view()->currentIndex();
            if (current.isValid()) {
                const QString text = cmbAddress->currentText();
                cmbAddress->removeItem(current.row());
                cmbAddress->setEditText(text);
            }
        }
        return false;
    default:
        return false;
    }
}

bool TfMain_Vennatro::cmbAddressKeyPress(QChar ch) {
    if (cmbAddress->view()->isVisible())
        return false;
    return ch == QLatin1Char('\r') || ch == QLatin1Char('\n') || ch == QLatin1Char('\t');
}

bool TfMain_Vennatro::IsCommandShortcut(const QKeyEvent *event) const {
    const QKeySequence pressed(event->keyCombination());
    for (const QAction *action : actions())
        if (!action->shortcut().isEmpty() && action->shortcut() == pressed)
            return true;
    return false;
}

bool TfMain_Vennatro::eventFilter(QObject *watched, QEvent *event) {
    if (watched == ToolBar && event->type() == QEvent::Resize)
        PlaceStatusImage();
    // The watched panel has the height asked for: from now on it is the user's.
    if (watched == WatchPanel && event->type() == QEvent::Resize &&
        qAbs(WatchPanel->height() - m_watchPanelHeight) <= 1)
        m_watchPanelHeight = 0;
    // A new palette (a dark theme, a style sheet): the pictures follow its colours.
    if (watched == ToolBar && event->type() == QEvent::PaletteChange)
        ApplyToolIcons();
    const bool ours = cmbAddress && (watched == cmbAddress || watched == cmbAddress->lineEdit() ||
                                     watched == cmbAddress->view());
    // The commands' shortcuts win over the box's own editing keys (Ctrl+A, Ctrl+U...): the box
    // has the focus nearly all the time, and the commands must answer there too.
    if (ours && event->type() == QEvent::ShortcutOverride &&
        IsCommandShortcut(static_cast<QKeyEvent *>(event))) {
        event->ignore();
        return true;
    }
    if (ours && event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        // An enabled command has taken its key before this; a disabled command's key comes on
        // as a key press, and it does nothing: the box would read Ctrl+U as "delete to the
        // start". The open list keeps its own keys (Esc closes it).
        if (watched != cmbAddress->view() && IsCommandShortcut(key))
            return true;
        // The Tab key itself moves the focus as usual; only a tab character is swallowed.
        const bool focusKey = key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab;
        bool consumed = false;
        GuardedCall([&] {
            consumed = cmbAddressKeyDown(key);
            if (!consumed && !focusKey && !key->text().isEmpty())
                consumed = cmbAddressKeyPress(key->text().at(0));
        });
        if (consumed)
            return true;
    }
    return TNotifyIconForm::eventFilter(watched, event);
}

void TfMain_Vennatro::dragEnterEvent(QDragEnterEvent *event) {
    if (!DroppedLink(event->mimeData()).isEmpty())
        event->acceptProposedAction();
    else
        event->ignore();
}

void TfMain_Vennatro::dropEvent(QDropEvent *event) {
    const QString link = DroppedLink(event->mimeData());
    if (link.isEmpty()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    GuardedCall([&] { DropURLTargetDrop(link); });
}

void TfMain_Vennatro::DropURLTargetDrop(const QString &url) {
    cmbAddress->setEditText(url);
    actPing->trigger(); // does nothing while an attempt is under way
}
