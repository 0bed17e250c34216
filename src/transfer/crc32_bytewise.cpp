#include "transfer/crc32_kernels.h"

namespace {

struct CrcTable {
    DWORD entry[256];
};

// Entry n is the register after shifting the byte n through the polynomial.
constexpr CrcTable MakeCrcTable()
{
    CrcTable table = {};
    for (DWORD n = 0; n < 256; n++)
        table.entry[n] = Crc32OfByte(n);
    return table;
}

// Built by the compiler: the table is constant data, shared by every thread.
constexpr CrcTable kCrcTable = MakeCrcTable();
static_assert(kCrcTable.entry[1] == 0x77073096, "CRC table");
static_assert(kCrcTable.entry[128] == kCrc32Polynomial, "CRC table");

} // namespace

DWORD UpdateCrc32Bytewise(DWORD reg, const BYTE *bytes, DWORD size)
{
    for (DWORD i = 0; i < size; i++)
        reg = (reg >> 8) ^ kCrcTable.entry[(reg ^ bytes[i]) & 0xFF];
    return reg;
}
