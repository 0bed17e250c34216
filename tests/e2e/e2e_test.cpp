// The real patch.exe in an installation folder of the test's own, against
// nginx on loopback serving a release made with the release tool, driven and
// read through its window from this process.
#include "e2e/patcher_driver.h"

#include "app/main_window.h"
#include "patch/path_rules.h"

#include "support/file_tree.h"
#include "support/http_test_server.h"
#include "support/proxy_setting.h"
#include "support/temp_folder.h"
#include "support/unix_host.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

typedef std::vector<std::string> Lines;

const DWORD kStartTimeoutMs = 15000;
const DWORD kRunTimeoutMs = 60000;
const DWORD kQuitTimeoutMs = 5000;
const int kCheckedApart = -1; // a bar value the test checks itself

// Unix paths, set by the build.
const char kSourceDir[] = PATCHER_SOURCE_DIR;
const char kPatchExe[] = PATCH_EXE;
const char kGameExe[] = GAME_EXE;
const char kReleaseTool[] = RELEASE_TOOL;
const char kShotDir[] = SCREENSHOT_DIR;

bool CopyInto(const std::string &unix_source, const std::string &target)
{
    return CopyFileA(WindowsPathOfUnix(unix_source).c_str(), target.c_str(), FALSE) != 0;
}

std::string Bytes(size_t size, char seed)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; i++)
        bytes[i] = (char)(seed + i * 7 + i / 251);
    return bytes;
}

class EndToEndTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        release = temp.Join("release");
        web = temp.Join("www");
        install = temp.Join("inst");
        nginx_state = temp.Join("nginx");
        for (const std::string *folder : {&release, &web, &install, &nginx_state})
            ASSERT_TRUE(CreateDirectoryA(folder->c_str(), NULL));
        ASSERT_TRUE(CopyInto(kPatchExe, install + "\\patch.exe"));
        ASSERT_TRUE(CopyInto(kGameExe, install + "\\game.exe"));
        ZeroMemory(&patcher, sizeof(patcher));
    }

    void TearDown() override
    {
        if (patcher.hProcess) {
            if (WaitForSingleObject(patcher.hProcess, 0) == WAIT_TIMEOUT)
                TerminateProcess(patcher.hProcess, 1);
            WaitForSingleObject(patcher.hProcess, kQuitTimeoutMs);
            CloseHandle(patcher.hProcess);
            CloseHandle(patcher.hThread);
        }
        proxy.reset();
        if (server_started)
            RunUnixProgram({"/bin/bash", std::string(kSourceDir) + "/scripts/nginx-loopback.sh",
                            "stop", UnixPathOf(nginx_state)});
    }

    // Writes a file below root, making the folders of its '\'-separated path.
    static void WriteBelow(const std::string &root, const std::string &path,
                           const std::string &bytes)
    {
        std::string target = root + "\\" + path;
        for (size_t at = target.find('\\', root.size() + 1); at != std::string::npos;
             at = target.find('\\', at + 1))
            CreateDirectoryA(target.substr(0, at).c_str(), NULL);
        ASSERT_TRUE(WriteWholeFile(target, bytes)) << path;
    }

    void AddReleaseFile(const std::string &path, const std::string &bytes)
    {
        WriteBelow(release, path, bytes);
    }

    void Install(const std::string &path, const std::string &bytes)
    {
        WriteBelow(install, path, bytes);
    }

    // The Windows build of the release tool, as a studio on Windows runs it.
    void Publish()
    {
        std::string command = "\"" + WindowsPathOfUnix(kReleaseTool) + "\" publish \"" + release +
                              "\" \"" + web + "\"";
        ASSERT_EQ(RunProgram(command, kRunTimeoutMs), 0u) << command;
    }

    // Starts nginx on the web root; rate slows its responses ("0": full speed).
    void StartServer(const std::string &rate = "0")
    {
        ASSERT_EQ(RunUnixProgram({"/bin/bash", std::string(kSourceDir) + "/scripts/nginx-loopback.sh",
                                  "start", UnixPathOf(nginx_state), UnixPathOf(web), rate}),
                  0);
        server_started = true;
        std::string port;
        ASSERT_TRUE(ReadWholeFile(nginx_state + "\\nginx.port", &port));
        proxy.reset(new ProxySetting(atoi(port.c_str())));
    }

    void NoServer()
    {
        proxy.reset(new ProxySetting(refusing.port));
    }

    // Starts patch.exe from the installation folder and finds its window;
    // dll_overrides, when given, replaces WINEDLLOVERRIDES for it.
    void StartPatcher(const std::string &dll_overrides = std::string())
    {
        Environment changes;
        if (!dll_overrides.empty())
            changes.push_back({"WINEDLLOVERRIDES", dll_overrides});
        std::string environment = EnvironmentWith(changes);
        DWORD error = StartPatcherIn(install, changes.empty() ? NULL : &environment[0], &patcher);
        ASSERT_EQ(error, 0u) << "cannot start patch.exe";
        std::string failure;
        window = WaitForPatcherWindowOf(patcher, kStartTimeoutMs, &failure);
        ASSERT_NE(window, (HWND)NULL) << failure;
    }

    typedef std::vector<std::pair<std::string, std::string>> Environment;

    // This process's environment block with the given variables set.
    static std::string EnvironmentWith(const Environment &changes)
    {
        std::string block;
        char *strings = GetEnvironmentStringsA();
        for (const char *entry = strings; *entry; entry += lstrlenA(entry) + 1) {
            std::string line = entry;
            bool changed = false;
            for (const auto &change : changes)
                changed = changed || line.compare(0, change.first.size() + 1, change.first + "=") == 0;
            if (!changed)
                block += line + '\0';
        }
        FreeEnvironmentStringsA(strings);
        for (const auto &change : changes)
            block += change.first + "=" + change.second + '\0';
        return block + '\0';
    }

    PatcherView RunToEnd()
    {
        PatcherView view = {};
        EXPECT_TRUE(WaitForRunEnd(window, kRunTimeoutMs, &view)) << JoinLines(view.log);
        return view;
    }

    // Waits for a log line to appear; false after the time-out.
    bool WaitForLine(const std::string &line)
    {
        DWORD start = GetTickCount();
        PatcherView view = {};
        while (ReadPatcherView(window, &view) && GetTickCount() - start < kRunTimeoutMs) {
            for (const std::string &shown : view.log)
                if (shown == line)
                    return true;
            Sleep(10);
        }
        return false;
    }

    DWORD WaitForExit()
    {
        EXPECT_EQ(WaitForSingleObject(patcher.hProcess, kQuitTimeoutMs), WAIT_OBJECT_0);
        DWORD code = 99;
        GetExitCodeProcess(patcher.hProcess, &code);
        return code;
    }

    void ExpectView(const PatcherView &view, const Lines &log, int total, int file, bool launch,
                    const std::string &status)
    {
        EXPECT_EQ(view.log, log);
        EXPECT_EQ(view.total_progress, total) << JoinLines(view.log);
        if (file != kCheckedApart) {
            EXPECT_EQ(view.file_progress, file) << JoinLines(view.log);
        }
        EXPECT_EQ(view.launch_enabled, launch);
        EXPECT_EQ(view.status, status);
        EXPECT_TRUE(view.visible);
    }

    void Screenshot(const std::string &name)
    {
        RECT rect;
        ASSERT_TRUE(GetWindowRect(window, &rect));
        char crop[64];
        snprintf(crop, sizeof(crop), "%ldx%ld+%ld+%ld", rect.right - rect.left,
                 rect.bottom - rect.top, rect.left, rect.top);
        RunUnixProgram({"/bin/mkdir", "-p", kShotDir});
        EXPECT_EQ(RunUnixProgram({"/usr/bin/import", "-window", "root", "-crop", crop,
                                  std::string(kShotDir) + "/" + name + ".png"}),
                  0);
    }

    std::string Installed(const std::string &path)
    {
        std::string bytes;
        return ReadWholeFile(install + "\\" + path, &bytes) ? bytes : "<missing>";
    }

    // The game records its start itself; the shell may start it after the
    // patcher has gone.
    bool GameStarted()
    {
        const std::string record = install + "\\game-started.txt";
        for (DWORD start = GetTickCount(); GetTickCount() - start < kStartTimeoutMs; Sleep(20))
            if (GetFileAttributesA(record.c_str()) != INVALID_FILE_ATTRIBUTES)
                return true;
        return false;
    }

    // Compared here so that a failure does not print a whole binary file.
    bool InstalledIs(const std::string &path, const std::string &bytes)
    {
        return Installed(path) == bytes;
    }

    // The lower bar after a run that downloaded only the manifest.
    int ManifestPercent()
    {
        std::string manifest;
        ReadWholeFile(web + "\\latest\\manifest.txt", &manifest);
        size_t divisor = manifest.size() / 100 ? manifest.size() / 100 : 1;
        return manifest.size() / divisor > 100 ? 100 : (int)(manifest.size() / divisor);
    }

    void StandardRelease()
    {
        AddReleaseFile("a.txt", Bytes(300, 'a'));
        AddReleaseFile("data\\b.bin", Bytes(70000, 'b'));
        AddReleaseFile("data\\maps\\c.map", Bytes(1234, 'c'));
        Publish();
    }

    TempFolder temp;
    std::string release, web, install, nginx_state;
    std::unique_ptr<ProxySetting> proxy;
    RefusingPort refusing; // a loopback port where nothing answers
    bool server_started = false;
    PROCESS_INFORMATION patcher;
    HWND window = NULL;
};

