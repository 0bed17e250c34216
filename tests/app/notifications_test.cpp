#include "app/notifications.h"

#include "app/main_window.h"
#include "support/heap_probe.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <map>
#include <string>
#include <vector>

namespace {

char *HeapCopy(const char *text)
{
    char *copy = (char *)HeapAlloc(GetProcessHeap(), 0, lstrlenA(text) + 1);
    lstrcpyA(copy, text);
    return copy;
}

// A hidden window with the five controls at their ids, as the main window
// has them, so that the handlers work on real controls.
class NotificationsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        InitCommonControls();
        HINSTANCE instance = GetModuleHandleA(NULL);
        window = CreateWindowExA(0, "STATIC", "", WS_OVERLAPPEDWINDOW, 0, 0, 500, 300, NULL, NULL,
                                 instance, NULL);
        ASSERT_NE(window, (HWND)NULL);
        state = MainWindowState();
        state.log_list = Child("LISTBOX", WS_VSCROLL | LBS_NOSEL | LBS_NOINTEGRALHEIGHT,
                               IDC_LOG_LIST, 100);
        // The bars take any value from -1000 to 1000 here, so that only the
        // handlers can keep them within 0 to 100.
        SendMessageA(Child("msctls_progress32", 0, IDC_TOTAL_PROGRESS, 18), PBM_SETRANGE32,
                     (WPARAM)-1000, 1000);
        Child("BUTTON", BS_DEFPUSHBUTTON, IDC_LAUNCH_BUTTON, 36);
        SendMessageA(Child("msctls_progress32", 0, IDC_FILE_PROGRESS, 18), PBM_SETRANGE32,
                     (WPARAM)-1000, 1000);
        state.status_line = Child("STATIC", 0, IDC_STATUS_TEXT, 18);
    }

    void TearDown() override { DestroyWindow(window); }

    HWND Child(const char *window_class, DWORD style, int id, int height)
    {
        return CreateWindowExA(0, window_class, "", WS_CHILD | WS_VISIBLE | style, 8, 8, 400,
                               height, window, (HMENU)(INT_PTR)id, GetModuleHandleA(NULL), NULL);
    }

    int BarPosition(int id)
    {
        return (int)SendMessageA(GetDlgItem(window, id), PBM_GETPOS, 0, 0);
    }

    HWND window = NULL;
    MainWindowState state;
};

TEST_F(NotificationsTest, ProgressIsClampedToTheBarsRange)
{
    const struct {
        WPARAM value;
        int position;
    } cases[] = {
        {(WPARAM)(INT_PTR)-5, 0}, {250, 100}, {(WPARAM)0xFFFFFFFFu, 0}, {37, 37},
        {0, 0},                   {100, 100}, {101, 100},                {(WPARAM)(INT_PTR)-1, 0},
    };
    for (const auto &c : cases) {
        SendMessageA(GetDlgItem(window, IDC_FILE_PROGRESS), PBM_SETPOS, 50, 0);
        EXPECT_EQ(OnTotalProgress(window, c.value), 0);
        EXPECT_EQ(BarPosition(IDC_TOTAL_PROGRESS), c.position) << "value " << c.value;
        EXPECT_EQ(BarPosition(IDC_FILE_PROGRESS), 50) << "the lower bar moved";

        SendMessageA(GetDlgItem(window, IDC_TOTAL_PROGRESS), PBM_SETPOS, 50, 0);
        EXPECT_EQ(OnFileProgress(window, c.value), 0);
        EXPECT_EQ(BarPosition(IDC_FILE_PROGRESS), c.position) << "value " << c.value;
        EXPECT_EQ(BarPosition(IDC_TOTAL_PROGRESS), 50) << "the upper bar moved";
    }
}

TEST_F(NotificationsTest, LaunchButtonFollowsWparam)
{
    HWND button = GetDlgItem(window, IDC_LAUNCH_BUTTON);
    OnEnableLaunch(window, 0);
    EXPECT_FALSE(IsWindowEnabled(button));
    OnEnableLaunch(window, 2);
    EXPECT_TRUE(IsWindowEnabled(button));
    OnEnableLaunch(window, 0);
    EXPECT_FALSE(IsWindowEnabled(button));
}

