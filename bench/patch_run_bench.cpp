// Runs whole patches over an installation that is already up to date and
// prints each run's time and bytes checked per second, then FileCrc32 alone
// on the same files in the same order (after the run, so both read from a
// warm page cache). The update server is reached through WinINet's configured
// proxy, which this program points at 127.0.0.1:<proxy port> and restores.
// For bench/patch_run_bench.sh.
//   patch_run_bench <proxy port> <install dir> <manifest file> [runs]

#include "app/notifications.h"
#include "bench_files.h"
#include "patch/install_paths.h"
#include "patch/manifest.h"
#include "patch/patch_worker.h"
#include "transfer/crc32.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const int kDefaultRuns = 1;
const DWORD kRunTimeLimitMs = 30 * 60 * 1000;
const char kWindowClass[] = "BHPBenchPatchRun";
const char kInternetSettings[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
const char kUpToDatePrefix[] = "Already up to date:";
const char kDownloadingPrefix[] = "Downloading ";

// What the window saw of one run.
struct RunTally {
    DWORD up_to_date;  // "Already up to date:" lines
    DWORD downloads;   // "Downloading" lines
    DWORD log_lines;
    DWORD messages;
    int completed;     // WM_APP_PATCH_RESULT with 1
    char last_line[1100];
};

RunTally g_tally;

// The proxy values found before the benchmark, put back afterwards.
struct SavedProxy {
    DWORD enable;
    int had_enable;
    char server[256];
    int had_server;
};

LONGLONG Now()
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

int StartsWith(const char *text, const char *prefix)
{
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

// Frees every posted text, as the main window does, and counts what matters.
LRESULT CALLBACK NotifyProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message < WM_APP_TOTAL_PROGRESS || message > WM_APP_PATCH_RESULT)
        return DefWindowProcA(window, message, wparam, lparam);
    g_tally.messages++;
    if (message == WM_APP_PATCH_RESULT && wparam == 1)
        g_tally.completed = 1;
    if ((message == WM_APP_STATUS_TEXT || message == WM_APP_LOG_LINE) && lparam) {
        const char *text = (const char *)lparam;
        if (message == WM_APP_LOG_LINE) {
            g_tally.log_lines++;
            if (StartsWith(text, kUpToDatePrefix))
                g_tally.up_to_date++;
            else if (StartsWith(text, kDownloadingPrefix))
                g_tally.downloads++;
            snprintf(g_tally.last_line, sizeof(g_tally.last_line), "%s", text);
        }
        HeapFree(GetProcessHeap(), 0, (void *)lparam);
    }
    return 0;
}

void DrainQueue()
{
    MSG message;
    while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

// Pumps until the worker is idle; everything was posted before it said so.
int PumpUntilIdle(DWORD timeout_ms)
{
    DWORD start = GetTickCount();
    while (!IsWorkerIdle()) {
        if (GetTickCount() - start >= timeout_ms)
            return 0;
        MsgWaitForMultipleObjects(0, NULL, FALSE, 10, QS_ALLINPUT);
        DrainQueue();
    }
    DrainQueue();
    return 1;
}

int PointProxyAt(int port, SavedProxy *saved)
{
    ZeroMemory(saved, sizeof(*saved));
    HKEY key = NULL;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kInternetSettings, 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                        &key, NULL) != ERROR_SUCCESS)
        return 0;
    DWORD size = sizeof(saved->enable);
    saved->had_enable = RegQueryValueExA(key, "ProxyEnable", NULL, NULL, (BYTE *)&saved->enable,
                                         &size) == ERROR_SUCCESS;
    size = sizeof(saved->server) - 1;
    saved->had_server = RegQueryValueExA(key, "ProxyServer", NULL, NULL, (BYTE *)saved->server,
                                         &size) == ERROR_SUCCESS;
    DWORD enable = 1;
    char value[64];
    snprintf(value, sizeof(value), "127.0.0.1:%d", port);
    int ok = RegSetValueExA(key, "ProxyEnable", 0, REG_DWORD, (const BYTE *)&enable,
                            sizeof(enable)) == ERROR_SUCCESS &&
             RegSetValueExA(key, "ProxyServer", 0, REG_SZ, (const BYTE *)value,
                            (DWORD)strlen(value) + 1) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

void RestoreProxy(const SavedProxy *saved)
{
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kInternetSettings, 0, KEY_ALL_ACCESS, &key) !=
        ERROR_SUCCESS)
        return;
    if (saved->had_enable)
        RegSetValueExA(key, "ProxyEnable", 0, REG_DWORD, (const BYTE *)&saved->enable,
                       sizeof(saved->enable));
    else
        RegDeleteValueA(key, "ProxyEnable");
    if (saved->had_server)
        RegSetValueExA(key, "ProxyServer", 0, REG_SZ, (const BYTE *)saved->server,
                       (DWORD)strlen(saved->server) + 1);
    else
        RegDeleteValueA(key, "ProxyServer");
    RegCloseKey(key);
}

// Sums the sizes of every entry's installed file; 0 when one is missing.
int CountBytes(const char *install_dir, const UpdateManifest *manifest, LONGLONG *bytes)
{
    *bytes = 0;
    char path[kJoinedPathCapacity];
    for (DWORD i = 0; i < manifest->count; i++) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!JoinLocalPath(install_dir, manifest->paths[i], path, kJoinedPathCapacity) ||
            !GetFileAttributesExA(path, GetFileExInfoStandard, &data)) {
            fprintf(stderr, "bench: no installed file for %s\n", manifest->paths[i]);
            return 0;
        }
        *bytes += ((LONGLONG)data.nFileSizeHigh << 32) | data.nFileSizeLow;
    }
    return 1;
}

