// The window's menu, built by its own procedure in this process (Wine keeps
// menus inside their process), and the shell request of LaunchGame, seen
// through this program's imports.
#include "app/launch.h"
#include "app/main_window.h"
#include "patch/manifest.h"
#include "patch/patch_worker.h"
#include "patch/quick_check.h"
#include "resource.h"
#include "support/iat_patch.h"
#include "support/temp_folder.h"
#include "support/unix_host.h"

#include <gtest/gtest.h>

#include <exdisp.h>
#include <shellapi.h>

#include <string>
#include <vector>

namespace {

// A window of MainWndProc; a run counted as in progress keeps WM_CREATE
// from starting one.
class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        WNDCLASSA window_class = {};
        window_class.lpfnWndProc = MainWndProc;
        window_class.hInstance = GetModuleHandleA(NULL);
        window_class.lpszClassName = "BHPWindowTest";
        RegisterClassA(&window_class);
        g_patch_worker.running = 1;
        window = CreateWindowExA(0, "BHPWindowTest", "", WS_CAPTION | WS_SYSMENU, 0, 0, 500, 300,
                                 NULL, NULL, GetModuleHandleA(NULL), NULL);
        ASSERT_NE(window, (HWND)NULL);
    }

    void TearDown() override
    {
        DestroyWindow(window);
        g_patch_worker.running = 0;
        MSG message;
        while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) // the WM_QUIT of WM_DESTROY
            ;
    }

    HWND window = NULL;
};

// Each item as "text id", a separator as "-", a pop-up as its text and "[...]".
std::string DescribeMenu(HMENU menu)
{
    std::string items;
    int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; i++) {
        char text[64] = {};
        MENUITEMINFOA info = {};
        info.cbSize = sizeof(info);
        info.fMask = MIIM_FTYPE | MIIM_ID | MIIM_SUBMENU | MIIM_STATE | MIIM_STRING;
        info.dwTypeData = text;
        info.cch = sizeof(text);
        GetMenuItemInfoA(menu, i, TRUE, &info);
        if (!items.empty())
            items += ", ";
        if (info.fType & MFT_SEPARATOR) {
            items += "-";
            continue;
        }
        items += text;
        if (info.fState & (MFS_DISABLED | MFS_CHECKED))
            items += " (state)";
        if (info.hSubMenu)
            items += " [" + DescribeMenu(info.hSubMenu) + "]";
        else
            items += " " + std::to_string(info.wID);
    }
    return items;
}

TEST_F(MainWindowTest, MenuBar)
{
    EXPECT_EQ(DescribeMenu(GetMenu(window)),
              "&File [&Cancel 2001, &Restart 2002, -, &Quit 2003], &Help [&About 2101]");
}

HANDLE WINAPI NoThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD,
                       LPDWORD)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
}

bool g_read_in_full = false;
bool ReadInFull(const void *, DWORD, const char *)
{
    g_read_in_full = true;
    return true;
}

// Restart's run reads every file, whatever the record says; a run that the
// player did not ask for takes the record's word. (No run starts here: the
// worker's thread cannot be made.)
TEST_F(MainWindowTest, RestartChecksInFull)
{
    TempFolder install;
    ASSERT_TRUE(WriteWholeFile(install.Join("empty.bin"), ""));
    UpdateManifest manifest = {};
    ASSERT_TRUE(ParseManifest("0 empty.bin\n", &manifest));
    const std::string file = install.Join("empty.bin");
    auto checked_in_full = [&]() {
        g_read_in_full = false;
        BeginQuickCheck(install.path.c_str(), &manifest, NULL);
        CheckEntryWithRecord(0, file.c_str(), ReadInFull, NULL);
        ConfirmEntry(0, NULL);
        FinishQuickCheck();
        return g_read_in_full;
    };
    UseQuickCheck(1);
    EXPECT_TRUE(checked_in_full()) << "no record yet";
    EXPECT_FALSE(checked_in_full()) << "the record's word";
    g_patch_worker.running = 0;
    {
        void *real = NULL;
        ImportHook thread("kernel32.dll", "CreateThread", (void *)NoThread, &real);
        SendMessageA(window, WM_COMMAND, IDM_RESTART, 0);
    }
    EXPECT_TRUE(checked_in_full()) << "after Restart";
    EXPECT_FALSE(checked_in_full()) << "the run after";
    UseQuickCheck(0);
    FreeManifest(&manifest);
}

