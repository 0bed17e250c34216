#include "transfer/crc32.h"

#include "transfer/crc32_kernels.h"

#include <atomic>

namespace {

const DWORD kCrcReadSize = 4096; // bytes per ReadFile

enum KernelChoice { kNotChosen, kSlicing, kFolding };

// Which kernel FileCrc32 runs, kNotChosen until a first call has asked the
// processor; CPUID traps to the hypervisor in a virtual machine (several
// microseconds), so it is asked once. Any thread may store it, always the
// same value, so racing first calls agree without a lock; relaxed order is
// enough as it guards no other data. Constant-initialised: no start-up code.
std::atomic<int> g_kernel_choice(kNotChosen);

KernelChoice ChooseKernel()
{
    int choice = g_kernel_choice.load(std::memory_order_relaxed);
    if (choice == kNotChosen) {
        choice = ProcessorHasCarrylessMultiply() ? kFolding : kSlicing;
        g_kernel_choice.store(choice, std::memory_order_relaxed);
    }
    return (KernelChoice)choice;
}

} // namespace

int FileCrc32(const char *path, DWORD *out, const volatile LONG *stop)
{
    if (out)
        *out = 0;
    if (!path || !out)
        return 0;

    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    int ok = OpenFileCrc32(file, out, stop);
    CloseHandle(file);
    return ok;
}

int OpenFileCrc32(HANDLE file, DWORD *out, const volatile LONG *stop)
{
    if (out)
        *out = 0;
    LARGE_INTEGER start;
    start.QuadPart = 0;
    if (!out || !SetFilePointerEx(file, start, NULL, FILE_BEGIN))
        return 0;

    BYTE buffer[kCrcReadSize];
    DWORD reg = 0xFFFFFFFF;
    int fold = ChooseKernel() == kFolding;
    for (;;) {
        DWORD got = 0;
        if (stop && *stop)
            return 0;
        if (!ReadFile(file, buffer, kCrcReadSize, &got, NULL))
            return 0;
        if (got == 0) {
            *out = reg ^ 0xFFFFFFFF;
            return 1;
        }
        reg = fold ? UpdateCrc32Folding(reg, buffer, got) : UpdateCrc32Slicing16(reg, buffer, got);
    }
}
