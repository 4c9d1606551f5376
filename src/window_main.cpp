#include "app/Application.h"
#include "app/InstanceStart.h"
#include "app/Main.h"
#include "platform/QuitOnSignal.h"
#include "platform/SingleInstance.h"
#include "platform/gui/MessageBox.h"
#include "platform/gui/Translation.h"
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
    // Before any window or box: everything the user reads in the user's language.
    InstallTranslations(app, QLocale::system());

    const QString message = RegisterActivationMessage();
    SingleInstance instance(QStringLiteral("Vennatro - Lumo"), message);
    if (const std::optional<int> exitCode = ClaimSingleInstance(instance))
        return *exitCode;

    QuitOnSignal quitOnSignal;
    // From the signal on, the program is ending: a box shown meanwhile would wait for ever.
    QObject::connect(&quitOnSignal, &QuitOnSignal::endRequested,
                     [] { SetMessageBoxesAfterLoop(true); });
    const bool quiet = StartQuiet(app.arguments());
    // The window is the view of a session it is handed; the session has no widgets.
    TfMain_Vennatro window(new PingSession(PingSession::Face::Window));
    // A signal during start-up (a box of the settings' load open, say) only ended that box's
    // loop; the program ends as from its own, the window saving as it goes.
    if (quitOnSignal.Requested())
        return 0;
    QObject::connect(&instance, &SingleInstance::activationRequested, &window,
                     [&window] { window.ActivationMessage(); });
    window.ShowAtStart(quiet);
    const int exitCode = app.exec();
    // The window saves when it goes, after this: nobody may be left to answer a box then.
    SetMessageBoxesAfterLoop(true);
    return exitCode;
}