// The shell request, answered here: the game "starts" as this process.
struct ShellCall {
    int calls = 0;
    SHELLEXECUTEINFOA info = {};
    std::string verb, file;
    bool has_parameters = false, has_directory = false;
    HANDLE process = NULL;     // handed back as the game's
    HANDLE waited = NULL;      // what WaitForInputIdle was given
    DWORD wait_ms = 0;
};
ShellCall g_shell;

BOOL WINAPI RecordingShellExecute(SHELLEXECUTEINFOA *info)
{
    g_shell.calls++;
    g_shell.info = *info;
    g_shell.verb = info->lpVerb ? info->lpVerb : "<null>";
    g_shell.file = info->lpFile ? info->lpFile : "<null>";
    g_shell.has_parameters = info->lpParameters != NULL;
    g_shell.has_directory = info->lpDirectory != NULL;
    DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(),
                    &g_shell.process, 0, FALSE, DUPLICATE_SAME_ACCESS);
    info->hProcess = g_shell.process;
    info->hInstApp = (HINSTANCE)42;
    return TRUE;
}

DWORD WINAPI RecordingWaitForInputIdle(HANDLE process, DWORD ms)
{
    g_shell.waited = process;
    g_shell.wait_ms = ms;
    return 0;
}

// Who the patcher is, as the player-rights start sees it, and what that
// start did: the game "starts" as this process there too.
struct TokenAndShell {
    BOOL elevated = FALSE;
    HWND shell = NULL;
    DWORD create_error = 0; // CreateProcessA fails with it when non-zero
    int creates = 0;
    DWORD opened_id = 0;   // the process opened, and its handle
    HANDLE opened = NULL;
    HANDLE parent = NULL;  // the handle given as the parent
    DWORD flags = 0;
    std::string application, command_line;
    bool has_directory = false, shown_normally = false;
    bool shell_serves = false;   // else the request for the shell's windows is refused
    int shell_windows_asked = 0; // the desktop shell's windows, from its own process
    std::string box;             // the last message box's text
    HANDLE process = NULL, thread = NULL;
};
TokenAndShell g_rights;
const DWORD kElevationRequired = 740; // ERROR_ELEVATION_REQUIRED, missing from the headers
void *g_real_token_information = NULL;
void *g_real_update_attribute = NULL;
void *g_real_open_process = NULL;

HANDLE WINAPI RecordingOpenProcess(DWORD access, BOOL inherit, DWORD id)
{
    g_rights.opened_id = id;
    g_rights.opened =
        ((decltype(&OpenProcess))g_real_open_process)(access, inherit, id);
    return g_rights.opened;
}

BOOL WINAPI StandInTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS type, LPVOID data,
                                    DWORD size, PDWORD written)
{
    if (type != TokenElevation || size < sizeof(TOKEN_ELEVATION))
        return ((decltype(&GetTokenInformation))g_real_token_information)(token, type, data,
                                                                           size, written);
    ((TOKEN_ELEVATION *)data)->TokenIsElevated = g_rights.elevated;
    *written = sizeof(TOKEN_ELEVATION);
    return TRUE;
}

HWND WINAPI StandInShellWindow() { return g_rights.shell; }

void *g_real_create_instance = NULL;

// Wine's desktop serves the shell's windows as the shell does on Windows.
HRESULT WINAPI RecordingCoCreateInstance(REFCLSID type, LPUNKNOWN outer, DWORD context,
                                         REFIID wanted, LPVOID *object)
{
    g_rights.shell_windows_asked += IsEqualCLSID(type, CLSID_ShellWindows) &&
                                    context == CLSCTX_LOCAL_SERVER &&
                                    IsEqualIID(wanted, IID_IShellWindows);
    if (g_rights.shell_serves)
        return ((decltype(&CoCreateInstance))g_real_create_instance)(type, outer, context,
                                                                      wanted, object);
    *object = NULL;
    return REGDB_E_CLASSNOTREG;
}

int WINAPI RecordingMessageBox(HWND, LPCSTR text, LPCSTR, UINT)
{
    g_rights.box = text ? text : "<null>";
    return IDOK;
}

BOOL WINAPI RecordingUpdateAttribute(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD flags,
                                     DWORD_PTR attribute, PVOID value, SIZE_T size,
                                     PVOID previous, PSIZE_T returned)
{
    if (attribute == PROC_THREAD_ATTRIBUTE_PARENT_PROCESS && size == sizeof(HANDLE))
        g_rights.parent = *(HANDLE *)value;
    return ((decltype(&UpdateProcThreadAttribute))g_real_update_attribute)(
        list, flags, attribute, value, size, previous, returned);
}

