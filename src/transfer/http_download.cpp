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

// Sets *length to the Content-Length, or to 0 when the response has none.
// Returns 0 with *result set when the header is there but cannot be read as a
// 64-bit number: such a length could not be checked, and a body cut short
// would pass for whole. The text is parsed here because the platform's
// numeric query reads "600x" as 600, "-1" as 4294967295, a word as 0, and
// fails for 4 GiB and more; a value that cannot be read gets that failure.
int ReadContentLength(HINTERNET request, ULONGLONG *length, LONG *result)
{
    char text[kLengthTextChars];
    DWORD size = sizeof(text);
    *length = 0;
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
    return 1;
}

// HttpSendRequestA runs on a sender thread, so that the caller can stop
// waiting when its time runs out: the call reads the status line and headers
// and follows redirects, and a server that trickles them, or redirects for
// ever, keeps every single wait within the receive timeout. A sender is kept
// for the next download once its call has returned in time (starting a thread
// costs more than a small file's whole fetch under Wine); one the caller gave
// up on is left to end its call, then frees its record and ends.
struct Sender {
    HANDLE start;      // auto-reset: a request was handed over, or kSendQuit
    HANDLE done;       // auto-reset: the call returned in time
    HINTERNET request; // the caller's; the sender only passes it to the one call
    LONG stage;        // a SendStage, exchanged by both sides
    BOOL sent;         // written by the sender before it sets done
    DWORD error;       // last error of a failed send
};

// Waiting -> Started -> Finished, or Abandoned by the caller at any point
// before Finished: whichever side exchanges second sees what the other did.
enum SendStage { kSendWaiting, kSendStarted, kSendFinished, kSendAbandoned, kSendQuit };

// The one sender that waits for the next request; taken and given back with
// interlocked exchanges, so that downloads on several threads stay apart.
Sender *volatile g_idle_sender = NULL;

void FreeSender(Sender *sender)
{
    CloseHandle(sender->start);
    CloseHandle(sender->done);
    HeapFree(GetProcessHeap(), 0, sender);
}

// Makes the one call unless the caller has given up already: a sender that
// has not begun then never calls, so the handle that the caller closes is
// used only by a call made. Kept out of the sender's loop, so that every call
// reads the import slot afresh: the compiler would otherwise keep the slot's
// first value for good (the delay-load thunk, which rewrites the slot on its
// first use; a stand-in that a test puts there).
__attribute__((noinline)) void SendOnce(Sender *sender)
{
    if (InterlockedCompareExchange(&sender->stage, kSendStarted, kSendWaiting) != kSendWaiting)
        return;
    sender->sent = HttpSendRequestA(sender->request, NULL, 0, NULL, 0);
    sender->error = sender->sent ? 0 : GetLastError();
}

DWORD WINAPI SenderLoop(LPVOID parameter)
{
    Sender *sender = (Sender *)parameter;
    for (;;) {
        WaitForSingleObject(sender->start, INFINITE);
        if (sender->stage == kSendQuit)
            break;
        SendOnce(sender);
        if (InterlockedExchange(&sender->stage, kSendFinished) == kSendAbandoned)
            break;
        SetEvent(sender->done);
    }
    FreeSender(sender);
    return 0;
}

Sender *TakeSender()
{
    Sender *sender = (Sender *)InterlockedExchangePointer((PVOID volatile *)&g_idle_sender, NULL);
    if (sender)
        return sender;
    sender = (Sender *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Sender));
    if (!sender)
        return NULL;
    sender->start = CreateEventA(NULL, FALSE, FALSE, NULL);
    sender->done = CreateEventA(NULL, FALSE, FALSE, NULL);
    HANDLE thread = (sender->start && sender->done)
                        ? CreateThread(NULL, 0, SenderLoop, sender, 0, NULL)
                        : NULL;
    if (!thread) {
        DWORD error = GetLastError();
        if (sender->start)
            CloseHandle(sender->start);
        if (sender->done)
            CloseHandle(sender->done);
        HeapFree(GetProcessHeap(), 0, sender);
        SetLastError(error);
        return NULL;
    }
    CloseHandle(thread); // nothing joins it: it ends by itself
    return sender;
}

// Keeps an idle sender for the next download; a second one ends.
void GiveBackSender(Sender *sender)
{
    if (InterlockedCompareExchangePointer((PVOID volatile *)&g_idle_sender, sender, NULL) ==
        NULL)
        return;
    sender->stage = kSendQuit;
    SetEvent(sender->start);
}

// Milliseconds left before the time limit runs out; INFINITE without one.
DWORD TimeLeft(DWORD start_ms, DWORD time_limit_ms)
{
    if (time_limit_ms == 0)
        return INFINITE;
    DWORD spent = GetTickCount() - start_ms;
    return spent >= time_limit_ms ? 0 : time_limit_ms - spent;
}

