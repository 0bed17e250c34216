#include "app/launch.h"

#include "app/main_window.h"

#include <shellapi.h>

namespace {

const DWORD kGameReadyWaitMs = 10000;

// Returns true when the game should be started now.
bool ConfirmLaunch(HWND window)
{
    if (g_main_window.patch_completed)
        return true;
    int answer = MessageBoxA(window,
                             "The patching process was not completed.\n"
                             "Your game client might not work without the latest patch.\n"
                             "Would you like to retry?",
                             "Patch Not Completed", MB_ICONWARNING | MB_ABORTRETRYIGNORE);
    if (answer == IDRETRY)
        RestartPatch(window);
    return answer == IDIGNORE;
}

} // namespace

void LaunchGame(HWND window)
{
    if (!ConfirmLaunch(window))
        return;

    SHELLEXECUTEINFOA request;
    ZeroMemory(&request, sizeof(request));
    request.cbSize = sizeof(request);
    request.fMask = SEE_MASK_NOCLOSEPROCESS;
    request.hwnd = window;
    request.lpVerb = "open";
    request.lpFile = g_main_window.target_path;
    request.nShow = SW_SHOWNORMAL;

    ShowWindow(window, SW_HIDE);
    BOOL started = ShellExecuteExA(&request);
    if (!started || (UINT_PTR)request.hInstApp <= 32) {
        MessageBoxA(window, "Unable to launch the game!\nPlease verify your installation.",
                    "Error", MB_ICONERROR);
        ShowWindow(window, SW_SHOW);
        return;
    }
    if (request.hProcess) {
        WaitForInputIdle(request.hProcess, kGameReadyWaitMs);
        CloseHandle(request.hProcess);
    }
    PostQuitMessage(0);
}
