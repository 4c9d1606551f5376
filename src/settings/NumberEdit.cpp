#include "settings/NumberEdit.h"

#include <QFocusEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMetaMethod>
#include <QValidator>

#include <algorithm>
#include <limits>

namespace {

bool IsDigit(QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }

// Keeps pasted or dropped text within the field's MaxLength. A validator is not consulted
// when the program sets the text, which is exactly the rule wanted here.
class TLengthLimit : public QValidator {
public:
    explicit TLengthLimit(TNumberEdit *edit) : QValidator(edit), m_edit(edit) {}
    State validate(QString &input, int &) const override {
        const int limit = m_edit->MaxLength();
        return limit > 0 && input.size() > limit ? Invalid : Acceptable;
    }

private:
    const TNumberEdit *m_edit;
};

} // namespace

TNumberEdit::TNumberEdit(QWidget *parent) : QLineEdit(parent) {
    setValidator(new TLengthLimit(this));
    SetAlign(neRight);
    ConnectPadding();
}

void TNumberEdit::ConnectPadding() {
    m_connectingPadding = true;
    disconnect(m_padding);
    m_padding = connect(this, &QLineEdit::textChanged, this, &TNumberEdit::ApplyPadding);
    m_connectingPadding = false;
}

void TNumberEdit::connectNotify(const QMetaMethod &signal) {
    QLineEdit::connectNotify(signal);
    // A change is announced first and padded afterwards. Were the padding to run before a
    // listener, the listener would hear of the padded text and then, last, of the unpadded
    // text that is no longer there; so the padding moves behind each new listener.
    if (!m_connectingPadding && signal == QMetaMethod::fromSignal(&QLineEdit::textChanged))
        ConnectPadding();
}

void TNumberEdit::SetAlign(TNumberEditAlign value) {
    FAlign = value;
    setAlignment((value == neRight ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter);
}

void TNumberEdit::SetPadNumber(bool value) {
    FPadNumber = value;
    if (FPadNumber)
        ApplyPadding();
    else
        setText(QString::number(TextToInt(text(), 0)));
}

int TNumberEdit::Number() const { return TextToInt(text(), -1); }

void TNumberEdit::SetNumber(int value) { setText(QString::number(value)); }

void TNumberEdit::SetMaxLength(int value) { FMaxLength = qMax(0, value); }

int TNumberEdit::TextToInt(const QString &text, int fallback) {
    qsizetype i = 0;
    bool negative = false;
    if (!text.isEmpty() && (text[0] == QLatin1Char('+') || text[0] == QLatin1Char('-'))) {
        negative = text[0] == QLatin1Char('-');
        i = 1;
    }
    if (i >= text.size())
        return fallback;
    // One more than INT_MAX still fits a negative value.
    const qint64 bound = qint64(std::numeric_limits<int>::max()) + 1;
    qint64 value = 0;
    for (; i < text.size(); ++i) {
        if (!IsDigit(text[i]))
            return fallback;
        value = value * 10 + (text[i].unicode() - '0');
        if (value > bound)
            return fallback;
    }
    if (negative)
        value = -value;
    if (value > std::numeric_limits<int>::max())
        return fallback;
    return int(value);
}

bool TNumberEdit::WouldExceedLimit(int insertedLength) const {
    if (FMaxLength <= 0)
        return false;
    return text().size() - selectedText().size() + insertedLength > FMaxLength;
}

void TNumberEdit::keyPressEvent(QKeyEvent *event) {
    FKeyDown = true;
    const QString typed = event->text();
    // Ctrl or Meta make a command (select all, copy...), not a character; Ctrl with Alt is
    // AltGr on some systems, which does type one.
    const Qt::KeyboardModifiers mods = event->modifiers();
    const bool command =
        (mods & (Qt::ControlModifier | Qt::MetaModifier)) && !(mods & Qt::AltModifier);
    if (!command && !typed.isEmpty() && typed[0].isPrint()) {
        const bool digitsOnly = std::all_of(typed.begin(), typed.end(), IsDigit);
        if (!digitsOnly || WouldExceedLimit(int(typed.size()))) {
            event->accept();
            return;
        }
    }
    QLineEdit::keyPressEvent(event);
}

void TNumberEdit::keyReleaseEvent(QKeyEvent *event) {
    // X11 reports a held key as release/press pairs; only the real release ends the key-down.
    if (!event->isAutoRepeat())
        FKeyDown = false;
    QLineEdit::keyReleaseEvent(event);
}

void TNumberEdit::focusOutEvent(QFocusEvent *event) {
    // Leaving the field pads it; switching to another window or opening the field's own
    // context menu does not leave it.
    if (event->reason() != Qt::ActiveWindowFocusReason && event->reason() != Qt::PopupFocusReason)
        ApplyPadding();
    QLineEdit::focusOutEvent(event);
}

void TNumberEdit::inputMethodEvent(QInputMethodEvent *event) {
    const QString commit = event->commitString();
    if (std::all_of(commit.begin(), commit.end(), IsDigit)) {
        QLineEdit::inputMethodEvent(event);
        return;
    }
    QString digits;
    for (QChar c : commit)
        if (IsDigit(c))
            digits += c;
    QInputMethodEvent filtered(event->preeditString(), event->attributes());
    filtered.setCommitString(digits, event->replacementStart(), event->replacementLength());
    QLineEdit::inputMethodEvent(&filtered);
    event->accept();
}

void TNumberEdit::ApplyPadding() {
    if (!FPadNumber || FKeyDown)
        return;
    const int value = TextToInt(text(), 0);
    QString digits = QString::number(qAbs(qint64(value)));
    if (digits.size() < FMaxLength)
        digits.prepend(QString(FMaxLength - digits.size(), QLatin1Char('0')));
    const QString padded = value < 0 ? QLatin1Char('-') + digits : digits;
    if (padded != text())
        setText(padded);
}