TEST_F(EndToEndTest, FreshInstallation)
{
    // Blanks, '#' and '%' reach the server escaped, as the name's own bytes.
    AddReleaseFile("data\\my maps\\d #1 100%.txt", Bytes(500, 'd'));
    StandardRelease();
    StartServer();
    ASSERT_NO_FATAL_FAILURE(StartPatcher());
    PatcherView view = RunToEnd();
    ExpectView(view,
               {"Searching for updates...", "Downloading a.txt", "Updating a.txt",
                "Downloading data\\b.bin", "Updating data\\b.bin", "Downloading data\\maps\\c.map",
                "Updating data\\maps\\c.map", "Downloading data\\my maps\\d #1 100%.txt",
                "Updating data\\my maps\\d #1 100%.txt", "Patch complete."},
               100, 100, true, "Done.");
    EXPECT_TRUE(InstalledIs("data\\b.bin", Bytes(70000, 'b')));
    EXPECT_TRUE(InstalledIs("data\\maps\\c.map", Bytes(1234, 'c')));
    EXPECT_TRUE(InstalledIs("data\\my maps\\d #1 100%.txt", Bytes(500, 'd')));
    Screenshot("complete-run");
}

TEST_F(EndToEndTest, AlreadyUpToDate)
{
    StandardRelease();
    Install("a.txt", Bytes(300, 'a'));
    Install("data\\b.bin", Bytes(70000, 'b'));
    Install("data\\maps\\c.map", Bytes(1234, 'c'));
    StartServer();
    ASSERT_NO_FATAL_FAILURE(StartPatcher());
    ExpectView(RunToEnd(),
               {"Searching for updates...", "Already up to date: a.txt",
                "Already up to date: data\\b.bin", "Already up to date: data\\maps\\c.map",
                "Patch complete."},
               100, ManifestPercent(), true, "Done.");
}

TEST_F(EndToEndTest, OutdatedFilesAndALeftoverThatIsSwept)
{
    StandardRelease();
    Install("a.txt", Bytes(300, 'a'));
    Install("data\\b.bin", "an older build of b");
    Install("data\\core.dll.old", "set aside by an earlier run");
    StartServer();
    ASSERT_NO_FATAL_FAILURE(StartPatcher());
    ExpectView(RunToEnd(),
               {"Searching for updates...", "Already up to date: a.txt", "Downloading data\\b.bin",
                "Updating data\\b.bin", "Downloading data\\maps\\c.map",
                "Updating data\\maps\\c.map", "Patch complete."},
               100, 100, true, "Done.");
    EXPECT_EQ(Installed("data\\core.dll.old"), "<missing>");
    EXPECT_TRUE(InstalledIs("data\\b.bin", Bytes(70000, 'b')));
}

