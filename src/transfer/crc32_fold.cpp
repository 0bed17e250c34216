#include "transfer/crc32_kernels.h"

#include <cpuid.h>
#include <immintrin.h>

// Bit order: in a 16-byte block loaded into an XMM register, bit j is the
// coefficient of x^(127 - j), as the first message bit is the highest power;
// the CRC register likewise holds x^(31 - i) in bit i.
//
// A block B that D bits of message still follow counts as B * x^D mod p(x).
// Folding moves B those D bits on and adds it to the block found there: its
// low half L (the higher powers) times x^(D + 64), its high half H times x^D,
// both mod p. A carry-less multiply of two such reflected halves yields their
// product times x, and a constant c in the low 32 bits of a half counts as
// c * x^32, so L is multiplied by c = x^(D + 31) mod p and H by x^(D - 33).

namespace {

const DWORD kBlockBytes = 16;            // one XMM register
const DWORD kLaneCount = 4;              // blocks folded side by side, hiding the multiply's latency
const DWORD kStepBytes = kBlockBytes * kLaneCount;
const int kStepBits = 8 * kStepBytes;
const int kBlockBits = 8 * kBlockBytes;

// x^n mod p(x), in the register's bit order.
constexpr DWORD PowerOfXModP(int n)
{
    DWORD reg = 0x80000000; // x^0
    for (int i = 0; i < n; i++)
        reg = ShiftCrc32Bit(reg);
    return reg;
}

constexpr DWORD kStepLow = PowerOfXModP(kStepBits + 31);
constexpr DWORD kStepHigh = PowerOfXModP(kStepBits - 33);
constexpr DWORD kBlockLow = PowerOfXModP(kBlockBits + 31);
constexpr DWORD kBlockHigh = PowerOfXModP(kBlockBits - 33);
static_assert(PowerOfXModP(32) == kCrc32Polynomial, "x^32 mod p");

__attribute__((target("pclmul,sse4.1"))) inline __m128i Fold(__m128i block, __m128i constants,
                                                           __m128i next)
{
    __m128i low = _mm_clmulepi64_si128(block, constants, 0x00);
    __m128i high = _mm_clmulepi64_si128(block, constants, 0x11);
    return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i LoadBlock(const BYTE *bytes)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes));
}

} // namespace

__attribute__((target("pclmul,sse4.1"))) DWORD UpdateCrc32Folding(DWORD reg, const BYTE *bytes,
                                                                 DWORD size)
{
    if (size < kStepBytes)
        return UpdateCrc32Slicing16(reg, bytes, size);

    // The register carried in is the same as these bits XORed into the
    // message's first 32 bits, after which the sum starts from 0.
    __m128i lane0 = _mm_xor_si128(LoadBlock(bytes), _mm_cvtsi32_si128((int)reg));
    __m128i lane1 = LoadBlock(bytes + kBlockBytes);
    __m128i lane2 = LoadBlock(bytes + 2 * kBlockBytes);
    __m128i lane3 = LoadBlock(bytes + 3 * kBlockBytes);
    bytes += kStepBytes;
    size -= kStepBytes;

    const __m128i step = _mm_set_epi32(0, (int)kStepHigh, 0, (int)kStepLow);
    while (size >= kStepBytes) {
        lane0 = Fold(lane0, step, LoadBlock(bytes));
        lane1 = Fold(lane1, step, LoadBlock(bytes + kBlockBytes));
        lane2 = Fold(lane2, step, LoadBlock(bytes + 2 * kBlockBytes));
        lane3 = Fold(lane3, step, LoadBlock(bytes + 3 * kBlockBytes));
        bytes += kStepBytes;
        size -= kStepBytes;
    }

    const __m128i block = _mm_set_epi32(0, (int)kBlockHigh, 0, (int)kBlockLow);
    __m128i sum = Fold(lane0, block, lane1);
    sum = Fold(sum, block, lane2);
    sum = Fold(sum, block, lane3);
    while (size >= kBlockBytes) {
        sum = Fold(sum, block, LoadBlock(bytes));
        bytes += kBlockBytes;
        size -= kBlockBytes;
    }

    // The register after the bytes so far is their polynomial times x^32 mod
    // p(x); sum is congruent to that polynomial, and the tables make exactly
    // this of its 16 bytes from a register of 0.
    BYTE last[kBlockBytes];
    _mm_storeu_si128(reinterpret_cast<__m128i *>(last), sum);
    reg = UpdateCrc32Slicing16(0, last, kBlockBytes);
    return UpdateCrc32Slicing16(reg, bytes, size);
}

int ProcessorHasCarrylessMultiply()
{
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx))
        return 0;
    return (ecx & bit_PCLMUL) && (ecx & bit_SSE4_1) && (edx & bit_SSE2) ? 1 : 0;
}
