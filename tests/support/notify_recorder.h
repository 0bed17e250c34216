#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// A real message-only window that records the worker's notifications in the
// order they arrive and frees their texts, as the main window would.
struct Notification {
    UINT message;
    WPARAM value;     // wParam of numeric notifications
    std::string text; // text of WM_APP_STATUS_TEXT and WM_APP_LOG_LINE
    SIZE_T block;     // heap size of that text's copy
};

class NotifyRecorder {
public:
    NotifyRecorder();
    ~NotifyRecorder();
    HWND window() const { return window_; }
    void Destroy();

    // Pumps this thread's messages until done() is true or timeout_ms passes;
    // returns done()'s last answer.
    bool PumpUntil(const std::function<bool()> &done, DWORD timeout_ms);
    // Pumps until the worker is idle, then takes what is still queued.
    bool PumpUntilIdle(DWORD timeout_ms);

    std::vector<Notification> all;
    std::vector<std::string> LogLines() const;
    std::vector<std::string> StatusTexts() const;
    // Numeric notifications as (message, value), in order.
    std::vector<std::pair<UINT, WPARAM>> Numbers() const;
    // Every notification in arrival order, as "log <text>", "status <text>",
    // "total <n>", "file <n>", "enable <n>" or "result <n>".
    std::vector<std::string> Sequence() const;

private:
    std::vector<std::string> TextsOf(UINT message) const;
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
    HWND window_;
};
