// The numeric edit field: reading and writing Number, what typing may enter, and when the
// zero-padding happens.
#include "settings/NumberEdit.h"

#include <QApplication>
#include <QClipboard>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QVBoxLayout>
#include <QtTest>

#include <limits>
#include <memory>

namespace {

// Two number fields in a shown, active window, so focus really moves between them.
struct FocusWindow {
    QWidget window;
    TNumberEdit *first;
    TNumberEdit *second;
    FocusWindow() {
        auto *layout = new QVBoxLayout(&window);
        first = new TNumberEdit;
        second = new TNumberEdit;
        layout->addWidget(first);
        layout->addWidget(second);
        window.show();
        window.activateWindow();
    }
};

} // namespace

class TestNumberEdit : public QObject {
    Q_OBJECT
private slots:
    void numberReadsText_data();
    void numberReadsText();
    void settingNumberWritesPlainDecimal();
    void typingDropsEverythingButDigits();
    void programMaySetAnyText();
    void maxLengthLimitsTypingAndPastingOnly();
    void pastedTextIsNotFiltered();
    void inputMethodCommitKeepsDigitsOnly();
    void editingKeysStillWork();
    void typedNumberIsPaddedWhenLeavingTheField();
    void emptyFieldIsPaddedWhenLeft();
    void programChangesArePaddedAtOnce();
    void listenersHearTheChangeBeforeItsPadding();
    void noPaddingWhileAKeyIsDown();
    void keyReleasedElsewhereKeepsPaddingOff();
    void autoRepeatReleaseDoesNotEndTheKeyDown();
    void paddingOffNeverRewritesText();
    void turningPaddingOnPadsTurningItOffStrips();
    void alignmentChangesKeepTheText();
};

void TestNumberEdit::numberReadsText_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("number");
    QTest::newRow("empty") << "" << -1;
    QTest::newRow("padded") << "00025" << 25;
    QTest::newRow("zero") << "0" << 0;
    QTest::newRow("plus sign") << "+7" << 7;
    QTest::newRow("minus one") << "-1" << -1;
    QTest::newRow("largest") << "2147483647" << std::numeric_limits<int>::max();
    QTest::newRow("smallest") << "-2147483648" << std::numeric_limits<int>::min();
    QTest::newRow("one too many") << "2147483648" << -1;
    QTest::newRow("one too few") << "-2147483649" << -1;
    QTest::newRow("far too long") << "99999999999999999999" << -1;
    QTest::newRow("letters") << "12a" << -1;
    QTest::newRow("sign only") << "-" << -1;
    QTest::newRow("leading blank") << " 5" << -1;
    QTest::newRow("trailing blank") << "5 " << -1;
    QTest::newRow("hex") << "0x10" << -1;
    QTest::newRow("arabic-indic digits") << QString::fromUtf8("\u0661\u0662") << -1;
}

void TestNumberEdit::numberReadsText() {
    QFETCH(QString, text);
    QFETCH(int, number);
    TNumberEdit edit;
    edit.setText(text);
    QCOMPARE(edit.Number(), number);
    QCOMPARE(edit.text(), text); // reading never rewrites
}

void TestNumberEdit::settingNumberWritesPlainDecimal() {
    TNumberEdit edit;
    edit.SetMaxLength(5);
    edit.SetNumber(-1);
    QCOMPARE(edit.text(), QStringLiteral("-1"));
    edit.SetNumber(42);
    QCOMPARE(edit.text(), QStringLiteral("42"));
    // Wider than MaxLength: a stored value is shown whole, not cut.
    edit.SetNumber(1234567);
    QCOMPARE(edit.text(), QStringLiteral("1234567"));
    QCOMPARE(edit.Number(), 1234567);
}

void TestNumberEdit::typingDropsEverythingButDigits() {
    TNumberEdit edit;
    QTest::keyClicks(&edit, QStringLiteral("1a2-3 .4+x9"));
    QCOMPARE(edit.text(), QStringLiteral("12349"));
    QCOMPARE(edit.Number(), 12349);
}

