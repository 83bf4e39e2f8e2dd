#include <cstdlib>

#include "support/test_env.h"

void SetTestEnv(const char* name, const std::string& value) { _putenv_s(name, value.c_str()); }
void UnsetTestEnv(const char* name) { _putenv_s(name, ""); }

#include <windows.h>
#include <tlhelp32.h>

int CountProcessThreads() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int count = 0;
    const DWORD self = GetCurrentProcessId();
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == self) ++count;
    CloseHandle(snapshot);
    return count;
}
