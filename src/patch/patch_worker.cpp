#include "patch/patch_worker.h"

#include "app/notifications.h"
#include "patch/file_replace.h"
#include "patch/install_paths.h"
#include "patch/manifest.h"
#include "patch/signed_release.h"
#include "patch/staging_folder.h"
#include "transfer/crc32.h"
#include "transfer/http_download.h"

#ifndef PATCHER_UPDATE_HOST
#error "PATCHER_UPDATE_HOST must name the update server (set by the build)"
#endif

PatchWorkerState g_patch_worker;

namespace {

const char kUpdateHost[] = PATCHER_UPDATE_HOST;
const INTERNET_PORT kUpdatePort = 80;
const char kManifestObject[] = "/latest/manifest.txt";
const char kFileObjectPrefix[] = "/latest/";
const DWORD kDownloadTimeLimitMs = 30000;
const DWORD kMaxAttempts = 5;
const DWORD kEntryWeight = 100; // share of one entry in the overall progress
const int kSystemPathCapacity = MAX_PATH; // 260: temporary file names
const int kLogLineCapacity = 1028;
// The largest manifest a run takes, while it downloads and when it reads it:
// the statement's own ceiling, since every manifest line has a longer line in
// the statement, so that a larger manifest could never match one. Without a
// key it still holds over a million entries of common length, and bounds
// what a run holds in memory for it.
const DWORD kMaxManifestSize = kMaxSignedReleaseSize;
// What SetDownloadBounds is told besides an entry's index.
const DWORD kManifestDownload = MAXDWORD;
const DWORD kStatementDownload = MAXDWORD - 1;

// Where a run goes once it stops taking steps.
enum RunEnd {
    kRunGoesOn,      // not ended yet
    kRunCancelled,   // logs "Patch cancelled."
    kRunCheckFailed, // logs "Unable to check for updates."
    kRunReported,    // outcome already logged; enables Launch Game
    kRunNoWindow,    // nobody to tell: status, release, idle
};

// Everything one run keeps, in the worker's own frame.
struct PatchRun {
    UpdateManifest manifest;
    SignedRelease signed_release; // with a built-in key: the checked statement
    char temp_path[kSystemPathCapacity];  // the manifest's file, then the statement's
    char entry_temp[kSystemPathCapacity]; // the current attempt's download
    char local_path[kJoinedPathCapacity];
    char server_path[kJoinedPathCapacity];
    DownloadObserver observer;
    DWORD divisor;      // count, taken once when the entry loop starts
    DWORD successes;    // entries found up to date or updated
    DWORD progress_sum; // kEntryWeight per success
    DWORD attempts;     // of the current entry
};

bool CancelRequested() { return g_patch_worker.cancel_requested != 0; }

void PostNumber(UINT message, WPARAM value)
{
    HWND window = g_patch_worker.notify_window;
    if (window)
        PostMessageA(window, message, value, 0);
}

// Posts a heap copy of text; the copy is the window's once the post succeeds.
void PostTextCopy(UINT message, const char *text)
{
    HWND window = g_patch_worker.notify_window;
    if (!window || !text)
        return;
    HANDLE heap = GetProcessHeap();
    char *copy = (char *)HeapAlloc(heap, 0, lstrlenA(text) + 1);
    if (!copy)
        return;
    lstrcpyA(copy, text);
    if (!PostMessageA(window, message, 0, (LPARAM)copy))
        HeapFree(heap, 0, copy);
}

void FillObserver(PatchRun *run)
{
    run->observer.on_progress = OnDownloadProgress;
    run->observer.on_complete = OnDownloadComplete;
    run->observer.context = (void *)g_patch_worker.notify_window;
}

// Bounds the next download: Cancel ends it, and its body may not outgrow the
// largest the run will read; with a key, an entry's is exactly its signed size.
void SetDownloadBounds(PatchRun *run, DWORD download)
{
    DownloadObserver *observer = &run->observer;
    observer->cancel = &g_patch_worker.cancel_requested;
    observer->max_bytes = 0;
    observer->exact_size = FALSE;
    if (download == kManifestDownload) {
        observer->max_bytes = kMaxManifestSize;
    } else if (download == kStatementDownload) {
        observer->max_bytes = kMaxSignedReleaseSize;
    } else if (HasReleaseKey()) {
        observer->max_bytes = run->signed_release.entries[download].size;
        observer->exact_size = TRUE;
    }
}

void PostStartNotifications()
{
    PostNumber(WM_APP_ENABLE_LAUNCH, 0);
    PostNumber(WM_APP_TOTAL_PROGRESS, 0);
    PostNumber(WM_APP_FILE_PROGRESS, 0);
    PostStatusText("Updating...");
    PostLogLine("Searching for updates...");
}

// Why a downloaded file could not be read whole.
enum ReadFault { kReadWhole, kReadNotOpened, kReadBadSize, kReadNoMemory, kReadFailed };

// Reads a downloaded file of 1 to max_size bytes whole and deletes it, on
// every path. Returns the NUL-terminated text (the caller frees it) with its
// size, or NULL with *fault set.
char *ReadDownloadedText(const char *path, DWORD max_size, DWORD *size, ReadFault *fault)
{
    HANDLE heap = GetProcessHeap();
    char *text = NULL;
    *fault = kReadWhole;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        *fault = kReadNotOpened;
        goto done;
    }
    {
        // A file of 4 GiB or more is refused, not read as its low 32 bits.
        DWORD high = 0;
        *size = GetFileSize(file, &high);
        if (*size == 0 || *size == INVALID_FILE_SIZE || high != 0 || *size > max_size) {
            *fault = kReadBadSize;
            goto done;
        }
        text = (char *)HeapAlloc(heap, 0, *size + 1);
        if (!text) {
            *fault = kReadNoMemory;
            goto done;
        }
        DWORD got = 0;
        if (!ReadFile(file, text, *size, &got, NULL) || got != *size) {
            HeapFree(heap, 0, text);
            text = NULL;
            *fault = kReadFailed;
            goto done;
        }
        text[*size] = '\0';
    }
done:
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    DeleteFileA(path);
    return text;
}

