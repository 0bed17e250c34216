#pragma once

#include <windows.h>

// Control, menu and icon ids.
const int IDC_LOG_LIST = 1001;
const int IDC_TOTAL_PROGRESS = 1002;
const int IDC_LAUNCH_BUTTON = 1003;
const int IDC_STATUS_TEXT = 1004;
const int IDC_FILE_PROGRESS = 1005;
const int IDM_CANCEL = 2001;
const int IDM_RESTART = 2002;
const int IDM_QUIT = 2003;
const int IDM_ABOUT = 2101;

const int kModulePathCapacity = 260; // MAX_PATH, for paths from the system

// The window side's state; touched only by the window thread, except
// module_dir, which the worker reads (never written after WM_CREATE).
struct MainWindowState {
    HINSTANCE app_instance;               // instance of every child control
    HWND log_list;                        // IDC_LOG_LIST; null until created
    HWND status_line;                     // IDC_STATUS_TEXT; null until created
    int patch_completed;                  // set by WM_APP_PATCH_RESULT only
    int redraw_paused;                    // the log list and bars wait for kRepaintTimerId
    DWORD paused_since_ms;                // GetTickCount when that pause began
    int paused_lines_added;               // log lines came during that pause; the last
    LRESULT paused_top_index;             //   one's LB_ADDSTRING result, for LB_SETTOPINDEX
    char module_dir[kModulePathCapacity]; // the installation folder, no trailing '\'
    char target_path[kModulePathCapacity]; // module_dir + "\game.exe"
};

extern MainWindowState g_main_window;

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Empties the log and starts a run when the worker is idle; otherwise says so.
void RestartPatch(HWND window);
