#include "patch/patch_worker.h"

#include "app/notifications.h"
#include "patch/fetch_ahead.h"
#include "patch/file_replace.h"
#include "patch/held_files.h"
#include "patch/install_paths.h"
#include "patch/manifest.h"
#include "patch/quick_check.h"
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
const DWORD kEntryWeight = 100; // share of one entry in the overall progress
const int kLogLineCapacity = 1028;
// The largest manifest a run takes, while it downloads and when it reads it:
// the statement's own ceiling, since every manifest line has a longer line in
// the statement, so that a larger manifest could never match one. Without a
// key it still holds over a million entries of common length, and bounds
// what a run holds in memory for it.
const DWORD kMaxManifestSize = kMaxSignedReleaseSize;

const char kStagingRefusedLine[] =
    "Error: unable to make the download folder patchtmp in the game folder.";

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
    HANDLE install;  // the installation folder, held for the run
    HANDLE staged;   // the manifest's file, the statement's, then each verified download
    char local_path[kJoinedPathCapacity];
    DownloadObserver observer;
    FetchAhead ahead;   // the entries below the one reported
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

// Bounds the next download of the manifest or the statement: Cancel ends it,
// and its body may not outgrow the largest the run will read. The entries'
// downloads are bounded where they are made, ahead of the entry reported.
void SetDownloadBounds(PatchRun *run, ULONGLONG ceiling)
{
    run->observer.cancel = &g_patch_worker.cancel_requested;
    run->observer.max_bytes = ceiling;
    run->observer.exact_size = FALSE;
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

// Reads a downloaded staged file of 1 to max_size bytes whole, through the
// handle that wrote it, and drops it, on every path. Returns the
// NUL-terminated text (the caller frees it) with its size, or NULL with
// *fault set.
char *ReadDownloadedText(HANDLE file, DWORD max_size, DWORD *size, ReadFault *fault)
{
    HANDLE heap = GetProcessHeap();
    char *text = NULL;
    *fault = kReadWhole;
    LARGE_INTEGER start;
    start.QuadPart = 0;
    if (!SetFilePointerEx(file, start, NULL, FILE_BEGIN)) {
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
    DropStagedFile(file);
    return text;
}

// The downloaded manifest's text, or NULL after logging why.
char *ReadManifestText(HANDLE file)
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
    char *text = ReadDownloadedText(file, kMaxManifestSize, &size, &fault);
    if (!text)
        PostLogLine(kReadErrors[fault]);
    return text;
}

// With a built-in key: fetches the release statement and checks it against
// the key, the manifest, the clock and the installation's last release.
bool FetchSignedRelease(PatchRun *run)
{
    if (!MakeStagedFile(&run->staged)) {
        PostLogLine("Error: unable to create a temporary file.");
        return false;
    }
    FillObserver(run);
    SetDownloadBounds(run, kMaxSignedReleaseSize);
    LONG result = HttpDownloadToOpenFile(kUpdateHost, kUpdatePort, kSignedReleaseObject,
                                         run->staged, kDownloadTimeLimitMs, &run->observer);
    if (result < 0 || CancelRequested()) {
        DropStagedFile(run->staged);
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
    char *text = ReadDownloadedText(run->staged, kMaxSignedReleaseSize, &size, &fault);
    const char *error = NULL;
    bool loaded = LoadSignedRelease(text, size, &run->manifest, g_patch_worker.install_dir,
                                    UnixTimeNow(), &run->signed_release, &error) != 0;
    if (text)
        HeapFree(GetProcessHeap(), 0, text);
    if (!loaded)
        PostLogLine(error);
    return loaded;
}

// Everything is in place: the installation has completed this release.
void RecordRelease(const PatchRun *run)
{
    if (HasReleaseKey() &&
        !RecordCompletedRelease(run->install, g_patch_worker.install_dir, &run->signed_release))
        PostLogLine("Error: unable to record the release number of this installation.");
}

RunEnd FetchManifest(PatchRun *run)
{
    ZeroMemory(&run->manifest, sizeof(run->manifest));
    if (!MakeStagedFile(&run->staged)) {
        PostLogLine("Error: unable to create a temporary file.");
        return kRunCheckFailed;
    }
    FillObserver(run);
    SetDownloadBounds(run, kMaxManifestSize);
    LONG result = HttpDownloadToOpenFile(kUpdateHost, kUpdatePort, kManifestObject, run->staged,
                                         kDownloadTimeLimitMs, &run->observer);
    // A cancellation seen here is reported as a failed contact, by design.
    if (result < 0 || CancelRequested()) {
        DropStagedFile(run->staged);
        PostLogLine("Error: unable to contact the update server.");
        return kRunCheckFailed;
    }
    char *text = ReadManifestText(run->staged);
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
    DropStagedFile(run->staged);
    run->attempts = kMaxAttempts;
}

// Installs a verified download, reaching its folders from the held
// installation folder one at a time; the staged file is gone afterwards
// either way.
void InstallDownload(PatchRun *run, DWORD index, const char *path)
{
    HeldFolders held;
    if (!HoldFoldersBelow(run->install, path, 1, &held)) {
        ReleaseFolders(&held);
        GiveUpAfter(run, "Error: unable to create folders for update.");
        return;
    }
    int replaced = ReplaceInstalledFile(TargetFolder(run->install, &held), run->staged,
                                        TargetName(path));
    ReleaseFolders(&held);
    if (!replaced) {
        GiveUpAfter(run, "Error: unable to update file on disk.");
        return;
    }
    CloseHandle(run->staged); // in place
    PostLogPair("Updating", path);
    CountSuccess(run);
    ConfirmEntry(index, run->local_path);
}

// Reports the attempts of one entry, made ahead. Leaves attempts below the
// limit when the entry was skipped, updated or the run was cancelled.
void RunAttempts(PatchRun *run, DWORD index)
{
    const char *path = run->manifest.paths[index];
    run->attempts = 0;
    while (run->attempts < kMaxAttempts) {
        if (CancelRequested())
            return;
        AttemptStep step = AwaitAttemptStart(&run->ahead, run->attempts);
        if (step == kAttemptNoServerPath)
            PostLogLine("Error: server path is too long.");
        if (step == kAttemptNoTempFile)
            PostLogLine("Error: unable to create a temporary file.");
        if (step != kAttemptStarted)
            return;
        PostLogPair("Downloading", path);
        PostNumber(WM_APP_FILE_PROGRESS, 0);
        LONG result = 0;
        step = AwaitAttemptEnd(&run->ahead, run->attempts, &run->staged, &result);
        if (step == kAttemptCancelled)
            return;
        if (step == kAttemptFailed) {
            char line[kLogLineCapacity];
            wsprintfA(line, "%s %lx", "Error: download failed with err, trying again...",
                      (unsigned long)result);
            PostLogLine(line);
            run->attempts++;
            continue;
        }
        if (step == kAttemptVerified) {
            InstallDownload(run, index, path);
            return;
        }
        PostLogLine("Error: downloaded file is corrupt, trying again...");
        run->attempts++;
    }
}

RunEnd TakeEntries(PatchRun *run)
{
    const UpdateManifest &manifest = run->manifest;
    for (DWORD i = 0; i < manifest.count; i++) {
        if (CancelRequested())
            return kRunCancelled;
        const char *path = manifest.paths[i];
        EntryVerdict verdict = AwaitCheck(&run->ahead, i, run->local_path);
        if (verdict == kEntryCancelled)
            return kRunCancelled;
        if (verdict == kEntryUnsafe) {
            PostLogLine("Error: path must be a relative one.");
            break;
        }
        if (verdict == kEntryTooLong) {
            PostLogLine("Error: path is too long.");
            break;
        }
        if (verdict == kEntryCurrent) {
            PostLogPair("Already up to date:", path);
            CountSuccess(run);
            ConfirmEntry(i, NULL);
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
    return CancelRequested() ? kRunCancelled : kRunReported;
}

RunEnd CheckEntries(PatchRun *run)
{
    run->divisor = run->manifest.count;
    run->successes = 0;
    run->progress_sum = 0;
    FetchPlan plan = {&run->manifest, HasReleaseKey() ? run->signed_release.entries : NULL,
                      g_patch_worker.install_dir, kUpdateHost, kUpdatePort, kFileObjectPrefix,
                      kDownloadTimeLimitMs, &g_patch_worker.cancel_requested,
                      g_patch_worker.notify_window};
    BeginQuickCheck(plan.install_dir, plan.manifest, plan.signed_entries);
    StartFetchAhead(&run->ahead, &plan);
    RunEnd end = TakeEntries(run);
    FinishFetchAhead(&run->ahead); // nothing below where the run stopped stays
    FinishQuickCheck(); // what the run confirmed, once no fetcher is left
    if (end == kRunCancelled)
        return end;
    if (run->successes == run->manifest.count) {
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
    // Held for the whole run: everything the run changes is reached from it.
    run.install = HoldInstallationFolder(g_patch_worker.install_dir);
    DeleteLeftoverOldFiles(run.install);
    // What stands at the folder's name and is not a cut-off run's own stays,
    // and every run stops at its first download until an administrator
    // removes it.
    if (!OpenStagingFolder(run.install) && g_patch_worker.install_dir)
        PostLogLine(kStagingRefusedLine);

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
    if (run.install != INVALID_HANDLE_VALUE)
        CloseHandle(run.install);
    PostStatusText("Done.");
    FreeManifest(&run.manifest);
    FreeSignedRelease(&run.signed_release);
    g_patch_worker.running = 0; // the very last step: the window may start again
    return 0;
}
