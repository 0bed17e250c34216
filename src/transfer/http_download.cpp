#include "transfer/http_download.h"

namespace {

const char kUserAgent[] = "BrackenholdPatcher";
const INTERNET_PORT kTlsPort = 443;              // the one port that means TLS
const DWORD kReadChunkBytes = 8192;              // bytes asked of each InternetReadFile
const LONG kResultInvalidArg = (LONG)0x80070057; // E_INVALIDARG
const LONG kResultFail = (LONG)0x80004005;       // E_FAIL: failed, last error 0
const DWORD kWin32Facility = 0x80070000;         // Win32 errors in HRESULT layout
const DWORD kHttpStatusFacility = 0x80190000;    // final status outside 200..299
const DWORD kQueryStatusNumber = HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER;
const DWORD kLengthTextChars = 32; // a Content-Length value longer than this is refused
const ULONGLONG kMaxLength = ~(ULONGLONG)0; // the largest Content-Length read
const int kNoPercentYet = -1; // so that the first chunk always reports
// A body of announced length that keeps coming at this rate or faster goes on
// past the time limit, one limit's length at a time, until that length: a
// file of gigabytes needs minutes even on a fast line, while a trickle, a
// stall or a body with no end announced still ends with the first period.
const ULONGLONG kMinBytesPerSecond = 64 * 1024;
// Body bytes written between two looks at the free space: a look costs a
// call into the file system, and this much at most comes off the reserve
// when another program fills the volume meanwhile.
const ULONGLONG kDiskCheckBytes = 4ULL << 20;

// Always from the origin server, nothing cached, no cookies, no dialogs,
// keep-alive asked for; TLS only on port 443.
const DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                            INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_COOKIES |
                            INTERNET_FLAG_NO_UI | INTERNET_FLAG_PRAGMA_NOCACHE;
static_assert(kRequestFlags == 0x84480300, "plain request flags");
static_assert((kRequestFlags | INTERNET_FLAG_SECURE) == 0x84C80300, "TLS request flags");

// The per-wait timeouts, in this order; the request inherits them.
const DWORD kTimeoutOptions[] = {INTERNET_OPTION_CONNECT_TIMEOUT,
                                 INTERNET_OPTION_RECEIVE_TIMEOUT,
                                 INTERNET_OPTION_SEND_TIMEOUT};

// Bounds each connect, send and receive wait; whether a setting takes is not
// looked at. A limit of 0 leaves the platform's defaults.
void SetTimeouts(HINTERNET handle, DWORD time_limit_ms)
{
    if (time_limit_ms == 0)
        return;
    for (DWORD option : kTimeoutOptions)
        InternetSetOptionA(handle, option, &time_limit_ms, sizeof(time_limit_ms));
}

LONG LastErrorResult() { return HResultFromWin32Error(GetLastError()); }

// Reads a decimal number below 2^64 made of digits only; 0 for anything else.
int ParseLength(const char *text, ULONGLONG *length)
{
    ULONGLONG value = 0;
    if (text[0] == '\0')
        return 0;
    for (const char *at = text; *at != '\0'; at++) {
        if (*at < '0' || *at > '9')
            return 0;
        ULONGLONG digit = (ULONGLONG)(*at - '0');
        if (value > (kMaxLength - digit) / 10)
            return 0;
        value = value * 10 + digit;
    }
    *length = value;
    return 1;
}

// Sets *length to the Content-Length and *announced, or both to 0 when the
// response has none.
// Returns 0 with *result set when the header is there but cannot be read as a
// 64-bit number: such a length could not be checked, and a body cut short
// would pass for whole. The text is parsed here because the platform's
// numeric query reads "600x" as 600, "-1" as 4294967295, a word as 0, and
// fails for 4 GiB and more; a value that cannot be read gets that failure.
int ReadContentLength(HINTERNET request, ULONGLONG *length, bool *announced, LONG *result)
{
    char text[kLengthTextChars];
    DWORD size = sizeof(text);
    *length = 0;
    *announced = false;
    if (!HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, text, &size, NULL)) {
        DWORD error = GetLastError();
        if (error == ERROR_HTTP_HEADER_NOT_FOUND)
            return 1;
        *result = HResultFromWin32Error(error);
        return 0;
    }
    if (!ParseLength(text, length)) {
        *result = HResultFromWin32Error(ERROR_HTTP_INVALID_HEADER);
        return 0;
    }
    *announced = true;
    return 1;
}

