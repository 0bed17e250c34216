#include "app/player_rights.h"

#include <exdisp.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shobjidl.h>

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

// The desktop's folder view, served from the shell's own process, or NULL.
IShellView *DesktopView()
{
    IShellWindows *windows = NULL;
    if (FAILED(CoCreateInstance(CLSID_ShellWindows, NULL, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                                (void **)&windows)))
        return NULL;
    VARIANT desktop, no_root;
    VariantInit(&desktop);
    VariantInit(&no_root);
    desktop.vt = VT_I4;
    desktop.lVal = 0; // CSIDL_DESKTOP
    LONG desktop_window = 0;
    IDispatch *found = NULL;
    IServiceProvider *services = NULL;
    IShellBrowser *browser = NULL;
    IShellView *view = NULL;
    if (SUCCEEDED(windows->FindWindowSW(&desktop, &no_root, SWC_DESKTOP, &desktop_window,
                                        SWFO_NEEDDISPATCH, &found)) &&
        found &&
        SUCCEEDED(found->QueryInterface(IID_IServiceProvider, (void **)&services)) &&
        SUCCEEDED(services->QueryService(SID_STopLevelBrowser, IID_IShellBrowser,
                                         (void **)&browser)) &&
        FAILED(browser->QueryActiveShellView(&view)))
        view = NULL;
    if (browser)
        browser->Release();
    if (services)
        services->Release();
    if (found)
        found->Release();
    windows->Release();
    return view;
}

// The shell's automation object behind a folder view, or NULL.
IShellDispatch2 *ShellBehind(IShellView *view)
{
    IDispatch *background = NULL, *application = NULL;
    IShellFolderViewDual *folder_view = NULL;
    IShellDispatch2 *shell = NULL;
    if (SUCCEEDED(view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, (void **)&background)) &&
        SUCCEEDED(background->QueryInterface(IID_IShellFolderViewDual, (void **)&folder_view)) &&
        SUCCEEDED(folder_view->get_Application(&application)) && application &&
        FAILED(application->QueryInterface(IID_IShellDispatch2, (void **)&shell)))
        shell = NULL;
    if (application)
        application->Release();
    if (folder_view)
        folder_view->Release();
    if (background)
        background->Release();
    return shell;
}

// The shell opens program itself, in its own process and with its own token:
// a game whose manifest asks for elevation gets Windows' prompt there.
int ShellOpensForPlayer(IShellDispatch2 *shell, const char *program)
{
    WCHAR wide[MAX_PATH];
    if (!MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, program, -1, wide, MAX_PATH))
        return 0;
    BSTR file = SysAllocString(wide), verb = SysAllocString(L"open");
    int opened = 0;
    if (file && verb) {
        VARIANT no_arguments, no_folder, operation, show;
        VariantInit(&no_arguments);
        VariantInit(&no_folder);
        VariantInit(&operation);
        operation.vt = VT_BSTR;
        operation.bstrVal = verb;
        VariantInit(&show);
        show.vt = VT_I4;
        show.lVal = SW_SHOWNORMAL;
        opened = SUCCEEDED(shell->ShellExecute(file, no_arguments, no_folder, operation, show));
    }
    SysFreeString(verb);
    SysFreeString(file);
    return opened;
}

// Asks the desktop shell to open program on this process's behalf. The
// shell would report a missing program in a box of its own process, which
// the call waits for; and no other failure comes back.
int AskTheShellToOpen(const char *program)
{
    DWORD attributes = GetFileAttributesA(program);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return 0;
    HRESULT com = CoInitializeEx(NULL, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    int opened = 0;
    IShellView *view = DesktopView();
    if (view) {
        IShellDispatch2 *shell = ShellBehind(view);
        if (shell) {
            opened = ShellOpensForPlayer(shell, program);
            shell->Release();
        }
        view->Release();
    }
    if (SUCCEEDED(com))
        CoUninitialize();
    return opened;
}

} // namespace

PlayerStart StartWithPlayerRights(const char *program, HANDLE *process)
{
    if (!process)
        return kPlayerStartFailed;
    *process = NULL;
    if (!program)
        return kPlayerStartFailed;
    if (!IsElevated())
        return kNotElevated;
    int started = 0;
    HANDLE shell = OpenShellProcess();
    if (shell) {
        started = StartAsChildOf(shell, program, process);
        CloseHandle(shell);
    }
    if (!started && AskTheShellToOpen(program))
        return kPlayerStarted; // no handle: the shell's own process started it
    return started ? kPlayerStarted : kPlayerStartFailed;
}
