#include "app/main_window.h"

#include "app/dll_search.h"
#include "app/launch.h"
#include "app/notifications.h"
#include "app/release_key.h"
#include "app/single_run.h"
#include "patch/patch_worker.h"
#include "patch/quick_check.h"
#include "patch/signed_release.h"
#include "resource.h"

#include <commctrl.h>

#ifndef PATCHER_QUICK_CHECK
#error "PATCHER_QUICK_CHECK must be 1 or 0 (set by the build)"
#endif

MainWindowState g_main_window;

namespace {

RunClaim g_claim; // this process's claim on its installation; window thread only

const char kWindowTitle[] = "Brackenhold Patcher";
const DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU;
const int kClientWidth = 500;
const int kClientHeight = 260;
const char kGameFile[] = "\\game.exe";
// Closing the window during a run waits this long at most for the cancelled
// worker to end, deleting its temporary file: a download ends within a
// fraction of a second of the cancellation, while a file's check may hold the
// worker longer; what it leaves then goes with the next run's sweep.
const DWORD kWorkerStopWaitMs = 3000;
const DWORD kWorkerStopPollMs = 10;
const char kAboutText[] =
    "Brackenhold Patcher 1.0.0. Copyright (C) 2026 Brackenhold. All rights reserved.";

// Fills module_dir and target_path; false when the path cannot be used.
bool FindInstallPaths(MainWindowState *state)
{
    ZeroMemory(state->module_dir, sizeof(state->module_dir));
    ZeroMemory(state->target_path, sizeof(state->target_path));
    DWORD length = GetModuleFileNameA(NULL, state->module_dir, kModulePathCapacity);
    if (length == 0 || length >= (DWORD)kModulePathCapacity)
        return false;
    for (DWORD i = length; i >= 1; i--) {
        if (state->module_dir[i] == '\\') {
            state->module_dir[i] = '\0';
            break;
        }
    }
    if (lstrlenA(kGameFile) + lstrlenA(state->module_dir) >= kModulePathCapacity)
        return false;
    lstrcpyA(state->target_path, state->module_dir);
    lstrcatA(state->target_path, kGameFile);
    return true;
}

void BuildMenu(HWND window)
{
    HMENU bar = CreateMenu();
    HMENU file = CreatePopupMenu();
    HMENU help = CreatePopupMenu();
    AppendMenuA(file, MF_STRING, IDM_CANCEL, "&Cancel");
    AppendMenuA(file, MF_STRING, IDM_RESTART, "&Restart");
    AppendMenuA(file, MF_SEPARATOR, 0, NULL);
    AppendMenuA(file, MF_STRING, IDM_QUIT, "&Quit");
    AppendMenuA(help, MF_STRING, IDM_ABOUT, "&About");
    AppendMenuA(bar, MF_POPUP, (UINT_PTR)file, "&File");
    AppendMenuA(bar, MF_POPUP, (UINT_PTR)help, "&Help");
    SetMenu(window, bar);
}

HWND MakeControl(HWND window, DWORD ex_style, const char *window_class, const char *text,
                 DWORD style, int id, int x, int y, int width, int height)
{
    return CreateWindowExA(ex_style, window_class, text, WS_CHILD | WS_VISIBLE | style, x, y,
                           width, height, window, (HMENU)(INT_PTR)id,
                           g_main_window.app_instance, NULL);
}

void BuildControls(HWND window)
{
    RECT client;
    GetClientRect(window, &client);
    int w = client.right - client.left;
    int h = client.bottom - client.top;
    g_main_window.log_list =
        MakeControl(window, WS_EX_CLIENTEDGE, "LISTBOX", "",
                    WS_VSCROLL | LBS_NOSEL | LBS_DISABLENOSCROLL | LBS_NOINTEGRALHEIGHT |
                        LBS_NOTIFY,
                    IDC_LOG_LIST, 8, 8, w - 16, h - 86);
    MakeControl(window, 0, PROGRESS_CLASSA, "", 0, IDC_TOTAL_PROGRESS, 8, h - 72, w - 134, 18);
    MakeControl(window, 0, "BUTTON", "Launch Game", WS_TABSTOP | BS_DEFPUSHBUTTON,
                IDC_LAUNCH_BUTTON, w - 118, h - 72, 110, 36);
    MakeControl(window, 0, PROGRESS_CLASSA, "", 0, IDC_FILE_PROGRESS, 8, h - 48, w - 134, 18);
    g_main_window.status_line =
        MakeControl(window, 0, "STATIC", "", SS_LEFT, IDC_STATUS_TEXT, 8, h - 26, w - 16, 18);
}

LRESULT OnCreate(HWND window)
{
    if (!FindInstallPaths(&g_main_window)) {
        MessageBoxA(window,
                    "Unable to find target application!\nPlease verify your installation.",
                    "Error", MB_ICONERROR);
        return -1;
    }
    BuildMenu(window);
    BuildControls(window);
    HWND launch = GetDlgItem(window, IDC_LAUNCH_BUTTON);
    if (launch)
        EnableWindow(launch, FALSE);
    if (g_main_window.status_line)
        SetWindowTextA(g_main_window.status_line, "Ready.");
    StartPatchWorker(window, g_main_window.module_dir);
    return 0;
}

LRESULT OnLaunchClicked(HWND window)
{
    if (g_main_window.status_line)
        SetWindowTextA(g_main_window.status_line, "Launching game...");
    LaunchGame(window);
    return 0;
}

LRESULT OnCancelCommand()
{
    AppendLogLine(&g_main_window, "Cancellation requested.");
    RequestCancel();
    return 0;
}

LRESULT OnCommand(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (LOWORD(wparam)) {
    case IDC_LAUNCH_BUTTON:
        if (HIWORD(wparam) != BN_CLICKED)
            break;
        return OnLaunchClicked(window);
    case IDM_CANCEL: return OnCancelCommand();
    case IDM_RESTART: RestartPatch(window); return 0;
    case IDM_QUIT: PostMessageA(window, WM_CLOSE, 0, 0); return 0;
    case IDM_ABOUT: MessageBoxA(window, kAboutText, "About", MB_ICONINFORMATION); return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

// The worker only posts to the window, so it never waits for this thread.
void WaitForWorkerToStop()
{
    DWORD start_ms = GetTickCount();
    while (!IsWorkerIdle() && GetTickCount() - start_ms < kWorkerStopWaitMs)
        Sleep(kWorkerStopPollMs);
}

LRESULT OnDestroy(HWND window)
{
    UnmarkClaimWindow(window);
    RequestCancel();
    WaitForWorkerToStop();
    PostQuitMessage(0);
    return 0;
}

// Registers the class, creates the window hidden and centres it; NULL on failure.
HWND CreateMainWindow()
{
    WNDCLASSA window_class;
    ZeroMemory(&window_class, sizeof(window_class));
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = MainWndProc;
    window_class.hInstance = g_main_window.app_instance;
    window_class.hIcon = LoadIconA(g_main_window.app_instance, MAKEINTRESOURCEA(IDI_APP));
    window_class.hCursor = LoadCursorA(NULL, IDC_ARROW);
    window_class.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    window_class.lpszClassName = kMainWindowClass;
    if (!RegisterClassA(&window_class))
        return NULL;

    RECT frame = {0, 0, kClientWidth, kClientHeight};
    AdjustWindowRect(&frame, kWindowStyle, TRUE);
    HWND window = CreateWindowExA(0, kMainWindowClass, kWindowTitle, kWindowStyle, CW_USEDEFAULT,
                                  CW_USEDEFAULT, frame.right - frame.left,
                                  frame.bottom - frame.top, NULL, NULL,
                                  g_main_window.app_instance, NULL);
    if (!window)
        return NULL;

    RECT placed;
    GetWindowRect(window, &placed);
    int x = (GetSystemMetrics(SM_CXSCREEN) - (placed.right - placed.left)) / 2;
    int y = (GetSystemMetrics(SM_CYSCREEN) - (placed.bottom - placed.top)) / 2;
    SetWindowPos(window, NULL, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    return window;
}

} // namespace

void RestartPatch(HWND window)
{
    if (!IsWorkerIdle()) {
        AppendLogLine(&g_main_window, "Patch is still in progress, can't restart.");
        return;
    }
    if (g_main_window.log_list)
        SendMessageA(g_main_window.log_list, LB_RESETCONTENT, 0, 0);
    // The player asks again: the record is not taken on trust this time.
    RequestFullCheck();
    StartPatchWorker(window, g_main_window.module_dir);
}

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_CREATE: return OnCreate(window);
    case WM_COMMAND: return OnCommand(window, message, wparam, lparam);
    case WM_CLOSE: DestroyWindow(window); return 0;
    case WM_DESTROY: return OnDestroy(window);
    case WM_TIMER:
        if (wparam != kRepaintTimerId)
            break;
        return OnRepaintTimer(window, &g_main_window);
    case WM_APP_TOTAL_PROGRESS:
    case WM_APP_FILE_PROGRESS:
    case WM_APP_ENABLE_LAUNCH:
    case WM_APP_STATUS_TEXT:
    case WM_APP_LOG_LINE:
    case WM_APP_PATCH_RESULT:
        return OnNotification(window, &g_main_window, message, wparam, lparam);
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

// The process ends when this returns, whether or not a run is still going:
// waiting could keep a closed window's process alive for a whole download.
// Installed files are changed by renames only, so a run cut off here (or by
// a crash or power loss) leaves each of them old or new; the one exception is
// a file in use cut between its two renames (only a file in use is set aside:
// when another program holds the download instead, the update fails): it is
// then missing, its old version under ".old", and the next run fetches it
// again. A cut-off run may also leave a temporary file, and a half-made
// "*.new.old" copy from another volume, which the next run's sweep removes.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show_command)
{
    RestrictDllSearchToSystem();
    UseReleaseKey(kBuiltInReleaseKey);
    UseQuickCheck(PATCHER_QUICK_CHECK);
    g_main_window.app_instance = instance;
    // A second start on one installation shows the first and ends.
    if (FindInstallPaths(&g_main_window) && !ClaimInstallation(g_main_window.module_dir, &g_claim))
        return 0;
    InitCommonControls();
    HWND window = CreateMainWindow();
    if (!window)
        return 0;
    MarkClaimWindow(window, &g_claim);
    ShowWindow(window, show_command);
    UpdateWindow(window);

    MSG message;
    ZeroMemory(&message, sizeof(message));
    while (GetMessageA(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return (int)message.wParam;
}