// Every call that can wait on the server (the send, which reads the answer's
// head and follows redirects, and the reads of the body) runs on a runner
// thread, while the caller waits in short slices and looks at the time limit
// and the cancel flag between them. Neither a receive timeout changed after
// the head nor a close from another thread ends a wait already begun under
// Wine (a blocked call holds the request until its own timeout), so the
// caller stops waiting instead and leaves the call to end by itself. A runner
// is kept for the next download once it has done its work in time (starting
// a thread costs more than a small file's whole fetch under Wine); one the
// caller gave up on ends its call, then frees its record and ends.
const DWORD kWaitSliceMs = 100;      // longest wait between looks at the flag
const DWORD kFillSliceMs = 50;       // a fill hands back what it has after this
const DWORD kFillBytes = 256 * 1024; // body bytes a fill gathers at most
// Runners taken at once, whether their download still runs or gave up on a
// call that has not ended: room for a run's downloads at once (8 ahead and
// the one reported) and a few left draining after a cancel. One count holds
// both, taken before a runner is handed out, so downloads cancelled together
// can never leave more than this many threads and connections behind.
const LONG kMaxRunnersInUse = 12;

// WinINet holds a process to 2 to 6 connections per server (4 per proxy) by
// default, which would queue a run's downloads at once behind each other.
// The limits are process-wide and bind connections made after they change,
// so they are raised once, before the process's first WinINet call.
const DWORD kConnectionsPerServer = 8;
const DWORD kConnectionLimitOptions[] = {INTERNET_OPTION_MAX_CONNS_PER_SERVER,
                                         INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER,
                                         INTERNET_OPTION_MAX_CONNS_PER_PROXY};
enum LimitsState { kLimitsUnset, kLimitsSetting, kLimitsSet };
volatile LONG g_limits_state = kLimitsUnset; // moved on only by interlocked exchanges

// The first caller sets the limits; any other waits until they are set.
void RaiseConnectionLimits()
{
    if (InterlockedCompareExchange(&g_limits_state, kLimitsSetting, kLimitsUnset) ==
        kLimitsUnset) {
        DWORD limit = kConnectionsPerServer;
        for (DWORD option : kConnectionLimitOptions)
            InternetSetOptionA(NULL, option, &limit, sizeof(limit));
        InterlockedExchange(&g_limits_state, kLimitsSet);
        return;
    }
    while (InterlockedCompareExchange(&g_limits_state, kLimitsSet, kLimitsSet) != kLimitsSet)
        Sleep(1);
}

// Closing a request whose body was not read to its end reads the rest of it
// first under Wine, for as long as the server keeps sending: the caller waits
// this long for the closes, then leaves them to the runner.
const DWORD kCloseWaitMs = 200;

enum RunnerOp { kOpSend, kOpFill, kOpClose };

struct Runner {
    HANDLE start;         // auto-reset: an operation was handed over, or kRunQuit
    HANDLE done;          // auto-reset: the operation ended in time
    HINTERNET request;    // the caller's; the runner only passes it to its calls
    HINTERNET connection; // close: closed after the request
    HINTERNET root;       // close: closed last
    LONG op;              // a RunnerOp, written by the caller before start
    LONG stage;           // a RunStage, exchanged by both sides
    BOOL ok;              // written by the runner before it sets done
    DWORD error;          // last error of a failed call
    DWORD filled;         // fill: body bytes in buffer
    BOOL ended;           // fill: the body has ended
    BYTE buffer[kFillBytes];
};

// Idle (between calls) <-> Calling, then Finished; or Abandoned by the caller
// at any point before Finished: whichever side exchanges second sees what the
// other did, and a runner never begins a call once it is Abandoned, so the
// handle that the caller closes is used only by a call already made.
enum RunStage { kRunIdle, kRunCalling, kRunFinished, kRunAbandoned, kRunQuit };

// The one runner that waits for the next download; taken and given back with
// interlocked exchanges, so that downloads on several threads stay apart.
Runner *volatile g_idle_runner = NULL;
// Runners out of the idle slot: held by a download, or given up on and still
// in a call (each holds a thread and, under Wine, a connection until the
// server lets go). Raised only by an interlocked exchange that keeps it at
// most kMaxRunnersInUse; a download finds it full and waits (within its own
// time limit) for one to come back. Lowered when a runner is given back or
// an abandoned one ends.
volatile LONG g_runners_in_use = 0;

