#include "app/Application.h"

#include "engine/PingTarget.h"
#include "platform/AppErrors.h"

VennatroApplication::VennatroApplication(int &argc, char **argv) : QApplication(argc, argv) {
    setApplicationName(QLatin1String(ApplicationTitle));
    setOrganizationName(QStringLiteral("Lumo Dev"));
    // The installed desktop entry's name: desktops match the windows (Wayland's app id) and
    // the notifications to it, for its icon and name.
    setDesktopFileName(QStringLiteral("dev.lumo.Vennatro"));
    // Closing the window hides it to the tray; only the exit command ends the program.
    setQuitOnLastWindowClosed(false);
}

bool VennatroApplication::notify(QObject *receiver, QEvent *event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        HandleApplicationException(std::current_exception());
        return false;
    }
}

bool StartQuiet(const QStringList &arguments) {
    return arguments.size() > 1 && arguments.at(1).toLower() == QLatin1String("-quiet");
}
