// A stand-in for a system DLL that an attacker plants beside a program. When
// loaded it appends its own name to planted-loaded.txt in its folder; its
// exports do nothing. Built as wininet.dll, comctl32.dll and bcrypt.dll.
#include <windows.h>

namespace {

void RecordLoad(HINSTANCE self)
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    char name[MAX_PATH];
    lstrcpyA(name, path);
    char *slash = path + length;
    while (slash > path && *slash != '\\')
        slash--;
    const char kRecord[] = "\\planted-loaded.txt";
    if ((slash - path) + sizeof(kRecord) > MAX_PATH)
        return;
    lstrcpyA(slash, kRecord);
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, name, lstrlenA(name), &written, NULL);
    WriteFile(file, "\r\n", 2, &written, NULL);
    CloseHandle(file);
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        RecordLoad(self);
    return TRUE;
}

extern "C" __declspec(dllexport) void *WINAPI InternetOpenA(const char *, DWORD, const char *,
                                                            const char *, DWORD)
{
    SetLastError(ERROR_NOT_SUPPORTED);
    return NULL;
}

extern "C" __declspec(dllexport) BOOL WINAPI InternetCloseHandle(void *) { return FALSE; }

extern "C" __declspec(dllexport) void WINAPI InitCommonControls() {}