TEST_F(EndToEndTest, AListedChecksumThatDoesNotMatchFails)
{
    AddReleaseFile("good.txt", Bytes(500, 'g'));
    AddReleaseFile("bad.bin", Bytes(900, 'x'));
    Publish();
    // The manifest now promises other bytes than the server holds.
    std::string manifest;
    ASSERT_TRUE(ReadWholeFile(web + "\\latest\\manifest.txt", &manifest));
    size_t line = manifest.find(" bad.bin");
    ASSERT_NE(line, std::string::npos) << manifest;
    size_t start = manifest.rfind('\n', line);
    start = start == std::string::npos ? 0 : start + 1;
    manifest.replace(start, line - start, "12345");
    ASSERT_TRUE(WriteWholeFile(web + "\\latest\\manifest.txt", manifest));
    StartServer();
    ASSERT_NO_FATAL_FAILURE(StartPatcher());
    Lines expected = {"Searching for updates..."};
    for (int i = 0; i < 5; i++) {
        expected.push_back("Downloading bad.bin");
        expected.push_back("Error: downloaded file is corrupt, trying again...");
    }
    expected.push_back("Error: exceeded maximum attempts, giving up.");
    expected.push_back("Patch failed.");
    ExpectView(RunToEnd(), expected, 0, 100, true, "Done.");
    EXPECT_EQ(Installed("bad.bin"), "<missing>");
    Screenshot("failed-run");
}

TEST_F(EndToEndTest, NoServerAtAll)
{
    NoServer();
    ASSERT_NO_FATAL_FAILURE(StartPatcher());
    ExpectView(RunToEnd(),
               {"Searching for updates...", "Error: unable to contact the update server.",
                "Unable to check for updates."},
               0, 0, true, "Done.");
}

// A slow server keeps a run going long enough to act on it.
class SlowRunTest : public EndToEndTest {
protected:
    void SetUp() override
    {
        EndToEndTest::SetUp();
        AddReleaseFile("big.bin", Bytes(8 << 20, 'B'));
        Publish();
        StartServer("1m");
        ASSERT_NO_FATAL_FAILURE(StartPatcher());
        ASSERT_TRUE(WaitForLine("Downloading big.bin"));
    }

    // Temporary files of the patcher, which keeps them in its staging folder.
    int TemporaryFilesLeft()
    {
        int count = 0;
        for (const auto &entry : SnapshotTree(install))
            if (entry.first.find("BHP") != std::string::npos)
                count++;
        return count;
    }
};

TEST_F(SlowRunTest, CancelDuringARun)
{
    // The file bar has moved: the download stands inside the body.
    PatcherView before = {};
    for (DWORD start = GetTickCount(); GetTickCount() - start < kRunTimeoutMs; Sleep(20))
        if (!ReadPatcherView(window, &before) || before.file_progress > 0)
            break;
    ASSERT_GT(before.file_progress, 0);
    PostCommand(window, IDM_CANCEL);
    PatcherView view = RunToEnd();
    // The download ends where it stood: it had seconds to go.
    ExpectView(view,
               {"Searching for updates...", "Downloading big.bin", "Cancellation requested.",
                "Patch cancelled."},
               0, kCheckedApart, true, "Done.");
    EXPECT_GE(view.file_progress, before.file_progress);
    EXPECT_LT(view.file_progress, 100);
    EXPECT_EQ(Installed("big.bin"), "<missing>");
    EXPECT_EQ(TemporaryFilesLeft(), 0);
}

TEST_F(SlowRunTest, RestartDuringARunAndAfterIt)
{
    PostCommand(window, IDM_RESTART);
    ExpectView(RunToEnd(),
               {"Searching for updates...", "Downloading big.bin",
                "Patch is still in progress, can't restart.", "Updating big.bin",
                "Patch complete."},
               100, 100, true, "Done.");
    // Sent, not posted: the log is cleared once it returns, so the line
    // waited for is the new run's, not the last one's.
    SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDM_RESTART, 0), 0);
    ASSERT_TRUE(WaitForLine("Patch complete."));
    ExpectView(RunToEnd(),
               {"Searching for updates...", "Already up to date: big.bin", "Patch complete."},
               100, ManifestPercent(), true, "Done.");
}

TEST_F(SlowRunTest, QuitDuringARunEndsTheProcessAtOnce)
{
    // What starting and ending a windowed program takes Wine on this machine
    // now (ending one takes about two seconds when idle): the stand-in game,
    // less the time it stays open by itself.
    const DWORD kGameOpenMs = 3000;
    DWORD baseline_start = GetTickCount();
    DWORD ended = RunProgram("\"" + install + "\\game.exe\"", kGameOpenMs + kQuitTimeoutMs);
    ASSERT_TRUE(ended != kNotStarted && ended != kNotEnded);
    DWORD baseline_ms = GetTickCount() - baseline_start - kGameOpenMs;
    DeleteFileA((install + "\\game-started.txt").c_str());
    DWORD start = GetTickCount();
    PostCommand(window, IDM_QUIT);
    EXPECT_EQ(WaitForExit(), 0u);
    // The download still has about seven seconds to go, and closing waits up
    // to three for the worker: a quit that waited would take that much more.
    DWORD quit_ms = GetTickCount() - start;
    printf("quit took %lu ms, a program's start and end %lu ms\n", (unsigned long)quit_ms,
           (unsigned long)baseline_ms);
    EXPECT_LT(quit_ms, baseline_ms + 2000) << "the process waited for the download";
    EXPECT_EQ(TemporaryFilesLeft(), 0) << "the partial download was left behind";
}

// A file of 4 GiB and more: a hole of 4 GiB and a tail of a few MiB, so that
// nginx reads it from a sparse file at no disk cost. The 32-bit patcher
// fetches, checks and installs it, then finds it up to date. Its own ctest
// entry (see tests/CMakeLists.txt): it writes over 8 GiB and takes a minute.
const ULONGLONG kHoleBytes = 4ull << 30;
const DWORD kBigRunTimeoutMs = 400000;

