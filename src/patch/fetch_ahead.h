#pragma once

#include "patch/connection_gauge.h"
#include "patch/disk_ledger.h"
#include "patch/manifest.h"
#include "patch/path_rules.h"
#include "patch/signed_release.h"
#include "transfer/http_download.h"

#include <windows.h>

const DWORD kMaxAttempts = 5;    // downloads of one entry
const DWORD kFetchAheadDepth = 8; // entries examined and fetched beyond the one reported
const DWORD kFetchSlots = kFetchAheadDepth + 1;

// What the entries are checked against and fetched from; read-only for the run.
struct FetchPlan {
    const UpdateManifest *manifest;
    const SignedEntry *signed_entries; // parallel to the manifest; NULL without a key
    const char *install_dir;
    const char *server;
    INTERNET_PORT port;
    const char *object_prefix; // "/latest/"
    DWORD time_limit_ms;
    const volatile LONG *cancel; // the user's Cancel: every wait and download follows it
    HWND notify_window;          // receives the reported download's percentages
};

// What the worker reports for an entry before any download.
enum EntryVerdict {
    kEntryUnsafe,      // not a safe relative path
    kEntryTooLong,     // the installation path does not fit
    kEntryCurrent,     // the installed file is up to date
    kEntryNeedsUpdate, // attempts follow
    kEntryCancelled,   // Cancel came before the check ended
};

// How one attempt began, and how it ended.
enum AttemptStep {
    kAttemptStarted,      // its download was made or is under way
    kAttemptNoServerPath, // skipped: the server path does not fit
    kAttemptNoTempFile,   // skipped: no temporary file
    kAttemptCancelled,    // the run was stopped; no file left
    kAttemptFailed,       // the download failed with *result
    kAttemptCorrupt,      // the download is not the listed content
    kAttemptVerified,     // the download is good, in the caller's buffer
};

// What one attempt made; written by the fetcher that runs it, under the lock.
// Only the reported entry's own failures are attempts: a download that fails
// because others share the line, the server or the disk is made again, and
// its percentages start anew.
struct AttemptRecord {
    bool begun, ended;
    bool returned;              // the download call is over (its check may not be)
    AttemptStep start, end;
    LONG result;                // the download's code
    BYTE percents[101];         // as the download reported them
    DWORD percent_count;
    DWORD restarts;             // downloads made anew within this attempt
};

// One entry in flight: taken into the window by the worker, checked and
// fetched by one fetcher (or the worker), reported by the worker.
struct FetchSlot {
    DWORD index;
    LONG state;                 // kSlot* in fetch_ahead.cpp; under the lock
    bool checked;               // verdict is final
    EntryVerdict verdict;
    bool aliases_any;           // a name Windows may take for another one (8.3, non-ASCII)
    bool id_read;               // its file was looked up: has_id tells whether it exists
    bool has_id;                // the file exists: id below
    ULONGLONG file_id;          // the file's id on its volume
    char key[kJoinedPathCapacity];        // the name as Windows compares it
    char target_key[kJoinedPathCapacity]; // a staged copy's target (x.new.old: x); "" none
    char local_path[kJoinedPathCapacity];
    HANDLE staged;              // a verified download the worker has not taken; NULL none
    AttemptRecord attempts[kMaxAttempts];
    DWORD charged;              // attempts made, as the worker reports them
    bool alone;                 // its downloads wait until no other runs
    bool downloading;           // holds a connection
    bool wants_connection;      // waits for one, which the gauge holds back
    bool company;               // another download ran while its last one did
    bool room_refused;          // its last download found no room on the disk
    DWORD starts_seen;          // the run's download count when its download began
    ULONGLONG room;             // bytes its download writes, once known; 0 unknown
    ULONGLONG reserved;         // bytes of the ledger it holds
    int percent_written;        // of its download under way, as last reported
    volatile LONG abort;        // ends its download: its room is given back
    bool waiting;               // its fetcher waits on go
    bool worker_owned;          // no fetcher could be had: the worker runs it
    HANDLE go;                  // auto-reset: what its fetcher waits for changed
};

// One run's fetching ahead. Lives in the worker's frame; only the worker
// calls the functions below, in manifest order.
struct FetchAhead {
    FetchPlan plan;
    CRITICAL_SECTION lock;       // guards the slots' states and the fields below
    HANDLE jobs;                 // semaphore: a count per queued entry (one may be left over)
    HANDLE wake;                 // auto-reset: the watched slot changed
    HANDLE threads[kFetchAheadDepth];
    DWORD thread_count;
    DWORD idle_threads;          // fetchers waiting for a job
    DWORD waiting_jobs;          // queued entries no one has claimed
    bool check_inline;           // one processor: the worker checks entries itself
    bool closing;                // fetchers leave
    volatile LONG stop;          // ends every download: Cancel, or the run stopped
    int watched;                 // slot whose change sets wake; -1 none
    DWORD head;                  // entry being reported
    DWORD next_dispatch;         // first entry not yet taken into the window
    bool dispatch_blocked;       // an unusable path: nothing beyond it is taken
    ConnectionGauge gauge;       // downloads at once
    DiskLedger ledger;           // room promised to downloads in flight
    ULONGLONG largest_room;      // the largest length announced in the run
    volatile LONGLONG line_bytes; // body bytes of every download of the run
    DWORD active;                // downloads holding a connection
    DWORD connection_waiters;    // slots waiting for one
    DWORD starts;                // downloads begun in the run
    bool solo;                   // the reported entry's download waits to run alone
    bool installing;             // the worker moves the reported entry's file in
    DWORD id_reads;              // fetchers opening a file for its id
    FetchSlot slots[kFetchSlots]; // entry i in slot i % kFetchSlots
};

// Sets up the run's fetching; threads are made as work comes. Without them
// (none could be made) the worker does each entry's work itself.
void StartFetchAhead(FetchAhead *ahead, const FetchPlan *plan);

// Entry index becomes the one reported: the entries above it are done with.
// Waits until it is checked, taking up to kFetchAheadDepth entries below it.
// local_path receives its installation path (kJoinedPathCapacity).
EntryVerdict AwaitCheck(FetchAhead *ahead, DWORD index, char *local_path);

// How attempt number attempt (from 0) of the reported entry began.
AttemptStep AwaitAttemptStart(FetchAhead *ahead, DWORD attempt);

// Forwards the attempt's percentages to OnDownloadProgress until it ends.
// On kAttemptVerified the staged file is the caller's: its handle is put in
// *staged. On kAttemptFailed, *result holds the download's code.
AttemptStep AwaitAttemptEnd(FetchAhead *ahead, DWORD attempt, HANDLE *staged, LONG *result);

// Ends the downloads in flight, deletes every file the run fetched that the
// worker did not take, and closes every thread and handle.
void FinishFetchAhead(FetchAhead *ahead);

// The download each attempt makes into its staged file: HttpDownloadToOpenFile,
// or a test's stand-in.
typedef LONG (*FetchDownloadFn)(const char *server, INTERNET_PORT port, const char *object,
                                HANDLE file, DWORD time_limit_ms,
                                const DownloadObserver *observer);
extern FetchDownloadFn g_fetch_download;

// The downloads at once a run starts with (kGaugeFirstConnections); a test
// that holds many downloads starts with all.
extern DWORD g_fetch_first_connections;
