#include "platform/ProgramStart.h"

#include <cstdio>
#include <string>
#include <windows.h>

int RunProgramInstead(const char *name, char *[]) {
    wchar_t self[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring program(self, length);
    program = program.substr(0, program.find_last_of(L"\\/") + 1);
    for (const char *c = name; *c; ++c)
        program += wchar_t(*c);
    program += L".exe";

    // The arguments exactly as this process got them, behind the other program's name.
    const wchar_t *rest = ::GetCommandLineW();
    bool quoted = false;
    for (; *rest && (quoted || (*rest != L' ' && *rest != L'\t')); ++rest) {
        if (*rest == L'"')
            quoted = !quoted;
    }
    std::wstring line = L"\"" + program + L"\"" + rest;

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                          &startup, &process)) {
        fprintf(stderr, "Vennatro: cannot start %ls (error %lu)\n", program.c_str(),
                ::GetLastError());
        return 1;
    }
    ::CloseHandle(process.hThread);
    ::WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 1;
    ::GetExitCodeProcess(process.hProcess, &status);
    ::CloseHandle(process.hProcess);
    return int(status);
}
