#include "app/InstanceStart.h"

#include "engine/PingTarget.h"
#include "platform/SingleInstance.h"
#include "platform/gui/MessageBox.h"

#include <QCoreApplication>

#include <cstdio>

std::optional<int> ClaimSingleInstance(SingleInstance &instance) {
    if (instance.tryLock())
        return std::nullopt;
    if (instance.errorString().isEmpty()) {
        if (instance.holderRole() == QLatin1String("service")) {
            // The monitor runs headless (vennatro --serve): two monitors of one store would
            // alert twice, and a service has no window to wake.
            // The standard error stays English, the box speaks the user's language.
            const char *reason = QT_TRANSLATE_NOOP(
                "InstanceStart",
                "Vennatro already runs as a service (vennatro --serve) in this session; stop it "
                "before starting the window (systemctl --user stop vennatro).");
            fprintf(stderr, "Vennatro: %s\n", reason);
            ShowMessageBox(nullptr, QCoreApplication::translate("InstanceStart", reason),
                           QLatin1String(ApplicationTitle), MessageIcon::Error);
            return 1;
        }
        // Another instance runs: wake it and end without a window of our own.
        ActivatePreviousInstance(QStringLiteral("TfMain_Vennatro"));
        return 0;
    }
    // No lock could be taken at all. A start from the desktop has no terminal to read, so the
    // reason goes to a message box as well as to the standard error.
    const QString reason = instance.errorString();
    fprintf(stderr, "Vennatro: %s\n", qPrintable(reason));
    ShowMessageBox(
        nullptr,
        QCoreApplication::translate("InstanceStart", "Vennatro cannot start.\n\n%1").arg(reason),
        QLatin1String(ApplicationTitle), MessageIcon::Error);
    return 1;
}
