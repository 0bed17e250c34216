#pragma once

#include <windows.h>
#include <wininet.h>

// Callbacks of one download; owned by the caller, read but never changed.
struct DownloadObserver {
    void (*on_progress)(void *context, int percent); // 0..100; may be null
    void (*on_complete)(void *context, LONG result); // last call; may be null
    void *context;                                   // handed back to both
};

// Result codes of HttpDownloadToFile beyond the mapped Win32 errors.
const LONG kDownloadTimedOut = (LONG)0x800705B4;    // ERROR_TIMEOUT as HRESULT
const LONG kDownloadCutShort = (LONG)0x80072EFE;    // body below Content-Length

// Maps a Win32 error to a negative result code; 0 becomes E_FAIL.
LONG HResultFromWin32Error(DWORD error);

// Fetches http://server:port/object into local_path, synchronously.
// Returns 0 on a 2xx response written whole, else a negative code; no file is
// left at local_path after a failure. time_limit_ms 0 means no limit.
LONG HttpDownloadToFile(const char *server, INTERNET_PORT port, const char *object,
                        const char *local_path, DWORD time_limit_ms,
                        const DownloadObserver *observer);
