#include "app/dll_search.h"

#include <windows.h>

namespace {

typedef BOOL(WINAPI *SetDefaultDllDirectoriesFn)(DWORD flags);

// The DLLs patch.exe delay-loads: none of them is a known DLL, which the
// system would take from its own folder anyway.
const char *const kDelayLoadedDlls[] = {"wininet.dll", "comctl32.dll", "bcrypt.dll"};

// Older systems lack SetDefaultDllDirectories: take the current folder out
// of the search and load each DLL by its full system path now, so that the
// delay-load helper finds it already loaded. Their own dependencies are then
// still searched for in the program's folder first.
void PreloadFromSystemFolder()
{
    SetDllDirectoryA("");
    char folder[MAX_PATH];
    UINT length = GetSystemDirectoryA(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    for (const char *dll : kDelayLoadedDlls) {
        char path[MAX_PATH];
        if (length + 1 + lstrlenA(dll) >= MAX_PATH)
            continue;
        lstrcpyA(path, folder);
        lstrcatA(path, "\\");
        lstrcatA(path, dll);
        LoadLibraryExA(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
}

} // namespace

void RestrictDllSearchToSystem()
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    SetDefaultDllDirectoriesFn set_default = (SetDefaultDllDirectoriesFn)(void *)GetProcAddress(
        kernel, "SetDefaultDllDirectories");
    if (set_default && set_default(LOAD_LIBRARY_SEARCH_SYSTEM32))
        return;
    PreloadFromSystemFolder();
}
