#pragma once

#include <windows.h>
#include <wininet.h>

// Callbacks of one download; owned by the caller, read but never changed.
struct DownloadObserver {
    void (*on_progress)(void *context, int percent); // 0..100; may be null
    void (*on_complete)(void *context, LONG result); // last call; may be null
    void *context;                                   // handed back to both
    // Bounds of the download; zero leaves each one off.
    const volatile LONG *cancel; // non-zero ends the download within a fraction of a
                                 // second, wherever it stands: kDownloadCancelled
    ULONGLONG max_bytes;         // a body past this, announced or received: kDownloadTooLarge;
                                 // no byte past it is written
    BOOL exact_size;             // the body is max_bytes long (0 included): any other
                                 // Content-Length is refused before the file is made
    const volatile LONG *abort;  // a second flag, watched as cancel is
    // Body bytes every download of the run has received; each adds its own.
    // When given, the pace that lets a body go on past a period is judged on
    // it: downloads that share a line each get a share of it.
    volatile LONGLONG *line_bytes;
    // Called with an announced length before the file is made; 0 refuses the
    // body with kDownloadDiskFull. May be null.
    int (*on_length)(void *context, ULONGLONG length);
};

// Result codes of HttpDownloadToFile beyond the mapped Win32 errors.
const LONG kDownloadTimedOut = (LONG)0x800705B4; // time limit ran out (ERROR_TIMEOUT)
const LONG kDownloadCutShort = (LONG)0x80072EFE; // body below Content-Length; the
                                                 // same as WinINet's own error 12030
const LONG kDownloadCancelled = (LONG)0x800704C7; // *cancel was set (ERROR_CANCELLED)
const LONG kDownloadTooLarge = (LONG)0x800700DF;  // past max_bytes (ERROR_FILE_TOO_LARGE)
const LONG kDownloadDiskFull = (LONG)0x80070070;  // the volume's reserve reached (ERROR_DISK_FULL)

// Free space a download always leaves on the volume it writes to: room for
// what the system and the game write on their own (page file growth,
// registry, logs, saves, crash dumps), which fail in odd ways on a full
// system disk; small beside any disk a game is installed on.
const ULONGLONG kDownloadDiskReserveBytes = 256ULL << 20;

// Maps a Win32 error to a negative result code: 0 becomes E_FAIL, a value
// already negative stays, any other e becomes 0x80070000 | (e & 0xFFFF).
LONG HResultFromWin32Error(DWORD error);

// Fetches http://server:port/object (TLS on port 443 only) into local_path
// with one GET, synchronously. Returns 0 when a 2xx response was written
// whole; otherwise a negative code, 0x8019xxxx for a final status outside
// 200..299. A failure leaves no file that the call created or truncated; one
// before the local file is created leaves whatever is at local_path as it was.
// time_limit_ms bounds the call from its start: the wait for the answer's head
// (redirects included) ends when it runs out, it is tested before each read,
// and it bounds each single wait of the connection; 0 means none of these.
// A body that has kept coming at 64 KiB/s or more through the last limit's
// length of time (the run's as a whole, with line_bytes, as long as this one
// brought some) goes on for another, so that large files can finish; any
// other call returns within twice the limit whatever the server does. A body
// that would leave its volume less than kDownloadDiskReserveBytes free fails
// with kDownloadDiskFull.
// The first call of the process raises WinINet's limits of connections per
// server and per proxy to 8 before its first WinINet call.
// The observer may be null; its on_complete, if set, is called exactly once,
// as the last step, refused arguments included. A Content-Length that is not
// a number below 2^64 fails the call; a response without one is taken whole.
LONG HttpDownloadToFile(const char *server, INTERNET_PORT port, const char *object,
                        const char *local_path, DWORD time_limit_ms,
                        const DownloadObserver *observer);

// The same into file, open for writing, which it writes from its start (what
// was there goes) and leaves open; on a failure what was written stays, for
// the caller to delete with the file.
LONG HttpDownloadToOpenFile(const char *server, INTERNET_PORT port, const char *object,
                            HANDLE file, DWORD time_limit_ms, const DownloadObserver *observer);
