#include "platform/MessageBox.h"

#include <QMessageBox>

namespace {
MessageBoxHook &hookSlot()
{
    static MessageBoxHook hook;
    return hook;
}
} // namespace

void SetMessageBoxHook(MessageBoxHook hook)
{
    hookSlot() = std::move(hook);
}

void ShowMessageBox(QWidget *owner, const QString &text, const QString &caption, MessageIcon icon)
{
    if (hookSlot()) {
        hookSlot()(MessageBoxRequest{owner, text, caption, icon});
        return;
    }
    QMessageBox::Icon qicon = QMessageBox::NoIcon;
    switch (icon) {
    case MessageIcon::Information:
        qicon = QMessageBox::Information;
        break;
    case MessageIcon::Warning:
        qicon = QMessageBox::Warning;
        break;
    case MessageIcon::Error:
        qicon = QMessageBox::Critical;
        break;
    case MessageIcon::None:
        break;
    }
    QMessageBox box(qicon, caption, text, QMessageBox::Ok, owner);
    box.exec();
}