void FreeRunner(Runner *runner)
{
    CloseHandle(runner->start);
    CloseHandle(runner->done);
    HeapFree(GetProcessHeap(), 0, runner);
}

bool EnterCall(Runner *runner)
{
    return InterlockedCompareExchange(&runner->stage, kRunCalling, kRunIdle) == kRunIdle;
}

bool LeaveCall(Runner *runner)
{
    return InterlockedCompareExchange(&runner->stage, kRunIdle, kRunCalling) == kRunCalling;
}

// The operations are kept out of the runner's loop, so that each reads the
// import slots afresh: the compiler would otherwise keep a slot's first value
// for good (the delay-load thunk, which rewrites the slot on its first use; a
// stand-in that a test puts there).
__attribute__((noinline)) void SendOnce(Runner *runner)
{
    if (!EnterCall(runner))
        return;
    runner->ok = HttpSendRequestA(runner->request, NULL, 0, NULL, 0);
    runner->error = runner->ok ? 0 : GetLastError();
    LeaveCall(runner);
}

// Reads what has arrived, up to one chunk. Only the wait for the first byte
// blocks (one receive timeout at most): a read that asked for a whole chunk
// would wait for all of it. 0 bytes read means the body has ended.
BOOL ReadArrivedBytes(HINTERNET request, BYTE *buffer, DWORD *got)
{
    DWORD available = 0;
    *got = 0;
    if (!InternetQueryDataAvailable(request, &available, 0, 0))
        return FALSE;
    if (available == 0)
        return TRUE;
    return InternetReadFile(request, buffer,
                            available < kReadChunkBytes ? available : kReadChunkBytes, got);
}

// Gathers body bytes in chunks of at most kReadChunkBytes until the buffer is
// full, the body ends, a call fails or kFillSliceMs have passed, so that the
// caller hands over once per many chunks while the body flows and still
// hears back soon while it trickles.
__attribute__((noinline)) void FillOnce(Runner *runner)
{
    DWORD begin_ms = GetTickCount();
    runner->ok = TRUE;
    runner->filled = 0;
    runner->ended = FALSE;
    while (runner->filled + kReadChunkBytes <= kFillBytes) {
        if (!EnterCall(runner))
            return;
        DWORD got = 0;
        BOOL read = ReadArrivedBytes(runner->request, runner->buffer + runner->filled, &got);
        DWORD error = read ? 0 : GetLastError();
        if (!LeaveCall(runner))
            return;
        if (!read) {
            runner->ok = FALSE;
            runner->error = error;
            return;
        }
        if (got == 0) {
            runner->ended = TRUE;
            return;
        }
        runner->filled += got;
        if (GetTickCount() - begin_ms >= kFillSliceMs)
            return;
    }
}

// Closes the download's handles in their order; the caller has let go of them.
__attribute__((noinline)) void CloseOnce(Runner *runner)
{
    InternetCloseHandle(runner->request);
    InternetCloseHandle(runner->connection);
    InternetCloseHandle(runner->root);
}

DWORD WINAPI RunnerLoop(LPVOID parameter)
{
    Runner *runner = (Runner *)parameter;
    for (;;) {
        WaitForSingleObject(runner->start, INFINITE);
        if (runner->stage == kRunQuit)
            break;
        if (runner->op == kOpSend)
            SendOnce(runner);
        else if (runner->op == kOpFill)
            FillOnce(runner);
        else
            CloseOnce(runner);
        if (InterlockedExchange(&runner->stage, kRunFinished) == kRunAbandoned) {
            InterlockedDecrement(&g_runners_in_use);
            break;
        }
        SetEvent(runner->done);
    }
    FreeRunner(runner);
    return 0;
}

Runner *NewRunner()
{
    Runner *runner = (Runner *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Runner));
    if (!runner)
        return NULL;
    runner->start = CreateEventA(NULL, FALSE, FALSE, NULL);
    runner->done = CreateEventA(NULL, FALSE, FALSE, NULL);
    HANDLE thread = (runner->start && runner->done)
                        ? CreateThread(NULL, 0, RunnerLoop, runner, 0, NULL)
                        : NULL;
    if (!thread) {
        DWORD error = GetLastError();
        if (runner->start)
            CloseHandle(runner->start);
        if (runner->done)
            CloseHandle(runner->done);
        HeapFree(GetProcessHeap(), 0, runner);
        SetLastError(error);
        return NULL;
    }
    CloseHandle(thread); // nothing joins it: it ends by itself
    return runner;
}

