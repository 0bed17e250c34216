#include "support/heap_probe.h"

#include <windows.h>

#include <cstring>

int CountBusyHeapBlocks()
{
    HANDLE heap = GetProcessHeap();
    int busy = 0;
    PROCESS_HEAP_ENTRY entry;
    ZeroMemory(&entry, sizeof(entry));
    HeapLock(heap);
    while (HeapWalk(heap, &entry))
        if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
            busy++;
    HeapUnlock(heap);
    return busy;
}

bool HeapHoldsTextCopy(const char *text)
{
    HANDLE heap = GetProcessHeap();
    SIZE_T size = (SIZE_T)lstrlenA(text) + 1;
    bool found = false;
    PROCESS_HEAP_ENTRY entry;
    ZeroMemory(&entry, sizeof(entry));
    HeapLock(heap);
    while (!found && HeapWalk(heap, &entry))
        found = (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) && entry.cbData == size &&
                memcmp(entry.lpData, text, size) == 0;
    HeapUnlock(heap);
    return found;
}
