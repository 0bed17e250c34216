#pragma once

#include <windows.h>

// Process-wide state shared by the window thread and the one worker thread.
// Four aligned 32-bit words (on the 32-bit target) read and written with plain
// loads and stores, no lock: the window thread writes all of them before the
// thread exists, then only sets cancel_requested; the worker only clears
// running, as its last step. volatile keeps every poll a real load.
struct PatchWorkerState {
    HWND volatile notify_window;        // receives every notification; null: nobody
    const char *volatile install_dir;   // borrowed, owned by the window side
    volatile LONG cancel_requested;     // 1 = stop at the next polling point
    volatile LONG running;              // 1 while a run is in progress
};

extern PatchWorkerState g_patch_worker;

// Window thread: starts a run unless one is in progress. install_dir must stay
// unchanged for the life of the process.
void StartPatchWorker(HWND notify_window, const char *install_dir);
void RequestCancel();
int IsWorkerIdle();

// The worker's thread routine: one whole patch run.
DWORD WINAPI PatchWorkerMain(LPVOID unused);

// Post heap copies of texts to notify_window; the window frees them.
void PostStatusText(const char *text);
void PostLogLine(const char *text);
void PostLogPair(const char *prefix, const char *text);

// DownloadObserver callbacks of the run.
void OnDownloadProgress(void *context, int percent);
void OnDownloadComplete(void *context, LONG result);