void TestNumberEdit::programMaySetAnyText() {
    TNumberEdit edit;
    edit.setText(QStringLiteral("-1"));
    QCOMPARE(edit.text(), QStringLiteral("-1"));
    edit.setText(QStringLiteral("abc"));
    QCOMPARE(edit.text(), QStringLiteral("abc"));
    QCOMPARE(edit.Number(), -1);
}

void TestNumberEdit::maxLengthLimitsTypingAndPastingOnly() {
    TNumberEdit edit;
    edit.SetMaxLength(2);
    QTest::keyClicks(&edit, QStringLiteral("12345"));
    QCOMPARE(edit.text(), QStringLiteral("12"));

    // With the text selected, a typed digit replaces it and fits.
    edit.selectAll();
    QTest::keyClicks(&edit, QStringLiteral("7"));
    QCOMPARE(edit.text(), QStringLiteral("7"));

    QGuiApplication::clipboard()->setText(QStringLiteral("345"));
    edit.selectAll();
    edit.paste();
    QCOMPARE(edit.text(), QStringLiteral("7"));

    // The program is not held to the typing limit.
    edit.SetNumber(150);
    QCOMPARE(edit.text(), QStringLiteral("150"));
    QCOMPARE(edit.Number(), 150);
}

void TestNumberEdit::pastedTextIsNotFiltered() {
    // Only typing is filtered; what reaches the field otherwise reads through Number.
    TNumberEdit edit;
    QGuiApplication::clipboard()->setText(QStringLiteral("4x"));
    edit.paste();
    QCOMPARE(edit.text(), QStringLiteral("4x"));
    QCOMPARE(edit.Number(), -1);
}

void TestNumberEdit::inputMethodCommitKeepsDigitsOnly() {
    TNumberEdit edit;
    QInputMethodEvent commit;
    commit.setCommitString(QStringLiteral("1x2y"));
    QApplication::sendEvent(&edit, &commit);
    QCOMPARE(edit.text(), QStringLiteral("12"));
}

