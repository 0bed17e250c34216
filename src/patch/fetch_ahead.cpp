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
// a one-at-a-time run would. Names are compared as the worker takes an entry;
// file ids (a hard link, a junction) by its fetcher, before its check, so
// that an up-to-date run opens no file on the worker's path. One lock guards
// the slots; the worker waits on an event that a fetcher sets when the slot
// the worker watches changes.
// Every wait copies Cancel into the run's stop flag, which the fetchers'
// checks watch; every download watches Cancel itself.
// With one processor the worker checks entries itself: handing a check to
// another thread would only add switches.
//
// The line, the server and the disk are shared, so fetching ahead must never
// cost the reported entry anything: only the reported entry's own failures
// are attempts. A download ahead that is refused, times out or finds no room
// is put back and made again later (at the next change of the reported
// entry, or as soon as there is room), with no line and no attempt. A
// reported entry's download that is refused or times out while others ran
// beside it is made again alone. How many downloads run at once is the
// gauge's (connection_gauge.h); the room each download ahead will write is
// reserved in the ledger (disk_ledger.h) before it starts, and downloads
// ahead give theirs back when the reported entry needs it.
#include "patch/fetch_ahead.h"

#include "app/notifications.h"
#include "patch/install_paths.h"
#include "patch/quick_check.h"
#include "patch/staging_folder.h"
#include "transfer/crc32.h"

#include <winternl.h>

FetchDownloadFn g_fetch_download = HttpDownloadToOpenFile;
DWORD g_fetch_first_connections = kGaugeFirstConnections;

