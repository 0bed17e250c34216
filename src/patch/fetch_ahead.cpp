// Fetching ahead: the run reports its entries one at a time, in manifest
// order, but a line's round trip would then cost every file. So up to
// kFetchAheadDepth entries beyond the one being reported are checked and
// downloaded (each attempt into a temporary file of its own, verified) by a
// pool of up to kFetchAheadDepth fetcher threads, made as work comes and
// joined at the end of the run. Fetchers only record what happened, in the
// entry's slot; the worker replays each record in order (log lines, file bar)
// and alone changes the installation, so the window and the installation see
// a one-at-a-time run. An entry that names the same file as one still in the
// window waits until that one is done, so its check sees the installation as
// a one-at-a-time run would. One lock guards the slots; the worker waits on
// an event that a fetcher sets when the slot the worker watches changes, and
// copies Cancel into the run's stop flag, which every download watches.
// With one processor the worker checks entries itself: handing a check to
// another thread would only add switches.
#include "patch/fetch_ahead.h"

#include "patch/install_paths.h"
#include "patch/patch_worker.h"
#include "patch/quick_check.h"
#include "patch/staging_folder.h"
#include "transfer/crc32.h"

FetchDownloadFn g_fetch_download = HttpDownloadToOpenFile;

namespace {

enum SlotState {
    kSlotFree,    // outside the window
    kSlotQueued,  // waits for a fetcher
    kSlotClaimed, // a fetcher (or the worker) is on it
    kSlotDone,    // nothing more will be recorded
};

const DWORD kPollMs = 50; // how often a waiting worker looks at Cancel

// The progress callback's view of the attempt it reports for.
struct ProgressTarget {
    FetchAhead *ahead;
    FetchSlot *slot;
    AttemptRecord *attempt;
};

FetchSlot *SlotOf(FetchAhead *ahead, DWORD index) { return &ahead->slots[index % kFetchSlots]; }

// Under the lock: tells a waiting worker that slot changed.
void Notify(FetchAhead *ahead, FetchSlot *slot)
{
    if (ahead->watched == (int)(slot - ahead->slots))
        SetEvent(ahead->wake);
}

void FollowCancel(FetchAhead *ahead)
{
    if (g_patch_worker.cancel_requested)
        InterlockedExchange(&ahead->stop, 1);
}

// Under the lock: lets go of it until slot changes or kPollMs pass.
void WaitForSlot(FetchAhead *ahead, FetchSlot *slot)
{
    ahead->watched = (int)(slot - ahead->slots);
    LeaveCriticalSection(&ahead->lock);
    if (ahead->wake)
        WaitForSingleObject(ahead->wake, kPollMs);
    FollowCancel(ahead);
    EnterCriticalSection(&ahead->lock);
    ahead->watched = -1;
}

bool IsCurrentInFull(const void *context, DWORD index, const char *file)
{
    const FetchPlan *plan = (const FetchPlan *)context;
    if (plan->signed_entries)
        return FileMatchesSignedEntry(file, &plan->signed_entries[index]) != 0;
    DWORD crc = 0;
    return FileCrc32(file, &crc) && crc == plan->manifest->checksums[index];
}

bool IsCurrent(const FetchPlan *plan, DWORD index, const char *file)
{
    return CheckEntryWithRecord(index, file, IsCurrentInFull, plan);
}

// A download is good when it has the listed CRC-32 and, with a key, the
// signed size and SHA-256: read through the handle that wrote it, which
// nobody else can open, so that the bytes checked are the bytes moved.
bool IsVerified(const FetchPlan *plan, DWORD index, HANDLE file)
{
    DWORD crc = 0;
    return OpenFileCrc32(file, &crc) && crc == plan->manifest->checksums[index] &&
           (!plan->signed_entries ||
            OpenFileMatchesSignedEntry(file, &plan->signed_entries[index]));
}

void OnFetchProgress(void *context, int percent)
{
    ProgressTarget *target = (ProgressTarget *)context;
    EnterCriticalSection(&target->ahead->lock);
    AttemptRecord *attempt = target->attempt;
    if (attempt->percent_count < sizeof(attempt->percents))
        attempt->percents[attempt->percent_count++] = (BYTE)percent;
    Notify(target->ahead, target->slot);
    LeaveCriticalSection(&target->ahead->lock);
}

// Makes one attempt's download into a staged file of its own; returns how
// it began, and how it ended in *end (the file is kept only when verified).
AttemptStep Download(FetchAhead *ahead, FetchSlot *slot, AttemptRecord *attempt, HANDLE *staged,
                     LONG *result, AttemptStep *end)
{
    const FetchPlan *plan = &ahead->plan;
    const char *path = plan->manifest->paths[slot->index];
    char server_path[kJoinedPathCapacity];
    if (ahead->stop)
        return kAttemptCancelled;
    if (!JoinServerPath(plan->object_prefix, path, server_path, kJoinedPathCapacity))
        return kAttemptNoServerPath;
    if (!MakeStagedFile(staged))
        return kAttemptNoTempFile;
    ProgressTarget target = {ahead, slot, attempt};
    DownloadObserver observer;
    ZeroMemory(&observer, sizeof(observer));
    observer.on_progress = OnFetchProgress;
    observer.context = &target;
    observer.cancel = &ahead->stop;
    if (plan->signed_entries) {
        observer.max_bytes = plan->signed_entries[slot->index].size;
        observer.exact_size = TRUE;
    }
    EnterCriticalSection(&ahead->lock);
    attempt->begun = true;
    attempt->start = kAttemptStarted;
    Notify(ahead, slot);
    LeaveCriticalSection(&ahead->lock);
    *result = g_fetch_download(plan->server, plan->port, server_path, *staged,
                               plan->time_limit_ms, &observer);
    if (ahead->stop)
        *end = kAttemptCancelled;
    else if (*result < 0)
        *end = kAttemptFailed;
    else if (IsVerified(plan, slot->index, *staged))
        *end = kAttemptVerified;
    else
        *end = kAttemptCorrupt;
    if (*end != kAttemptVerified) {
        DropStagedFile(*staged);
        *staged = NULL;
    }
    return kAttemptStarted;
}

// Checks a claimed entry (unless done already) and makes its attempts. Once
// it has recorded the last of them, the slot is the worker's.
void RunEntry(FetchAhead *ahead, FetchSlot *slot)
{
    if (!slot->checked) {
        bool current = IsCurrent(&ahead->plan, slot->index, slot->local_path);
        EnterCriticalSection(&ahead->lock);
        slot->verdict = current ? kEntryCurrent : kEntryNeedsUpdate;
        slot->checked = true;
        if (current)
            slot->state = kSlotDone;
        Notify(ahead, slot);
        LeaveCriticalSection(&ahead->lock);
        if (current)
            return;
    }
    for (DWORD i = 0; i < kMaxAttempts; i++) {
        AttemptRecord *attempt = &slot->attempts[i];
        HANDLE staged = NULL;
        LONG result = 0;
        AttemptStep end = kAttemptCancelled;
        AttemptStep start = Download(ahead, slot, attempt, &staged, &result, &end);
        EnterCriticalSection(&ahead->lock);
        attempt->begun = true;
        attempt->start = start;
        attempt->ended = true;
        attempt->end = start == kAttemptStarted ? end : start;
        attempt->result = result;
        bool again = attempt->end == kAttemptFailed || attempt->end == kAttemptCorrupt;
        if (attempt->end == kAttemptVerified)
            slot->staged = staged;
        if (!again || i + 1 == kMaxAttempts)
            slot->state = kSlotDone;
        Notify(ahead, slot);
        LeaveCriticalSection(&ahead->lock);
        if (!again)
            return;
    }
}

DWORD WINAPI FetcherMain(LPVOID parameter)
{
    FetchAhead *ahead = (FetchAhead *)parameter;
    for (;;) {
        WaitForSingleObject(ahead->jobs, INFINITE);
        EnterCriticalSection(&ahead->lock);
        ahead->idle_threads--;
        FetchSlot *job = NULL;
        for (DWORD i = ahead->head; !ahead->closing && i < ahead->next_dispatch && !job; i++)
            if (SlotOf(ahead, i)->state == kSlotQueued)
                job = SlotOf(ahead, i);
        if (job) {
            job->state = kSlotClaimed;
            ahead->waiting_jobs--;
        }
        bool leave = ahead->closing;
        LeaveCriticalSection(&ahead->lock);
        if (leave)
            return 0;
        if (job)
            RunEntry(ahead, job);
        EnterCriticalSection(&ahead->lock);
        ahead->idle_threads++;
        LeaveCriticalSection(&ahead->lock);
    }
}

// Under the lock: a fetcher for a new job, while the pool may grow.
void QueueJob(FetchAhead *ahead, FetchSlot *slot)
{
    slot->state = kSlotQueued;
    ahead->waiting_jobs++;
    if (ahead->jobs && ahead->idle_threads < ahead->waiting_jobs &&
        ahead->thread_count < kFetchAheadDepth) {
        HANDLE thread = CreateThread(NULL, 0, FetcherMain, ahead, 0, NULL);
        if (thread) {
            ahead->threads[ahead->thread_count++] = thread;
            ahead->idle_threads++;
        }
    }
    if (ahead->thread_count > 0)
        ReleaseSemaphore(ahead->jobs, 1, NULL);
}

// The name as Windows compares it: components without separators or ".",
// in upper case, and without the ".old" of a file set aside. Returns false
// when other names may stand for the same file (a short name, non-ASCII).
bool MakeNameKey(const char *path, char *key)
{
    int length = 0;
    bool plain = true;
    for (const char *p = SkipSeparators(path); *p; p = SkipSeparators(p)) {
        const char *start = p;
        while (*p && !IsSeparator(*p))
            p++;
        if (p - start == 1 && *start == '.')
            continue;
        if (length > 0)
            key[length++] = '\\';
        for (const char *c = start; c < p; c++) {
            plain = plain && *c != '~' && (BYTE)*c < 0x80;
            key[length++] = (*c >= 'a' && *c <= 'z') ? (char)(*c - 'a' + 'A') : *c;
        }
    }
    key[length] = '\0';
    while (length > 4 && lstrcmpA(key + length - 4, ".OLD") == 0)
        key[length -= 4] = '\0';
    return plain;
}

bool NamesOneFile(const FetchSlot *a, const FetchSlot *b)
{
    return a->aliases_any || b->aliases_any || lstrcmpA(a->key, b->key) == 0;
}

// Takes entry next_dispatch into the window unless it must wait for an entry
// above it. Returns false when nothing more can be taken now.
bool TakeNextEntry(FetchAhead *ahead)
{
    DWORD index = ahead->next_dispatch;
    const char *path = ahead->plan.manifest->paths[index];
    FetchSlot *slot = SlotOf(ahead, index);
    DropStagedFile(slot->staged);
    ZeroMemory(slot, sizeof(*slot));
    slot->index = index;
    if (!IsSafeRelativePath(path) ||
        !JoinLocalPath(ahead->plan.install_dir, path, slot->local_path, kJoinedPathCapacity)) {
        // The worker stops at this entry: nothing below it is fetched.
        slot->verdict = IsSafeRelativePath(path) ? kEntryTooLong : kEntryUnsafe;
        slot->checked = true;
        slot->state = kSlotDone;
        EnterCriticalSection(&ahead->lock);
        ahead->dispatch_blocked = true;
        ahead->next_dispatch++;
        LeaveCriticalSection(&ahead->lock);
        return false;
    }
    slot->aliases_any = !MakeNameKey(path, slot->key);
    for (DWORD i = ahead->head; i < index; i++)
        if (NamesOneFile(SlotOf(ahead, i), slot))
            return false;
    EnterCriticalSection(&ahead->lock);
    ahead->next_dispatch++;
    LeaveCriticalSection(&ahead->lock);
    if (ahead->check_inline) {
        slot->checked = true;
        slot->verdict =
            IsCurrent(&ahead->plan, index, slot->local_path) ? kEntryCurrent : kEntryNeedsUpdate;
        if (slot->verdict == kEntryCurrent) {
            slot->state = kSlotDone;
            return true;
        }
    }
    EnterCriticalSection(&ahead->lock);
    QueueJob(ahead, slot);
    LeaveCriticalSection(&ahead->lock);
    return true;
}

void FillWindow(FetchAhead *ahead)
{
    DWORD count = ahead->plan.manifest->count;
    // Once stopped or blocked, only the entry being reported is still taken:
    // the worker may yet report it (a Cancel it has not seen) as a
    // one-at-a-time run would.
    while (ahead->next_dispatch < count &&
           ahead->next_dispatch <= ahead->head + kFetchAheadDepth &&
           ((!ahead->stop && !ahead->dispatch_blocked) || ahead->next_dispatch == ahead->head))
        if (!TakeNextEntry(ahead))
            break;
}

DWORD ProcessorsToRunOn()
{
    DWORD_PTR process = 0, system = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system))
        return 1;
    DWORD count = 0;
    for (; process; process &= process - 1)
        count++;
    return count;
}