// Keeps an idle runner for the next download; a second one ends. Either way
// it no longer counts as in use.
void GiveBackRunner(Runner *runner)
{
    if (InterlockedCompareExchangePointer((PVOID volatile *)&g_idle_runner, runner, NULL) !=
        NULL) {
        runner->stage = kRunQuit;
        SetEvent(runner->start);
    }
    InterlockedDecrement(&g_runners_in_use);
}

// Counts one more runner in use unless kMaxRunnersInUse already are.
bool ReserveRunner()
{
    LONG in_use = g_runners_in_use;
    while (in_use < kMaxRunnersInUse) {
        LONG seen = InterlockedCompareExchange(&g_runners_in_use, in_use + 1, in_use);
        if (seen == in_use)
            return true;
        in_use = seen;
    }
    return false;
}

bool Cancelled(const DownloadObserver *observer)
{
    return observer && ((observer->cancel && *observer->cancel != 0) ||
                        (observer->abort && *observer->abort != 0));
}

// The run's received count, read whole on the 32-bit target too.
LONGLONG LineBytes(volatile LONGLONG *line_bytes)
{
    return line_bytes ? InterlockedCompareExchange64(line_bytes, 0, 0) : 0;
}

// Bytes that a period of the time limit must bring for the body to go on.
ULONGLONG MinBytesPerPeriod(DWORD time_limit_ms)
{
    return (ULONGLONG)time_limit_ms * kMinBytesPerSecond / 1000;
}

// The time limit of one call, counted in periods: the first from the call's
// start; a body of announced length that brought enough in a period, and has
// not passed its length, gets another.
struct Clock {
    DWORD limit_ms; // 0: none
    DWORD period_start_ms;
    ULONGLONG period_start_received;
    bool in_body;     // the head has come: the body may earn periods
    ULONGLONG length; // 0: none announced
    ULONGLONG received;
    volatile LONGLONG *line_bytes; // the run's count, when shared; NULL: this body alone
    LONGLONG period_start_line;
};

// The period brought what the pace asks: this body's bytes, or, on a shared
// line, the run's, as long as this body brought some.
bool KeptPace(const Clock *clock)
{
    ULONGLONG needed = MinBytesPerPeriod(clock->limit_ms);
    ULONGLONG own = clock->received - clock->period_start_received;
    if (!clock->line_bytes)
        return own >= needed;
    ULONGLONG line = (ULONGLONG)(LineBytes(clock->line_bytes) - clock->period_start_line);
    return own > 0 && line >= needed;
}

// Milliseconds left in the current period, starting the next one when the
// body has earned it; 0 once the time has run out, INFINITE without a limit.
DWORD TimeLeft(Clock *clock)
{
    if (clock->limit_ms == 0)
        return INFINITE;
    DWORD now_ms = GetTickCount();
    DWORD spent = now_ms - clock->period_start_ms;
    if (spent < clock->limit_ms)
        return clock->limit_ms - spent;
    if (!clock->in_body || clock->length == 0 || clock->received > clock->length ||
        !KeptPace(clock))
        return 0;
    clock->period_start_ms = now_ms;
    clock->period_start_received = clock->received;
    clock->period_start_line = LineBytes(clock->line_bytes);
    return clock->limit_ms;
}

// 0 while the download may go on, else kDownloadCancelled or kDownloadTimedOut.
LONG StopReason(const DownloadObserver *observer, Clock *clock, DWORD *left_ms)
{
    if (Cancelled(observer))
        return kDownloadCancelled;
    *left_ms = TimeLeft(clock);
    return *left_ms == 0 ? kDownloadTimedOut : 0;
}

// A runner for one download, within its time: taken idle or made anew, once
// it can be counted in use. NULL with *result set.
Runner *TakeRunner(const DownloadObserver *observer, Clock *clock, LONG *result)
{
    for (;;) {
        DWORD left_ms = 0;
        *result = StopReason(observer, clock, &left_ms);
        if (*result != 0)
            return NULL;
        if (ReserveRunner())
            break;
        Sleep(left_ms < kWaitSliceMs ? left_ms : kWaitSliceMs);
    }
    Runner *runner = (Runner *)InterlockedExchangePointer((PVOID volatile *)&g_idle_runner, NULL);
    if (!runner)
        runner = NewRunner();
    if (!runner) {
        *result = LastErrorResult();
        InterlockedDecrement(&g_runners_in_use);
    }
    return runner;
}

