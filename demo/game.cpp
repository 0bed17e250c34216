// A stand-in for the game that the patcher launches, for the demo and the
// end-to-end tests. It records that it was started in game-started.txt beside
// itself, opens a window (so that the launcher's wait for input idle has
// something to wait for) and closes itself after a few seconds.
#include <windows.h>

namespace {

const UINT_PTR kCloseTimer = 1;
const UINT kLifetimeMs = 3000;

void RecordStart()
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    char *slash = path + length;
    while (slash > path && *slash != '\\')
        slash--;
    const char kRecord[] = "\\game-started.txt";
    if ((slash - path) + sizeof(kRecord) > MAX_PATH)
        return;
    lstrcpyA(slash, kRecord);
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    const char *line = GetCommandLineA();
    DWORD written = 0;
    WriteFile(file, line, lstrlenA(line), &written, NULL);
    CloseHandle(file);
}

LRESULT CALLBACK GameWndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_TIMER: DestroyWindow(window); return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show_command)
{
    RecordStart();
    WNDCLASSA window_class;
    ZeroMemory(&window_class, sizeof(window_class));
    window_class.lpfnWndProc = GameWndProc;
    window_class.hInstance = instance;
    window_class.hCursor = LoadCursorA(NULL, IDC_ARROW);
    window_class.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    window_class.lpszClassName = "BHDemoGameWindowClass";
    if (!RegisterClassA(&window_class))
        return 1;
    HWND window = CreateWindowExA(0, window_class.lpszClassName, "Demo Game", WS_OVERLAPPEDWINDOW,
                                  CW_USEDEFAULT, CW_USEDEFAULT, 320, 200, NULL, NULL, instance,
                                  NULL);
    if (!window)
        return 1;
    ShowWindow(window, show_command);
    SetTimer(window, kCloseTimer, kLifetimeMs, NULL);
    MSG message;
    while (GetMessageA(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return 0;
}
