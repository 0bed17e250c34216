#include "support/heap_probe.h"

#include <windows.h>

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
