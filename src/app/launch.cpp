#include "app/launch.h"

#include "app/main_window.h"
#include "app/player_rights.h"

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

// The shell opens the game with this process's rights.
bool StartThroughShell(HWND window, HANDLE *process)
{
    SHELLEXECUTEINFOA request;
    ZeroMemory(&request, sizeof(request));
    request.cbSize = sizeof(request);
    request.fMask = SEE_MASK_NOCLOSEPROCESS;
    request.hwnd = window;
    request.lpVerb = "open";
    request.lpFile = g_main_window.target_path;
    request.nShow = SW_SHOWNORMAL;
    bool started = ShellExecuteExA(&request) && (UINT_PTR)request.hInstApp > 32;
    if (!started && request.hProcess)
        CloseHandle(request.hProcess);
    *process = started ? request.hProcess : NULL;
    return started;
}

} // namespace

void LaunchGame(HWND window)
{
    if (!ConfirmLaunch(window))
        return;

    ShowWindow(window, SW_HIDE);
    // An elevated patcher would hand its token to every DLL that players
    // can put beside game.exe, and to a game.exe replaced by one that asks
    // for elevation: the game gets the player's own rights instead.
    HANDLE game = NULL;
    PlayerStart start = StartWithPlayerRights(g_main_window.target_path, &game);
    if (start == kPlayerStartFailed ||
        (start == kNotElevated && !StartThroughShell(window, &game))) {
        MessageBoxA(window, "Unable to launch the game!\nPlease verify your installation.",
                    "Error", MB_ICONERROR);
        ShowWindow(window, SW_SHOW);
        return;
    }
    if (game) {
        WaitForInputIdle(game, kGameReadyWaitMs);
        CloseHandle(game);
    }
    PostQuitMessage(0);
}