// The sparse file: nothing written before offset hole, then tail.
bool WriteSparseFile(const std::string &path, ULONGLONG hole, const std::string &tail)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)hole;
    DWORD written = 0;
    bool ok = SetFilePointerEx(file, at, NULL, FILE_BEGIN) &&
              WriteFile(file, tail.data(), (DWORD)tail.size(), &written, NULL) &&
              written == tail.size();
    CloseHandle(file);
    return ok;
}

// zlib's CRC-32 of hole zero bytes followed by tail.
uLong CrcOfHoleThen(ULONGLONG hole, const std::string &tail)
{
    static const Bytef zeros[1 << 20] = {};
    uLong crc = crc32(0, Z_NULL, 0);
    for (ULONGLONG left = hole; left > 0; left -= left < sizeof(zeros) ? left : sizeof(zeros))
        crc = crc32(crc, zeros, (uInt)(left < sizeof(zeros) ? left : sizeof(zeros)));
    return crc32(crc, (const Bytef *)tail.data(), (uInt)tail.size());
}

// The size of the file at path and its last bytes (as many as wanted).
bool ReadSizeAndEnd(const std::string &path, size_t wanted, ULONGLONG *size, std::string *end)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER length, at;
    end->assign(wanted, '\0');
    DWORD got = 0;
    bool ok = GetFileSizeEx(file, &length) && (ULONGLONG)length.QuadPart >= wanted;
    at.QuadPart = ok ? length.QuadPart - (LONGLONG)wanted : 0;
    ok = ok && SetFilePointerEx(file, at, NULL, FILE_BEGIN) &&
         ReadFile(file, &(*end)[0], (DWORD)wanted, &got, NULL) && got == wanted;
    CloseHandle(file);
    *size = (ULONGLONG)length.QuadPart;
    return ok;
}

TEST_F(EndToEndTest, AFileOf4GiBAndMore)
{
    const std::string tail = Bytes(3 << 20, 't');
    ASSERT_TRUE(CreateDirectoryA((web + "\\latest").c_str(), NULL));
    ASSERT_TRUE(CreateDirectoryA((web + "\\latest\\data").c_str(), NULL));
    ASSERT_TRUE(WriteSparseFile(web + "\\latest\\data\\big.pak", kHoleBytes, tail));
    ASSERT_TRUE(WriteWholeFile(web + "\\latest\\manifest.txt",
                               std::to_string(CrcOfHoleThen(kHoleBytes, tail)) +
                                   " data\\big.pak\r\n"));
    StartServer();

    DWORD start = GetTickCount();
    ASSERT_NO_FATAL_FAILURE(StartPatcher());
    PatcherView view = {};
    EXPECT_TRUE(WaitForRunEnd(window, kBigRunTimeoutMs, &view)) << JoinLines(view.log);
    DWORD seconds_ms = GetTickCount() - start;
    printf("4 GiB and 3 MiB fetched, checked and installed in %.1f s (%.1f MB/s)\n",
           seconds_ms / 1000.0, (kHoleBytes + tail.size()) / 1000.0 / seconds_ms);
    ExpectView(view,
               {"Searching for updates...", "Downloading data\\big.pak",
                "Updating data\\big.pak", "Patch complete."},
               100, 100, true, "Done.");
    ULONGLONG size = 0;
    std::string end;
    EXPECT_TRUE(ReadSizeAndEnd(install + "\\data\\big.pak", tail.size(), &size, &end));
    EXPECT_EQ(size, kHoleBytes + tail.size());
    EXPECT_TRUE(end == tail);

    PostCommand(window, IDM_RESTART);
    ASSERT_TRUE(WaitForLine("Already up to date: data\\big.pak"));
    ExpectView(RunToEnd(),
               {"Searching for updates...", "Already up to date: data\\big.pak",
                "Patch complete."},
               100, ManifestPercent(), true, "Done.");
}

TEST_F(EndToEndTest, LaunchAfterACompleteRun)
{
    StandardRelease();
    StartServer();
    ASSERT_NO_FATAL_FAILURE(StartPatcher());
    RunToEnd();
    PostCommand(window, IDC_LAUNCH_BUTTON);
    bool hidden_seen = false, shown_again = false;
    while (WaitForSingleObject(patcher.hProcess, 5) == WAIT_TIMEOUT) {
        bool visible = IsWindowVisible(window) != 0;
        shown_again = shown_again || (hidden_seen && visible);
        hidden_seen = hidden_seen || !visible;
    }
    EXPECT_EQ(WaitForExit(), 0u);
    EXPECT_FALSE(shown_again);
    EXPECT_TRUE(GameStarted());
}

TEST_F(EndToEndTest, LaunchAfterAFailedRunAsksFirst)
{
    NoServer();
    ASSERT_NO_FATAL_FAILURE(StartPatcher());
    Lines failed = {"Searching for updates...", "Error: unable to contact the update server.",
                    "Unable to check for updates."};
    RunToEnd();

    const struct {
        const char *name;
        int answer;
    } answers[] = {{"abort", IDABORT}, {"retry", IDRETRY}, {"ignore", IDIGNORE}};
    for (const auto &a : answers) {
        PostCommand(window, IDC_LAUNCH_BUTTON);
        HWND box = WaitForMessageBox(patcher.dwProcessId, "Patch Not Completed", kStartTimeoutMs);
        ASSERT_NE(box, (HWND)NULL) << a.name;
        EXPECT_EQ(MessageBoxText(box),
                  "The patching process was not completed.\n"
                  "Your game client might not work without the latest patch.\n"
                  "Would you like to retry?");
        ASSERT_TRUE(AnswerMessageBox(box, a.answer)) << a.name;
        if (a.answer == IDABORT) {
            for (int i = 0; i < 100 && (IsWindow(box) || !IsWindowVisible(window)); i++)
                Sleep(20);
            PatcherView view = {};
            ASSERT_TRUE(ReadPatcherView(window, &view));
            ExpectView(view, failed, 0, 0, true, "Launching game...");
            EXPECT_EQ(Installed("game-started.txt"), "<missing>");
        } else if (a.answer == IDRETRY) {
            ASSERT_TRUE(WaitForLine("Unable to check for updates."));
            ExpectView(RunToEnd(), failed, 0, 0, true, "Done.");
            EXPECT_EQ(Installed("game-started.txt"), "<missing>");
        } else {
            EXPECT_EQ(WaitForExit(), 0u);
            EXPECT_TRUE(GameStarted());
        }
    }
}