TEST_F(NotificationsTest, TextsAreShownAndFreed)
{
    // The controls keep texts of their own, so the check looks for the copies.
    OnStatusText(&state, (LPARAM)HeapCopy("Updating..."));
    OnLogLine(&state, (LPARAM)HeapCopy("Searching for updates..."));
    EXPECT_FALSE(HeapHoldsTextCopy("Updating..."));
    EXPECT_FALSE(HeapHoldsTextCopy("Searching for updates..."));
    char shown[64] = {};
    GetWindowTextA(state.status_line, shown, sizeof(shown));
    EXPECT_STREQ(shown, "Updating...");
    ASSERT_EQ(SendMessageA(state.log_list, LB_GETCOUNT, 0, 0), 1);
    SendMessageA(state.log_list, LB_GETTEXT, 0, (LPARAM)shown);
    EXPECT_STREQ(shown, "Searching for updates...");
}

TEST_F(NotificationsTest, NullTextsChangeNothing)
{
    SetWindowTextA(state.status_line, "Ready.");
    EXPECT_EQ(OnStatusText(&state, 0), 0);
    EXPECT_EQ(OnLogLine(&state, 0), 0);
    char shown[64] = {};
    GetWindowTextA(state.status_line, shown, sizeof(shown));
    EXPECT_STREQ(shown, "Ready.");
    EXPECT_EQ(SendMessageA(state.log_list, LB_GETCOUNT, 0, 0), 0);
}

TEST_F(NotificationsTest, MissingControlsStillFreeTexts)
{
    MainWindowState bare = MainWindowState();
    OnStatusText(&bare, (LPARAM)HeapCopy("status nobody sees"));
    OnLogLine(&bare, (LPARAM)HeapCopy("line nobody sees"));
    EXPECT_FALSE(HeapHoldsTextCopy("status nobody sees"));
    EXPECT_FALSE(HeapHoldsTextCopy("line nobody sees"));
}

TEST_F(NotificationsTest, TheNewestLogLineStaysInView)
{
    const int kLines = 300;
    for (int i = 0; i < kLines; i++) {
        std::string line = "line " + std::to_string(i);
        OnLogLine(&state, (LPARAM)HeapCopy(line.c_str()));
    }
    ASSERT_EQ(SendMessageA(state.log_list, LB_GETCOUNT, 0, 0), kLines);
    RECT client;
    GetClientRect(state.log_list, &client);
    int item_height = (int)SendMessageA(state.log_list, LB_GETITEMHEIGHT, 0, 0);
    int top = (int)SendMessageA(state.log_list, LB_GETTOPINDEX, 0, 0);
    int visible = (client.bottom - client.top) / item_height;
    EXPECT_GT(top, 0);
    EXPECT_LE(top, kLines - 1);
    EXPECT_GE(top + visible, kLines) << "top " << top << ", " << visible << " lines visible";
}

// Routes the six notifications of the fixture's window through OnNotification,
// as MainWndProc does, and records the WM_SETREDRAW values each control gets
// and how often a bar is moved.
MainWindowState *g_routed_state;
WNDPROC g_window_proc;
std::map<HWND, WNDPROC> g_control_procs;
std::map<HWND, std::vector<WPARAM>> g_redraws;
std::map<HWND, int> g_positions_set;
const char kSlowLine[] = "a line that takes a while";
const DWORD kSlowLineMs = 400; // longer than a burst goes without a repaint
const char kRefusedLine[] = "a line the list has no room for";

LRESULT CALLBACK RoutingProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message >= WM_APP_TOTAL_PROGRESS && message <= WM_APP_PATCH_RESULT)
        return OnNotification(window, g_routed_state, message, wparam, lparam);
    if (message == WM_TIMER && wparam == kRepaintTimerId)
        return OnRepaintTimer(window, g_routed_state);
    return CallWindowProcA(g_window_proc, window, message, wparam, lparam);
}

LRESULT CALLBACK RecordingProc(HWND control, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_SETREDRAW)
        g_redraws[control].push_back(wparam);
    if (message == PBM_SETPOS)
        g_positions_set[control]++;
    if (message == LB_ADDSTRING && lstrcmpA((const char *)lparam, kSlowLine) == 0)
        Sleep(kSlowLineMs);
    if (message == LB_ADDSTRING && lstrcmpA((const char *)lparam, kRefusedLine) == 0)
        return LB_ERRSPACE;
    return CallWindowProcA(g_control_procs[control], control, message, wparam, lparam);
}