// The downloaded manifest's text, or NULL after logging why.
char *ReadManifestText(const char *path)
{
    static const char *const kReadErrors[] = {
        NULL,
        "Error: unable to read update information.",
        "Error: received invalid update information.",
        "Error: not enough memory to process updates.",
        "Error: unable to process update information.",
    };
    DWORD size = 0;
    ReadFault fault = kReadWhole;
    char *text = ReadDownloadedText(path, kMaxManifestSize, &size, &fault);
    if (!text)
        PostLogLine(kReadErrors[fault]);
    return text;
}

// With a built-in key: fetches the release statement and checks it against
// the key, the manifest, the clock and the installation's last release.
bool FetchSignedRelease(PatchRun *run)
{
    if (!MakeTempFileName(run->temp_path, kSystemPathCapacity)) {
        PostLogLine("Error: unable to create a temporary file.");
        return false;
    }
    FillObserver(run);
    SetDownloadBounds(run, kStatementDownload);
    LONG result = HttpDownloadToFile(kUpdateHost, kUpdatePort, kSignedReleaseObject,
                                     run->temp_path, kDownloadTimeLimitMs, &run->observer);
    if (result < 0 || CancelRequested()) {
        DeleteFileA(run->temp_path);
        // Only a missing statement means an unsigned release; any other status
        // (a 500 or 503) is a server fault, not a verdict on the release.
        const LONG kStatusNotFound = (LONG)0x80190194; // 404
        const LONG kStatusGone = (LONG)0x8019019A;     // 410
        bool missing = (result == kStatusNotFound || result == kStatusGone) && !CancelRequested();
        PostLogLine(missing ? "Error: the update server's release is not signed."
                            : "Error: unable to contact the update server.");
        return false;
    }
    DWORD size = 0;
    ReadFault fault = kReadWhole;
    char *text = ReadDownloadedText(run->temp_path, kMaxSignedReleaseSize, &size, &fault);
    const char *error = NULL;
    bool loaded = LoadSignedRelease(text, size, &run->manifest, g_patch_worker.install_dir,
                                    UnixTimeNow(), &run->signed_release, &error) != 0;
    if (text)
        HeapFree(GetProcessHeap(), 0, text);
    if (!loaded)
        PostLogLine(error);
    return loaded;
}

// Without a key every file passes; with one, it must have the signed size
// and SHA-256 of the entry.
bool HasSignedContent(const PatchRun *run, DWORD index, const char *file)
{
    return !HasReleaseKey() || FileMatchesSignedEntry(file, &run->signed_release.entries[index]);
}

// With a key the signed size and SHA-256 decide alone: the signed CRC-32 is
// the manifest's (checked), and a second pass over every file would cost.
bool IsInstalledCurrent(const PatchRun *run, DWORD index)
{
    if (HasReleaseKey())
        return HasSignedContent(run, index, run->local_path) != 0;
    DWORD crc = 0;
    return FileCrc32(run->local_path, &crc) && crc == run->manifest.checksums[index];
}

