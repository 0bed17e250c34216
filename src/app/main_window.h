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

const char kMainWindowClass[] = "BHPatcherWindowClass";
const int kModulePathCapacity = 260; // MAX_PATH, for paths from the system

// While painting is paused (notifications.cpp), the values that would cost a
// repaint each are kept here and applied once when it resumes.
struct PaintPause {
    int active;
    DWORD since_ms;           // GetTickCount when it began
    int list_frozen;          // a log line came: the list's painting is off
    int top_index_kept;       // a line was added; top_index is the last
    LRESULT top_index;        //   line's index, for LB_SETTOPINDEX
    int total_kept;           // a WM_APP_TOTAL_PROGRESS came; its wParam
    WPARAM total_percent;
    int file_kept;            // a WM_APP_FILE_PROGRESS came; its wParam
    WPARAM file_percent;
};

// The window side's state; touched only by the window thread, except
// module_dir, which the worker reads (never written after WM_CREATE).
struct MainWindowState {
    HINSTANCE app_instance;               // instance of every child control
    HWND log_list;                        // IDC_LOG_LIST; null until created
    HWND status_line;                     // IDC_STATUS_TEXT; null until created
    int patch_completed;                  // set by WM_APP_PATCH_RESULT only
    PaintPause pause;                     // see notifications.h
    char module_dir[kModulePathCapacity]; // the installation folder, no trailing '\'
    char target_path[kModulePathCapacity]; // module_dir + "\game.exe"
};

extern MainWindowState g_main_window;

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Empties the log and starts a run when the worker is idle; otherwise says so.
void RestartPatch(HWND window);