namespace {

enum SlotState {
    kSlotFree,    // outside the window
    kSlotQueued,  // waits for a fetcher
    kSlotClaimed, // a fetcher (or the worker) is on it
    kSlotParked,  // put back: queued again when the reported entry changes
    kSlotDone,    // nothing more will be recorded
};

const DWORD kPollMs = 50; // how often a waiting thread looks at Cancel

DWORD WINAPI FetcherMain(LPVOID parameter);

// The progress callback's view of the attempt it reports for.
struct ProgressTarget {
    FetchAhead *ahead;
    FetchSlot *slot;
    AttemptRecord *attempt;
};

FetchSlot *SlotOf(FetchAhead *ahead, DWORD index) { return &ahead->slots[index % kFetchSlots]; }

bool CancelAsked(const FetchAhead *ahead) { return ahead->plan.cancel && *ahead->plan.cancel; }

void FollowCancel(FetchAhead *ahead)
{
    if (CancelAsked(ahead))
        InterlockedExchange(&ahead->stop, 1);
}

bool Stopped(FetchAhead *ahead)
{
    FollowCancel(ahead);
    return ahead->stop != 0;
}

// Under the lock: tells a waiting worker that slot changed.
void Notify(FetchAhead *ahead, FetchSlot *slot)
{
    if (ahead->watched == (int)(slot - ahead->slots))
        SetEvent(ahead->wake);
}

// Under the lock: the connections, the room or the reported entry changed.
void WakeWaiters(FetchAhead *ahead)
{
    for (DWORD i = 0; i < kFetchSlots; i++)
        if (ahead->slots[i].waiting && ahead->slots[i].go)
            SetEvent(ahead->slots[i].go);
    if (ahead->watched >= 0)
        SetEvent(ahead->wake);
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

// Under the lock: a fetcher's wait for its turn, until something changes.
void WaitForTurn(FetchAhead *ahead, FetchSlot *slot)
{
    slot->waiting = true;
    LeaveCriticalSection(&ahead->lock);
    if (slot->go)
        WaitForSingleObject(slot->go, kPollMs);
    else
        Sleep(kPollMs);
    FollowCancel(ahead);
    EnterCriticalSection(&ahead->lock);
    slot->waiting = false;
}

// What a full check of an installed file reads against.
struct CheckContext {
    const FetchPlan *plan;
    const volatile LONG *stop;
};

bool IsCurrentInFull(const void *context, DWORD index, const char *file)
{
    const CheckContext *check = (const CheckContext *)context;
    const FetchPlan *plan = check->plan;
    if (plan->signed_entries)
        return FileMatchesSignedEntry(file, &plan->signed_entries[index], check->stop) != 0;
    DWORD crc = 0;
    return FileCrc32(file, &crc, check->stop) && crc == plan->manifest->checksums[index];
}

// The installed file has the listed content (the quick check's record may
// vouch for it); stop ends the check with false.
bool IsCurrent(const FetchPlan *plan, DWORD index, const char *file, const volatile LONG *stop)
{
    CheckContext check = {plan, stop};
    return CheckEntryWithRecord(index, file, IsCurrentInFull, &check);
}

// A download is good when it has the listed CRC-32 and, with a key, the
// signed size and SHA-256. A download that has returned is checked to its
// end, Cancel or not, so that it is moved in as a one-at-a-time run would.
// It is read through the handle that wrote it, which nobody else can open,
// so that the bytes checked are the bytes moved.
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
    target->slot->percent_written = percent;
    Notify(target->ahead, target->slot);
    LeaveCriticalSection(&target->ahead->lock);
}

// Under the lock: tells the ledger how much of the room reserved is written
// already, by the downloads' own percentages (each rounds down), so that a
// file being written is not counted both in the free space and as promised.
void CountWritten(FetchAhead *ahead)
{
    ULONGLONG written = 0;
    for (DWORD i = 0; i < kFetchSlots; i++) {
        const FetchSlot *slot = &ahead->slots[i];
        if (slot->downloading)
            written += slot->reserved / 100 * slot->percent_written;
    }
    ahead->ledger.written = written;
}

// Under the lock: the room that the entries above slot may still need, each
// taken to be as large as own where its length is not known yet. A download
// ahead leaves it free: an entry above that finds no room when it is
// reported takes it back, and the download below is made again.
ULONGLONG RoomNeededAbove(FetchAhead *ahead, const FetchSlot *slot, ULONGLONG own)
{
    ULONGLONG needed = 0;
    for (DWORD i = ahead->head; i < slot->index; i++) {
        const FetchSlot *above = SlotOf(ahead, i);
        if (above->state == kSlotDone || above->staged)
            continue;
        if (above->room == 0)
            needed += own;
        else if (above->room > above->reserved)
            needed += above->room - above->reserved;
    }
    return needed;
}

// Under the lock, the ledger's written count brought up to date: reserves
// more for a download ahead when the room holds it and what the entries
// above it may still need. A length not known yet is taken to be the largest
// the run has seen: a download begun without room would be cut off once its
// length came.
bool ReserveAhead(FetchAhead *ahead, FetchSlot *slot, ULONGLONG more)
{
    ULONGLONG own = slot->room ? slot->room : ahead->largest_room;
    ULONGLONG wanted = (slot->room ? more : own) + RoomNeededAbove(ahead, slot, own);
    return DiskHolds(&ahead->ledger, wanted) && ReserveDisk(&ahead->ledger, more);
}

// The announced length: a download ahead takes the volume only when the
// room holds it; the reported entry's is refused once while others hold room
// (they give it back before it is made again), then judged by the downloader.
int OnFetchLength(void *context, ULONGLONG length)
{
    ProgressTarget *target = (ProgressTarget *)context;
    FetchAhead *ahead = target->ahead;
    FetchSlot *slot = target->slot;
    int taken = 1;
    EnterCriticalSection(&ahead->lock);
    slot->room = length;
    if (length > ahead->largest_room)
        ahead->largest_room = length;
    if (slot->reserved < length) {
        ULONGLONG more = length - slot->reserved;
        bool reported = slot->index == ahead->head;
        CountWritten(ahead);
        if (reported ? ReserveDisk(&ahead->ledger, more) : ReserveAhead(ahead, slot, more)) {
            slot->reserved += more;
        } else if (reported && slot->alone) {
            TakeDisk(&ahead->ledger, more);
            slot->reserved += more;
        } else {
            slot->room_refused = true;
            taken = 0;
        }
    }
    LeaveCriticalSection(&ahead->lock);
    return taken;
}

// Under the lock: an entry for a fetcher; a fetcher is made while the pool
// may grow. The count is given even without a fetcher, for one made later.
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
    if (ahead->jobs)
        ReleaseSemaphore(ahead->jobs, 1, NULL);
}

