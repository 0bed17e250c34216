#include "support/notify_recorder.h"

#include "app/notifications.h"
#include "patch/patch_worker.h"

namespace {

const char kRecorderClass[] = "BHPTestNotifyRecorder";

bool IsTextMessage(UINT message)
{
    return message == WM_APP_STATUS_TEXT || message == WM_APP_LOG_LINE;
}

void DrainQueue()
{
    MSG message;
    while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

} // namespace

NotifyRecorder::NotifyRecorder()
{
    WNDCLASSA window_class = {};
    window_class.lpfnWndProc = Proc;
    window_class.hInstance = GetModuleHandleA(NULL);
    window_class.lpszClassName = kRecorderClass;
    RegisterClassA(&window_class); // fails harmlessly when already registered
    window_ = CreateWindowExA(0, kRecorderClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL,
                              GetModuleHandleA(NULL), this);
}

NotifyRecorder::~NotifyRecorder() { Destroy(); }

void NotifyRecorder::Destroy()
{
    if (window_) {
        DestroyWindow(window_);
        window_ = NULL;
    }
}

LRESULT CALLBACK NotifyRecorder::Proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_NCCREATE) {
        CREATESTRUCTA *create = (CREATESTRUCTA *)lparam;
        SetWindowLongPtrA(window, GWLP_USERDATA, (LONG_PTR)create->lpCreateParams);
    }
    NotifyRecorder *self = (NotifyRecorder *)GetWindowLongPtrA(window, GWLP_USERDATA);
    if (!self || message < WM_APP_TOTAL_PROGRESS || message > WM_APP_PATCH_RESULT)
        return DefWindowProcA(window, message, wparam, lparam);

    Notification note = {message, wparam, std::string(), 0};
    if (IsTextMessage(message) && lparam) {
        const char *text = (const char *)lparam;
        // Kept in a larger block, so that a heap scan for leftover copies of
        // the worker's exact size never finds the recorder's own.
        note.text.reserve(lstrlenA(text) + 64);
        note.text.assign(text);
        note.block = HeapSize(GetProcessHeap(), 0, (void *)lparam);
        HeapFree(GetProcessHeap(), 0, (void *)lparam);
    }
    self->all.push_back(note);
    return 0;
}

bool NotifyRecorder::PumpUntil(const std::function<bool()> &done, DWORD timeout_ms)
{
    DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start >= timeout_ms)
            return done();
        MsgWaitForMultipleObjects(0, NULL, FALSE, 10, QS_ALLINPUT);
        DrainQueue();
    }
    return true;
}

bool NotifyRecorder::PumpUntilIdle(DWORD timeout_ms)
{
    bool idle = PumpUntil([] { return IsWorkerIdle() != 0; }, timeout_ms);
    DrainQueue(); // everything was posted before running was cleared
    return idle;
}

std::vector<std::string> NotifyRecorder::TextsOf(UINT message) const
{
    std::vector<std::string> texts;
    for (const Notification &note : all)
        if (note.message == message)
            texts.push_back(note.text);
    return texts;
}

std::vector<std::string> NotifyRecorder::LogLines() const { return TextsOf(WM_APP_LOG_LINE); }

std::vector<std::string> NotifyRecorder::StatusTexts() const
{
    return TextsOf(WM_APP_STATUS_TEXT);
}

std::vector<std::pair<UINT, WPARAM>> NotifyRecorder::Numbers() const
{
    std::vector<std::pair<UINT, WPARAM>> numbers;
    for (const Notification &note : all)
        if (!IsTextMessage(note.message))
            numbers.push_back({note.message, note.value});
    return numbers;
}

std::vector<std::string> NotifyRecorder::Sequence() const
{
    static const char *const kNames[] = {"total", "file", "enable", "status", "log", "result"};
    std::vector<std::string> sequence;
    for (const Notification &note : all) {
        std::string name = kNames[note.message - WM_APP_TOTAL_PROGRESS];
        sequence.push_back(name + " " +
                           (IsTextMessage(note.message) ? note.text
                                                        : std::to_string((unsigned long long)note.value)));
    }
    return sequence;
}
