// Reads one file again and again: with a bare 4096-byte ReadFile loop, with
// FileCrc32, and with each kernel behind the same loop, and prints each one's
// throughput and its ratio to the bare loop's. Each figure is the best of
// several rounds, the variants taking turns, so that a busy neighbour on a
// shared machine slows all of them alike.
//
//   crc32_bench <file> [rounds]

#include "transfer/crc32.h"
#include "transfer/crc32_kernels.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

namespace {

const DWORD kReadSize = 4096;  // the bytes per ReadFile that FileCrc32 uses
const int kDefaultRounds = 5;
const int kCpuidCalls = 100000; // calls timed to price one processor check
const int kOpenCalls = 10000;   // opens timed to set that price beside

enum Variant { kBareRead, kFileCrc32, kBytewise, kSlicing16, kFolding, kVariantCount };

const char *const kVariantNames[kVariantCount] = {
    "bare ReadFile loop", "FileCrc32", "  byte-wise kernel", "  slicing-by-16 kernel",
    "  folding kernel",
};

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return (double)(to.QuadPart - from.QuadPart) / (double)frequency.QuadPart;
}

// Reads the file through, running each piece through the kernel of variant
// (none for kBareRead). Returns 1 and the byte count and CRC, or 0.
int ReadLoop(const char *path, Variant variant, ULONGLONG *bytes, DWORD *crc)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    BYTE buffer[kReadSize];
    DWORD reg = 0xFFFFFFFF;
    ULONGLONG total = 0;
    int ok = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer, kReadSize, &got, NULL))
            break;
        if (got == 0) {
            ok = 1;
            break;
        }
        total += got;
        if (variant == kBytewise)
            reg = UpdateCrc32Bytewise(reg, buffer, got);
        else if (variant == kSlicing16)
            reg = UpdateCrc32Slicing16(reg, buffer, got);
        else if (variant == kFolding)
            reg = UpdateCrc32Folding(reg, buffer, got);
    }
    CloseHandle(file);
    *bytes = total;
    *crc = reg ^ 0xFFFFFFFF;
    return ok;
}

// Runs variant once; returns its time in seconds, or a negative value.
double TimeVariant(const char *path, Variant variant, ULONGLONG *bytes, DWORD *crc)
{
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    int ok = variant == kFileCrc32 ? FileCrc32(path, crc) : ReadLoop(path, variant, bytes, crc);
    QueryPerformanceCounter(&end);
    return ok ? Seconds(start, end) : -1.0;
}

double CpuidNanoseconds()
{
    LARGE_INTEGER start, end;
    int found = 0;
    QueryPerformanceCounter(&start);
    for (int i = 0; i < kCpuidCalls; i++)
        found += ProcessorHasCarrylessMultiply();
    QueryPerformanceCounter(&end);
    return found >= 0 ? Seconds(start, end) * 1e9 / kCpuidCalls : 0.0;
}

double OpenCloseNanoseconds(const char *path)
{
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    for (int i = 0; i < kOpenCalls; i++) {
        HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
    }
    QueryPerformanceCounter(&end);
    return Seconds(start, end) * 1e9 / kOpenCalls;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: crc32_bench <file> [rounds]\n");
        return 2;
    }
    const char *path = argv[1];
    int rounds = argc > 2 ? atoi(argv[2]) : kDefaultRounds;
    if (rounds < 1)
        rounds = 1;

    int fold = ProcessorHasCarrylessMultiply();
    double best[kVariantCount];
    DWORD crcs[kVariantCount] = {};
    ULONGLONG size = 0;
    for (int v = 0; v < kVariantCount; v++)
        best[v] = -1.0;

    // One untimed pass puts the file in the page cache and gives its size.
    if (TimeVariant(path, kBareRead, &size, &crcs[kBareRead]) < 0 || size == 0) {
        fprintf(stderr, "crc32_bench: cannot read %s (error %lu)\n", path, GetLastError());
        return 1;
    }
    for (int round = 0; round < rounds; round++) {
        for (int v = 0; v < kVariantCount; v++) {
            if (v == kFolding && !fold)
                continue;
            ULONGLONG bytes = size;
            double seconds = TimeVariant(path, (Variant)v, &bytes, &crcs[v]);
            if (seconds < 0) {
                fprintf(stderr, "crc32_bench: %s failed on %s\n", kVariantNames[v], path);
                return 1;
            }
            if (best[v] < 0 || seconds < best[v])
                best[v] = seconds;
        }
    }

    printf("file: %s, %.0f MiB, best of %d rounds\n", path, size / 1048576.0, rounds);
    printf("FileCrc32 path: %s\n", fold ? "folding (PCLMULQDQ)" : "slicing-by-16 (no PCLMULQDQ)");
    printf("processor check (CPUID): %.0f ns per call; opening and closing the file: %.0f ns\n",
           CpuidNanoseconds(), OpenCloseNanoseconds(path));
    printf("%-24s %10s %8s %10s\n", "", "MB/s", "ratio", "CRC");
    for (int v = 0; v < kVariantCount; v++) {
        if (best[v] < 0)
            continue;
        double rate = size / best[v] / 1e6;
        double ratio = best[kBareRead] / best[v];
        if (v == kBareRead)
            printf("%-24s %10.0f %8.2f\n", kVariantNames[v], rate, ratio);
        else
            printf("%-24s %10.0f %8.2f   %08lX\n", kVariantNames[v], rate, ratio, crcs[v]);
    }
    return 0;
}
