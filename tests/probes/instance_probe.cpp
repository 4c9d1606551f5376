// A stand-in for the program's start-up, run as a real process by test_singleinstance:
// takes the single-instance lock and reports activations on stdout ("locked", "activated"),
// or wakes the holder and ends with ProbeDelivered. "quit" on stdin ends a holder cleanly.
// "--temp-base DIR" puts the shared fallback folder in DIR instead of /tmp, so that a test
// never touches the real one.

#include "probes/instance_probe.h"
#include "platform/SingleInstance.h"
#include "support/UsualFunctions.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTextStream>

#include <unistd.h>

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);

    RegisterActivationMessage();
    SingleInstance instance(QString::fromLatin1(SingleInstanceName),
                            QString::fromLatin1(ActivationMessageName));
    const QStringList arguments = app.arguments();
    const qsizetype base = arguments.indexOf(QStringLiteral("--temp-base"));
    if (base > 0 && base + 1 < arguments.size()) {
        InstanceFolderPlaces places = InstanceFolderPlaces::FromEnvironment();
        places.sharedTemp = arguments.at(base + 1);
        instance.setFolderPlaces(places);
    }
    if (!instance.tryLock()) {
        if (!instance.errorString().isEmpty()) {
            err << instance.errorString() << Qt::endl;
            return ProbeNoFolder;
        }
        // With places of its own the probe wakes the holder itself: the program's function
        // looks where the environment says.
        const bool delivered = base > 0
                                   ? instance.activateRunning()
                                   : ActivatePreviousInstance(QStringLiteral("TfMain_Vennatro"));
        return delivered ? ProbeDelivered : ProbeNotDelivered;
    }

    QObject::connect(&instance, &SingleInstance::activationRequested,
                     [&out] { out << "activated" << Qt::endl; });

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&app, &input] {
        char buffer[64];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0 || QByteArray(buffer, int(got)).contains("quit")) {
            input.setEnabled(false);
            app.quit();
        }
    });

    out << "locked" << Qt::endl;
    return app.exec() == 0 ? ProbeEnded : 1;
}