class BurstTest : public NotificationsTest {
protected:
    void SetUp() override
    {
        NotificationsTest::SetUp();
        ShowWindow(window, SW_SHOWNA);
        g_routed_state = &state;
        g_window_proc =
            (WNDPROC)SetWindowLongPtrA(window, GWLP_WNDPROC, (LONG_PTR)RoutingProc);
        g_redraws.clear();
        g_positions_set.clear();
        for (int id : {IDC_LOG_LIST, IDC_TOTAL_PROGRESS, IDC_FILE_PROGRESS}) {
            HWND control = GetDlgItem(window, id);
            g_control_procs[control] =
                (WNDPROC)SetWindowLongPtrA(control, GWLP_WNDPROC, (LONG_PTR)RecordingProc);
        }
    }

    // Takes every message, the repaint timer's included, until painting is on.
    void Pump()
    {
        DWORD start = GetTickCount();
        MSG message;
        for (;;) {
            while (PeekMessageA(&message, window, 0, 0, PM_REMOVE))
                DispatchMessageA(&message);
            if (!state.pause.active || GetTickCount() - start > 5000)
                return;
            MsgWaitForMultipleObjects(0, NULL, FALSE, 20, QS_ALLINPUT);
        }
    }

    void PostLine(const std::string &line)
    {
        PostMessageA(window, WM_APP_LOG_LINE, 0, (LPARAM)HeapCopy(line.c_str()));
    }

    std::vector<WPARAM> Redraws(int id) { return g_redraws[GetDlgItem(window, id)]; }

    // The list's pixels as they stand on the screen.
    std::vector<DWORD> ListPixels()
    {
        RECT client;
        GetClientRect(state.log_list, &client);
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = client.right;
        info.bmiHeader.biHeight = -client.bottom;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        std::vector<DWORD> pixels((size_t)client.right * client.bottom);
        HDC screen = GetDC(state.log_list);
        HDC memory = CreateCompatibleDC(screen);
        HBITMAP bitmap = CreateCompatibleBitmap(screen, client.right, client.bottom);
        HGDIOBJ previous = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, client.right, client.bottom, screen, 0, 0, SRCCOPY);
        SelectObject(memory, previous);
        GetDIBits(memory, bitmap, 0, client.bottom, pixels.data(), &info, DIB_RGB_COLORS);
        DeleteObject(bitmap);
        DeleteDC(memory);
        ReleaseDC(state.log_list, screen);
        return pixels;
    }
};

// Lines and bar values posted faster than the window takes them, as a run
// over an up-to-date installation posts them: everything is applied as if
// each had been shown alone, a few repaints serve the whole burst, and
// painting is back on once the queue has been empty for a moment.
TEST_F(BurstTest, ABurstIsShownWholeWithAFewRepaints)
{
    PostLine("alone");
    Pump();
    const std::vector<WPARAM> off_on = {0, 1};
    EXPECT_EQ(Redraws(IDC_LOG_LIST), off_on) << "one line with nothing behind it";
    g_redraws.clear();

    const int kLines = 400;
    for (int i = 0; i < kLines; i++) {
        PostLine("line " + std::to_string(i));
        PostMessageA(window, WM_APP_FILE_PROGRESS, i % 101, 0);
        PostMessageA(window, WM_APP_TOTAL_PROGRESS, i * 100 / kLines, 0);
    }
    // A line the list cannot take leaves the last one it took in view.
    PostLine(kRefusedLine);
    PostMessageA(window, WM_APP_FILE_PROGRESS, 42, 0);
    Pump();

    ASSERT_EQ(SendMessageA(state.log_list, LB_GETCOUNT, 0, 0), kLines + 1);
    char shown[64] = {};
    for (int i = 0; i < kLines; i++) {
        SendMessageA(state.log_list, LB_GETTEXT, i + 1, (LPARAM)shown);
        ASSERT_EQ(std::string(shown), "line " + std::to_string(i));
    }
    EXPECT_FALSE(HeapHoldsTextCopy("line 0"));
    EXPECT_FALSE(HeapHoldsTextCopy("line 399"));
    EXPECT_EQ(BarPosition(IDC_TOTAL_PROGRESS), 99);
    EXPECT_EQ(BarPosition(IDC_FILE_PROGRESS), 42);
    RECT client;
    GetClientRect(state.log_list, &client);
    int item_height = (int)SendMessageA(state.log_list, LB_GETITEMHEIGHT, 0, 0);
    int top = (int)SendMessageA(state.log_list, LB_GETTOPINDEX, 0, 0);
    EXPECT_GE(top + (client.bottom - client.top) / item_height, kLines + 1) << "top " << top;
    std::vector<WPARAM> redraws = Redraws(IDC_LOG_LIST);
    ASSERT_FALSE(redraws.empty()) << "the list painted every line";
    EXPECT_LE(redraws.size(), (size_t)kLines / 10);
    EXPECT_EQ(redraws.front(), 0u);
    EXPECT_NE(redraws.back(), 0u) << "the list was left without painting";
    for (int id : {IDC_TOTAL_PROGRESS, IDC_FILE_PROGRESS}) {
        int moves = g_positions_set[GetDlgItem(window, id)];
        EXPECT_GE(moves, 1) << "bar " << id;
        EXPECT_LE(moves, kLines / 10) << "bar " << id << " repainted at every value";
    }
    for (int id : {IDC_LOG_LIST, IDC_TOTAL_PROGRESS, IDC_FILE_PROGRESS}) {
        HWND control = GetDlgItem(window, id);
        EXPECT_TRUE(IsWindowVisible(control)) << "control " << id;
        EXPECT_FALSE(GetUpdateRect(control, NULL, FALSE)) << "control " << id << " not painted";
    }
}

