#include "app/Application.h"
#include "app/InstanceStart.h"
#include "app/Main.h"
#include "platform/QuitOnSignal.h"
#include "platform/SingleInstance.h"
#include "support/UsualFunctions.h"

#include <cstdio>

// The window program; `vennatro` starts it in its own process when no command-line option is
// given.
int main(int argc, char *argv[]) {
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
    if (const std::optional<int> exitCode = ClaimSingleInstance(instance))
        return *exitCode;

    QuitOnSignal quitOnSignal;
    const bool quiet = StartQuiet(app.arguments());
    TfMain_Vennatro window;
    QObject::connect(&instance, &SingleInstance::activationRequested, &window,
                     [&window] { window.ActivationMessage(); });
    if (!quiet)
        window.show();
    return app.exec();
}
