#include "app/notifications.h"

#include "app/main_window.h"
#include "support/heap_probe.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <string>

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

TEST_F(NotificationsTest, PatchResultIsStoredAsSent)
{
    const WPARAM values[] = {1, 0, 2, 7, 0};
    for (WPARAM value : values) {
        OnPatchResult(&state, value);
        EXPECT_EQ(state.patch_completed, (int)value);
    }
}

} // namespace
