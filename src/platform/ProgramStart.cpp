#include "platform/ProgramStart.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

int RunProgramInstead(const char *name, char *argv[]) {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string program = name;
    if (n > 0) {
        const std::string path(self, size_t(n));
        program = path.substr(0, path.rfind('/') + 1) + name;
    }
    ::execv(program.c_str(), argv);
    fprintf(stderr, "Vennatro: cannot start %s: %s\n", program.c_str(), strerror(errno));
    return 1;
}