void TestNumberEdit::editingKeysStillWork() {
    TNumberEdit edit;
    QTest::keyClicks(&edit, QStringLiteral("123"));
    QTest::keyClick(&edit, Qt::Key_Backspace);
    QCOMPARE(edit.text(), QStringLiteral("12"));
    QTest::keyClick(&edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(&edit, QStringLiteral("9"));
    QCOMPARE(edit.text(), QStringLiteral("9"));
}

void TestNumberEdit::typedNumberIsPaddedWhenLeavingTheField() {
    FocusWindow w;
    QVERIFY(QTest::qWaitForWindowActive(&w.window));
    w.first->SetMaxLength(5);
    w.first->SetPadNumber(true);
    w.first->clear();
    w.first->setFocus();
    QTRY_VERIFY(w.first->hasFocus());
    QCOMPARE(w.first->text(), QStringLiteral("00000")); // clearing is a program change

    w.first->selectAll();
    QTest::keyClick(w.first, Qt::Key_7);
    QCOMPARE(w.first->text(), QStringLiteral("7")); // not while typing
    QTest::keyClick(w.first, Qt::Key_Tab);
    QTRY_VERIFY(w.second->hasFocus());
    QCOMPARE(w.first->text(), QStringLiteral("00007"));
}

void TestNumberEdit::emptyFieldIsPaddedWhenLeft() {
    FocusWindow w;
    QVERIFY(QTest::qWaitForWindowActive(&w.window));
    w.first->SetMaxLength(5);
    w.first->setFocus();
    QTRY_VERIFY(w.first->hasFocus());
    // Padding turned on while the field is empty pads at once; empty it by typing.
    w.first->SetPadNumber(true);
    QCOMPARE(w.first->text(), QStringLiteral("00000"));
    w.first->selectAll();
    QTest::keyClick(w.first, Qt::Key_Delete);
    QCOMPARE(w.first->text(), QString());
    w.second->setFocus();
    QTRY_VERIFY(w.second->hasFocus());
    QCOMPARE(w.first->text(), QStringLiteral("00000"));
}

void TestNumberEdit::programChangesArePaddedAtOnce() {
    TNumberEdit edit;
    edit.SetMaxLength(5);
    edit.SetPadNumber(true);
    edit.SetNumber(42);
    QCOMPARE(edit.text(), QStringLiteral("00042"));
    edit.SetNumber(-7);
    QCOMPARE(edit.text(), QStringLiteral("-00007")); // the sign stays in front
    edit.SetNumber(123456);
    QCOMPARE(edit.text(), QStringLiteral("123456")); // a longer number is not cut
    edit.setText(QStringLiteral("abc"));
    QCOMPARE(edit.text(), QStringLiteral("00000")); // unreadable counts as 0

    QSignalSpy changes(&edit, &QLineEdit::textChanged);
    edit.setText(QStringLiteral("9"));
    QCOMPARE(edit.text(), QStringLiteral("00009"));
    QCOMPARE(changes.size(), 2); // the change and its padding, then nothing more

    TNumberEdit unlimited;
    unlimited.SetPadNumber(true);
    unlimited.SetNumber(5);
    QCOMPARE(unlimited.text(), QStringLiteral("5")); // MaxLength 0: no minimum width
}

void TestNumberEdit::listenersHearTheChangeBeforeItsPadding() {
    TNumberEdit edit;
    edit.SetMaxLength(5);
    edit.SetPadNumber(true);
    QStringList heard;
    auto listener = std::make_unique<QObject>();
    connect(&edit, &QLineEdit::textChanged, listener.get(), [&](const QString &text) {
        heard << QStringLiteral("%1 (field %2)").arg(text, edit.text());
    });
    QSignalSpy later(&edit, &QLineEdit::textChanged);

    edit.SetNumber(9);
    // The change as made, then its padding; the last word is the text the field shows.
    QCOMPARE(heard, QStringList({"9 (field 9)", "00009 (field 00009)"}));
    QCOMPARE(later.size(), 2);
    QCOMPARE(later.at(0).at(0).toString(), QStringLiteral("9"));
    QCOMPARE(later.at(1).at(0).toString(), QStringLiteral("00009"));
    QCOMPARE(edit.text(), QStringLiteral("00009"));

    // Listeners that go away leave the padding working.
    heard.clear();
    listener.reset();
    edit.setText(QStringLiteral("12"));
    QCOMPARE(edit.text(), QStringLiteral("00012"));
    QVERIFY(heard.isEmpty());
}

void TestNumberEdit::noPaddingWhileAKeyIsDown() {
    TNumberEdit edit;
    edit.SetMaxLength(3);
    edit.SetPadNumber(true);
    QTest::keyPress(&edit, Qt::Key_Shift);
    edit.setText(QStringLiteral("8"));
    QCOMPARE(edit.text(), QStringLiteral("8"));
    QTest::keyRelease(&edit, Qt::Key_Shift);
    QCOMPARE(edit.text(), QStringLiteral("8")); // releasing does not pad by itself
    edit.setText(QStringLiteral("9"));
    QCOMPARE(edit.text(), QStringLiteral("009"));

    // A filtered key still counts as held down.
    QTest::keyPress(&edit, Qt::Key_X);
    edit.setText(QStringLiteral("1"));
    QCOMPARE(edit.text(), QStringLiteral("1"));
    QTest::keyRelease(&edit, Qt::Key_X);
    edit.setText(QStringLiteral("2"));
    QCOMPARE(edit.text(), QStringLiteral("002"));
}

void TestNumberEdit::keyReleasedElsewhereKeepsPaddingOff() {
    FocusWindow w;
    QVERIFY(QTest::qWaitForWindowActive(&w.window));
    w.first->SetMaxLength(4);
    w.first->SetPadNumber(true);
    w.first->clear();
    w.first->setFocus();
    QTRY_VERIFY(w.first->hasFocus());
    w.first->selectAll();
    QTest::keyPress(w.first, Qt::Key_5);
    QCOMPARE(w.first->text(), QStringLiteral("5"));

    // Focus leaves while the key is still down: leaving does not pad...
    w.second->setFocus();
    QTRY_VERIFY(w.second->hasFocus());
    QCOMPARE(w.first->text(), QStringLiteral("5"));
    // ...and the release arrives at the other field, so the first still waits.
    QTest::keyRelease(w.second, Qt::Key_5);
    w.first->setText(QStringLiteral("6"));
    QCOMPARE(w.first->text(), QStringLiteral("6"));

    // Its own next key release ends the wait.
    QTest::keyRelease(w.first, Qt::Key_Shift);
    w.first->setText(QStringLiteral("7"));
    QCOMPARE(w.first->text(), QStringLiteral("0007"));
}

void TestNumberEdit::autoRepeatReleaseDoesNotEndTheKeyDown() {
    TNumberEdit edit;
    edit.SetMaxLength(3);
    edit.SetPadNumber(true);
    QTest::keyPress(&edit, Qt::Key_1);
    QKeyEvent repeatRelease(QEvent::KeyRelease, Qt::Key_1, Qt::NoModifier, QStringLiteral("1"),
                            true);
    QApplication::sendEvent(&edit, &repeatRelease);
    edit.setText(QStringLiteral("4"));
    QCOMPARE(edit.text(), QStringLiteral("4"));
    QTest::keyRelease(&edit, Qt::Key_1);
    edit.setText(QStringLiteral("5"));
    QCOMPARE(edit.text(), QStringLiteral("005"));
}

void TestNumberEdit::paddingOffNeverRewritesText() {
    FocusWindow w;
    QVERIFY(QTest::qWaitForWindowActive(&w.window));
    w.first->SetMaxLength(5);
    w.first->setText(QStringLiteral("007"));
    QCOMPARE(w.first->text(), QStringLiteral("007"));
    w.first->setFocus();
    QTRY_VERIFY(w.first->hasFocus());
    QTest::keyClick(w.first, Qt::Key_End);
    QTest::keyClick(w.first, Qt::Key_1);
    w.second->setFocus();
    QTRY_VERIFY(w.second->hasFocus());
    QCOMPARE(w.first->text(), QStringLiteral("0071"));
    w.first->clear();
    QCOMPARE(w.first->text(), QString());
}

void TestNumberEdit::turningPaddingOnPadsTurningItOffStrips() {
    TNumberEdit edit;
    edit.SetMaxLength(5);
    edit.setText(QStringLiteral("42"));
    edit.SetPadNumber(true);
    QVERIFY(edit.PadNumber());
    QCOMPARE(edit.text(), QStringLiteral("00042"));
    edit.SetPadNumber(false);
    QVERIFY(!edit.PadNumber());
    QCOMPARE(edit.text(), QStringLiteral("42"));

    edit.clear();
    edit.SetPadNumber(false);
    QCOMPARE(edit.text(), QStringLiteral("0"));
    edit.setText(QStringLiteral("x1"));
    edit.SetPadNumber(false);
    QCOMPARE(edit.text(), QStringLiteral("0"));
    edit.setText(QStringLiteral("-0003"));
    edit.SetPadNumber(false);
    QCOMPARE(edit.text(), QStringLiteral("-3"));
}

void TestNumberEdit::alignmentChangesKeepTheText() {
    TNumberEdit edit;
    QCOMPARE(edit.Align(), neRight);
    QVERIFY(edit.alignment() & Qt::AlignRight);
    edit.setText(QStringLiteral("123"));
    edit.SetAlign(neLeft);
    QCOMPARE(edit.Align(), neLeft);
    QVERIFY(edit.alignment() & Qt::AlignLeft);
    QCOMPARE(edit.text(), QStringLiteral("123"));
    edit.SetAlign(neRight);
    QVERIFY(edit.alignment() & Qt::AlignRight);
    QCOMPARE(edit.text(), QStringLiteral("123"));
}

QTEST_MAIN(TestNumberEdit)
#include "test_numberedit.moc"
