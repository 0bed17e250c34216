#include "transfer/crc32_kernels.h"

#include <string.h>

namespace {

const int kSliceBytes = 16;              // bytes per step, one table for each

struct SliceTables {
    DWORD entry[kSliceBytes][256];
};

// Row k, entry n is the register after the byte n followed by k zero bytes,
// so one step looks up each byte by how far it stands from the step's end.
constexpr SliceTables MakeSliceTables()
{
    SliceTables tables = {};
    for (DWORD n = 0; n < 256; n++)
        tables.entry[0][n] = Crc32OfByte(n);
    for (int row = 1; row < kSliceBytes; row++) {
        for (DWORD n = 0; n < 256; n++) {
            DWORD prev = tables.entry[row - 1][n];
            tables.entry[row][n] = (prev >> 8) ^ tables.entry[0][prev & 0xFF];
        }
    }
    return tables;
}

// Built by the compiler: 16 KiB of constant data, shared by every thread.
constexpr SliceTables kSlices = MakeSliceTables();
static_assert(kSlices.entry[0][1] == 0x77073096, "CRC table");
static_assert(kSlices.entry[0][128] == kCrc32Polynomial, "CRC table");

// x86 is little-endian: the first byte lands in the low bits, as the
// register expects.
DWORD LoadWord(const BYTE *bytes)
{
    DWORD word;
    memcpy(&word, bytes, sizeof(word));
    return word;
}

// The four bytes of word, the first standing top_row bytes from the end.
DWORD SliceWord(DWORD word, int top_row)
{
    return kSlices.entry[top_row][word & 0xFF] ^ kSlices.entry[top_row - 1][(word >> 8) & 0xFF] ^
           kSlices.entry[top_row - 2][(word >> 16) & 0xFF] ^ kSlices.entry[top_row - 3][word >> 24];
}

} // namespace

DWORD UpdateCrc32Slicing16(DWORD reg, const BYTE *bytes, DWORD size)
{
    while (size >= kSliceBytes) {
        reg = SliceWord(LoadWord(bytes) ^ reg, 15) ^ SliceWord(LoadWord(bytes + 4), 11) ^
              SliceWord(LoadWord(bytes + 8), 7) ^ SliceWord(LoadWord(bytes + 12), 3);
        bytes += kSliceBytes;
        size -= kSliceBytes;
    }
    return UpdateCrc32Bytewise(reg, bytes, size);
}
