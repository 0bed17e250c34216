// The Windows side of bench/patch_exe_bench.sh: times the real patch.exe from
// its start to "Done." and, one at a time, the same work done by its building
// blocks alone. The update server is reached through WinINet's configured proxy,
// pointed at 127.0.0.1:<proxy port> for the program's life, or, for patch with
// "direct", as patch.exe names it, with no proxy (bench/line_bench.sh: through
// a proxy Wine's WinINet opens a connection per request). Prints
// "seconds: <s>" and a few facts of the work on success.
//   patch_exe_bench patch <proxy port>|direct <patch.exe>  the whole program
//   patch_exe_bench crc <install dir> <manifest file>      FileCrc32 alone
//   patch_exe_bench sha <install dir> <manifest file>      FileSha256 alone (CNG)
//   patch_exe_bench fetch <proxy port> <manifest file>     HttpDownloadToFile alone,
//                                                          into temporary files
//   patch_exe_bench bare <proxy port> <object>             the bare 8 KiB read loop
//   patch_exe_bench steps <proxy port> <manifest file>     one small file's fetch,
//                                                          step by step
#include "app/main_window.h"
#include "app/notifications.h"
#include "bench_files.h"
#include "patch/file_replace.h"
#include "patch/held_files.h"
#include "patch/install_paths.h"
#include "patch/manifest.h"
#include "patch/patch_worker.h"
#include "support/proxy_setting.h"
#include "transfer/crc32.h"
#include "transfer/http_download.h"
#include "transfer/sha256.h"

#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char kUpdateHost[] = PATCHER_UPDATE_HOST;
const INTERNET_PORT kUpdatePort = 80;
const char kFileObjectPrefix[] = "/latest/";
const DWORD kTimeLimitMs = 30000;
const DWORD kReadChunkBytes = 8192;
const DWORD kRequestFlags = 0x84480300; // as the downloader sends them on port 80
const DWORD kPollMs = 5;
const DWORD kRunTimeoutMs = 60 * 60 * 1000;
const DWORD kExitTimeoutMs = 60000;

double g_frequency;

double Seconds()
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return (double)counter.QuadPart / g_frequency;
}

bool LoadManifest(const char *path, UpdateManifest *manifest)
{
    ZeroMemory(manifest, sizeof(*manifest));
    char *text = ReadWholeText(path);
    bool ok = text && ParseManifest(text, manifest) && manifest->count > 0;
    if (text)
        HeapFree(GetProcessHeap(), 0, text);
    if (!ok)
        fprintf(stderr, "bench: no manifest with entries in %s\n", path);
    return ok;
}

std::string ControlText(HWND control)
{
    char text[256] = {};
    GetWindowTextA(control, text, sizeof(text));
    return text;
}

// The last log line, read as wide text (the only way it crosses processes whole).
std::string LastLogLine(HWND list, LRESULT count)
{
    WCHAR wide[1100] = {};
    char line[2200] = {};
    if (count > 0 && SendMessageW(list, LB_GETTEXTLEN, count - 1, 0) < 1100)
        SendMessageW(list, LB_GETTEXT, count - 1, (LPARAM)wide);
    WideCharToMultiByte(CP_ACP, 0, wide, -1, line, sizeof(line), NULL, NULL);
    return line;
}

// Starts patch.exe in its folder and waits until its window shows the end of
// the run (Launch Game enabled and "Done."); then closes it through its menu.
int TimePatcher(const char *exe)
{
    char folder[MAX_PATH];
    lstrcpynA(folder, exe, MAX_PATH);
    char *slash = strrchr(folder, '\\');
    if (slash)
        *slash = '\0';
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    char command[MAX_PATH + 2];
    snprintf(command, sizeof(command), "\"%s\"", exe);
    // Under Wine the desktop process comes and goes with the programs that
    // have windows; a window of this program's own keeps it up, as on Windows,
    // so that patch.exe is not timed starting it.
    HWND desktop_holder = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 1, 1, NULL, NULL,
                                          GetModuleHandleA(NULL), NULL);
    double start = Seconds();
    if (!CreateProcessA(exe, command, NULL, NULL, FALSE, 0, NULL, folder, &startup, &process)) {
        fprintf(stderr, "bench: cannot start %s (%lu)\n", exe, (unsigned long)GetLastError());
        return 1;
    }
    CloseHandle(process.hThread);
    int status = 1;
    HWND window = NULL;
    double end = 0;
    for (;;) {
        if (!window)
            window = FindWindowA("BHPatcherWindowClass", NULL);
        if (window && IsWindowEnabled(GetDlgItem(window, IDC_LAUNCH_BUTTON)) &&
            ControlText(GetDlgItem(window, IDC_STATUS_TEXT)) == "Done.") {
            end = Seconds();
            break;
        }
        if (Seconds() - start > kRunTimeoutMs / 1000.0 ||
            WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0) {
            fprintf(stderr, "bench: patch.exe did not show the end of its run\n");
            goto done;
        }
        Sleep(kPollMs);
    }
    {
        HWND list = GetDlgItem(window, IDC_LOG_LIST);
        LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
        std::string last = LastLogLine(list, count);
        printf("seconds: %.3f\nlog lines: %ld\nlast line: %s\n", end - start, (long)count,
               last.c_str());
        status = last == "Patch complete." ? 0 : 1;
    }
