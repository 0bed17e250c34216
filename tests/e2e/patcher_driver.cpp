#include "e2e/patcher_driver.h"

#include "app/main_window.h"

#include <commctrl.h>

namespace {

const char kPatcherClass[] = "BHPatcherWindowClass";
const char kDialogClass[] = "#32770";
const DWORD kPollMs = 20;
const int kStartAttempts = 5;    // starts of a program tried while Wine fails them
const DWORD kStartRetryMs = 500; // pause between two such starts

std::string WindowText(HWND window)
{
    char text[1024] = {};
    GetWindowTextA(window, text, sizeof(text));
    return text;
}

struct BoxSearch {
    DWORD process_id;
    const char *title;
    HWND found;
};

BOOL CALLBACK MatchBox(HWND window, LPARAM param)
{
    BoxSearch *search = (BoxSearch *)param;
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char window_class[64] = {};
    GetClassNameA(window, window_class, sizeof(window_class));
    if ((search->process_id == 0 || owner == search->process_id) && lstrcmpA(window_class, kDialogClass) == 0 &&
        WindowText(window) == search->title && IsWindowVisible(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

} // namespace

HWND FindPatcherWindow() { return FindWindowA(kPatcherClass, NULL); }

HWND FindPatcherWindowOf(DWORD process_id)
{
    HWND found = NULL;
    while ((found = FindWindowExA(NULL, found, kPatcherClass, NULL)) != NULL) {
        DWORD owner = 0;
        GetWindowThreadProcessId(found, &owner);
        if (owner == process_id)
            return found;
    }
    return NULL;
}

HWND WaitForPatcherWindowOf(const PROCESS_INFORMATION &process, DWORD timeout_ms,
                            std::string *failure)
{
    HWND window = NULL;
    DWORD start = GetTickCount();
    bool ended = false;
    while (!(window = FindPatcherWindowOf(process.dwProcessId)) && !ended &&
           GetTickCount() - start < timeout_ms)
        ended = WaitForSingleObject(process.hProcess, kPollMs) == WAIT_OBJECT_0;
    if (window)
        return window;
    char text[128];
    DWORD code = 0;
    if (ended && GetExitCodeProcess(process.hProcess, &code))
        wsprintfA(text, "the program ended before its window showed, exit status 0x%08lX",
                  (unsigned long)code);
    else
        wsprintfA(text, "no patcher window within %lu ms", (unsigned long)timeout_ms);
    *failure = text;
    return NULL;
}

DWORD StartProgram(std::string command, char *environment, const char *folder,
                   PROCESS_INFORMATION *process)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    DWORD error = 0;
    // While earlier processes are still ending, Wine now and then fails a
    // start with ERROR_INTERNAL_ERROR; a moment later it works.
    for (int attempt = 0; attempt < kStartAttempts; attempt++) {
        if (attempt > 0)
            Sleep(kStartRetryMs);
        if (CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, environment, folder,
                           &startup, process))
            return 0;
        error = GetLastError();
        if (error != ERROR_INTERNAL_ERROR)
            break;
    }
    return error;
}

DWORD RunProgram(const std::string &command, DWORD timeout_ms)
{
    PROCESS_INFORMATION process = {};
    if (StartProgram(command, NULL, NULL, &process) != 0)
        return kNotStarted;
    WaitForSingleObject(process.hProcess, timeout_ms);
    DWORD code = kNotEnded;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return code;
}

DWORD StartPatcherIn(const std::string &folder, char *environment, PROCESS_INFORMATION *process)
{
    return StartProgram("\"" + folder + "\\patch.exe\"", environment, folder.c_str(), process);
}

bool ReadPatcherView(HWND window, PatcherView *view)
{
    if (!IsWindow(window))
        return false;
    HWND list = GetDlgItem(window, IDC_LOG_LIST);
    view->log.clear();
    LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
    // Wine hands list box texts to another process whole only as wide text.
    for (LRESULT i = 0; i < count; i++) {
        WCHAR wide[1100] = {};
        char line[2200] = {};
        if (SendMessageW(list, LB_GETTEXTLEN, i, 0) < (LRESULT)(sizeof(wide) / sizeof(wide[0])))
            SendMessageW(list, LB_GETTEXT, i, (LPARAM)wide);
        WideCharToMultiByte(CP_ACP, 0, wide, -1, line, sizeof(line), NULL, NULL);
        view->log.push_back(line);
    }
    view->total_progress = (int)SendMessageA(GetDlgItem(window, IDC_TOTAL_PROGRESS), PBM_GETPOS, 0, 0);
    view->file_progress = (int)SendMessageA(GetDlgItem(window, IDC_FILE_PROGRESS), PBM_GETPOS, 0, 0);
    view->launch_enabled = IsWindowEnabled(GetDlgItem(window, IDC_LAUNCH_BUTTON)) != 0;
    view->status = WindowText(GetDlgItem(window, IDC_STATUS_TEXT));
    view->visible = IsWindowVisible(window) != 0;
    return true;
}

bool WaitForRunEnd(HWND window, DWORD timeout_ms, PatcherView *view)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (!ReadPatcherView(window, view))
            return false;
        // The log is read before the status: read it all again once the run
        // is seen to have ended, so that no line that came in between is lost.
        if (view->launch_enabled && view->status == "Done.")
            return ReadPatcherView(window, view);
        if (GetTickCount() - start >= timeout_ms)
            return false;
        Sleep(kPollMs);
    }
}

