#include "patch/connection_gauge.h"

namespace {

void StartWindow(ConnectionGauge *gauge, DWORD now_ms, ULONGLONG bytes)
{
    gauge->window_start_ms = now_ms;
    gauge->window_start_bytes = bytes;
    gauge->wanted = false;
}

// The window's rate grew enough over the one before the raise.
bool Grew(const ConnectionGauge *gauge, ULONGLONG rate)
{
    return rate * 100 > gauge->base_rate * (100 + kGaugeGrowthPercent);
}

} // namespace

void StartGauge(ConnectionGauge *gauge, DWORD first, DWORD now_ms, ULONGLONG bytes)
{
    ZeroMemory(gauge, sizeof(*gauge));
    gauge->limit = first < 1 ? 1 : first > kGaugeMaxConnections ? kGaugeMaxConnections : first;
    StartWindow(gauge, now_ms, bytes);
}

void GaugeWanted(ConnectionGauge *gauge) { gauge->wanted = true; }

void GaugeSample(ConnectionGauge *gauge, DWORD now_ms, ULONGLONG bytes)
{
    DWORD elapsed_ms = now_ms - gauge->window_start_ms;
    if (elapsed_ms < kGaugeWindowMs)
        return;
    ULONGLONG rate = (bytes - gauge->window_start_bytes) * 1000 / elapsed_ms;
    if (gauge->wanted && bytes > gauge->window_start_bytes) {
        if (gauge->probing && Grew(gauge, rate)) {
            gauge->base_rate = rate;
            if (gauge->limit < kGaugeMaxConnections)
                gauge->limit++;
            else
                gauge->probing = false;
        } else if (gauge->probing) {
            gauge->limit--;
            gauge->probing = false;
            gauge->hold = kGaugeHoldWindows;
        } else if (gauge->hold > 0) {
            gauge->hold--;
        } else if (gauge->limit < kGaugeMaxConnections) {
            gauge->base_rate = rate;
            gauge->limit++;
            gauge->probing = true;
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
    gauge->hold = kGaugeRefusedHoldWindows;
    StartWindow(gauge, now_ms, bytes);
}