// Everything is in place: the installation has completed this release.
void RecordRelease(const PatchRun *run)
{
    if (HasReleaseKey() &&
        !RecordCompletedRelease(g_patch_worker.install_dir, &run->signed_release))
        PostLogLine("Error: unable to record the release number of this installation.");
}

RunEnd FetchManifest(PatchRun *run)
{
    ZeroMemory(&run->manifest, sizeof(run->manifest));
    if (!MakeTempFileName(run->temp_path, kSystemPathCapacity)) {
        PostLogLine("Error: unable to create a temporary file.");
        return kRunCheckFailed;
    }
    FillObserver(run);
    SetDownloadBounds(run, kManifestDownload);
    LONG result = HttpDownloadToFile(kUpdateHost, kUpdatePort, kManifestObject, run->temp_path,
                                     kDownloadTimeLimitMs, &run->observer);
    // A cancellation seen here is reported as a failed contact, by design.
    if (result < 0 || CancelRequested()) {
        DeleteFileA(run->temp_path);
        PostLogLine("Error: unable to contact the update server.");
        return kRunCheckFailed;
    }
    char *text = ReadManifestText(run->temp_path);
    if (!text)
        return kRunCheckFailed;
    int parsed = ParseManifest(text, &run->manifest);
    HeapFree(GetProcessHeap(), 0, text);
    if (!parsed) {
        PostLogLine("Error: unable to process update manifest.");
        return kRunCheckFailed;
    }
    if (HasReleaseKey() && !FetchSignedRelease(run))
        return kRunCheckFailed;
    if (CancelRequested())
        return kRunCheckFailed;
    if (run->manifest.count == 0) {
        RecordRelease(run);
        PostLogLine("No updates are available.");
        PostNumber(WM_APP_PATCH_RESULT, 1);
        return kRunReported;
    }
    return kRunGoesOn;
}

void CountSuccess(PatchRun *run)
{
    run->progress_sum += kEntryWeight;
    run->successes++;
    PostNumber(WM_APP_TOTAL_PROGRESS, run->progress_sum / run->divisor);
}

// Ends the attempt loop for good: failures past verification are not retried.
void GiveUpAfter(PatchRun *run, const char *error)
{
    PostLogLine(error);
    DeleteFileA(run->entry_temp);
    run->attempts = kMaxAttempts;
}

// Installs a verified download; the temporary file is gone afterwards either way.
void InstallDownload(PatchRun *run, const char *path)
{
    if (!EnsureParentFolders(g_patch_worker.install_dir, run->local_path)) {
        GiveUpAfter(run, "Error: unable to create folders for update.");
        return;
    }
    if (!ReplaceInstalledFile(g_patch_worker.install_dir, run->entry_temp, run->local_path)) {
        GiveUpAfter(run, "Error: unable to update file on disk.");
        return;
    }
    PostLogPair("Updating", path);
    CountSuccess(run);
}

// Up to kMaxAttempts downloads of one entry. Leaves attempts below the limit
// when the entry was skipped, updated or the run was cancelled.
void RunAttempts(PatchRun *run, DWORD index)
{
    const char *path = run->manifest.paths[index];
    run->attempts = 0;
    while (run->attempts < kMaxAttempts) {
        if (CancelRequested())
            return;
        if (!JoinServerPath(kFileObjectPrefix, path, run->server_path, kJoinedPathCapacity)) {
            PostLogLine("Error: server path is too long.");
            return;
        }
        if (!MakeTempFileName(run->entry_temp, kSystemPathCapacity)) {
            PostLogLine("Error: unable to create a temporary file.");
            return;
        }
        FillObserver(run);
        SetDownloadBounds(run, index);
        PostLogPair("Downloading", path);
        PostNumber(WM_APP_FILE_PROGRESS, 0);
        LONG result = HttpDownloadToFile(kUpdateHost, kUpdatePort, run->server_path,
                                         run->entry_temp, kDownloadTimeLimitMs, &run->observer);
        if (CancelRequested()) {
            DeleteFileA(run->entry_temp);
            return;
        }
        if (result < 0) {
            char line[kLogLineCapacity];
            wsprintfA(line, "%s %lx", "Error: download failed with err, trying again...",
                      (unsigned long)result);
            PostLogLine(line);
            DeleteFileA(run->entry_temp);
            run->attempts++;
            continue;
        }
        DWORD crc = 0;
        if (FileCrc32(run->entry_temp, &crc) && crc == run->manifest.checksums[index] &&
            HasSignedContent(run, index, run->entry_temp)) {
            InstallDownload(run, path);
            return;
        }
        PostLogLine("Error: downloaded file is corrupt, trying again...");
        DeleteFileA(run->entry_temp);
        run->attempts++;
    }
}