// One whole patch run; returns its seconds, or a negative value on failure.
double TimePatchRun(HWND window, const char *install_dir, DWORD count, double frequency)
{
    ZeroMemory(&g_tally, sizeof(g_tally));
    LONGLONG start = Now();
    StartPatchWorker(window, install_dir);
    if (!PumpUntilIdle(kRunTimeLimitMs)) {
        fprintf(stderr, "bench: the run did not end within %lu ms\n",
                (unsigned long)kRunTimeLimitMs);
        RequestCancel();
        PumpUntilIdle(kRunTimeLimitMs);
        return -1;
    }
    double seconds = (double)(Now() - start) / frequency;
    if (!g_tally.completed || g_tally.up_to_date != count || g_tally.downloads != 0) {
        fprintf(stderr,
                "bench: the run did not find all up to date: %lu of %lu up to date, %lu "
                "downloads, last line \"%s\"\n",
                (unsigned long)g_tally.up_to_date, (unsigned long)count,
                (unsigned long)g_tally.downloads, g_tally.last_line);
        return -1;
    }
    return seconds;
}

// FileCrc32 alone over the same files in the same order, each checked against
// the manifest; returns its seconds, or a negative value on failure.
double TimeCrcAlone(const char *install_dir, const UpdateManifest *manifest, double frequency)
{
    char path[kJoinedPathCapacity];
    LONGLONG start = Now();
    for (DWORD i = 0; i < manifest->count; i++) {
        DWORD crc = 0;
        if (!JoinLocalPath(install_dir, manifest->paths[i], path, kJoinedPathCapacity) ||
            !FileCrc32(path, &crc) || crc != manifest->checksums[i]) {
            fprintf(stderr, "bench: FileCrc32 failed or differs for %s\n", manifest->paths[i]);
            return -1;
        }
    }
    return (double)(Now() - start) / frequency;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: %s <proxy port> <install dir> <manifest file> [runs]\n",
                argv[0]);
        return 2;
    }
    int port = atoi(argv[1]);
    const char *install_dir = argv[2];
    const char *manifest_path = argv[3];
    int runs = argc > 4 ? atoi(argv[4]) : kDefaultRuns;
    if (port <= 0 || port > 65535 || runs <= 0) {
        fprintf(stderr, "bench: bad proxy port or run count\n");
        return 2;
    }

    int status = 1;
    UpdateManifest manifest;
    ZeroMemory(&manifest, sizeof(manifest));
    SavedProxy saved;
    int proxy_set = 0;
    HWND window = NULL;
    LONGLONG bytes = 0;
    double best_run = 0, best_crc = 0;
    LARGE_INTEGER frequency_counter;
    QueryPerformanceFrequency(&frequency_counter);
    double frequency = (double)frequency_counter.QuadPart;

    char *text = ReadWholeText(manifest_path);
    if (!text || !ParseManifest(text, &manifest) || manifest.count == 0) {
        fprintf(stderr, "bench: cannot read a manifest with entries from %s\n", manifest_path);
        goto done;
    }
    if (!CountBytes(install_dir, &manifest, &bytes))
        goto done;
    proxy_set = PointProxyAt(port, &saved);
    if (!proxy_set) {
        fprintf(stderr, "bench: cannot set the proxy\n");
        goto done;
    }
    {
        WNDCLASSA window_class;
        ZeroMemory(&window_class, sizeof(window_class));
        window_class.lpfnWndProc = NotifyProc;
        window_class.hInstance = GetModuleHandleA(NULL);
        window_class.lpszClassName = kWindowClass;
        RegisterClassA(&window_class);
        window = CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL,
                                 GetModuleHandleA(NULL), NULL);
    }
    if (!window) {
        fprintf(stderr, "bench: cannot create the window (%lu)\n",
                (unsigned long)GetLastError());
        goto done;
    }

    printf("files: %lu\nbytes: %lld\n", (unsigned long)manifest.count, bytes);
    for (int run = 1; run <= runs; run++) {
        double run_seconds = TimePatchRun(window, install_dir, manifest.count, frequency);
        if (run_seconds < 0)
            goto done;
        double crc_seconds = TimeCrcAlone(install_dir, &manifest, frequency);
        if (crc_seconds < 0)
            goto done;
        double run_rate = (double)bytes / run_seconds;
        double crc_rate = (double)bytes / crc_seconds;
        printf("run %d: patch run %.3f s, %.1f MB/s (%lu messages); FileCrc32 alone %.3f s, "
               "%.1f MB/s\n",
               run, run_seconds, run_rate / 1e6, (unsigned long)g_tally.messages, crc_seconds,
               crc_rate / 1e6);
        fflush(stdout);
        if (run_rate > best_run)
            best_run = run_rate;
        if (crc_rate > best_crc)
            best_crc = crc_rate;
    }
    printf("best patch run bytes/s: %.0f\n", best_run);
    printf("best FileCrc32 alone bytes/s: %.0f\n", best_crc);
    printf("ratio patch run / FileCrc32 alone: %.3f\n", best_run / best_crc);
    status = 0;

done:
    if (window)
        DestroyWindow(window);
    if (proxy_set)
        RestoreProxy(&saved);
    FreeManifest(&manifest);
    if (text)
        HeapFree(GetProcessHeap(), 0, text);
    return status;
}
