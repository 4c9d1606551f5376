#pragma once

#include <QLineEdit>

enum TNumberEditAlign : quint8 { neLeft = 0, neRight = 1 };

// A one-line field for whole numbers. Typed characters other than the digits are dropped (a
// program or a paste may still put any text in it), the text can be zero-padded to MaxLength
// digits, and Number reads the text as an integer with -1 for anything unreadable.
//
// MaxLength limits what the user types or pastes, never what the program sets: use
// SetMaxLength rather than QLineEdit::setMaxLength, which would also cut a stored value
// such as 150 in a two-digit field down to 15.
class TNumberEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit TNumberEdit(QWidget *parent = nullptr);

    TNumberEditAlign Align() const { return FAlign; }
    // Re-applies the alignment even when it did not change; the text stays.
    void SetAlign(TNumberEditAlign value);

    bool PadNumber() const { return FPadNumber; }
    // On: pads at once. Off: rewrites the text as its plain number (0 when unreadable).
    void SetPadNumber(bool value);

    // -1 when the text is empty, not an optional sign followed by decimal digits, or out of
    // the 32-bit range.
    int Number() const;
    void SetNumber(int value);

    // 0 means no limit (and no padding width).
    int MaxLength() const { return FMaxLength; }
    void SetMaxLength(int value);

    // The text as a 32-bit integer, or fallback when it is not one.
    static int TextToInt(const QString &text, int fallback);

protected:
    void connectNotify(const QMetaMethod &signal) override;
    void keyPressEvent(QKeyEvent *event) override;
    void keyReleaseEvent(QKeyEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void inputMethodEvent(QInputMethodEvent *event) override;

private:
    void ConnectPadding();
    void ApplyPadding();
    bool WouldExceedLimit(int insertedLength) const;

    TNumberEditAlign FAlign = neRight;
    bool FPadNumber = false;
    // Set from a key press until that field's own key release: a change made while a key is
    // down is the user typing, which is not padded until the field is left.
    bool FKeyDown = false;
    int FMaxLength = 0;
    // Padding runs behind every other textChanged listener (see connectNotify).
    QMetaObject::Connection m_padding;
    bool m_connectingPadding = false;
};
