#include "app/Main.h"
#include "app/Application.h"
#include "cli/PingCommand.h"
#include "platform/QuitOnSignal.h"
#include "platform/SingleInstance.h"
#include "support/UsualFunctions.h"

#include <cstdio>

int main(int argc, char *argv[]) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (IsCommandLine(arguments)) {
        // No display, no single-instance lock: it runs beside a window and never wakes it.
        QCoreApplication app(argc, argv);
        return RunPingCommand(arguments, stdout, stderr);
    }

    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        // Qt would abort with a message about its platform plugin; say what is wrong instead.
        fprintf(stderr, "Vennatro: there is no display to show the window on (neither DISPLAY nor "
                        "WAYLAND_DISPLAY is set).\nThe command line needs none: vennatro --ping "
                        "URL (see vennatro --help).\n");
        return 1;
    }
    VennatroApplication app(argc, argv);

    const QString message = RegisterActivationMessage();
    SingleInstance instance(QStringLiteral("Vennatro - Lumo"), message);
    if (!instance.tryLock()) {
        if (!instance.errorString().isEmpty()) {
            // No lock could be taken at all: say why instead of ending silently.
            fprintf(stderr, "Vennatro: %s\n", qPrintable(instance.errorString()));
            return 1;
        }
        // Another instance runs: wake it and end without a window of our own.
        ActivatePreviousInstance(QStringLiteral("TfMain_Vennatro"));
        return 0;
    }

    QuitOnSignal quitOnSignal;
    const bool quiet = StartQuiet(app.arguments());
    TfMain_Vennatro window;
    QObject::connect(&instance, &SingleInstance::activationRequested, &window,
                     [&window] { window.ActivationMessage(); });
    if (!quiet)
        window.show();
    return app.exec();
}