// Under the lock: downloads ahead give the room back to the reported entry:
// those under way end, verified ones not yet reported are deleted and made
// again later.
void GiveBackRoom(FetchAhead *ahead)
{
    for (DWORD i = ahead->head + 1; i < ahead->next_dispatch; i++) {
        FetchSlot *slot = SlotOf(ahead, i);
        if (slot->downloading)
            InterlockedExchange(&slot->abort, 1);
        if (slot->state == kSlotDone && slot->staged) {
            DropStagedFile(slot->staged);
            slot->staged = NULL;
            ZeroMemory(&slot->attempts[0], sizeof(slot->attempts[0]));
            QueueJob(ahead, slot);
        }
    }
}

void SampleGauge(FetchAhead *ahead)
{
    GaugeSample(&ahead->gauge, GetTickCount(),
                (ULONGLONG)InterlockedCompareExchange64(&ahead->line_bytes, 0, 0));
}

// Under the lock: the reported entry waits for a fetcher that no idle one
// will be: a fetcher waiting for its turn ahead lets its entry go for it.
bool ReportedNeedsFetcher(FetchAhead *ahead)
{
    return SlotOf(ahead, ahead->head)->state == kSlotQueued && ahead->idle_threads == 0;
}

enum Turn { kTurnGo, kTurnStop, kTurnYield };

// Under the lock: slot waits for a connection, or no longer does.
void WantConnection(FetchAhead *ahead, FetchSlot *slot, bool wants)
{
    if (slot->wants_connection == wants)
        return;
    slot->wants_connection = wants;
    ahead->connection_waiters += wants ? 1 : (DWORD)-1;
    GaugeWaiters(&ahead->gauge, GetTickCount(), ahead->connection_waiters);
}

// Under the lock: waits until slot's download may begin. The reported
// entry's begins at once, as it would alone (alone when it must be); one
// ahead waits while the gauge's downloads run, or while the room does not
// hold its length.
Turn AwaitTurn(FetchAhead *ahead, FetchSlot *slot, bool on_worker)
{
    Turn turn = kTurnGo;
    for (;;) {
        SampleGauge(ahead);
        if (Stopped(ahead)) {
            turn = kTurnStop;
            break;
        }
        CountWritten(ahead);
        bool wants = false;
        bool reported = slot->index == ahead->head;
        ULONGLONG more = slot->room - slot->reserved;
        if (reported) {
            bool holds = DiskHolds(&ahead->ledger, more);
            if (!holds) { // downloads ahead hold the room it needs
                GiveBackRoom(ahead);
                slot->alone = true;
            }
            if (!slot->alone || ahead->active == 0) {
                TakeDisk(&ahead->ledger, more);
                slot->reserved = slot->room;
                break;
            }
            ahead->solo = true;
        } else if (!on_worker && ReportedNeedsFetcher(ahead)) {
            turn = kTurnYield;
            break;
        } else if (!ahead->solo && ahead->active < ahead->gauge.limit) {
            if (ReserveAhead(ahead, slot, more)) {
                slot->reserved = slot->room;
                break;
            }
        } else if (!ahead->solo) {
            wants = true;
        }
        WantConnection(ahead, slot, wants);
        WaitForTurn(ahead, slot);
    }
    WantConnection(ahead, slot, false);
    if (turn != kTurnGo)
        return turn;
    ahead->active++;
    ahead->starts++;
    slot->starts_seen = ahead->starts;
    slot->company = ahead->active > 1;
    slot->downloading = true;
    slot->percent_written = 0;
    slot->room_refused = false;
    return kTurnGo;
}

// Under the lock: the download let its connection go.
void EndTurn(FetchAhead *ahead, FetchSlot *slot)
{
    ahead->active--;
    slot->company = slot->company || ahead->active > 0 || ahead->starts != slot->starts_seen;
    slot->downloading = false;
    ReleaseDisk(&ahead->ledger, slot->reserved);
    slot->reserved = 0;
    SampleGauge(ahead);
    WakeWaiters(ahead);
}

// Failures that come of sharing: a time-out, a refusal, a cut or refused
// connection, a full disk.
bool IsShareFailure(LONG result)
{
    static const LONG kShared[] = {
        kDownloadTimedOut, kDownloadCutShort, kDownloadDiskFull,
        (LONG)0x80072EE2, // ERROR_INTERNET_TIMEOUT
        (LONG)0x80072EFD, // ERROR_INTERNET_CANNOT_CONNECT
        (LONG)0x80072EFF, // ERROR_INTERNET_CONNECTION_RESET
        (LONG)0x80070027, // ERROR_HANDLE_DISK_FULL
        (LONG)0x801901F7, // 503
        (LONG)0x801901AD, // 429
    };
    for (LONG shared : kShared)
        if (result == shared)
            return true;
    return false;
}

