#include "app/notifications.h"

#include "app/main_window.h"

#include <commctrl.h>

namespace {

const int kMinPercent = 0;
const int kMaxPercent = 100;
// Painting, not applying, is what a notification costs (about 10 ms a repaint
// under Wine with X), so the log list and the bars repaint at most this often:
// a quiet window shows its last state after kRepaintDelayMs, and a queue that
// never empties (WM_TIMER waits for it) still shows progress every
// kLongestPauseMs.
const DWORD kRepaintDelayMs = 100;
const DWORD kLongestPauseMs = 250;

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

// Without the timer nothing would turn painting back on, so no timer, no pause.
// The log list keeps painting until a line comes (see AppendLogLine): while
// its painting is off, whatever it had to paint (the user scrolling, the
// window uncovered) is lost until it is repainted whole.
void PauseRedraw(HWND window, MainWindowState *state)
{
    PaintPause *pause = &state->pause;
    if (pause->active || !SetTimer(window, kRepaintTimerId, kRepaintDelayMs, NULL))
        return;
    ZeroMemory(pause, sizeof(*pause));
    pause->active = 1;
    pause->since_ms = GetTickCount();
}

// Applies what the pause kept, repainting each control once, and only if
// something came for it. A list whose painting was off is repainted whole.
void ResumeRedraw(HWND window, MainWindowState *state)
{
    PaintPause *pause = &state->pause;
    if (!pause->active)
        return;
    KillTimer(window, kRepaintTimerId);
    pause->active = 0;
    if (state->log_list && pause->list_frozen) {
        if (pause->top_index_kept)
            SendMessageA(state->log_list, LB_SETTOPINDEX, (WPARAM)pause->top_index, 0);
        SendMessageA(state->log_list, WM_SETREDRAW, TRUE, 0);
        RedrawWindow(state->log_list, NULL, NULL,
                     RDW_ERASE | RDW_FRAME | RDW_INVALIDATE | RDW_UPDATENOW);
    }
    if (pause->total_kept)
        OnTotalProgress(window, pause->total_percent);
    if (pause->file_kept)
        OnFileProgress(window, pause->file_percent);
}

// A bar repaints at every position; while paused only the last is kept.
LRESULT KeepOrSetBar(HWND window, MainWindowState *state, UINT message, WPARAM percent)
{
    PaintPause *pause = &state->pause;
    bool total = message == WM_APP_TOTAL_PROGRESS;
    if (!pause->active)
        return total ? OnTotalProgress(window, percent) : OnFileProgress(window, percent);
    if (total) {
        pause->total_kept = 1;
        pause->total_percent = percent;
    } else {
        pause->file_kept = 1;
        pause->file_percent = percent;
    }
    return 0;
}

LRESULT ApplyNotification(HWND window, MainWindowState *state, UINT message, WPARAM wparam,
                          LPARAM lparam)
{
    switch (message) {
    case WM_APP_TOTAL_PROGRESS:
    case WM_APP_FILE_PROGRESS: return KeepOrSetBar(window, state, message, wparam);
    case WM_APP_ENABLE_LAUNCH: return OnEnableLaunch(window, wparam);
    case WM_APP_STATUS_TEXT: return OnStatusText(state, lparam);
    case WM_APP_LOG_LINE: return OnLogLine(state, lparam);
    case WM_APP_PATCH_RESULT: return OnPatchResult(state, wparam);
    }
    return 0;
}

} // namespace

LRESULT OnNotification(HWND window, MainWindowState *state, UINT message, WPARAM wparam,
                       LPARAM lparam)
{
    // A status text marks a step of the run ("Done." is always the last
    // notification): the rest of the window is painted before it shows.
    if (message == WM_APP_STATUS_TEXT)
        ResumeRedraw(window, state);
    else
        PauseRedraw(window, state);
    LRESULT result = ApplyNotification(window, state, message, wparam, lparam);
    if (GetTickCount() - state->pause.since_ms >= kLongestPauseMs)
        ResumeRedraw(window, state);
    return result;
}

LRESULT OnRepaintTimer(HWND window, MainWindowState *state)
{
    ResumeRedraw(window, state);
    return 0;
}

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
    PaintPause *pause = &state->pause;
    if (pause->active && !pause->list_frozen) {
        SendMessageA(state->log_list, WM_SETREDRAW, FALSE, 0);
        pause->list_frozen = 1;
    }
    LRESULT index = SendMessageA(state->log_list, LB_ADDSTRING, 0, (LPARAM)text);
    if (index < 0) // LB_ERR, LB_ERRSPACE: the line is not there to scroll to
        return;
    // Scrolling costs as much as painting; while painting is paused only the
    // last line's index is kept, and set when it resumes.
    if (pause->active) {
        pause->top_index_kept = 1;
        pause->top_index = index;
    } else {
        SendMessageA(state->log_list, LB_SETTOPINDEX, (WPARAM)index, 0);
    }
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
