#pragma once

#include <windows.h>

// How many downloads a run keeps on the line at once. A line that one
// connection fills gains nothing from a second one (each only gets a share,
// and the server may refuse the surplus); a line with distance gains a
// connection's worth from each, since each waits its own round trips. So the
// gauge starts with few, raises the count while the run's whole rate grows
// with it (doubling it until a raise first fails to pay, by one after), and
// drops back when it does not or when the server refuses.
// Only a window in which downloads waited for a connection through most of
// it says anything: when the run waits on something else (a large file in
// front, the disk), its rate says nothing about the count.

const DWORD kGaugeMaxConnections = 8;
const DWORD kGaugeFirstConnections = 2;
const DWORD kGaugeWindowMs = 500;    // the rate is judged over this long (half while doubling)
const DWORD kGaugeGrowthPercent = 10; // a raise must bring this much more
const DWORD kGaugeHoldWindows = 6;    // after a raise that did not help
const DWORD kGaugeRefusedHoldWindows = 20; // after a refusal

// One run's count; the caller serialises every call.
struct ConnectionGauge {
    DWORD limit;                  // downloads at once now, 1..kGaugeMaxConnections
    DWORD window_start_ms;
    ULONGLONG window_start_bytes; // the run's received count when the window began
    DWORD waiters;                // downloads waiting for a connection now
    DWORD waiting_since_ms;       // when the waiters last changed, while some wait
    DWORD waited_ms;              // how long some waited in this window
    bool probing;                 // limit was raised at this window's start
    DWORD before;                 // the count before that raise
    bool doubling;                // no raise has failed and no server refused yet
    ULONGLONG base_rate;          // bytes a second before the raise
    DWORD hold;                   // windows to let pass before the next raise
};

// first: the count to start with (1..kGaugeMaxConnections).
void StartGauge(ConnectionGauge *gauge, DWORD first, DWORD now_ms, ULONGLONG bytes);

// How many downloads wait for a connection from now on: more would be used.
void GaugeWaiters(ConnectionGauge *gauge, DWORD now_ms, DWORD waiters);

// Judges the window once it is over: bytes is the run's received count. A
// window in which nothing came, or downloads waited for a connection less
// than three quarters of it, says nothing.
void GaugeSample(ConnectionGauge *gauge, DWORD now_ms, ULONGLONG bytes);

// The server refused a connection (503, 429, a reset or refused connect):
// one fewer, and no raise for a while. alone: down to one.
void GaugeRefused(ConnectionGauge *gauge, DWORD now_ms, ULONGLONG bytes, bool alone);