TEST_F(EndToEndTest, LaunchWithoutTheGame)
{
    StandardRelease();
    StartServer();
    ASSERT_NO_FATAL_FAILURE(StartPatcher());
    RunToEnd();
    ASSERT_TRUE(DeleteFileA((install + "\\game.exe").c_str()));
    PostCommand(window, IDC_LAUNCH_BUTTON);
    // Where the patcher asks the shell itself (not elevated), the shell reports
    // the missing file in an "Error" box of its own first ("File not found.");
    // the patcher's own box follows once it is closed.
    const std::string ours = "Unable to launch the game!\nPlease verify your installation.";
    HWND box = NULL;
    for (int boxes = 0; boxes < 3; boxes++) {
        box = WaitForMessageBox(patcher.dwProcessId, "Error", kStartTimeoutMs);
        ASSERT_NE(box, (HWND)NULL);
        if (MessageBoxText(box) == ours)
            break;
        AnswerMessageBox(box, IDOK);
        for (int i = 0; i < 100 && IsWindow(box); i++)
            Sleep(20);
    }
    ASSERT_EQ(MessageBoxText(box), ours);
    EXPECT_FALSE(IsWindowVisible(window)) << "hidden while the launch is tried";
    AnswerMessageBox(box, IDOK);
    for (int i = 0; i < 100 && !IsWindowVisible(window); i++)
        Sleep(20);
    EXPECT_TRUE(IsWindowVisible(window));
    EXPECT_EQ(WaitForSingleObject(patcher.hProcess, 0), (DWORD)WAIT_TIMEOUT);
}

TEST_F(EndToEndTest, AReleaseWithANewPatcherReplacesTheRunningOne)
{
    std::string new_patcher;
    ASSERT_TRUE(ReadWholeFile(WindowsPathOfUnix(kPatchExe), &new_patcher));
    new_patcher += "release 2"; // bytes behind the image: still the same program
    AddReleaseFile("patch.exe", new_patcher);
    Publish();
    StartServer();
    ASSERT_NO_FATAL_FAILURE(StartPatcher());
    ExpectView(RunToEnd(),
               {"Searching for updates...", "Downloading patch.exe", "Updating patch.exe",
                "Patch complete."},
               100, 100, true, "Done.");
    EXPECT_TRUE(InstalledIs("patch.exe", new_patcher));
    EXPECT_NE(Installed("patch.exe.old"), "<missing>");
    PostCommand(window, IDM_QUIT);
    EXPECT_EQ(WaitForExit(), 0u);
    CloseHandle(patcher.hProcess);
    CloseHandle(patcher.hThread);

    ASSERT_NO_FATAL_FAILURE(StartPatcher()); // the new patcher sweeps what the old one left
    ExpectView(RunToEnd(),
               {"Searching for updates...", "Already up to date: patch.exe", "Patch complete."},
               100, ManifestPercent(), true, "Done.");
    EXPECT_EQ(Installed("patch.exe.old"), "<missing>");
}

struct UnixRun {
    std::vector<std::string> argv;
    int status;
};

DWORD WINAPI RunUnixInThread(LPVOID param)
{
    UnixRun *run = (UnixRun *)param;
    run->status = RunUnixProgram(run->argv);
    return 0;
}

// Wine prefers its own built-in DLLs; with these overrides it takes a DLL
// file that it finds on the search path first, as Windows would. Wine reads
// them from the Unix environment, so these programs are started from there.
const char kPreferFoundDlls[] = "WINEDLLOVERRIDES=mscoree,mshtml=;wininet,comctl32=n,b";
const char kPlantedDllDir[] = PLANTED_DLL_DIR;
const char kOrdinaryWininetUser[] = ORDINARY_WININET_USER;