// The server turned a connection away.
bool IsRefusal(LONG result)
{
    return result == (LONG)0x801901F7 || result == (LONG)0x801901AD ||
           result == (LONG)0x80072EFD || result == (LONG)0x80072EFF;
}

// Makes one download into a staged file of its own once its turn has
// come; returns how it began, and how it ended in *end (the file is kept
// only when verified). *turn tells whether it took a connection.
AttemptStep Download(FetchAhead *ahead, FetchSlot *slot, AttemptRecord *attempt, HANDLE *staged,
                     LONG *result, AttemptStep *end, Turn *turn, bool on_worker)
{
    const FetchPlan *plan = &ahead->plan;
    const char *path = plan->manifest->paths[slot->index];
    char server_path[kJoinedPathCapacity];
    *turn = kTurnStop;
    *end = kAttemptCancelled;
    if (Stopped(ahead))
        return kAttemptCancelled;
    if (!JoinServerPath(plan->object_prefix, path, server_path, kJoinedPathCapacity))
        return kAttemptNoServerPath;
    if (plan->signed_entries && slot->room == 0)
        slot->room = plan->signed_entries[slot->index].size;
    EnterCriticalSection(&ahead->lock);
    *turn = AwaitTurn(ahead, slot, on_worker);
    LeaveCriticalSection(&ahead->lock);
    if (*turn != kTurnGo)
        return kAttemptCancelled;
    if (!MakeStagedFile(staged))
        return kAttemptNoTempFile;
    ProgressTarget target = {ahead, slot, attempt};
    DownloadObserver observer;
    ZeroMemory(&observer, sizeof(observer));
    observer.on_progress = OnFetchProgress;
    observer.on_length = OnFetchLength;
    observer.context = &target;
    observer.cancel = plan->cancel;
    observer.abort = &slot->abort;
    observer.line_bytes = &ahead->line_bytes;
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
    EnterCriticalSection(&ahead->lock);
    attempt->returned = true;
    LeaveCriticalSection(&ahead->lock);
    if (Stopped(ahead))
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

// What becomes of a download that did not end the run's way.
enum Verdict {
    kCharged, // the entry's own: recorded as the attempt
    kAgain,   // the reported entry's, caused by sharing: made again alone
    kPutBack, // ahead, caused by sharing: forgotten, the entry fetched again later
};

// Under the lock, after the download's turn ended.
Verdict Judge(FetchAhead *ahead, FetchSlot *slot, AttemptStep start, AttemptStep end,
              LONG result)
{
    bool shared = (start == kAttemptStarted && end == kAttemptFailed && IsShareFailure(result)) ||
                  slot->abort || slot->room_refused;
    if (start == kAttemptStarted && end == kAttemptVerified && slot->abort)
        shared = true; // ahead: its room was asked back
    if (start == kAttemptStarted && end == kAttemptFailed && IsRefusal(result))
        GaugeRefused(&ahead->gauge, GetTickCount(),
                     (ULONGLONG)InterlockedCompareExchange64(&ahead->line_bytes, 0, 0),
                     slot->index == ahead->head);
    if (Stopped(ahead) || start == kAttemptNoServerPath)
        return kCharged;
    if (slot->index != ahead->head)
        return shared ? kPutBack : kCharged;
    if (shared && !slot->alone && (slot->company || slot->abort || slot->room_refused))
        return kAgain;
    return kCharged;
}

// Under the lock: the entry waits to be fetched again, with nothing recorded:
// queued at once when only room was missing (its turn waits for room), else
// when the reported entry next changes.
void PutBack(FetchAhead *ahead, FetchSlot *slot, AttemptRecord *attempt)
{
    ZeroMemory(attempt, sizeof(*attempt));
    InterlockedExchange(&slot->abort, 0);
    if (slot->room_refused)
        QueueJob(ahead, slot);
    else
        slot->state = kSlotParked;
}

// The name as Windows compares it: components without separators or ".",
// in upper case, and without the ".old" of a file set aside; a staged copy
// (".new.old") also keys as its target. Returns false when other names may
// stand for the same file (a short name, non-ASCII).
bool MakeNameKey(const char *path, char *key, char *target_key)
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
    target_key[0] = '\0';
    bool set_aside = false;
    while (length > 4 && lstrcmpA(key + length - 4, ".OLD") == 0) {
        key[length -= 4] = '\0';
        set_aside = true;
    }
    if (set_aside && length > 4 && lstrcmpA(key + length - 4, ".NEW") == 0) {
        lstrcpyA(target_key, key);
        target_key[length - 4] = '\0';
    }
    return plain;
}

