#include "app/notifications.h"

#include "app/main_window.h"

#include <commctrl.h>

namespace {

const int kMinPercent = 0;
const int kMaxPercent = 100;

LRESULT SetBarPosition(HWND window, int bar_id, WPARAM percent)
{
    HWND bar = GetDlgItem(window, bar_id);
    if (!bar)
        return 0;
    int value = (int)(LONG)percent; // a signed 32-bit value, also on 64-bit builds
    if (value < kMinPercent)
        value = kMinPercent;
    if (value > kMaxPercent)
        value = kMaxPercent;
    SendMessageA(bar, PBM_SETPOS, (WPARAM)value, 0);
    return 0;
}

} // namespace

LRESULT OnTotalProgress(HWND window, WPARAM percent)
{
    return SetBarPosition(window, IDC_TOTAL_PROGRESS, percent);
}

LRESULT OnFileProgress(HWND window, WPARAM percent)
{
    return SetBarPosition(window, IDC_FILE_PROGRESS, percent);
}

LRESULT OnEnableLaunch(HWND window, WPARAM enable)
{
    HWND button = GetDlgItem(window, IDC_LAUNCH_BUTTON);
    if (button)
        EnableWindow(button, enable != 0);
    return 0;
}

void AppendLogLine(MainWindowState *state, const char *text)
{
    if (!state->log_list)
        return;
    // An error index goes to LB_SETTOPINDEX unchanged; the list ignores it.
    LRESULT index = SendMessageA(state->log_list, LB_ADDSTRING, 0, (LPARAM)text);
    SendMessageA(state->log_list, LB_SETTOPINDEX, (WPARAM)index, 0);
}

LRESULT OnStatusText(MainWindowState *state, LPARAM text)
{
    if (!text)
        return 0;
    if (state->status_line)
        SetWindowTextA(state->status_line, (const char *)text);
    HeapFree(GetProcessHeap(), 0, (void *)text);
    return 0;
}

LRESULT OnLogLine(MainWindowState *state, LPARAM text)
{
    if (!text)
        return 0;
    AppendLogLine(state, (const char *)text);
    HeapFree(GetProcessHeap(), 0, (void *)text);
    return 0;
}

LRESULT OnPatchResult(MainWindowState *state, WPARAM completed)
{
    state->patch_completed = (int)completed;
    return 0;
}