RunEnd CheckEntries(PatchRun *run)
{
    const UpdateManifest &manifest = run->manifest;
    run->divisor = manifest.count;
    run->successes = 0;
    run->progress_sum = 0;
    for (DWORD i = 0; i < manifest.count; i++) {
        if (CancelRequested())
            return kRunCancelled;
        const char *path = manifest.paths[i];
        if (!IsSafeRelativePath(path)) {
            PostLogLine("Error: path must be a relative one.");
            break;
        }
        if (!JoinLocalPath(g_patch_worker.install_dir, path, run->local_path,
                           kJoinedPathCapacity)) {
            PostLogLine("Error: path is too long.");
            break;
        }
        if (IsInstalledCurrent(run, i)) {
            PostLogPair("Already up to date:", path);
            CountSuccess(run);
            continue;
        }
        RunAttempts(run, i);
        if (CancelRequested())
            return kRunCancelled;
        if (run->attempts >= kMaxAttempts) {
            PostLogLine("Error: exceeded maximum attempts, giving up.");
            break;
        }
    }
    if (CancelRequested())
        return kRunCancelled;
    if (run->successes == manifest.count) {
        RecordRelease(run);
        PostLogLine("Patch complete.");
        PostNumber(WM_APP_PATCH_RESULT, 1);
    } else {
        PostLogLine("Patch failed.");
    }
    return kRunReported;
}

} // namespace

void StartPatchWorker(HWND notify_window, const char *install_dir)
{
    if (g_patch_worker.running)
        return;
    g_patch_worker.cancel_requested = 0;
    g_patch_worker.notify_window = notify_window;
    g_patch_worker.install_dir = install_dir;
    g_patch_worker.running = 1;
    HANDLE thread = CreateThread(NULL, 0, PatchWorkerMain, NULL, 0, NULL);
    if (!thread) {
        g_patch_worker.running = 0;
        g_patch_worker.notify_window = NULL;
        g_patch_worker.install_dir = NULL;
        return;
    }
    CloseHandle(thread); // detached: nothing waits for a run
}

void RequestCancel() { g_patch_worker.cancel_requested = 1; }

int IsWorkerIdle() { return g_patch_worker.running == 0; }

int MakeTempFileName(char *buffer, int length) { return MakeStagedFile(buffer, length); }

void PostStatusText(const char *text) { PostTextCopy(WM_APP_STATUS_TEXT, text); }

void PostLogLine(const char *text) { PostTextCopy(WM_APP_LOG_LINE, text); }

void PostLogPair(const char *prefix, const char *text)
{
    if (!prefix || !text)
        return;
    // Callers pass paths bounded by the 520-byte joins, so the line fits.
    char line[kLogLineCapacity];
    wsprintfA(line, "%s %s", prefix, text);
    PostTextCopy(WM_APP_LOG_LINE, line);
}

void OnDownloadProgress(void *, int percent) { PostNumber(WM_APP_FILE_PROGRESS, (WPARAM)percent); }

void OnDownloadComplete(void *, LONG) {}

DWORD WINAPI PatchWorkerMain(LPVOID)
{
    PatchRun run;
    ZeroMemory(&run, sizeof(run));
    PostStartNotifications();
    DeleteLeftoverOldFiles(g_patch_worker.install_dir);
    OpenStagingFolder(g_patch_worker.install_dir); // when refused, no temporary file can be made

    RunEnd end = kRunGoesOn;
    if (!g_patch_worker.install_dir)
        end = kRunCheckFailed;
    else if (!g_patch_worker.notify_window)
        end = kRunNoWindow;
    else
        end = FetchManifest(&run);
    if (end == kRunGoesOn)
        end = CheckEntries(&run);

    if (end == kRunCancelled)
        PostLogLine("Patch cancelled.");
    if (end == kRunCheckFailed)
        PostLogLine("Unable to check for updates.");
    if (end != kRunNoWindow)
        PostNumber(WM_APP_ENABLE_LAUNCH, 1);
    CloseStagingFolder(); // before "Done.": whoever sees it sees the folder gone
    PostStatusText("Done.");
    FreeManifest(&run.manifest);
    FreeSignedRelease(&run.signed_release);
    g_patch_worker.running = 0; // the very last step: the window may start again
    return 0;
}
