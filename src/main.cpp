// The program entry: the command line and the headless service run here; for the window this
// process becomes the window's own program (vennatro-window) by exec, so that the command line
// and the service never load the widget libraries (that alone would take longer than a ping).

#include "cli/PingCommand.h"

#include <QCoreApplication>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

// The window program beside this one.
std::string WindowProgram() {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return "vennatro-window";
    std::string path(self, size_t(n));
    const size_t slash = path.rfind('/');
    return path.substr(0, slash + 1) + "vennatro-window";
}

} // namespace

int main(int argc, char *argv[]) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (IsCommandLine(arguments)) {
        // No display, no single-instance lock: it runs beside a window and never wakes it.
        QCoreApplication app(argc, argv);
        return RunCommandLine(arguments, stdout, stderr);
    }
    const std::string window = WindowProgram();
    ::execv(window.c_str(), argv);
    fprintf(stderr, "Vennatro: cannot start %s: %s\n", window.c_str(), strerror(errno));
    return 1;
}
