#pragma once

#include <windows.h>

// The CRC-32 kernels behind FileCrc32, one algorithm each, declared here so
// that tests and the benchmark can call every one directly.
//
// Each takes the running register (0xFFFFFFFF before the first byte; the CRC
// is the final register XOR 0xFFFFFFFF), runs size bytes through it and
// returns the new register, so a buffer may be summed in pieces, and pieces
// summed by different kernels give the same register. All share no state:
// their tables and constants are built by the compiler.

// The generator, p(x) reflected with x^32 implied, and the shift of the
// register by one bit that every table and folding constant is built from.
const DWORD kCrc32Polynomial = 0xEDB88320;

constexpr DWORD ShiftCrc32Bit(DWORD reg)
{
    return (reg & 1) ? (reg >> 1) ^ kCrc32Polynomial : reg >> 1;
}

// The register after shifting the single byte n through the polynomial.
constexpr DWORD Crc32OfByte(DWORD n)
{
    for (int bit = 0; bit < 8; bit++)
        n = ShiftCrc32Bit(n);
    return n;
}

// One 256-entry table, a byte per step: the reference the others must match.
DWORD UpdateCrc32Bytewise(DWORD reg, const BYTE *bytes, DWORD size);

// Sixteen 256-entry tables, sixteen bytes per step; the fallback.
DWORD UpdateCrc32Slicing16(DWORD reg, const BYTE *bytes, DWORD size);

// Carry-less multiplication folding 64 bytes per step. Call it only when
// ProcessorHasCarrylessMultiply() returns 1.
__attribute__((target("pclmul,sse4.1"))) DWORD UpdateCrc32Folding(DWORD reg, const BYTE *bytes,
                                                                 DWORD size);

// Returns 1 if this processor runs UpdateCrc32Folding (PCLMULQDQ, SSE4.1 and
// SSE2 present), 0 otherwise. Asks CPUID on every call and stores nothing;
// FileCrc32 keeps the answer.
int ProcessorHasCarrylessMultiply();