void HandOver(Runner *runner, RunnerOp op)
{
    runner->op = op;
    runner->stage = kRunIdle;
    SetEvent(runner->start);
}

// Gives up on an operation handed over; false when it had ended after all.
// An abandoned runner ends its call by itself, then frees itself and its
// count in use.
bool Abandon(Runner *runner)
{
    if (InterlockedExchange(&runner->stage, kRunAbandoned) == kRunFinished) {
        // It ended just now: its done is set or about to be.
        WaitForSingleObject(runner->done, INFINITE);
        return false;
    }
    return true;
}

// Hands an operation to the runner and waits for it in slices. Returns 0 when
// it ended in time (its outcome is in the runner); else the reason to stop,
// with the runner abandoned and *slot cleared. Closing the request is then
// what ends the call, where a close can.
LONG RunWithin(Runner **slot, RunnerOp op, const DownloadObserver *observer, Clock *clock)
{
    DWORD left_ms = 0;
    LONG stop = StopReason(observer, clock, &left_ms);
    if (stop != 0)
        return stop;
    HandOver(*slot, op);
    for (;;) {
        if (WaitForSingleObject((*slot)->done,
                                left_ms < kWaitSliceMs ? left_ms : kWaitSliceMs) == WAIT_OBJECT_0)
            return 0;
        stop = StopReason(observer, clock, &left_ms);
        if (stop == 0)
            continue;
        if (!Abandon(*slot))
            return 0;
        *slot = NULL;
        return stop;
    }
}

// Closes the three handles on the runner, waiting kCloseWaitMs at most, and
// keeps the runner for the next download when the closes were that quick.
void CloseOnRunner(Runner *runner, HINTERNET request, HINTERNET connection, HINTERNET root)
{
    runner->request = request;
    runner->connection = connection;
    runner->root = root;
    HandOver(runner, kOpClose);
    if (WaitForSingleObject(runner->done, kCloseWaitMs) == WAIT_OBJECT_0 || !Abandon(runner))
        GiveBackRunner(runner);
}

// Free space on the volume of the local file, looked at when the file is made
// and again each time the body has grown by kDiskCheckBytes.
struct DiskWatch {
    char folder[MAX_PATH]; // the local file's folder, with its separator
    bool known;            // false: a folder name too long to look at
    ULONGLONG next_check;  // received count of the next look
};

void WatchFolderOf(const char *local_path, DiskWatch *watch)
{
    const char *name = local_path;
    for (const char *at = local_path; *at != '\0'; at++) {
        if (*at == '\\' || *at == '/' || *at == ':')
            name = at + 1;
    }
    size_t folder_length = (size_t)(name - local_path);
    watch->known = folder_length < sizeof(watch->folder);
    watch->next_check = 0;
    if (watch->known) {
        CopyMemory(watch->folder, local_path, folder_length);
        watch->folder[folder_length] = '\0';
    }
}

// False when writing bytes_to_come would leave the volume less than the
// reserve. A volume whose free space cannot be read is not held back: the
// write itself then fails when the disk is full.
bool LeavesReserve(DiskWatch *watch, ULONGLONG received, ULONGLONG bytes_to_come)
{
    watch->next_check = received + kDiskCheckBytes;
    ULARGE_INTEGER free_bytes;
    if (!watch->known ||
        !GetDiskFreeSpaceExA(watch->folder[0] != '\0' ? watch->folder : NULL, &free_bytes, NULL,
                             NULL))
        return true;
    return free_bytes.QuadPart >= kDownloadDiskReserveBytes &&
           free_bytes.QuadPart - kDownloadDiskReserveBytes >= bytes_to_come;
}

// Bytes the body may still bring: what is announced and not yet come, else
// what may be written before the next look.
ULONGLONG BytesToCome(ULONGLONG length, ULONGLONG received)
{
    return length > received ? length - received : kDiskCheckBytes;
}

// An exact size bounds the body even when it is 0: an empty file's body.
bool HasCeiling(const DownloadObserver *observer)
{
    return observer && (observer->max_bytes != 0 || observer->exact_size);
}