done:
    if (window)
        PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDM_QUIT, 0), 0);
    if (WaitForSingleObject(process.hProcess, kExitTimeoutMs) != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hProcess);
    if (desktop_holder)
        DestroyWindow(desktop_holder);
    return status;
}

// The up-to-date check of one file without a key: its CRC-32 as listed.
bool CrcMatches(const char *path, DWORD listed)
{
    DWORD crc = 0;
    return FileCrc32(path, &crc) && crc == listed;
}

// What a patch.exe with a key does instead: the file's SHA-256.
bool Sha256Computed(const char *path, DWORD)
{
    BYTE digest[kSha256Size];
    return FileSha256(path, kAnyFileSize, digest) != 0;
}

// Times check over every file of the manifest below install_dir.
int TimeChecks(const char *install_dir, const char *manifest_path,
               bool (*check)(const char *path, DWORD listed), const char *name)
{
    UpdateManifest manifest;
    if (!LoadManifest(manifest_path, &manifest))
        return 1;
    char path[kJoinedPathCapacity];
    int status = 0;
    double start = Seconds();
    for (DWORD i = 0; i < manifest.count && status == 0; i++) {
        if (!JoinLocalPath(install_dir, manifest.paths[i], path, kJoinedPathCapacity) ||
            !check(path, manifest.checksums[i])) {
            fprintf(stderr, "bench: %s failed or differs for %s\n", name, manifest.paths[i]);
            status = 1;
        }
    }
    if (status == 0)
        printf("seconds: %.3f\nfiles: %lu\n", Seconds() - start, (unsigned long)manifest.count);
    FreeManifest(&manifest);
    return status;
}

// A new temporary file, as the patch run makes one for each download.
bool MakeTemp(char *name)
{
    char folder[MAX_PATH];
    DWORD length = GetTempPathA(MAX_PATH, folder);
    return length > 0 && length < MAX_PATH && GetTempFileNameA(folder, "BHP", 0, name) != 0;
}

int TimeFetch(const char *manifest_path)
{
    UpdateManifest manifest;
    if (!LoadManifest(manifest_path, &manifest))
        return 1;
    char object[kJoinedPathCapacity];
    char temp[MAX_PATH];
    int status = 0;
    double start = Seconds();
    for (DWORD i = 0; i < manifest.count && status == 0; i++) {
        LONG result = -1;
        if (JoinServerPath(kFileObjectPrefix, manifest.paths[i], object, kJoinedPathCapacity) &&
            MakeTemp(temp)) {
            result = HttpDownloadToFile(kUpdateHost, kUpdatePort, object, temp, kTimeLimitMs,
                                        NULL);
            DeleteFileA(temp);
        }
        if (result != 0) {
            fprintf(stderr, "bench: fetching %s failed (%08lx)\n", manifest.paths[i],
                    (unsigned long)result);
            status = 1;
        }
    }
    if (status == 0)
        printf("seconds: %.3f\nfiles: %lu\n", Seconds() - start, (unsigned long)manifest.count);
    FreeManifest(&manifest);
    return status;
}

