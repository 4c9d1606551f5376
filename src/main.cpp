#include "app/Main.h"
#include "app/Application.h"
#include "platform/QuitOnSignal.h"
#include "platform/SingleInstance.h"
#include "support/UsualFunctions.h"

#include <cstdio>

int main(int argc, char *argv[]) {
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