// The file's id, where it exists. Only the id is read: the volume's serial
// number costs Wine a call to another process for every file, and two files
// of one id on two volumes only make the later entry wait.
void ReadFileId(FetchSlot *slot)
{
    HANDLE file = CreateFileA(slot->local_path, 0,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    IO_STATUS_BLOCK io;
    FILE_INTERNAL_INFORMATION info;
    if (NT_SUCCESS(NtQueryInformationFile(file, &io, &info, sizeof(info),
                                          FileInternalInformation))) {
        slot->has_id = true;
        slot->file_id = (ULONGLONG)info.IndexNumber.QuadPart;
    }
    CloseHandle(file);
}

bool KeysMeet(const FetchSlot *a, const FetchSlot *b)
{
    return lstrcmpA(a->key, b->key) == 0 ||
           (a->target_key[0] && lstrcmpA(a->target_key, b->key) == 0) ||
           (b->target_key[0] && lstrcmpA(b->target_key, a->key) == 0);
}

// Names that may stand for one file: the same key, or a name that may be
// any other.
bool NamesAlike(const FetchSlot *a, const FetchSlot *b)
{
    return a->aliases_any || b->aliases_any || KeysMeet(a, b);
}

// Two names of one file that exists (a hard link, a junction).
bool SameFileId(const FetchSlot *a, const FetchSlot *b)
{
    return a->has_id && b->has_id && a->file_id == b->file_id;
}

enum Clearance { kClear, kAwaitIds, kSameFileAbove };

// An entry not found up to date: the worker may yet change its file.
bool MayYetChange(const FetchSlot *above)
{
    return !above->checked || above->verdict != kEntryCurrent;
}

bool AnyAboveMayChange(FetchAhead *ahead, const FetchSlot *slot)
{
    for (DWORD i = ahead->head; i < slot->index; i++)
        if (MayYetChange(SlotOf(ahead, i)))
            return true;
    return false;
}

// Under the lock: whether slot's file may be checked now, judged by file ids:
// not while an entry above it in the window that may yet change that file
// is the same file, nor before the ids of all such entries are known.
Clearance ClearanceOf(FetchAhead *ahead, const FetchSlot *slot)
{
    for (DWORD i = ahead->head; i < slot->index; i++) {
        const FetchSlot *above = SlotOf(ahead, i);
        if (!MayYetChange(above))
            continue;
        if (!above->id_read)
            return kAwaitIds;
        if (SameFileId(above, slot))
            return kSameFileAbove;
    }
    return kClear;
}

// Under the lock: a fetcher looks up its file's id, off the worker's path,
// and never while the worker moves a file in (an open of that file, under
// another of its names, would make the move fail).
void ReadIdInTurn(FetchAhead *ahead, FetchSlot *slot)
{
    while (ahead->installing && !Stopped(ahead))
        WaitForTurn(ahead, slot);
    ahead->id_reads++;
    LeaveCriticalSection(&ahead->lock);
    ReadFileId(slot);
    EnterCriticalSection(&ahead->lock);
    ahead->id_reads--;
    slot->id_read = true;
    WakeWaiters(ahead);
}

// Under the lock: waits until slot's file may be checked; false when an
// entry above names the same file: the slot is then parked, to be checked
// once the reported entry has moved on.
bool AwaitClearance(FetchAhead *ahead, FetchSlot *slot)
{
    if (!slot->id_read)
        ReadIdInTurn(ahead, slot);
    Clearance clearance;
    while ((clearance = ClearanceOf(ahead, slot)) == kAwaitIds && !Stopped(ahead))
        WaitForTurn(ahead, slot);
    if (clearance != kSameFileAbove || Stopped(ahead))
        return true;
    slot->state = kSlotParked;
    return false;
}

// Checks a claimed entry; true when attempts follow.
bool RunCheck(FetchAhead *ahead, FetchSlot *slot, bool on_worker)
{
    // The worker's own checks follow Cancel itself; a fetcher's, the stop
    // flag, which also ends them when the run stops for another reason.
    const volatile LONG *stop = on_worker ? ahead->plan.cancel : &ahead->stop;
    EnterCriticalSection(&ahead->lock);
    bool clear = AwaitClearance(ahead, slot);
    LeaveCriticalSection(&ahead->lock);
    if (!clear)
        return false;
    bool current = IsCurrent(&ahead->plan, slot->index, slot->local_path, stop);
    EnterCriticalSection(&ahead->lock);
    slot->verdict = Stopped(ahead) ? kEntryCancelled
                    : current      ? kEntryCurrent
                                   : kEntryNeedsUpdate;
    slot->checked = true;
    if (slot->verdict != kEntryNeedsUpdate)
        slot->state = kSlotDone;
    Notify(ahead, slot);
    LeaveCriticalSection(&ahead->lock);
    return slot->verdict == kEntryNeedsUpdate;
}

// Makes the entry's next attempt, its downloads made anew as long as they
// fail for sharing; true when another attempt follows.
bool RunAttempt(FetchAhead *ahead, FetchSlot *slot, bool on_worker)
{
    for (;;) {
        AttemptRecord *attempt = &slot->attempts[slot->charged];
        HANDLE staged = NULL;
        LONG result = 0;
        AttemptStep end = kAttemptCancelled;
        Turn turn = kTurnStop;
        AttemptStep start = Download(ahead, slot, attempt, &staged, &result, &end, &turn, on_worker);
        EnterCriticalSection(&ahead->lock);
        if (turn == kTurnYield) { // the reported entry needs this fetcher
            QueueJob(ahead, slot);
            LeaveCriticalSection(&ahead->lock);
            return false;
        }
        if (turn == kTurnGo)
            EndTurn(ahead, slot);
        Verdict verdict = Judge(ahead, slot, start, end, result);
        if (verdict == kPutBack && end == kAttemptVerified) {
            DropStagedFile(staged);
            staged = NULL;
        }
        if (verdict == kPutBack) {
            PutBack(ahead, slot, attempt);
            Notify(ahead, slot);
            LeaveCriticalSection(&ahead->lock);
            return false;
        }
        if (verdict == kAgain) {
            slot->alone = true;
            InterlockedExchange(&slot->abort, 0);
            attempt->returned = false;
            attempt->percent_count = 0;
            attempt->restarts++;
            Notify(ahead, slot);
            LeaveCriticalSection(&ahead->lock);
            continue;
        }
        attempt->begun = true;
        attempt->start = start;
        attempt->ended = true;
        attempt->end = start == kAttemptStarted ? end : start;
        attempt->result = result;
        bool again = attempt->end == kAttemptFailed || attempt->end == kAttemptCorrupt;
        if (attempt->end == kAttemptVerified)
            slot->staged = staged;
        if (again)
            slot->charged++;
        bool last = !again || slot->charged == kMaxAttempts;
        if (last)
            slot->state = kSlotDone;
        Notify(ahead, slot);
        LeaveCriticalSection(&ahead->lock);
        return !last;
    }
}

// Checks a claimed entry (unless done already) and makes its attempts. Once
// it has recorded the last of them, the slot is the worker's.
void RunEntry(FetchAhead *ahead, FetchSlot *slot)
{
    if (!slot->checked && !RunCheck(ahead, slot, false))
        return;
    while (RunAttempt(ahead, slot, false)) {
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

// One processor: the worker checks the entry it takes itself, so that no
// other thread need run. Ids are looked up only where an entry above may
// yet change the file: an up-to-date run opens each file once.
bool CheckInline(FetchAhead *ahead, FetchSlot *slot)
{
    bool looked = AnyAboveMayChange(ahead, slot);
    if (looked) {
        ReadFileId(slot);
        slot->id_read = true;
        if (ClearanceOf(ahead, slot) == kSameFileAbove)
            return false;
    }
    EnterCriticalSection(&ahead->lock);
    ahead->next_dispatch++;
    LeaveCriticalSection(&ahead->lock);
    bool current = IsCurrent(&ahead->plan, slot->index, slot->local_path, ahead->plan.cancel);
    slot->checked = true;
    slot->verdict = CancelAsked(ahead) ? kEntryCancelled
                    : current          ? kEntryCurrent
                                       : kEntryNeedsUpdate;
    if (slot->verdict == kEntryNeedsUpdate && !looked)
        ReadFileId(slot);
    slot->id_read = true;
    if (slot->verdict != kEntryNeedsUpdate) {
        slot->state = kSlotDone;
        return true;
    }
    EnterCriticalSection(&ahead->lock);
    QueueJob(ahead, slot);
    LeaveCriticalSection(&ahead->lock);
    return true;
}

// Takes entry next_dispatch into the window unless it must wait for an entry
// above it. Returns false when nothing more can be taken now.
bool TakeNextEntry(FetchAhead *ahead)
{
    DWORD index = ahead->next_dispatch;
    const char *path = ahead->plan.manifest->paths[index];
    FetchSlot *slot = SlotOf(ahead, index);
    DropStagedFile(slot->staged);
    HANDLE go = slot->go;
    ZeroMemory(slot, sizeof(*slot));
    slot->go = go;
    slot->index = index;
    if (!IsSafeRelativePath(path) ||
        !JoinLocalPath(ahead->plan.install_dir, path, slot->local_path, kJoinedPathCapacity)) {
        // The worker stops at this entry: nothing below it is fetched.
        slot->verdict = IsSafeRelativePath(path) ? kEntryTooLong : kEntryUnsafe;
        slot->checked = true;
        slot->id_read = true;
        slot->state = kSlotDone;
        EnterCriticalSection(&ahead->lock);
        ahead->dispatch_blocked = true;
        ahead->next_dispatch++;
        LeaveCriticalSection(&ahead->lock);
        return false;
    }
    slot->aliases_any = !MakeNameKey(path, slot->key, slot->target_key);
    for (DWORD i = ahead->head; i < index; i++)
        if (NamesAlike(SlotOf(ahead, i), slot))
            return false;
    if (ahead->check_inline)
        return CheckInline(ahead, slot);
    EnterCriticalSection(&ahead->lock);
    ahead->next_dispatch++;
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
           ((!Stopped(ahead) && !ahead->dispatch_blocked) ||
            ahead->next_dispatch == ahead->head))
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

// Under the lock: the reported entry, queued and claimed by no fetcher,
// while none exists (none could be made): the worker does its work itself,
// one step at a time as it reports them (the check, then each attempt).
// Returns false when there is nothing for it to do.
bool RunUnclaimed(FetchAhead *ahead, FetchSlot *slot)
{
    if (slot->state == kSlotQueued && ahead->thread_count == 0) {
        slot->state = kSlotClaimed;
        slot->worker_owned = true;
        ahead->waiting_jobs--;
    }
    if (!slot->worker_owned || slot->state != kSlotClaimed)
        return false;
    LeaveCriticalSection(&ahead->lock);
    if (!slot->checked)
        RunCheck(ahead, slot, true);
    else
        RunAttempt(ahead, slot, true);
    EnterCriticalSection(&ahead->lock);
    return true;
}

} // namespace

void StartFetchAhead(FetchAhead *ahead, const FetchPlan *plan)
{
    ZeroMemory(ahead, sizeof(*ahead));
    ahead->plan = *plan;
    InitializeCriticalSection(&ahead->lock);
    ahead->watched = -1;
    ahead->check_inline = ProcessorsToRunOn() < 2;
    StartGauge(&ahead->gauge, g_fetch_first_connections, GetTickCount(), 0);
    StartDiskLedger(&ahead->ledger, plan->install_dir);
    ahead->wake = CreateEventA(NULL, FALSE, FALSE, NULL);
    ahead->jobs = CreateSemaphoreA(NULL, 0, 0x7FFFFFFF, NULL);
    if (!ahead->wake || !ahead->jobs) { // no fetchers: the worker does it all
        if (ahead->jobs)
            CloseHandle(ahead->jobs);
        ahead->jobs = NULL;
    }
    for (DWORD i = 0; i < kFetchSlots; i++)
        ahead->slots[i].go = CreateEventA(NULL, FALSE, FALSE, NULL);
    FollowCancel(ahead);
}

EntryVerdict AwaitCheck(FetchAhead *ahead, DWORD index, char *local_path)
{
    FollowCancel(ahead);
    EnterCriticalSection(&ahead->lock);
    ahead->head = index;
    ahead->solo = false;
    ahead->installing = false;
    for (DWORD i = index; i < ahead->next_dispatch; i++) {
        FetchSlot *parked = SlotOf(ahead, i);
        if (parked->state == kSlotParked)
            QueueJob(ahead, parked);
    }
    WakeWaiters(ahead);
    LeaveCriticalSection(&ahead->lock);
    FillWindow(ahead);
    FetchSlot *slot = SlotOf(ahead, index);
    EnterCriticalSection(&ahead->lock);
    while (!slot->checked && !CancelAsked(ahead))
        if (!RunUnclaimed(ahead, slot))
            WaitForSlot(ahead, slot);
    EntryVerdict verdict = slot->checked ? slot->verdict : kEntryCancelled;
    LeaveCriticalSection(&ahead->lock);
    lstrcpyA(local_path, slot->local_path);
    return verdict;
}

AttemptStep AwaitAttemptStart(FetchAhead *ahead, DWORD attempt)
{
    FetchSlot *slot = SlotOf(ahead, ahead->head);
    AttemptRecord *record = &slot->attempts[attempt];
    EnterCriticalSection(&ahead->lock);
    while (!record->begun && !CancelAsked(ahead))
        if (!RunUnclaimed(ahead, slot))
            WaitForSlot(ahead, slot);
    AttemptStep start = record->begun ? record->start : kAttemptCancelled;
    LeaveCriticalSection(&ahead->lock);
    return start;
}

AttemptStep AwaitAttemptEnd(FetchAhead *ahead, DWORD attempt, HANDLE *staged, LONG *result)
{
    FetchSlot *slot = SlotOf(ahead, ahead->head);
    AttemptRecord *record = &slot->attempts[attempt];
    HWND window = ahead->plan.notify_window;
    DWORD posted = 0, restarts = 0;
    EnterCriticalSection(&ahead->lock);
    for (;;) {
        if (record->restarts != restarts) { // made anew: its percentages start again
            restarts = record->restarts;
            posted = 0;
        }
        BYTE fresh[sizeof(record->percents)];
        DWORD count = 0;
        while (posted < record->percent_count)
            fresh[count++] = record->percents[posted++];
        if (count > 0) {
            LeaveCriticalSection(&ahead->lock);
            for (DWORD i = 0; i < count && window; i++)
                PostMessageA(window, WM_APP_FILE_PROGRESS, fresh[i], 0);
            EnterCriticalSection(&ahead->lock);
            continue;
        }
        // A download under way ends on Cancel; one that has returned is
        // checked to its end and reported.
        if (record->ended || (CancelAsked(ahead) && !record->returned))
            break;
        WaitForSlot(ahead, slot);
    }
    AttemptStep end = record->ended ? record->end : kAttemptCancelled;
    *result = record->result;
    if (record->ended && end == kAttemptVerified) {
        *staged = slot->staged;
        slot->staged = NULL;
        // The worker moves it in next: no fetcher holds a file open for its id.
        ahead->installing = true;
        while (ahead->id_reads > 0)
            WaitForSlot(ahead, slot);
    }
    LeaveCriticalSection(&ahead->lock);
    return end;
}

void FinishFetchAhead(FetchAhead *ahead)
{
    InterlockedExchange(&ahead->stop, 1);
    EnterCriticalSection(&ahead->lock);
    ahead->closing = true;
    for (DWORD i = 0; i < kFetchSlots; i++)
        InterlockedExchange(&ahead->slots[i].abort, 1);
    WakeWaiters(ahead);
    LeaveCriticalSection(&ahead->lock);
    if (ahead->thread_count > 0) {
        ReleaseSemaphore(ahead->jobs, (LONG)ahead->thread_count, NULL);
        WaitForMultipleObjects(ahead->thread_count, ahead->threads, TRUE, INFINITE);
    }
    for (DWORD i = 0; i < ahead->thread_count; i++)
        CloseHandle(ahead->threads[i]);
    for (DWORD i = 0; i < kFetchSlots; i++) {
        DropStagedFile(ahead->slots[i].staged);
        if (ahead->slots[i].go)
            CloseHandle(ahead->slots[i].go);
    }
    if (ahead->jobs)
        CloseHandle(ahead->jobs);
    if (ahead->wake)
        CloseHandle(ahead->wake);
    DeleteCriticalSection(&ahead->lock);
}