// One GET with the downloader's flags and timeouts and nothing else: 8 KiB
// reads written to a temporary file.
int TimeBareLoop(const char *object)
{
    static BYTE buffer[kReadChunkBytes];
    char temp[MAX_PATH];
    if (!MakeTemp(temp))
        return 1;
    double start = Seconds();
    HINTERNET root = InternetOpenA("BrackenholdPatcher", INTERNET_OPEN_TYPE_PRECONFIG, NULL,
                                   NULL, 0);
    HINTERNET connection = root ? InternetConnectA(root, kUpdateHost, kUpdatePort, NULL, NULL,
                                                   INTERNET_SERVICE_HTTP, 0, 0)
                                : NULL;
    HINTERNET request = connection ? HttpOpenRequestA(connection, "GET", object, NULL, NULL,
                                                      NULL, kRequestFlags, 0)
                                   : NULL;
    HANDLE file = CreateFileA(temp, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    LONGLONG bytes = 0;
    bool ok = request && file != INVALID_HANDLE_VALUE &&
              HttpSendRequestA(request, NULL, 0, NULL, 0);
    while (ok) {
        DWORD got = 0, written = 0;
        ok = InternetReadFile(request, buffer, kReadChunkBytes, &got) != 0;
        if (!ok || got == 0)
            break;
        ok = WriteFile(file, buffer, got, &written, NULL) && written == got;
        bytes += got;
    }
    if (request)
        InternetCloseHandle(request);
    if (connection)
        InternetCloseHandle(connection);
    if (root)
        InternetCloseHandle(root);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    double seconds = Seconds() - start;
    DeleteFileA(temp);
    if (!ok) {
        fprintf(stderr, "bench: the bare loop failed (%lu)\n", (unsigned long)GetLastError());
        return 1;
    }
    printf("seconds: %.3f\nbytes: %lld\n", seconds, bytes);
    return 0;
}

// Where one small file's fetch spends its time: each step the patch run takes
// for it, timed alone over the first files of the manifest (the files and
// the run's folder are made in the temporary folder and deleted again).
enum Step {
    kTempFile, kOpenRoot, kSetTimeouts, kConnect, kOpenRequest, kSend, kQuery, kCreateFile,
    kReadWrite, kCloseHandles, kCheckCrc, kEnsureFolders, kReplace, kPosts, kStepCount
};
const char *const kStepNames[kStepCount] = {
    "temporary file (GetTempPathA, GetTempFileNameA)", "InternetOpenA",
    "InternetSetOptionA x6", "InternetConnectA", "HttpOpenRequestA", "HttpSendRequestA",
    "HttpQueryInfoA x2", "CreateFileA", "InternetReadFile and WriteFile",
    "closing the handles", "FileCrc32 of the download", "HoldFoldersBelow",
    "ReplaceInstalledFile", "posting 5 notifications (handled)"};

HWND g_sink;

LRESULT CALLBACK SinkProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if ((message == WM_APP_LOG_LINE || message == WM_APP_STATUS_TEXT) && lparam)
        HeapFree(GetProcessHeap(), 0, (void *)lparam);
    return message >= WM_APP ? 0 : DefWindowProcA(window, message, wparam, lparam);
}

void PumpSink()
{
    MSG message;
    while (PeekMessageA(&message, g_sink, 0, 0, PM_REMOVE))
        DispatchMessageA(&message);
}

bool FetchStepByStep(const char *path, const char *install_dir, double *spent)
{
    static BYTE buffer[kReadChunkBytes];
    char object[kJoinedPathCapacity], local[kJoinedPathCapacity], temp[MAX_PATH];
    DWORD timeout = kTimeLimitMs, status = 0, length = 0, size = 0, crc = 0;
    double t = Seconds();
    auto lap = [&](Step step) {
        double now = Seconds();
        spent[step] += now - t;
        t = now;
    };
    JoinServerPath(kFileObjectPrefix, path, object, kJoinedPathCapacity);
    JoinLocalPath(install_dir, path, local, kJoinedPathCapacity);
    t = Seconds();
    bool ok = MakeTemp(temp);
    lap(kTempFile);
    HINTERNET root = InternetOpenA("BrackenholdPatcher", INTERNET_OPEN_TYPE_PRECONFIG, NULL,
                                   NULL, 0);
    lap(kOpenRoot);
    const DWORD options[] = {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT,
                             INTERNET_OPTION_SEND_TIMEOUT};
    for (DWORD option : options)
        InternetSetOptionA(root, option, &timeout, sizeof(timeout));
    lap(kSetTimeouts);
    HINTERNET connection = InternetConnectA(root, kUpdateHost, kUpdatePort, NULL, NULL,
                                            INTERNET_SERVICE_HTTP, 0, 0);
    lap(kConnect);
    for (DWORD option : options)
        InternetSetOptionA(connection, option, &timeout, sizeof(timeout));
    lap(kSetTimeouts);
    HINTERNET request =
        HttpOpenRequestA(connection, "GET", object, NULL, NULL, NULL, kRequestFlags, 0);
    lap(kOpenRequest);
    ok = ok && request && HttpSendRequestA(request, NULL, 0, NULL, 0);
    lap(kSend);
    size = sizeof(status);
    ok = ok && HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                              &size, NULL) && status == 200;
    size = sizeof(length);
    HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &length, &size,
                   NULL);
    lap(kQuery);
    HANDLE file = CreateFileA(temp, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    lap(kCreateFile);
    while (ok) {
        DWORD got = 0, written = 0;
        ok = InternetReadFile(request, buffer, kReadChunkBytes, &got) != 0;
        if (!ok || got == 0)
            break;
        GetTickCount();
        ok = WriteFile(file, buffer, got, &written, NULL) && written == got;
    }
    lap(kReadWrite);
    InternetCloseHandle(request);
    InternetCloseHandle(connection);
    InternetCloseHandle(root);
    CloseHandle(file);
    lap(kCloseHandles);
    ok = ok && FileCrc32(temp, &crc);
    lap(kCheckCrc);
    HANDLE install = HoldInstallationFolder(install_dir);
    HeldFolders held;
    ok = ok && HoldFoldersBelow(install, path, 1, &held);
    lap(kEnsureFolders);
    HANDLE staged = CreateFileA(temp, GENERIC_READ | DELETE | READ_CONTROL | WRITE_DAC, 0, NULL,
                                OPEN_EXISTING, 0, NULL);
    ok = ok && staged != INVALID_HANDLE_VALUE &&
         ReplaceInstalledFile(TargetFolder(install, &held), staged, TargetName(path));
    if (staged != INVALID_HANDLE_VALUE)
        CloseHandle(staged);
    ReleaseFolders(&held);
    if (install != INVALID_HANDLE_VALUE)
        CloseHandle(install);
    lap(kReplace);
    // "Downloading", the bar at 0, the downloader's one percentage of a small
    // file, "Updating" and the overall bar: five posts, handled at once.
    char line[1028];
    for (int i = 0; i < 2; i++) {
        wsprintfA(line, "%s %s", i == 0 ? "Downloading" : "Updating", path);
        char *copy = (char *)HeapAlloc(GetProcessHeap(), 0, lstrlenA(line) + 1);
        lstrcpyA(copy, line);
        PostMessageA(g_sink, WM_APP_LOG_LINE, 0, (LPARAM)copy);
        PostMessageA(g_sink, WM_APP_FILE_PROGRESS, 0, 0);
    }
    PostMessageA(g_sink, WM_APP_TOTAL_PROGRESS, 1, 0);
    PumpSink();
    lap(kPosts);
    DeleteFileA(temp);
    return ok;
}

