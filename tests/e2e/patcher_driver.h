#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Drives and reads a running patch.exe from another process, through its
// window's messages only, as a user's clicks and eyes would.
struct PatcherView {
    std::vector<std::string> log;
    int total_progress;
    int file_progress;
    bool launch_enabled;
    std::string status;
    bool visible;
};

// The patcher's main window, or NULL.
HWND FindPatcherWindow();
// The patcher's main window of that process, or NULL.
HWND FindPatcherWindowOf(DWORD process_id);
// The same, waited for up to timeout_ms, or NULL as soon as the process has
// ended; then *failure says why no window came (a crash names its status).
HWND WaitForPatcherWindowOf(const PROCESS_INFORMATION &process, DWORD timeout_ms,
                            std::string *failure);

// Starts a Windows program from its command line, in folder (NULL: this
// process's) with the given environment block (NULL: this process's).
// Returns 0, or the error of the last start tried.
DWORD StartProgram(std::string command, char *environment, const char *folder,
                   PROCESS_INFORMATION *process);
// Runs a Windows program and waits for it; its exit code, kNotStarted, or
// kNotEnded (STILL_ACTIVE) when it is still running after timeout_ms.
const DWORD kNotStarted = 98;
const DWORD kNotEnded = STILL_ACTIVE;
DWORD RunProgram(const std::string &command, DWORD timeout_ms);
// StartProgram for <folder>\patch.exe, with folder as its current folder.
DWORD StartPatcherIn(const std::string &folder, char *environment,
                     PROCESS_INFORMATION *process);
bool ReadPatcherView(HWND window, PatcherView *view);

// Waits until the run has ended: Launch Game enabled and the status "Done.".
bool WaitForRunEnd(HWND window, DWORD timeout_ms, PatcherView *view);

// Posts a menu or button command to the window.
void PostCommand(HWND window, int id);

// A message box of the given process (0: of any) with this title, or NULL.
HWND FindMessageBox(DWORD process_id, const char *title);
HWND WaitForMessageBox(DWORD process_id, const char *title, DWORD timeout_ms);
std::string MessageBoxText(HWND box);
// Presses a button of a message box (IDOK, IDABORT, IDRETRY, IDIGNORE...).
bool AnswerMessageBox(HWND box, int button);

// Saves what the screen shows of the window as a 24-bit BMP file.
bool SaveWindowBitmap(HWND window, const std::string &path);

std::string JoinLines(const std::vector<std::string> &lines);
