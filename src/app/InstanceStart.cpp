#include "app/InstanceStart.h"

#include "engine/PingTarget.h"
#include "platform/SingleInstance.h"
#include "platform/gui/MessageBox.h"

#include <cstdio>

std::optional<int> ClaimSingleInstance(SingleInstance &instance) {
    if (instance.tryLock())
        return std::nullopt;
    if (instance.errorString().isEmpty()) {
        // Another instance runs: wake it and end without a window of our own.
        ActivatePreviousInstance(QStringLiteral("TfMain_Vennatro"));
        return 0;
    }
    // No lock could be taken at all. A start from the desktop has no terminal to read, so the
    // reason goes to a message box as well as to the standard error.
    const QString reason = instance.errorString();
    fprintf(stderr, "Vennatro: %s\n", qPrintable(reason));
    ShowMessageBox(nullptr, QStringLiteral("Vennatro cannot start.\n\n%1").arg(reason),
                   QLatin1String(ApplicationTitle), MessageIcon::Error);
    return 1;
}