int TimeSteps(const char *manifest_path)
{
    UpdateManifest manifest;
    if (!LoadManifest(manifest_path, &manifest))
        return 1;
    WNDCLASSA sink_class = {};
    sink_class.lpfnWndProc = SinkProc;
    sink_class.hInstance = GetModuleHandleA(NULL);
    sink_class.lpszClassName = "BHPBenchSink";
    RegisterClassA(&sink_class);
    g_sink = CreateWindowExA(0, sink_class.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL,
                             GetModuleHandleA(NULL), NULL);
    char folder[MAX_PATH], install_dir[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    snprintf(install_dir, sizeof(install_dir), "%sbhp-steps-%lu", folder,
             (unsigned long)GetCurrentProcessId());
    CreateDirectoryA(install_dir, NULL);
    double spent[kStepCount] = {};
    DWORD files = manifest.count < 200 ? manifest.count : 200;
    int status = 0;
    double start = Seconds();
    for (DWORD i = 0; i < files && status == 0; i++)
        if (!FetchStepByStep(manifest.paths[i], install_dir, spent))
            status = 1;
    double total = Seconds() - start;
    char command[MAX_PATH + 32];
    snprintf(command, sizeof(command), "cmd /c rmdir /s /q \"%s\"", install_dir);
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        WaitForSingleObject(process.hProcess, kExitTimeoutMs);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    if (status != 0) {
        fprintf(stderr, "bench: a step-by-step fetch failed\n");
    } else {
        printf("files: %lu, %.3f ms each\n", (unsigned long)files, total * 1000 / files);
        for (int step = 0; step < kStepCount; step++)
            printf("  %6.3f ms  %s\n", spent[step] * 1000 / files, kStepNames[step]);
    }
    DestroyWindow(g_sink);
    FreeManifest(&manifest);
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    g_frequency = (double)frequency.QuadPart;
    if (argc != 4) {
        fprintf(stderr, "usage: %s patch|crc|sha|fetch|bare|steps <args> (see the source)\n",
                argv[0]);
        return 2;
    }
    const char *mode = argv[1];
    if (strcmp(mode, "crc") == 0)
        return TimeChecks(argv[2], argv[3], CrcMatches, "FileCrc32");
    if (strcmp(mode, "sha") == 0)
        return TimeChecks(argv[2], argv[3], Sha256Computed, "FileSha256");
    if (strcmp(mode, "patch") == 0 && strcmp(argv[2], "direct") == 0)
        return TimePatcher(argv[3]);
    int port = atoi(argv[2]);
    if (port <= 0 || port > 65535) {
        fprintf(stderr, "bench: bad proxy port %s\n", argv[2]);
        return 2;
    }
    ProxySetting proxy(port);
    if (strcmp(mode, "patch") == 0)
        return TimePatcher(argv[3]);
    if (strcmp(mode, "fetch") == 0)
        return TimeFetch(argv[3]);
    if (strcmp(mode, "bare") == 0)
        return TimeBareLoop(argv[3]);
    if (strcmp(mode, "steps") == 0)
        return TimeSteps(argv[3]);
    fprintf(stderr, "bench: unknown mode %s\n", mode);
    return 2;
}