BOOL WINAPI RecordingCreateProcess(LPCSTR application, LPSTR command_line,
                                   LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                                   DWORD flags, LPVOID, LPCSTR directory,
                                   LPSTARTUPINFOA startup, LPPROCESS_INFORMATION info)
{
    g_rights.creates++;
    g_rights.flags = flags;
    g_rights.application = application ? application : "<null>";
    g_rights.command_line = command_line ? command_line : "<null>";
    g_rights.has_directory = directory != NULL;
    g_rights.shown_normally =
        (startup->dwFlags & STARTF_USESHOWWINDOW) && startup->wShowWindow == SW_SHOWNORMAL;
    if (g_rights.create_error) {
        SetLastError(g_rights.create_error);
        return FALSE;
    }
    DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(),
                    &g_rights.process, 0, FALSE, DUPLICATE_SAME_ACCESS);
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(),
                    &g_rights.thread, 0, FALSE, DUPLICATE_SAME_ACCESS);
    info->hProcess = g_rights.process;
    info->hThread = g_rights.thread;
    info->dwProcessId = GetCurrentProcessId();
    info->dwThreadId = GetCurrentThreadId();
    return TRUE;
}

// An elevated patcher starts the game as a child of the desktop shell, with
// the player's rights, or, when that start fails (a game that asks for
// elevation itself), asks the shell to open it in the shell's own process; it
// never opens the game with its own token. A patcher that is not elevated
// has the shell open it as it always has.
TEST_F(MainWindowTest, LaunchAsksTheShellToOpenTheGame)
{
    // A real game for the shell's own process to open.
    TempFolder game_folder;
    const std::string game_exe = game_folder.Join("game.exe");
    ASSERT_TRUE(CopyFileA(WindowsPathOfUnix(GAME_EXE).c_str(), game_exe.c_str(), FALSE));
    char own_game[MAX_PATH];
    lstrcpynA(own_game, g_main_window.target_path, MAX_PATH);
    // Under Wine the desktop window belongs to another process, as the
    // shell's window does on Windows.
    HWND desktop = GetDesktopWindow();
    DWORD desktop_id = 0;
    GetWindowThreadProcessId(desktop, &desktop_id);
    ASSERT_NE(desktop_id, 0u);
    ASSERT_NE(desktop_id, GetCurrentProcessId());
    const struct {
        const char *name;
        BOOL elevated;
        HWND shell;
        DWORD create_error;
        bool as_player;    // started as the shell's child, not by the shell
        bool shell_serves; // the shell's windows can be reached
        bool by_the_shell; // opened in the shell's process: the game runs
    } rows[] = {
        {"elevated", TRUE, desktop, 0, true, false, false},
        {"not elevated", FALSE, desktop, 0, false, false, false},
        {"elevated, no shell", TRUE, NULL, 0, false, false, false},
        {"the game asks for elevation", TRUE, desktop, kElevationRequired, false, true, true},
        {"the game asks, no shell serves", TRUE, desktop, kElevationRequired, false, false,
         false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        g_shell = ShellCall();
        g_rights = TokenAndShell();
        g_rights.elevated = row.elevated;
        g_rights.shell = row.shell;
        g_rights.create_error = row.create_error;
        g_rights.shell_serves = row.shell_serves;
        bool refused = row.elevated && !row.as_player && !row.by_the_shell;
        // The shell is asked only for a game that is there.
        bool shell_asked = row.elevated && !row.as_player;
        lstrcpynA(g_main_window.target_path, shell_asked ? game_exe.c_str() : own_game,
                  sizeof(g_main_window.target_path));
        {
            void *real_shell = NULL, *real_wait = NULL, *real_shell_window = NULL,
                 *real_create = NULL, *real_box = NULL;
            ImportHook shell("shell32.dll", "ShellExecuteExA", (void *)RecordingShellExecute,
                             &real_shell);
            ImportHook wait("user32.dll", "WaitForInputIdle", (void *)RecordingWaitForInputIdle,
                            &real_wait);
            ImportHook token("advapi32.dll", "GetTokenInformation",
                             (void *)StandInTokenInformation, &g_real_token_information);
            ImportHook shell_window("user32.dll", "GetShellWindow", (void *)StandInShellWindow,
                                    &real_shell_window);
            ImportHook attribute("kernel32.dll", "UpdateProcThreadAttribute",
                                 (void *)RecordingUpdateAttribute, &g_real_update_attribute);
            ImportHook open("kernel32.dll", "OpenProcess", (void *)RecordingOpenProcess,
                            &g_real_open_process);
            ImportHook create("kernel32.dll", "CreateProcessA", (void *)RecordingCreateProcess,
                              &real_create);
            ImportHook com("ole32.dll", "CoCreateInstance", (void *)RecordingCoCreateInstance,
                           &g_real_create_instance);
            ImportHook box("user32.dll", "MessageBoxA", (void *)RecordingMessageBox, &real_box);
            ASSERT_TRUE(real_shell && real_wait && g_real_token_information &&
                        real_shell_window && g_real_update_attribute && g_real_open_process &&
                        real_create && g_real_create_instance && real_box);
            g_main_window.patch_completed = 1; // no question first
            LaunchGame(window);
        }

        EXPECT_EQ(g_rights.shell_windows_asked, shell_asked ? 1 : 0);
        if (row.by_the_shell) {
            EXPECT_EQ(g_shell.calls, 0) << "opened with the patcher's token";
            const std::string record = game_folder.Join("game-started.txt");
            DWORD start = GetTickCount();
            while (GetFileAttributesA(record.c_str()) == INVALID_FILE_ATTRIBUTES &&
                   GetTickCount() - start < 30000)
                Sleep(10);
            EXPECT_NE(GetFileAttributesA(record.c_str()), INVALID_FILE_ATTRIBUTES)
                << "the shell did not start the game";
            MSG quit;
            EXPECT_TRUE(PeekMessageA(&quit, NULL, WM_QUIT, WM_QUIT, PM_REMOVE));
            continue;
        }
        if (refused) {
            EXPECT_EQ(g_shell.calls, 0) << "opened with the patcher's token";
            EXPECT_EQ(g_rights.creates, row.create_error ? 1 : 0);
            EXPECT_EQ(g_rights.box,
                      "Unable to launch the game!\nPlease verify your installation.");
            EXPECT_TRUE(IsWindowVisible(window));
            MSG quit;
            EXPECT_FALSE(PeekMessageA(&quit, NULL, WM_QUIT, WM_QUIT, PM_REMOVE));
            continue;
        }
        HANDLE game = row.as_player ? g_rights.process : g_shell.process;
        if (row.as_player) {
            EXPECT_EQ(g_shell.calls, 0);
            ASSERT_EQ(g_rights.creates, 1);
            EXPECT_EQ(g_rights.opened_id, desktop_id);
            ASSERT_NE(g_rights.opened, (HANDLE)NULL);
            EXPECT_EQ(g_rights.parent, g_rights.opened) << "not the shell's child";
            EXPECT_TRUE(g_rights.flags & EXTENDED_STARTUPINFO_PRESENT);
            EXPECT_EQ(g_rights.application, g_main_window.target_path);
            EXPECT_EQ(g_rights.command_line,
                      std::string("\"") + g_main_window.target_path + "\"");
            EXPECT_FALSE(g_rights.has_directory);
            EXPECT_TRUE(g_rights.shown_normally);
            DWORD flags = 0;
            EXPECT_FALSE(GetHandleInformation(g_rights.thread, &flags)) << "the thread kept";
            EXPECT_FALSE(GetHandleInformation(g_rights.opened, &flags)) << "the shell kept";
        } else {
            EXPECT_EQ(g_rights.creates, row.create_error ? 1 : 0);
            ASSERT_EQ(g_shell.calls, 1);
            EXPECT_EQ(g_shell.info.cbSize, sizeof(SHELLEXECUTEINFOA));
            EXPECT_EQ(g_shell.info.fMask, (ULONG)SEE_MASK_NOCLOSEPROCESS);
            EXPECT_EQ(g_shell.info.hwnd, window);
            EXPECT_EQ(g_shell.verb, "open");
            EXPECT_EQ(g_shell.file, g_main_window.target_path);
            EXPECT_EQ(g_shell.file.substr(g_shell.file.size() - 9), "\\game.exe");
            EXPECT_FALSE(g_shell.has_parameters);
            EXPECT_FALSE(g_shell.has_directory);
            EXPECT_EQ(g_shell.info.nShow, SW_SHOWNORMAL);
        }
        EXPECT_EQ(g_shell.waited, game) << "no wait for the game's input";
        EXPECT_GT(g_shell.wait_ms, 0u);
        DWORD flags = 0;
        EXPECT_FALSE(GetHandleInformation(game, &flags)) << "the game's handle kept";
        MSG quit;
        EXPECT_TRUE(PeekMessageA(&quit, NULL, WM_QUIT, WM_QUIT, PM_REMOVE)) << "the loop goes on";
    }
    lstrcpynA(g_main_window.target_path, own_game, sizeof(g_main_window.target_path));
    // The game ends by itself; its folder goes once it has.
    for (DWORD start = GetTickCount();
         !DeleteFileA(game_exe.c_str()) && GetTickCount() - start < 30000;)
        Sleep(50);
}

} // namespace