// Without more connections per server (6 by default, 2 on a line Windows
// takes for dial-up, 4 per proxy), WinINet queues the requests beyond them.
void RaiseConnectionLimits()
{
    static volatile LONG raised = 0;
    if (InterlockedExchange(&raised, 1))
        return;
    DWORD limit = kFetchAheadDepth;
    InternetSetOptionA(NULL, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &limit, sizeof(limit));
    InternetSetOptionA(NULL, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, &limit, sizeof(limit));
    InternetSetOptionA(NULL, INTERNET_OPTION_MAX_CONNS_PER_PROXY, &limit, sizeof(limit));
}

} // namespace

void StartFetchAhead(FetchAhead *ahead, const FetchPlan *plan)
{
    ZeroMemory(ahead, sizeof(*ahead));
    ahead->plan = *plan;
    InitializeCriticalSection(&ahead->lock);
    ahead->watched = -1;
    ahead->check_inline = ProcessorsToRunOn() < 2;
    ahead->wake = CreateEventA(NULL, FALSE, FALSE, NULL);
    ahead->jobs = CreateSemaphoreA(NULL, 0, 0x7FFFFFFF, NULL);
    if (!ahead->wake || !ahead->jobs) { // no fetchers: the worker does it all
        if (ahead->jobs)
            CloseHandle(ahead->jobs);
        ahead->jobs = NULL;
    }
    FollowCancel(ahead);
    RaiseConnectionLimits();
}