// Sends the request and waits for the answer's head within the time left.
// Returns 0 when it came, else the result code: kDownloadTimedOut when the
// time ran out. The request handle stays the caller's to close; closing it
// is what ends the send still in progress (on the platforms that let a close
// end a call on another thread). Every send goes through a sender, so that a
// call without a time limit goes the same way.
LONG SendWithinTimeLimit(HINTERNET request, DWORD start_ms, DWORD time_limit_ms)
{
    DWORD left_ms = TimeLeft(start_ms, time_limit_ms);
    if (left_ms == 0)
        return kDownloadTimedOut;
    Sender *sender = TakeSender();
    if (!sender)
        return LastErrorResult();
    sender->request = request;
    sender->stage = kSendWaiting;
    SetEvent(sender->start);
    bool returned = WaitForSingleObject(sender->done, left_ms) == WAIT_OBJECT_0;
    if (!returned &&
        InterlockedExchange(&sender->stage, kSendAbandoned) == kSendFinished) {
        // The call returned just as the time ran out: its done is still set.
        WaitForSingleObject(sender->done, INFINITE);
        returned = true;
    }
    if (!returned)
        return kDownloadTimedOut; // the sender frees itself when its call ends
    LONG result = sender->sent ? 0 : HResultFromWin32Error(sender->error);
    GiveBackSender(sender);
    return result;
}

// Bytes that a period of the time limit must bring for the body to go on.
ULONGLONG MinBytesPerPeriod(DWORD time_limit_ms)
{
    return (ULONGLONG)time_limit_ms * kMinBytesPerSecond / 1000;
}

// Reads what has arrived, up to one buffer. Only the wait for the first byte
// blocks (one receive timeout at most): a read that asked for a whole buffer
// would wait for all of it, and a trickling body would outlive the time limit.
// 0 bytes read means the body has ended.
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

} // namespace

LONG HResultFromWin32Error(DWORD error)
{
    if (error == 0)
        return kResultFail;
    if ((LONG)error < 0)
        return (LONG)error;
    return (LONG)((error & 0xFFFF) | kWin32Facility);
}

LONG HttpDownloadToFile(const char *server, INTERNET_PORT port, const char *object,
                        const char *local_path, DWORD time_limit_ms,
                        const DownloadObserver *observer)
{
    // Taken first, so that connecting counts against the limit.
    DWORD start_ms = GetTickCount();

    HINTERNET root = NULL;
    HINTERNET connection = NULL;
    HINTERNET request = NULL;
    HANDLE file = INVALID_HANDLE_VALUE;
    LONG result = kResultFail;
    DWORD status = 0;
    ULONGLONG length = 0; // 0: no Content-Length
    ULONGLONG received = 0;
    DWORD period_start_ms = start_ms; // the time limit's current period
    ULONGLONG period_start_received = 0;
    int last_percent = kNoPercentYet;
    BYTE buffer[kReadChunkBytes];

    if (!server || !object || !local_path || server[0] == '\0' || object[0] == '\0') {
        result = kResultInvalidArg;
        goto complete;
    }

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
    result = SendWithinTimeLimit(request, start_ms, time_limit_ms);
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
    if (!ReadContentLength(request, &length, &result))
        goto cleanup;

    file = CreateFileA(local_path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        result = LastErrorResult();
        goto cleanup;
    }

    for (;;) {
        DWORD now_ms = GetTickCount();
        if (time_limit_ms != 0 && now_ms - period_start_ms >= time_limit_ms) {
            if (length == 0 || received > length ||
                received - period_start_received < MinBytesPerPeriod(time_limit_ms)) {
                result = kDownloadTimedOut;
                break;
            }
            period_start_ms = now_ms;
            period_start_received = received;
        }
        DWORD got = 0;
        if (!ReadArrivedBytes(request, buffer, &got)) {
            result = LastErrorResult();
            break;
        }
        if (got == 0) {
            // More bytes than announced are accepted; fewer mean a cut body.
            result = (length != 0 && received < length) ? kDownloadCutShort : 0;
            break;
        }
        DWORD written = 0;
        if (!WriteFile(file, buffer, got, &written, NULL) || written != got) {
            result = LastErrorResult();
            break;
        }
        received += got;
        ReportProgress(observer, length, received, &last_percent);
    }

cleanup:
    if (request)
        InternetCloseHandle(request);
    if (connection)
        InternetCloseHandle(connection);
    InternetCloseHandle(root);
    if (file != INVALID_HANDLE_VALUE) {
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