// 0 when a body of this announced length may be taken; kDownloadTooLarge
// past the ceiling, or, with an exact size, for any other length.
LONG CheckAnnouncedLength(const DownloadObserver *observer, ULONGLONG length, bool announced)
{
    if (!HasCeiling(observer) || !announced)
        return 0;
    if (length > observer->max_bytes || (observer->exact_size && length != observer->max_bytes))
        return kDownloadTooLarge;
    return 0;
}

// Reports the percentage of length received, only when it changed. With the
// integer divisor a length below 200 makes the percentage the byte count.
// Both counts are 64-bit, so objects of 4 GiB and more move the bar alike.
void ReportProgress(const DownloadObserver *observer, ULONGLONG length, ULONGLONG received,
                    int *last_percent)
{
    if (length == 0 || !observer || !observer->on_progress)
        return;
    ULONGLONG divisor = length / 100;
    if (divisor == 0)
        divisor = 1;
    ULONGLONG percent = received / divisor;
    if (percent > 100)
        percent = 100;
    if ((int)percent == *last_percent)
        return;
    *last_percent = (int)percent;
    observer->on_progress(observer->context, (int)percent);
}

// Writes what a fill gathered, a chunk at a time with progress after each,
// within the ceiling and the volume's reserve. Returns 0 or the failure.
LONG WriteFilled(HANDLE file, const Runner *runner, const DownloadObserver *observer,
                 Clock *clock, DiskWatch *disk, int *last_percent)
{
    if (HasCeiling(observer) && runner->filled > observer->max_bytes - clock->received)
        return kDownloadTooLarge; // nothing past the ceiling is written
    if (clock->received + runner->filled >= disk->next_check &&
        !LeavesReserve(disk, clock->received, BytesToCome(clock->length, clock->received)))
        return kDownloadDiskFull;
    for (DWORD at = 0; at < runner->filled;) {
        DWORD piece = runner->filled - at;
        if (piece > kReadChunkBytes)
            piece = kReadChunkBytes;
        DWORD written = 0;
        if (!WriteFile(file, runner->buffer + at, piece, &written, NULL) || written != piece)
            return LastErrorResult();
        at += piece;
        clock->received += piece;
        if (clock->line_bytes)
            InterlockedExchangeAdd64(clock->line_bytes, piece);
        ReportProgress(observer, clock->length, clock->received, last_percent);
    }
    return 0;
}

} // namespace

LONG HResultFromWin32Error(DWORD error)
{
    if (error == 0)
        return kResultFail;
    if ((LONG)error < 0)
        return (LONG)error;
    return (LONG)((error & 0xFFFF) | kWin32Facility);
}