EntryVerdict AwaitCheck(FetchAhead *ahead, DWORD index, char *local_path)
{
    FollowCancel(ahead);
    EnterCriticalSection(&ahead->lock);
    ahead->head = index;
    LeaveCriticalSection(&ahead->lock);
    FillWindow(ahead);
    FetchSlot *slot = SlotOf(ahead, index);
    EnterCriticalSection(&ahead->lock);
    while (!slot->checked) {
        if (slot->state == kSlotQueued && ahead->thread_count == 0) {
            slot->state = kSlotClaimed;
            ahead->waiting_jobs--;
            LeaveCriticalSection(&ahead->lock);
            RunEntry(ahead, slot);
            EnterCriticalSection(&ahead->lock);
            continue;
        }
        WaitForSlot(ahead, slot);
    }
    EntryVerdict verdict = slot->verdict;
    LeaveCriticalSection(&ahead->lock);
    lstrcpyA(local_path, slot->local_path);
    return verdict;
}

AttemptStep AwaitAttemptStart(FetchAhead *ahead, DWORD attempt)
{
    FetchSlot *slot = SlotOf(ahead, ahead->head);
    AttemptRecord *record = &slot->attempts[attempt];
    EnterCriticalSection(&ahead->lock);
    while (!record->begun)
        WaitForSlot(ahead, slot);
    AttemptStep start = record->start;
    LeaveCriticalSection(&ahead->lock);
    return start;
}

