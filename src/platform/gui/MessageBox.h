#pragma once

#include <QString>
#include <functional>

class QWidget;

enum class MessageIcon { None, Information, Warning, Error };

// One modal message: text, caption, icon, owner (may be null). Every message box of the
// program goes through ShowMessageBox so that tests can record them instead.
struct MessageBoxRequest {
    QWidget *owner = nullptr;
    QString text;
    QString caption;
    MessageIcon icon = MessageIcon::None;
};

using MessageBoxHook = std::function<void(const MessageBoxRequest &)>;

// With VENNATRO_TEST_ANNOUNCE_BOXES=1 in the environment, each box writes the line
// "Vennatro: message box open: TEXT" (line breaks made spaces) to standard error once its own
// event loop runs, so that a test driving the program from outside knows the box is up.
void ShowMessageBox(QWidget *owner, const QString &text, const QString &caption, MessageIcon icon);

// Replaces the real QMessageBox (tests); an empty hook restores it.
void SetMessageBoxHook(MessageBoxHook hook);

// Once the event loop has ended, or an end has been asked for, nobody may be left to answer a
// modal box (a log-out, a kill): it would wait for ever. From then on a message is written to
// standard error as "Vennatro: TEXT" and shown as a desktop notification where the session
// has a notification server (waiting half a second at most). A hook, when set, still gets
// every message instead.
void SetMessageBoxesAfterLoop(bool afterLoop);
bool MessageBoxesAfterLoop();