TEST_F(EndToEndTest, DllsPlantedBesideThePatcherAreNotLoaded)
{
    for (const char *dll : {"wininet.dll", "comctl32.dll"})
        ASSERT_TRUE(CopyInto(std::string(kPlantedDllDir) + "/" + dll, install + "\\" + dll));
    StandardRelease();
    StartServer();
    UnixRun run = {WineCommand(UnixPathOf(install + "\\patch.exe"), {kPreferFoundDlls}), -1};
    HANDLE thread = CreateThread(NULL, 0, RunUnixInThread, &run, 0, NULL);
    ASSERT_NE(thread, (HANDLE)NULL);
    DWORD start = GetTickCount();
    while (!(window = FindWindowA("BHPatcherWindowClass", NULL)) &&
           GetTickCount() - start < kStartTimeoutMs)
        Sleep(20);
    EXPECT_NE(window, (HWND)NULL);
    if (window) {
        PatcherView view = RunToEnd();
        EXPECT_EQ(JoinLines(view.log), JoinLines({"Searching for updates...", "Downloading a.txt",
                                                  "Updating a.txt", "Downloading data\\b.bin",
                                                  "Updating data\\b.bin",
                                                  "Downloading data\\maps\\c.map",
                                                  "Updating data\\maps\\c.map",
                                                  "Patch complete."}));
        PostCommand(window, IDM_QUIT);
    }
    EXPECT_EQ(WaitForSingleObject(thread, kRunTimeoutMs), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(Installed("planted-loaded.txt"), "<missing>");
}

TEST_F(EndToEndTest, ADllPlantedBesideAnOrdinaryProgramIsLoaded)
{
    ASSERT_TRUE(CopyInto(std::string(kPlantedDllDir) + "/wininet.dll", install + "\\wininet.dll"));
    ASSERT_TRUE(CopyInto(kOrdinaryWininetUser, install + "\\user.exe"));
    EXPECT_EQ(RunUnixProgram(WineCommand(UnixPathOf(install + "\\user.exe"), {kPreferFoundDlls})),
              0);
    EXPECT_NE(Installed("planted-loaded.txt"), "<missing>")
        << "the planted DLL was not loaded: the test above proves nothing";
}

TEST_F(EndToEndTest, AnInstallationTooDeepForThePatchersPath)
{
    // A folder of 251 characters and "\patch.exe" make a module path of 261.
    // Windows programs cannot start a program by such a path, and Wine then
    // hands the patcher a short alias of it; started from the Unix side, it
    // sees the long path, as it would on a system where this could happen.
    std::string unix_deep = "/tmp/bhp-e2e-deep-" + std::to_string(GetCurrentProcessId());
    std::string top = unix_deep;
    while (2 + unix_deep.size() < 251)
        unix_deep += "/" + std::string(std::min<size_t>(40, 251 - 2 - unix_deep.size() - 1), 'd');
    ASSERT_EQ(WindowsPathOfUnix(unix_deep).size(), 251u);
    ASSERT_EQ(RunUnixProgram({"/bin/mkdir", "-p", unix_deep}), 0);
    ASSERT_EQ(RunUnixProgram({"/bin/cp", kPatchExe, unix_deep + "/patch.exe"}), 0);
    NoServer();

    UnixRun run = {WineCommand(unix_deep + "/patch.exe"), -1};
    HANDLE thread = CreateThread(NULL, 0, RunUnixInThread, &run, 0, NULL);
    ASSERT_NE(thread, (HANDLE)NULL);
    HWND box = WaitForMessageBox(0, "Error", kStartTimeoutMs);
    EXPECT_NE(box, (HWND)NULL);
    if (box) {
        EXPECT_EQ(MessageBoxText(box),
                  "Unable to find target application!\nPlease verify your installation.");
        HWND window = FindWindowA("BHPatcherWindowClass", NULL);
        EXPECT_TRUE(window == NULL || !IsWindowVisible(window)) << "the window was shown";
        AnswerMessageBox(box, IDOK);
    }
    EXPECT_EQ(WaitForSingleObject(thread, kStartTimeoutMs), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(run.status, 0) << "exit code";
    RunUnixProgram({"/bin/rm", "-rf", top});
}

// One patcher per installation, known by its folder rather than its path: a
// second start, by the same path or through a link to the folder, ends at
// once with no window of its own; another installation's patcher runs.
TEST_F(EndToEndTest, ASecondPatcherOnOneInstallationEnds)
{
    NoServer();
    ASSERT_NO_FATAL_FAILURE(StartPatcher());
    RunToEnd();
    UnixSymlink linked(temp.Join("linked"), install);
    ASSERT_TRUE(linked.made);
    const std::string other = temp.Join("other");
    ASSERT_TRUE(CreateDirectoryA(other.c_str(), NULL));
    ASSERT_TRUE(CopyInto(kPatchExe, other + "\\patch.exe"));
    const struct {
        const char *name;
        std::string folder;
        bool ends;
    } cases[] = {
        {"the same path", install, true},
        {"through a link", temp.Join("linked"), true},
        {"another installation", other, false},
    };
    for (const auto &c : cases) {
        PROCESS_INFORMATION second;
        ZeroMemory(&second, sizeof(second));
        ASSERT_EQ(StartPatcherIn(c.folder, NULL, &second), 0u) << c.name;
        std::string failure;
        HWND second_window = WaitForPatcherWindowOf(second, kStartTimeoutMs, &failure);
        EXPECT_EQ(second_window == NULL, c.ends) << c.name << ": " << failure;
        if (!c.ends || WaitForSingleObject(second.hProcess, kStartTimeoutMs) != WAIT_OBJECT_0)
            TerminateProcess(second.hProcess, 1);
        WaitForSingleObject(second.hProcess, kStartTimeoutMs);
        DWORD code = 1;
        GetExitCodeProcess(second.hProcess, &code);
        EXPECT_EQ(code, c.ends ? 0u : 1u) << c.name;
        CloseHandle(second.hProcess);
        CloseHandle(second.hThread);
        EXPECT_TRUE(IsWindow(window)) << c.name << ": the first patcher went";
    }
}

TEST_F(EndToEndTest, TheAboutBox)
{
    NoServer();
    ASSERT_NO_FATAL_FAILURE(StartPatcher());
    RunToEnd();
    PostCommand(window, IDM_ABOUT);
    HWND box = WaitForMessageBox(patcher.dwProcessId, "About", kStartTimeoutMs);
    ASSERT_NE(box, (HWND)NULL);
    EXPECT_NE(MessageBoxText(box).find("Brackenhold Patcher"), std::string::npos);
    AnswerMessageBox(box, IDOK);
    for (int i = 0; i < 100 && FindMessageBox(patcher.dwProcessId, "About"); i++)
        Sleep(20);
    EXPECT_EQ(FindMessageBox(patcher.dwProcessId, "About"), (HWND)NULL);
}

// The window as another process sees it: its style and client size, and each
// control's class, id, styles and place, in creation order. (Wine keeps menus
// inside their process, so the menu is read in-process, by window_test.)
TEST_F(EndToEndTest, TheWindowAndItsControls)
{
    NoServer();
    ASSERT_NO_FATAL_FAILURE(StartPatcher());
    RunToEnd();
    auto hex = [](DWORD bits) {
        char text[16];
        snprintf(text, sizeof(text), "0x%08lX", (unsigned long)bits);
        return std::string(text);
    };
    const DWORD added = WS_VISIBLE | WS_CLIPSIBLINGS; // by the system for a shown frame
    EXPECT_EQ(hex(GetWindowLongA(window, GWL_STYLE) & ~added), hex(WS_CAPTION | WS_SYSMENU));
    EXPECT_EQ(GetWindowLongA(window, GWL_EXSTYLE) & ~WS_EX_WINDOWEDGE, 0);
    wchar_t title[64] = {};
    GetWindowTextW(window, title, 64);
    EXPECT_EQ(std::wstring(title), L"Brackenhold Patcher");
    RECT client;
    ASSERT_TRUE(GetClientRect(window, &client));
    EXPECT_EQ(client.right - client.left, 500);
    EXPECT_EQ(client.bottom - client.top, 260);

    const DWORD child = WS_CHILD | WS_VISIBLE;
    const struct {
        const char *window_class;
        int id;
        DWORD style, ex_style;
        RECT place; // left, top, right, bottom in the client area
    } controls[] = {
        {"ListBox", IDC_LOG_LIST,
         child | WS_VSCROLL | LBS_NOSEL | LBS_DISABLENOSCROLL | LBS_NOINTEGRALHEIGHT | LBS_NOTIFY,
         WS_EX_CLIENTEDGE, {8, 8, 492, 182}},
        {"msctls_progress32", IDC_TOTAL_PROGRESS, child, 0, {8, 188, 374, 206}},
        {"Button", IDC_LAUNCH_BUTTON, child | WS_TABSTOP | BS_DEFPUSHBUTTON, 0,
         {382, 188, 492, 224}},
        {"msctls_progress32", IDC_FILE_PROGRESS, child, 0, {8, 212, 374, 230}},
        {"Static", IDC_STATUS_TEXT, child, 0, {8, 234, 492, 252}},
    };
    HWND control = GetWindow(window, GW_CHILD);
    for (const auto &c : controls) {
        ASSERT_NE(control, (HWND)NULL) << c.id;
        char name[64] = {};
        GetClassNameA(control, name, sizeof(name));
        EXPECT_EQ(lstrcmpiA(name, c.window_class), 0) << c.id << ": " << name;
        EXPECT_EQ(GetDlgCtrlID(control), c.id);
        EXPECT_EQ(hex(GetWindowLongA(control, GWL_STYLE)), hex(c.style)) << c.id;
        EXPECT_EQ(hex(GetWindowLongA(control, GWL_EXSTYLE)), hex(c.ex_style)) << c.id;
        RECT place;
        GetWindowRect(control, &place);
        MapWindowPoints(NULL, window, (POINT *)&place, 2);
        EXPECT_EQ(std::vector<LONG>({place.left, place.top, place.right, place.bottom}),
                  std::vector<LONG>({c.place.left, c.place.top, c.place.right, c.place.bottom}))
            << c.id;
        control = GetWindow(control, GW_HWNDNEXT);
    }
    EXPECT_EQ(control, (HWND)NULL) << "more controls";
    char text[32] = {};
    GetWindowTextA(GetDlgItem(window, IDC_LAUNCH_BUTTON), text, sizeof(text));
    EXPECT_STREQ(text, "Launch Game");
}

// A process can end at any instant of a run (Quit, a crash, power loss). Runs
// that replace idle files and one in use, in installations on two file
// systems, are killed at instants spread evenly over a whole run; every
// listed file must then hold its old or its new content, or be missing
// (fetched again), and the next run must complete.
class KilledRunTest : public EndToEndTest {
protected:
    static const size_t kBigSize = 12 << 20; // its check takes a while

    struct Listed {
        std::string path, old_bytes, new_bytes; // old_bytes empty: not installed
    };

    void SetUp() override
    {
        EndToEndTest::SetUp();
        listed = {{"a.txt", "an older a", Bytes(300, 'a')},
                  {"data\\big.bin", Bytes(1 << 20, 'o'), Bytes(kBigSize, 'b')},
                  {"data\\held.dat", "held by another program", Bytes(5000, 'h')},
                  {"data\\maps\\c.map", "", Bytes(1234, 'c')}};
        for (const Listed &file : listed)
            AddReleaseFile(file.path, file.new_bytes);
        Publish();
        StartServer();
    }

    void TearDown() override
    {
        for (PROCESS_INFORMATION &run : finished) {
            WaitForSingleObject(run.hProcess, kQuitTimeoutMs);
            CloseHandle(run.hProcess);
            CloseHandle(run.hThread);
        }
        if (holder != INVALID_HANDLE_VALUE)
            CloseHandle(holder);
        EndToEndTest::TearDown();
    }

    // A fresh installation of the old release; data\held.dat is held open
    // by this process, as a running program holds a file (renamed, not replaced).
    void FreshInstallation(const std::string &folder)
    {
        install = folder;
        ASSERT_TRUE(CreateDirectoryA(install.c_str(), NULL));
        ASSERT_TRUE(CopyInto(kPatchExe, install + "\\patch.exe"));
        for (const Listed &file : listed)
            if (!file.old_bytes.empty())
                Install(file.path, file.old_bytes);
        if (holder != INVALID_HANDLE_VALUE)
            CloseHandle(holder);
        holder = CreateFileA((install + "\\data\\held.dat").c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_DELETE, NULL, OPEN_EXISTING, 0, NULL);
        ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    }

    std::string LastLine()
    {
        PatcherView view = RunToEnd();
        return view.log.empty() ? std::string() : view.log.back();
    }

    // Leaves the finished patcher to end by itself while the test goes on.
    void QuitWithoutWaiting()
    {
        PostCommand(window, IDM_QUIT);
        finished.push_back(patcher);
        ZeroMemory(&patcher, sizeof(patcher));
    }

    // Files in the installation whose names end in `suffix`.
    int CountNamesEndingIn(const std::string &suffix)
    {
        int count = 0;
        for (const auto &entry : SnapshotTree(install))
            if (entry.first.size() >= suffix.size() &&
                entry.first.compare(entry.first.size() - suffix.size(), suffix.size(), suffix) == 0)
                count++;
        return count;
    }

    // The temporary files in folder, and the size of the largest.
    static int CountBhpFiles(const std::string &folder, DWORD *largest = nullptr)
    {
        int count = 0;
        WIN32_FIND_DATAA found;
        HANDLE find = FindFirstFileA((folder + "\\BHP*.tmp").c_str(), &found);
        if (largest)
            *largest = 0;
        if (find == INVALID_HANDLE_VALUE)
            return 0;
        do {
            count++;
            if (largest && found.nFileSizeLow > *largest)
                *largest = found.nFileSizeLow;
        } while (FindNextFileA(find, &found));
        FindClose(find);
        return count;
    }

    // Waits until big.bin has been downloaded whole into folder, or already
    // moved in (a poll can miss the staged copy): from then on the run checks
    // and renames files.
    bool WaitForBigDownload(const std::string &folder)
    {
        DWORD start = GetTickCount(), largest = 0;
        WIN32_FILE_ATTRIBUTE_DATA big;
        std::string installed = install + "\\" + listed[1].path;
        while (GetTickCount() - start < kRunTimeoutMs) {
            CountBhpFiles(folder, &largest);
            if (largest >= kBigSize)
                return true;
            if (GetFileAttributesExA(installed.c_str(), GetFileExInfoStandard, &big) &&
                big.nFileSizeLow == kBigSize)
                return true;
            Sleep(1);
        }
        return false;
    }

    std::vector<Listed> listed;
    HANDLE holder = INVALID_HANDLE_VALUE;
    std::vector<PROCESS_INFORMATION> finished;
};

// Kill instants: half of them spread evenly over a whole run, timed from the
// window's appearance; the other half spread evenly over the part of the run
// after big.bin's download, where files are checked, copied and renamed.
TEST_F(KilledRunTest, EveryListedFileIsOldNewOrFetchedAgain)
{
    MappedDrive drive;
    ASSERT_FALSE(drive.root.empty()) << "no free drive letter could be mapped";
    ASSERT_FALSE(OnSameFileSystem(drive.folder, install));
    const int kKillsPerPhase = 6;
    const struct {
        const char *name;
        std::string root; // where the installations go
    } volumes[] = {{"same volume", temp.path}, {"another volume", drive.folder}};
    // The temporary files wait in the installation's staging folder.
    auto staging = [this] { return install + "\\" + kStagingFolderName; };

    int serial = 0, kills = 0, missing = 0, set_aside = 0, staged = 0, temporary = 0;
    for (const auto &volume : volumes) {
        // One whole run, timed.
        std::string name = "run" + std::to_string(serial++);
        ASSERT_NO_FATAL_FAILURE(FreshInstallation(volume.root + "\\" + name));
        ASSERT_NO_FATAL_FAILURE(StartPatcher());
        DWORD start = GetTickCount();
        ASSERT_TRUE(WaitForBigDownload(staging())) << volume.name;
        DWORD tail_start = GetTickCount();
        // The last listed file is the last one written.
        while (!FileExists(install + "\\" + listed.back().path) &&
               GetTickCount() - start < kRunTimeoutMs)
            Sleep(1);
        DWORD spans[2] = {GetTickCount() - start, GetTickCount() - tail_start};
        ASSERT_EQ(LastLine(), "Patch complete.") << volume.name;
        QuitWithoutWaiting();
        printf("[   INFO   ] %s: a run's file work takes %lu ms, %lu ms of it after big.bin's "
               "download\n",
               volume.name, spans[0], spans[1]);

        for (int k = 0; k < 2 * kKillsPerPhase; k++) {
            int phase = k / kKillsPerPhase, i = k % kKillsPerPhase;
            DWORD kill_ms = (DWORD)((2 * i + 1) * spans[phase] / (2 * kKillsPerPhase));
            std::string at = std::string(volume.name) + " at " + std::to_string(kill_ms) +
                             (phase ? " ms after the download" : " ms");
            name = "run" + std::to_string(serial++);
            ASSERT_NO_FATAL_FAILURE(FreshInstallation(volume.root + "\\" + name));
            ASSERT_NO_FATAL_FAILURE(StartPatcher());
            if (phase == 1) {
                ASSERT_TRUE(WaitForBigDownload(staging())) << at;
            }
            Sleep(kill_ms);
            ASSERT_TRUE(TerminateProcess(patcher.hProcess, 1)) << at;
            ASSERT_EQ(WaitForSingleObject(patcher.hProcess, kQuitTimeoutMs), WAIT_OBJECT_0) << at;
            CloseHandle(patcher.hProcess);
            CloseHandle(patcher.hThread);
            ZeroMemory(&patcher, sizeof(patcher));
            kills++;

            // o: old content, n: new, -: missing (listed files in order).
            std::string found;
            for (const Listed &file : listed) {
                std::string now = Installed(file.path);
                bool old = now == file.old_bytes && !now.empty();
                EXPECT_TRUE(old || now == file.new_bytes || now == "<missing>")
                    << at << ": " << file.path << " holds " << now.size()
                    << " bytes of neither version";
                found += old ? 'o' : now == file.new_bytes ? 'n' : now == "<missing>" ? '-' : '?';
                missing += now == "<missing>" && !file.old_bytes.empty();
            }
            int leftovers = CountNamesEndingIn("held.dat.old");
            int copies = CountNamesEndingIn(".new.old");
            int temporaries = CountBhpFiles(staging());
            printf("[   INFO   ] %s: files %s, %d set aside, %d half-made copies, %d temporary\n",
                   at.c_str(), found.c_str(), leftovers, copies, temporaries);
            set_aside += leftovers;
            staged += copies;
            temporary += temporaries;

            ASSERT_NO_FATAL_FAILURE(StartPatcher());
            EXPECT_EQ(LastLine(), "Patch complete.") << at;
            EXPECT_EQ(CountBhpFiles(staging()), 0) << at << ": a temporary file left";
            for (const Listed &file : listed)
                EXPECT_TRUE(InstalledIs(file.path, file.new_bytes)) << at << ": " << file.path;
            EXPECT_EQ(CountNamesEndingIn(".new.old"), 0) << at << ": a staged copy left";
            QuitWithoutWaiting();
        }
    }
    printf("[   INFO   ] after %d kills: %d installed files missing, %d set aside, "
           "%d half-made copies, %d temporary files\n",
           kills, missing, set_aside, staged, temporary);
}

} // namespace