namespace {

// Watches the volume of a file given open: its folder as its handle names it
// (an old name does: only the free space there is looked at).
void WatchFolderOfOpen(HANDLE file, DiskWatch *watch)
{
    char path[MAX_PATH];
    DWORD length = GetFinalPathNameByHandleA(file, path, MAX_PATH, VOLUME_NAME_DOS);
    if (length == 0 || length >= MAX_PATH) {
        watch->known = false;
        watch->next_check = 0;
        return;
    }
    WatchFolderOf(path, watch);
}

// The download into local_path, made new, or into given, an open file written
// from its start.
LONG Download(const char *server, INTERNET_PORT port, const char *object, const char *local_path,
              HANDLE given, DWORD time_limit_ms, const DownloadObserver *observer)
{
    // Taken first, so that connecting counts against the limit.
    DWORD start_ms = GetTickCount();

    HINTERNET root = NULL;
    HINTERNET connection = NULL;
    HINTERNET request = NULL;
    Runner *runner = NULL;
    HANDLE file = INVALID_HANDLE_VALUE;
    LONG result = kResultFail;
    DWORD status = 0;
    bool announced = false;
    int last_percent = kNoPercentYet;
    Clock clock = {time_limit_ms, start_ms, 0, false, 0, 0,
                   observer ? observer->line_bytes : NULL,
                   observer ? LineBytes(observer->line_bytes) : 0};
    DiskWatch disk;

    if (!server || !object || (!local_path && !given) || server[0] == '\0' || object[0] == '\0') {
        result = kResultInvalidArg;
        goto complete;
    }

    RaiseConnectionLimits();
    root = InternetOpenA(kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    if (!root) {
        result = LastErrorResult();
        goto complete;
    }
    SetTimeouts(root, time_limit_ms);

    connection = InternetConnectA(root, server, port, NULL, NULL, INTERNET_SERVICE_HTTP, 0, 0);
    if (!connection) {
        result = LastErrorResult();
        goto cleanup;
    }
    // Wine's WinINet passes only the connect timeout from the root handle on;
    // without the others here, a server that never answers blocks for good.
    SetTimeouts(connection, time_limit_ms);
    request = HttpOpenRequestA(connection, "GET", object, NULL, NULL, NULL,
                               port == kTlsPort ? kRequestFlags | INTERNET_FLAG_SECURE
                                                : kRequestFlags,
                               0);
    if (!request) {
        result = LastErrorResult();
        goto cleanup;
    }
    runner = TakeRunner(observer, &clock, &result);
    if (!runner)
        goto cleanup;
    runner->request = request;
    result = RunWithin(&runner, kOpSend, observer, &clock);
    if (result == 0 && !runner->ok)
        result = HResultFromWin32Error(runner->error);
    if (result != 0)
        goto cleanup;

    {
        DWORD size = sizeof(status);
        if (!HttpQueryInfoA(request, kQueryStatusNumber, &status, &size, NULL)) {
            result = LastErrorResult();
            goto cleanup;
        }
    }
    if (status < 200 || status > 299) {
        result = (LONG)(status | kHttpStatusFacility);
        goto cleanup;
    }
    if (!ReadContentLength(request, &clock.length, &announced, &result))
        goto cleanup;
    result = CheckAnnouncedLength(observer, clock.length, announced);
    if (result != 0)
        goto cleanup;
    if (announced && observer && observer->on_length &&
        !observer->on_length(observer->context, clock.length)) {
        result = kDownloadDiskFull;
        goto cleanup;
    }
    if (given)
        WatchFolderOfOpen(given, &disk);
    else
        WatchFolderOf(local_path, &disk);
    if (!LeavesReserve(&disk, 0, BytesToCome(clock.length, 0))) {
        result = kDownloadDiskFull;
        goto cleanup;
    }

    if (given) {
        if (SetFilePointer(given, 0, NULL, FILE_BEGIN) == 0 && SetEndOfFile(given))
            file = given;
    } else {
        file = CreateFileA(local_path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    }
    if (file == INVALID_HANDLE_VALUE) {
        result = LastErrorResult();
        goto cleanup;
    }

    clock.in_body = true;
    for (;;) {
        result = RunWithin(&runner, kOpFill, observer, &clock);
        if (result != 0)
            break;
        if (!runner->ok) {
            result = HResultFromWin32Error(runner->error);
            break;
        }
        result = WriteFilled(file, runner, observer, &clock, &disk, &last_percent);
        if (result != 0 || runner->ended)
            break;
    }
    // More bytes than announced are accepted; fewer mean a cut body, as do
    // fewer than an exact size when no length was announced.
    if (result == 0 && ((announced && clock.received < clock.length) ||
                        (observer && observer->exact_size && clock.received < observer->max_bytes)))
        result = kDownloadCutShort;

cleanup:
    if (runner) {
        CloseOnRunner(runner, request, connection, root);
    } else {
        // No runner, or one left in a call that holds the request until it ends.
        if (request)
            InternetCloseHandle(request);
        if (connection)
            InternetCloseHandle(connection);
        InternetCloseHandle(root);
    }
    if (file != INVALID_HANDLE_VALUE && !given) {
        CloseHandle(file);
        // A failed call leaves no partial file behind.
        if (result < 0 && local_path[0] != '\0')
            DeleteFileA(local_path);
    }

complete:
    if (observer && observer->on_complete)
        observer->on_complete(observer->context, result);
    return result;
}

} // namespace

LONG HttpDownloadToFile(const char *server, INTERNET_PORT port, const char *object,
                        const char *local_path, DWORD time_limit_ms,
                        const DownloadObserver *observer)
{
    return Download(server, port, object, local_path, NULL, time_limit_ms, observer);
}

LONG HttpDownloadToOpenFile(const char *server, INTERNET_PORT port, const char *object,
                            HANDLE file, DWORD time_limit_ms, const DownloadObserver *observer)
{
    return Download(server, port, object, NULL, file == INVALID_HANDLE_VALUE ? NULL : file,
                    time_limit_ms, observer);
}
