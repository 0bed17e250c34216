#include "app/player_rights.h"

namespace {

// Program path, quoted, and its NUL.
const int kCommandLineCapacity = MAX_PATH + 3;

bool IsElevated()
{
    HANDLE token = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    TOKEN_ELEVATION elevation;
    ZeroMemory(&elevation, sizeof(elevation));
    DWORD size = 0;
    BOOL known = GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size);
    CloseHandle(token);
    return known && elevation.TokenIsElevated != 0;
}

// The desktop shell's process, opened to be a parent, or NULL.
HANDLE OpenShellProcess()
{
    HWND shell = GetShellWindow();
    DWORD shell_id = 0;
    if (shell)
        GetWindowThreadProcessId(shell, &shell_id);
    if (shell_id == 0)
        return NULL;
    return OpenProcess(PROCESS_CREATE_PROCESS, FALSE, shell_id);
}

// CreateProcessA with the shell as the new process's parent: the new process
// takes the parent's token.
int StartAsChildOf(HANDLE parent, const char *program, HANDLE *process)
{
    char command_line[kCommandLineCapacity];
    if (lstrlenA(program) + 3 > kCommandLineCapacity)
        return 0;
    lstrcpyA(command_line, "\"");
    lstrcatA(command_line, program);
    lstrcatA(command_line, "\"");

    int started = 0;
    SIZE_T list_size = 0;
    InitializeProcThreadAttributeList(NULL, 1, 0, &list_size);
    LPPROC_THREAD_ATTRIBUTE_LIST list =
        (LPPROC_THREAD_ATTRIBUTE_LIST)HeapAlloc(GetProcessHeap(), 0, list_size);
    if (!list)
        return 0;
    if (InitializeProcThreadAttributeList(list, 1, 0, &list_size)) {
        if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_PARENT_PROCESS, &parent,
                                      sizeof(parent), NULL, NULL)) {
            STARTUPINFOEXA startup;
            ZeroMemory(&startup, sizeof(startup));
            startup.StartupInfo.cb = sizeof(startup);
            startup.StartupInfo.dwFlags = STARTF_USESHOWWINDOW;
            startup.StartupInfo.wShowWindow = SW_SHOWNORMAL;
            startup.lpAttributeList = list;
            PROCESS_INFORMATION info;
            ZeroMemory(&info, sizeof(info));
            if (CreateProcessA(program, command_line, NULL, NULL, FALSE,
                               EXTENDED_STARTUPINFO_PRESENT, NULL, NULL, &startup.StartupInfo,
                               &info)) {
                CloseHandle(info.hThread);
                *process = info.hProcess;
                started = 1;
            }
        }
        DeleteProcThreadAttributeList(list);
    }
    HeapFree(GetProcessHeap(), 0, list);
    return started;
}

} // namespace

int StartWithPlayerRights(const char *program, HANDLE *process)
{
    if (!process)
        return 0;
    *process = NULL;
    if (!program || !IsElevated())
        return 0;
    HANDLE shell = OpenShellProcess();
    if (!shell)
        return 0;
    int started = StartAsChildOf(shell, program, process);
    CloseHandle(shell);
    return started;
}