void PostCommand(HWND window, int id)
{
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, 0), 0);
}

HWND FindMessageBox(DWORD process_id, const char *title)
{
    BoxSearch search = {process_id, title, NULL};
    EnumWindows(MatchBox, (LPARAM)&search);
    return search.found;
}

HWND WaitForMessageBox(DWORD process_id, const char *title, DWORD timeout_ms)
{
    DWORD start = GetTickCount();
    for (;;) {
        HWND box = FindMessageBox(process_id, title);
        if (box || GetTickCount() - start >= timeout_ms)
            return box;
        Sleep(kPollMs);
    }
}

std::string MessageBoxText(HWND box)
{
    // The message text is the box's static control with id 0xFFFF.
    return WindowText(GetDlgItem(box, 0xFFFF));
}

bool AnswerMessageBox(HWND box, int button)
{
    HWND control = GetDlgItem(box, button);
    if (!control)
        return false;
    return PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), (LPARAM)control) != 0;
}

bool SaveWindowBitmap(HWND window, const std::string &path)
{
    RECT rect;
    if (!GetWindowRect(window, &rect))
        return false;
    int width = rect.right - rect.left;
    int height = rect.bottom - rect.top;
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    SelectObject(memory, previous);

    BITMAPINFOHEADER info = {};
    info.biSize = sizeof(info);
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    DWORD row = ((width * 3 + 3) / 4) * 4;
    std::string pixels(row * height, '\0');
    GetDIBits(memory, bitmap, 0, height, &pixels[0], (BITMAPINFO *)&info, DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);

    BITMAPFILEHEADER file_header = {};
    file_header.bfType = 0x4D42; // "BM"
    file_header.bfOffBits = sizeof(file_header) + sizeof(info);
    file_header.bfSize = file_header.bfOffBits + (DWORD)pixels.size();
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool ok = WriteFile(file, &file_header, sizeof(file_header), &written, NULL) &&
              WriteFile(file, &info, sizeof(info), &written, NULL) &&
              WriteFile(file, pixels.data(), (DWORD)pixels.size(), &written, NULL);
    CloseHandle(file);
    return ok;
}

std::string JoinLines(const std::vector<std::string> &lines)
{
    std::string all;
    for (const std::string &line : lines)
        all += line + "\n";
    return all;
}
