// console-event.exe EVENT PROGRAM: sends the console event EVENT ("break" for Ctrl-Break, "close"
// for the console window closed) to the one process that runs PROGRAM (such as chanlog.exe), as
// Windows' console does: a thread started in that process at the console's control routine of
// kernelbase.dll, with the event as its argument. Wine makes no such event of its own from
// outside (its GenerateConsoleCtrlEvent sends only Ctrl-C), so the end-to-end tests send them so.
// Exits 0 once the thread is started, 1 when it cannot be, 64 for bad arguments.

#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>

namespace {

// The one process whose program is `name`, other than this one; 0 for none, or more than one.
DWORD FindProcess(const char *name) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    DWORD found = 0;
    int count = 0;
    for (BOOL more = Process32First(snapshot, &entry); more;
         more = Process32Next(snapshot, &entry)) {
        if (_stricmp(entry.szExeFile, name) == 0 && entry.th32ProcessID != GetCurrentProcessId()) {
            found = entry.th32ProcessID;
            ++count;
        }
    }
    CloseHandle(snapshot);
    return count == 1 ? found : 0;
}

// Where the module `name` begins in the process `id`, or nullptr.
BYTE *ModuleIn(DWORD id, const char *name) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32, id);
    MODULEENTRY32 entry{};
    entry.dwSize = sizeof entry;
    BYTE *base = nullptr;
    for (BOOL more = Module32First(snapshot, &entry); more; more = Module32Next(snapshot, &entry)) {
        if (_stricmp(entry.szModule, name) == 0) {
            base = entry.modBaseAddr;
        }
    }
    CloseHandle(snapshot);
    return base;
}

int Fail(const char *what) {
    std::fprintf(stderr, "console-event: %s (error %lu)\n", what, GetLastError());
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    const DWORD event = argc != 3                            ? ~0UL
                        : std::strcmp(argv[1], "break") == 0 ? CTRL_BREAK_EVENT
                        : std::strcmp(argv[1], "close") == 0 ? CTRL_CLOSE_EVENT
                                                             : ~0UL;
    if (event == ~0UL) {
        std::fputs("usage: console-event.exe break|close PROGRAM.exe\n", stderr);
        return 64;
    }
    const DWORD id = FindProcess(argv[2]);
    if (id == 0) {
        return Fail("no one process runs that program");
    }
    // The routine lies at the same place in the module in every process, which may not lie at the
    // same place in each.
    HMODULE ours = GetModuleHandleA("kernelbase.dll");
    const FARPROC routine = ours != nullptr ? GetProcAddress(ours, "CtrlRoutine") : nullptr;
    BYTE *theirs = ModuleIn(id, "kernelbase.dll");
    HANDLE process = OpenProcess(PROCESS_CREATE_THREAD | PROCESS_QUERY_INFORMATION |
                                     PROCESS_VM_OPERATION | PROCESS_VM_WRITE | PROCESS_VM_READ,
                                 FALSE, id);
    if (routine == nullptr || theirs == nullptr || process == nullptr) {
        return Fail("the console's control routine cannot be found in the process");
    }
    const auto start = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        theirs + (reinterpret_cast<BYTE *>(routine) - reinterpret_cast<BYTE *>(ours)));
    HANDLE thread =
        CreateRemoteThread(process, nullptr, 0, start,
                           reinterpret_cast<void *>(static_cast<ULONG_PTR>(event)), 0, nullptr);
    if (thread == nullptr) {
        return Fail("no thread can be started in the process");
    }
    CloseHandle(thread);
    CloseHandle(process);
    return 0;
}
