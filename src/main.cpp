// The program entry: the command line and the headless service run here; for the window this
// process becomes the window's own program (vennatro-window) by exec, so that the command line
// and the service never load the widget libraries (that alone would take longer than a ping).

#include "cli/PingCommand.h"
#include "platform/ProgramStart.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char *argv[]) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (IsCommandLine(arguments)) {
        // No display, no single-instance lock: it runs beside a window and never wakes it.
        QCoreApplication app(argc, argv);
        return RunCommandLine(arguments, stdout, stderr);
    }
    return RunProgramInstead("vennatro-window", argv);
}
