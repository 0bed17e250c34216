#pragma once

#include <windows.h>

// Private messages from the patch worker to the main window. The worker only
// posts them; texts travel as process-heap copies that belong to the window
// once the post has succeeded (the sender frees a copy whose post failed).
const UINT WM_APP_TOTAL_PROGRESS = WM_APP + 1; // wParam: overall percent; lParam 0
const UINT WM_APP_FILE_PROGRESS = WM_APP + 2;  // wParam: current-file percent; lParam 0
const UINT WM_APP_ENABLE_LAUNCH = WM_APP + 3;  // wParam: 0 disables Launch Game; lParam 0
const UINT WM_APP_STATUS_TEXT = WM_APP + 4;    // lParam: heap text, freed by the window
const UINT WM_APP_LOG_LINE = WM_APP + 5;       // lParam: heap text, freed by the window
const UINT WM_APP_PATCH_RESULT = WM_APP + 6;   // wParam: 1 = installation up to date

struct MainWindowState;

// Receiving side, window thread only. Each applies one message to the
// controls of window (found by id) and of state; each returns 0.
LRESULT OnTotalProgress(HWND window, WPARAM percent);
LRESULT OnFileProgress(HWND window, WPARAM percent);
LRESULT OnEnableLaunch(HWND window, WPARAM enable);
LRESULT OnStatusText(MainWindowState *state, LPARAM text);
LRESULT OnLogLine(MainWindowState *state, LPARAM text);
LRESULT OnPatchResult(MainWindowState *state, WPARAM completed);

// The window's only timer: it ends a pause in painting (WM_TIMER wParam).
const UINT_PTR kRepaintTimerId = 1;

// Applies any of the six messages above through its handler. Log lines are
// added at once; the list's scrolling and the bars' positions, which cost a
// repaint each, are applied together with one repaint at most every 100 ms
// or so, always after the last notification (through kRepaintTimerId), and
// before a status text is shown.
LRESULT OnNotification(HWND window, MainWindowState *state, UINT message, WPARAM wparam,
                       LPARAM lparam);
// WM_TIMER with kRepaintTimerId: repaints what the notifications changed.
LRESULT OnRepaintTimer(HWND window, MainWindowState *state);

// Adds a line to the log list and scrolls it into view (when a pause in
// painting ends, if one is on).
void AppendLogLine(MainWindowState *state, const char *text);
