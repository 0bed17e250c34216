// Watches a running patch.exe for the demo: waits for its run to end, prints
// the log lines and the controls as the window shows them, and the window's
// place on the screen; with "quit", closes it through its File menu.
//   patcher_watch wait   exit code 0 when the run ended with "Patch complete."
//   patcher_watch quit
#include "e2e/patcher_driver.h"

#include "app/main_window.h"

#include <cstdio>
#include <cstring>

namespace {

const DWORD kStartTimeoutMs = 30000;
const DWORD kRunTimeoutMs = 300000;

HWND WaitForWindow()
{
    DWORD start = GetTickCount();
    HWND window = NULL;
    while (!(window = FindPatcherWindow()) && GetTickCount() - start < kStartTimeoutMs)
        Sleep(50);
    return window;
}

int Wait(HWND window)
{
    PatcherView view = {};
    if (!WaitForRunEnd(window, kRunTimeoutMs, &view)) {
        printf("the run did not end in time\n");
        return 2;
    }
    for (const std::string &line : view.log)
        printf("  | %s\n", line.c_str());
    printf("overall %d%%, file %d%%, Launch Game %s, status \"%s\"\n", view.total_progress,
           view.file_progress, view.launch_enabled ? "enabled" : "disabled", view.status.c_str());
    RECT rect;
    GetWindowRect(window, &rect);
    printf("window %ldx%ld+%ld+%ld\n", rect.right - rect.left, rect.bottom - rect.top, rect.left,
           rect.top);
    return !view.log.empty() && view.log.back() == "Patch complete." ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2 || (strcmp(argv[1], "wait") != 0 && strcmp(argv[1], "quit") != 0)) {
        fprintf(stderr, "usage: patcher_watch wait|quit\n");
        return 2;
    }
    HWND window = WaitForWindow();
    if (!window) {
        printf("no patcher window\n");
        return 2;
    }
    if (strcmp(argv[1], "quit") == 0) {
        PostCommand(window, IDM_QUIT);
        return 0;
    }
    return Wait(window);
}
