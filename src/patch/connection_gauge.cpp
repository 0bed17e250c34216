#include "patch/connection_gauge.h"

namespace {

void StartWindow(ConnectionGauge *gauge, DWORD now_ms, ULONGLONG bytes)
{
    gauge->window_start_ms = now_ms;
    gauge->window_start_bytes = bytes;
    gauge->waiting_since_ms = now_ms;
    gauge->waited_ms = 0;
}

// Adds the time some waited since the last change.
void CountWaiting(ConnectionGauge *gauge, DWORD now_ms)
{
    if (gauge->waiters > 0)
        gauge->waited_ms += now_ms - gauge->waiting_since_ms;
    gauge->waiting_since_ms = now_ms;
}

// The count a raise goes to: doubled while every raise has paid, so that a
// line with distance is filled within a few windows; one more after that.
DWORD Raised(const ConnectionGauge *gauge)
{
    DWORD next = gauge->doubling ? gauge->limit * 2 : gauge->limit + 1;
    return next > kGaugeMaxConnections ? kGaugeMaxConnections : next;
}

// The window's rate grew by half of what the raise's connections would bring
// if each brought as much as those before it did, and by kGaugeGrowthPercent
// at least: a bar well above a window's noise, whatever the step.
bool Grew(const ConnectionGauge *gauge, ULONGLONG rate)
{
    ULONGLONG percent = 50 * (gauge->limit - gauge->before) / gauge->before;
    if (percent < kGaugeGrowthPercent)
        percent = kGaugeGrowthPercent;
    return rate * 100 > gauge->base_rate * (100 + percent);
}

void Raise(ConnectionGauge *gauge, ULONGLONG rate)
{
    gauge->base_rate = rate;
    gauge->before = gauge->limit;
    gauge->limit = Raised(gauge);
    gauge->probing = true;
}

} // namespace

void StartGauge(ConnectionGauge *gauge, DWORD first, DWORD now_ms, ULONGLONG bytes)
{
    ZeroMemory(gauge, sizeof(*gauge));
    gauge->limit = first < 1 ? 1 : first > kGaugeMaxConnections ? kGaugeMaxConnections : first;
    gauge->doubling = true;
    StartWindow(gauge, now_ms, bytes);
}

void GaugeWaiters(ConnectionGauge *gauge, DWORD now_ms, DWORD waiters)
{
    CountWaiting(gauge, now_ms);
    gauge->waiters = waiters;
}

void GaugeSample(ConnectionGauge *gauge, DWORD now_ms, ULONGLONG bytes)
{
    // While doubling, a raise must show half again: half a window is enough
    // to see that, and the count is full sooner.
    DWORD window_ms = gauge->doubling ? kGaugeWindowMs / 2 : kGaugeWindowMs;
    DWORD elapsed_ms = now_ms - gauge->window_start_ms;
    if (elapsed_ms < window_ms)
        return;
    ULONGLONG rate = (bytes - gauge->window_start_bytes) * 1000 / elapsed_ms;
    CountWaiting(gauge, now_ms);
    bool wanted = gauge->waited_ms * 4 >= elapsed_ms * 3;
    if (wanted && bytes > gauge->window_start_bytes) {
        if (gauge->probing && Grew(gauge, rate)) {
            if (gauge->limit < kGaugeMaxConnections)
                Raise(gauge, rate);
            else
                gauge->probing = false;
        } else if (gauge->probing) {
            gauge->limit = gauge->before;
            gauge->probing = false;
            gauge->doubling = false;
            gauge->hold = kGaugeHoldWindows;
        } else if (gauge->hold > 0) {
            gauge->hold--;
        } else if (gauge->limit < kGaugeMaxConnections) {
            Raise(gauge, rate);
        }
    } else if (!gauge->probing && gauge->hold > 0) {
        gauge->hold--;
    }
    StartWindow(gauge, now_ms, bytes);
}

void GaugeRefused(ConnectionGauge *gauge, DWORD now_ms, ULONGLONG bytes, bool alone)
{
    if (alone)
        gauge->limit = 1;
    else if (gauge->limit > 1)
        gauge->limit--;
    gauge->probing = false;
    gauge->doubling = false;
    gauge->hold = kGaugeRefusedHoldWindows;
    StartWindow(gauge, now_ms, bytes);
}
