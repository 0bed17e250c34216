#include "patch/disk_ledger.h"

#include "transfer/http_download.h"

void StartDiskLedger(DiskLedger *ledger, const char *folder)
{
    ZeroMemory(ledger, sizeof(*ledger));
    if (folder && lstrlenA(folder) < MAX_PATH)
        lstrcpyA(ledger->folder, folder);
}

bool DiskHolds(const DiskLedger *ledger, ULONGLONG bytes)
{
    ULARGE_INTEGER free_bytes;
    if (bytes == 0 || ledger->folder[0] == '\0' ||
        !GetDiskFreeSpaceExA(ledger->folder, &free_bytes, NULL, NULL))
        return true;
    // What is written of a reservation is out of the free space already.
    ULONGLONG written = ledger->written < ledger->reserved ? ledger->written : ledger->reserved;
    ULONGLONG held = kDownloadDiskReserveBytes + ledger->reserved - written;
    return free_bytes.QuadPart >= held && free_bytes.QuadPart - held >= bytes;
}

bool ReserveDisk(DiskLedger *ledger, ULONGLONG bytes)
{
    if (!DiskHolds(ledger, bytes))
        return false;
    ledger->reserved += bytes;
    return true;
}

void TakeDisk(DiskLedger *ledger, ULONGLONG bytes) { ledger->reserved += bytes; }

void ReleaseDisk(DiskLedger *ledger, ULONGLONG bytes)
{
    ledger->reserved = bytes < ledger->reserved ? ledger->reserved - bytes : 0;
}