TEST_F(BurstTest, ALongBurstIsPaintedOnTheWay)
{
    PostLine("first");
    PostLine(kSlowLine);
    PostLine("last");
    Pump();
    const std::vector<WPARAM> expected = {0, 1, 0, 1}; // off, on after the slow line, off, on
    EXPECT_EQ(Redraws(IDC_LOG_LIST), expected);
    EXPECT_EQ(SendMessageA(state.log_list, LB_GETCOUNT, 0, 0), 3);
}

// A download sends only file percentages: the list paints on through their
// pauses, so that a log uncovered meanwhile is not left blank.
TEST_F(BurstTest, TheLogIsPaintedThroughAPauseWithoutLines)
{
    // Clear of the other controls, which share its place in the fixture.
    MoveWindow(state.log_list, 8, 120, 400, 100, TRUE);
    for (int i = 0; i < 60; i++)
        AppendLogLine(&state, ("line " + std::to_string(i)).c_str());
    PostMessageA(window, WM_APP_FILE_PROGRESS, 10, 0);
    MSG message;
    while (PeekMessageA(&message, window, WM_APP_FILE_PROGRESS, WM_APP_FILE_PROGRESS, PM_REMOVE))
        DispatchMessageA(&message);
    ASSERT_EQ(state.pause.active, 1);
    InvalidateRect(state.log_list, NULL, TRUE);
    Pump();

    std::vector<DWORD> shown = ListPixels();
    RedrawWindow(state.log_list, NULL, NULL,
                 RDW_ERASE | RDW_FRAME | RDW_INVALIDATE | RDW_UPDATENOW);
    EXPECT_TRUE(shown == ListPixels()) << "the uncovered list was left unpainted";
    EXPECT_EQ(BarPosition(IDC_FILE_PROGRESS), 10);
}

// "Done." ends every run: once it shows, the log and the bars are painted too.
TEST_F(BurstTest, AStatusTextShowsAfterTheRestIsPainted)
{
    PostLine("Patch complete.");
    PostMessageA(window, WM_APP_TOTAL_PROGRESS, 100, 0);
    PostMessageA(window, WM_APP_STATUS_TEXT, 0, (LPARAM)HeapCopy("Done."));
    MSG message;
    while (PeekMessageA(&message, window, WM_APP_TOTAL_PROGRESS, WM_APP_PATCH_RESULT, PM_REMOVE))
        DispatchMessageA(&message);
    EXPECT_EQ(state.pause.active, 0);
    EXPECT_EQ(BarPosition(IDC_TOTAL_PROGRESS), 100);
    const std::vector<WPARAM> off_on = {0, 1};
    EXPECT_EQ(Redraws(IDC_LOG_LIST), off_on);
    for (int id : {IDC_LOG_LIST, IDC_TOTAL_PROGRESS})
        EXPECT_FALSE(GetUpdateRect(GetDlgItem(window, id), NULL, FALSE)) << "control " << id;
    char shown[16] = {};
    GetWindowTextA(state.status_line, shown, sizeof(shown));
    EXPECT_STREQ(shown, "Done.");
}

TEST_F(NotificationsTest, PatchResultIsStoredAsSent)
{
    const WPARAM values[] = {1, 0, 2, 7, 0};
    for (WPARAM value : values) {
        OnPatchResult(&state, value);
        EXPECT_EQ(state.patch_completed, (int)value);
    }
}

} // namespace
