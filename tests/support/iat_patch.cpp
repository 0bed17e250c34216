#include "support/iat_patch.h"

namespace {

IMAGE_THUNK_DATA *FindImportSlot(const char *dll, const char *function)
{
    BYTE *image = (BYTE *)GetModuleHandleA(NULL);
    IMAGE_DOS_HEADER *dos = (IMAGE_DOS_HEADER *)image;
    IMAGE_NT_HEADERS *nt = (IMAGE_NT_HEADERS *)(image + dos->e_lfanew);
    IMAGE_DATA_DIRECTORY dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0)
        return NULL;
    IMAGE_IMPORT_DESCRIPTOR *desc = (IMAGE_IMPORT_DESCRIPTOR *)(image + dir.VirtualAddress);
    for (; desc->Name != 0; desc++) {
        if (lstrcmpiA((const char *)(image + desc->Name), dll) != 0)
            continue;
        IMAGE_THUNK_DATA *names = (IMAGE_THUNK_DATA *)(image + desc->OriginalFirstThunk);
        IMAGE_THUNK_DATA *slots = (IMAGE_THUNK_DATA *)(image + desc->FirstThunk);
        for (; names->u1.AddressOfData != 0; names++, slots++) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            IMAGE_IMPORT_BY_NAME *by_name =
                (IMAGE_IMPORT_BY_NAME *)(image + names->u1.AddressOfData);
            if (lstrcmpA((const char *)by_name->Name, function) == 0)
                return slots;
        }
    }
    return NULL;
}

typedef LPVOID(WINAPI *HeapAllocFn)(HANDLE, DWORD, SIZE_T);

HeapAllocFn g_real_heap_alloc = NULL;
volatile LONG g_fail_from = 0; // 0: disarmed
volatile LONG g_calls = 0;

LPVOID WINAPI CountingHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes)
{
    if (g_fail_from > 0) {
        LONG call = InterlockedIncrement(&g_calls);
        if (call >= g_fail_from) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return NULL;
        }
    }
    return g_real_heap_alloc(heap, flags, bytes);
}

} // namespace

void *PatchImport(const char *dll, const char *function, void *replacement)
{
    IMAGE_THUNK_DATA *slot = FindImportSlot(dll, function);
    if (!slot)
        return NULL;
    DWORD old_protect = 0;
    if (!VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &old_protect))
        return NULL;
    void *previous = (void *)slot->u1.Function;
    slot->u1.Function = (DWORD_PTR)replacement;
    VirtualProtect(slot, sizeof(*slot), old_protect, &old_protect);
    FlushInstructionCache(GetCurrentProcess(), slot, sizeof(*slot));
    return previous;
}

void ArmHeapAllocFailure(int nth)
{
    if (!g_real_heap_alloc)
        g_real_heap_alloc =
            (HeapAllocFn)PatchImport("kernel32.dll", "HeapAlloc", (void *)CountingHeapAlloc);
    g_calls = 0;
    g_fail_from = nth;
}

void DisarmHeapAllocFailure() { g_fail_from = 0; }

int HeapAllocCallsSinceArmed() { return (int)g_calls; }
