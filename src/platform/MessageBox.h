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

void ShowMessageBox(QWidget *owner, const QString &text, const QString &caption, MessageIcon icon);

// Replaces the real QMessageBox (tests); an empty hook restores it.
void SetMessageBoxHook(MessageBoxHook hook);