AttemptStep AwaitAttemptEnd(FetchAhead *ahead, DWORD attempt, HANDLE *staged, LONG *result)
{
    FetchSlot *slot = SlotOf(ahead, ahead->head);
    AttemptRecord *record = &slot->attempts[attempt];
    DWORD posted = 0;
    EnterCriticalSection(&ahead->lock);
    for (;;) {
        BYTE fresh[sizeof(record->percents)];
        DWORD count = 0;
        while (posted < record->percent_count)
            fresh[count++] = record->percents[posted++];
        bool ended = record->ended;
        if (count > 0) {
            LeaveCriticalSection(&ahead->lock);
            for (DWORD i = 0; i < count; i++)
                OnDownloadProgress((void *)g_patch_worker.notify_window, fresh[i]);
            EnterCriticalSection(&ahead->lock);
            continue;
        }
        if (ended)
            break;
        WaitForSlot(ahead, slot);
    }
    AttemptStep end = record->end;
    *result = record->result;
    if (end == kAttemptVerified) {
        *staged = slot->staged;
        slot->staged = NULL;
    }
    LeaveCriticalSection(&ahead->lock);
    return end;
}

void FinishFetchAhead(FetchAhead *ahead)
{
    InterlockedExchange(&ahead->stop, 1);
    EnterCriticalSection(&ahead->lock);
    ahead->closing = true;
    LeaveCriticalSection(&ahead->lock);
    if (ahead->thread_count > 0) {
        ReleaseSemaphore(ahead->jobs, (LONG)ahead->thread_count, NULL);
        WaitForMultipleObjects(ahead->thread_count, ahead->threads, TRUE, INFINITE);
    }
    for (DWORD i = 0; i < ahead->thread_count; i++)
        CloseHandle(ahead->threads[i]);
    for (DWORD i = 0; i < kFetchSlots; i++)
        DropStagedFile(ahead->slots[i].staged);
    if (ahead->jobs)
        CloseHandle(ahead->jobs);
    if (ahead->wake)
        CloseHandle(ahead->wake);
    DeleteCriticalSection(&ahead->lock);
}
