#include "platform/gui/MessageBox.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>

#include <cstdio>
#ifndef Q_OS_WIN
#include <QDBusConnection>
#include <QDBusMessage>
#endif

namespace {

struct MessageBoxState {
    MessageBoxHook hook;
    bool afterLoop = false;
};

MessageBoxState &state() {
    static MessageBoxState current;
    return current;
}

// A notification server that does not answer must not hold up the end of the program.
constexpr int NotifyTimeoutMs = 500;

// The texts use "\r" for a line break in places (as the Windows boxes did); a terminal would
// go back over the line instead.
QString WithNewlines(const QString &text) {
    QString result = text;
    result.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    result.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return result;
}

void WriteToStandardError(const QString &text) {
    const QByteArray line = "Vennatro: " + WithNewlines(text).toUtf8() + '\n';
    fwrite(line.constData(), 1, size_t(line.size()), stderr);
    fflush(stderr);
}

void NotifyDesktop(const QString &text, const QString &caption) {
#ifdef Q_OS_WIN
    // Windows shows a box without any help; the standard error has the text.
    Q_UNUSED(text);
    Q_UNUSED(caption);
#else
    if (!QCoreApplication::instance())
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    const QString summary = caption.isEmpty() ? QStringLiteral("Vennatro") : caption;
    // The icon installed under the desktop entry's name; the entry files it under the program.
    QVariantMap hints;
    if (!QGuiApplication::desktopFileName().isEmpty())
        hints.insert(QStringLiteral("desktop-entry"), QGuiApplication::desktopFileName());
    call << QStringLiteral("Vennatro") << quint32(0) << QStringLiteral("dev.lumo.Vennatro")
         << summary << WithNewlines(text) << QStringList() << hints << qint32(-1);
    bus.call(call, QDBus::Block, NotifyTimeoutMs);
#endif
}

void AnnounceOpenBox(const QString &text) {
    QString oneLine = WithNewlines(text);
    oneLine.replace(QLatin1Char('\n'), QLatin1Char(' '));
    const QByteArray line = "Vennatro: message box open: " + oneLine.toUtf8() + '\n';
    fwrite(line.constData(), 1, size_t(line.size()), stderr);
    fflush(stderr);
}

} // namespace

void SetMessageBoxHook(MessageBoxHook hook) { state().hook = std::move(hook); }

void SetMessageBoxesAfterLoop(bool afterLoop) { state().afterLoop = afterLoop; }

bool MessageBoxesAfterLoop() { return state().afterLoop; }

void ShowMessageBox(QWidget *owner, const QString &text, const QString &caption, MessageIcon icon) {
    if (state().hook) {
        state().hook(MessageBoxRequest{owner, text, caption, icon});
        return;
    }
    if (state().afterLoop) {
        WriteToStandardError(text);
        NotifyDesktop(text, caption);
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
    if (qEnvironmentVariableIntValue("VENNATRO_TEST_ANNOUNCE_BOXES") == 1) {
        // Posted before exec(): it runs in the box's own loop, so the box is shown by then.
        QTimer::singleShot(0, &box, [text] { AnnounceOpenBox(text); });
    }
    box.exec();
}
