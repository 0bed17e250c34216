#pragma once

#include <windows.h>

// One run's claims on the volume it stages its downloads on. Downloads that
// run at once would each see the same free space and together outgrow it;
// so each download ahead first reserves the length it will write, and takes
// the volume only while its free space, less the downloader's reserve
// (kDownloadDiskReserveBytes) and less what is reserved already, holds it.
// The caller serialises every call.
struct DiskLedger {
    char folder[MAX_PATH]; // a folder on the volume; "" when its name is too long
    ULONGLONG reserved;    // bytes promised to downloads that have not ended
    ULONGLONG written;     // of those, bytes on the volume already (the caller's count)
};

void StartDiskLedger(DiskLedger *ledger, const char *folder);

// The volume's free space, less the reserve and what is reserved and not yet
// written, holds bytes. A volume whose free space cannot be read holds
// everything, as for the downloader; 0 bytes always fit.
bool DiskHolds(const DiskLedger *ledger, ULONGLONG bytes);

// Reserves bytes when the room holds them; false reserves nothing.
bool ReserveDisk(DiskLedger *ledger, ULONGLONG bytes);

// Reserves bytes whether or not they fit: the reported entry's download,
// which the downloader itself judges as it would alone.
void TakeDisk(DiskLedger *ledger, ULONGLONG bytes);

void ReleaseDisk(DiskLedger *ledger, ULONGLONG bytes);
